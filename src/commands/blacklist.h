// Blacklist commands: add, remove, write at a position, clear, read back.
#pragma once

#include "commands/families.h"

namespace talvo::family {

// 0x2C: the entries' characters as given, Count the whole entries among them.
Outcome AddCards(Line& line, int terminal, const char* entries, std::size_t length);
// 0x4C, Count 1: one card of six characters.
Outcome RemoveCard(Line& line, int terminal, const char* card);
// 0x24 at `position` (its two bytes), Count `count`: count x 6 characters.
Outcome WriteCards(Line& line, int terminal, unsigned position, const char* entries, std::size_t count);
// 0x44, Count 101.
Outcome ClearCards(Line& line, int terminal);

struct CardBlock {
    // The entries handed over: the reply's count, no more than the whole
    // entries its payload holds and never more than the 32 asked for.
    int count = 0;
    char cards[kCardLength * kReadHmdLimit] = {};
};
// 0x34 at `position`, Count 32.
Outcome ReadCards(Line& line, int terminal, unsigned position, CardBlock& out);

}  // namespace talvo::family
