#include "commands/price_menu.h"

#include <cstring>

#include "commands/request.h"

namespace talvo::family {

Outcome SetMenu(Line& line, int terminal, const AmountText* prices, std::size_t count) {
    static_assert(sizeof(AmountText) == kAmountLength, "prices travel back to back");
    return StatusOnly<kSetMenu>(line, terminal,
                                {0, 0, static_cast<std::int32_t>(count), prices, kAmountLength * count});
}

Outcome ReadMenu(Line& line, int terminal, MenuPrices& out) {
    Command<kReadMenu> command(line);
    const Outcome o = Run(command, terminal, {0, 0, 16});
    std::size_t n = command.ReplyCount();
    const std::size_t present = command.ReplyPayloadLength() / kAmountLength;
    if (n > present) n = present;
    out.prices.resize(n);
    if (n > 0) std::memcpy(out.prices.data(), command.ReplyPayload(), kAmountLength * n);
    return o;
}

Outcome ClearMenu(Line& line, int terminal) { return StatusOnly<kClearMenu>(line, terminal, {0, 0, 101}); }

}  // namespace talvo::family
