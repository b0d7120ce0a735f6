// Subsidy list commands: clear the list, set the maximum subsidy and the
// subsidy time, add entries.
#pragma once

#include "commands/families.h"

namespace talvo::family {

// 0x4D, Count 0.
Outcome ClearSubsidies(Line& line, int terminal);
// 0x2E, Count 0.
Outcome SetMaxSubsidy(Line& line, int terminal, const AmountText& amount);
// 0x2D, Count 0: the text's characters as given.
Outcome SetSubsidyTime(Line& line, int terminal, const char* text, std::size_t length);
// 0x3D at `position`, Count the whole 12-character entries among the
// characters given (all of which are sent).
Outcome AddSubsidies(Line& line, int terminal, unsigned position, const char* entries, std::size_t length);

}  // namespace talvo::family
