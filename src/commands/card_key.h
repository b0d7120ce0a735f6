// Card key commands: check a key, set a key, read the four key flags.
#pragma once

#include "commands/families.h"

namespace talvo::family {

// 0x61, Count 1: the six key characters as given.
Outcome CheckKey(Line& line, int terminal, const unsigned char (&key)[kKeyLength]);
// 0x21, Count 1.
Outcome SetKey(Line& line, int terminal, const unsigned char (&key)[kKeyLength]);

struct KeyFlags {
    std::uint32_t payloadLength = 0;  // characters the reply carried
    std::int32_t flags[4] = {0, 0, 0, 0};  // "66" per pair, decoded when 8 came
};
// 0x11, Count 16.
Outcome ReadKeyFlags(Line& line, int terminal, KeyFlags& out);

}  // namespace talvo::family
