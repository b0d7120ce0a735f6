// Price menu commands: write prices, read them back, clear the menu.
#pragma once

#include <vector>

#include "commands/families.h"

namespace talvo::family {

// 0x26, Count the number of prices: six characters each.
Outcome SetMenu(Line& line, int terminal, const AmountText* prices, std::size_t count);

struct MenuPrices {
    // The reply's count, no more than the whole prices its payload holds.
    std::vector<AmountText> prices;
};
// 0x36, Count 16.
Outcome ReadMenu(Line& line, int terminal, MenuPrices& out);
// 0x46, Count 101.
Outcome ClearMenu(Line& line, int terminal);

}  // namespace talvo::family
