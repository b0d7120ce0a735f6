// The 43 exports' price menu commands: write prices, read them back, clear
// the menu.
#include <vector>

#include "commands/price_menu.h"
#include "platform/platform.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

extern "C" {

TALVO_API int TALVO_CALL Setmenu(int terminal, const float* prices, int count) {
    if (count < 0 || (prices == nullptr && count > 0) || !ValidTerminal(terminal)) return 0;
    // Sized in 64 bits and refused beyond one frame, before any price is read.
    if (std::uint64_t{kAmountLength} * static_cast<std::uint64_t>(count) > kMaxPayload) return 0;
    // One price the encoding cannot carry refuses the whole list.
    for (int i = 0; i < count; ++i) {
        if (!AmountFits(prices[i])) return 0;
    }
    return WithPort(0, [&](Line& line) {
        std::vector<AmountText> encoded(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) encoded[static_cast<std::size_t>(i)] = AmountText::FromFloat(prices[i]);
        return SetMenu(line, terminal, encoded.data(), encoded.size()).accepted ? 1 : 0;
    });
}

TALVO_API int TALVO_CALL ReadMenu(int terminal, float** prices, int* count) {
    if (prices == nullptr || count == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        MenuPrices menu;
        family::ReadMenu(line, terminal, menu);
        if (menu.prices.empty()) return 0;
        const std::size_t n = menu.prices.size();
        auto* block = static_cast<float*>(platform::memory::AllocateForHost(sizeof(float) * n, true));
        if (block == nullptr) return 0;
        for (std::size_t i = 0; i < n; ++i) block[i] = static_cast<float>(menu.prices[i].Value());
        *count = static_cast<int>(n);
        *prices = block;
        return 1;
    });
}

TALVO_API int TALVO_CALL Clearmenu(int terminal) {
    return AcceptedBy(terminal, ClearMenu);
}

}  // extern "C"
