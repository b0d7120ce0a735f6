// The page's files, built into the program (see web/ and embed.cmake).
#pragma once

#include <cstddef>

namespace talvo::service::web {

extern const unsigned char kIndexHtml[];
extern const std::size_t kIndexHtmlSize;
extern const unsigned char kAppJs[];
extern const std::size_t kAppJsSize;
extern const unsigned char kStyleCss[];
extern const std::size_t kStyleCssSize;

}  // namespace talvo::service::web
