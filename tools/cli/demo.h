// talvo demo: a walk through every family against a software terminal that
// the tool starts itself (Linux).
#pragma once

#include <string>

namespace talvo::cli {

int RunDemo(const std::string& libraryPath, const std::string& directory);

}  // namespace talvo::cli
