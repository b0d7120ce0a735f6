// Formatting of one float for SetFloatInStr, with the host's format checked
// before it reaches the printf family.
#pragma once

#include <string>

namespace talvo {

// True when `format` holds exactly one floating conversion (e E f F g G a A,
// with flags, width, precision and an optional 'l'; "%%" anywhere) and
// nothing else that printf would take an argument for.  `out` then holds the
// text, with every exponent of an e/E/g/G conversion at least three digits.
bool FormatOneFloat(const char* format, double value, std::string& out);

}  // namespace talvo
