// Parameter and status commands: terminal status, memory clear, the CMW text
// and the mdeb amount.
#pragma once

#include "commands/families.h"

namespace talvo::family {

// 0x10, Count 0.
Outcome Status(Line& line, int terminal);
// 0x4A, Count 101: clears the terminal's memory.
Outcome ClearMemory(Line& line, int terminal);

struct CmwText {
    bool present = false;  // the reply carried at least 12 characters
    char text[kCmwLength] = {};
};
// 0x32, Count 6.
Outcome ReadCmw(Line& line, int terminal, CmwText& out);
// 0x22, Count 6: the first `length` characters (at most 12), padded with '0'.
Outcome SetCmw(Line& line, int terminal, const char* text, std::size_t length);

struct AmountReply {
    bool present = false;  // the reply carried the six characters
    AmountText amount;
};
// 0x33, Count 3.
Outcome ReadMdeb(Line& line, int terminal, AmountReply& out);
// 0x23, Count 1.
Outcome SetMdeb(Line& line, int terminal, const AmountText& amount);

}  // namespace talvo::family
