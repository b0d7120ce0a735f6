// The line API's price menu commands, in cents.
#include "commands/price_menu.h"
#include "shell/line_face.h"

using namespace talvo;
using namespace talvo::family;
using namespace talvo::lineapi;

extern "C" {

TALVO_API int TALVO_CALL talvo_menu_set(talvo_line* line, int terminal, const std::int32_t* cents, std::size_t count) {
    if (count > 255 || (cents == nullptr && count > 0)) return TALVO_E_INVALID;
    AmountText prices[255];
    for (std::size_t i = 0; i < count; ++i) {
        if (!ValidCents(cents[i])) return TALVO_E_INVALID;
        prices[i] = AmountText::FromCents(cents[i]);
    }
    return OnCommand(line, terminal, [&](Line& l) { return SetMenu(l, terminal, prices, count); });
}

TALVO_API int TALVO_CALL talvo_menu_read(talvo_line* line, int terminal, std::int32_t* cents, std::size_t capacity,
                                         std::size_t* count) {
    if (count == nullptr || (cents == nullptr && capacity > 0)) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        MenuPrices menu;
        if (const int r = ReadMenu(l, terminal, menu).Code(); r != 0) return r;
        const std::size_t n = menu.prices.size();
        *count = n;
        if (n > capacity) return TALVO_E_BUFFER;
        for (std::size_t i = 0; i < n; ++i) cents[i] = menu.prices[i].Cents();
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_menu_clear(talvo_line* line, int terminal) {
    return OnCommand(line, terminal, [&](Line& l) { return ClearMenu(l, terminal); });
}

}  // extern "C"
