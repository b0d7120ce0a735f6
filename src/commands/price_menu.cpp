// Price menu commands: write prices, read them back, clear the menu.
#include <cstring>
#include <vector>

#include "commands/families.h"
#include "platform/platform.h"
#include "protocol/codec.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;
using namespace talvo::family;

namespace {

using SetMenuCommand = Command<kSetMenu>;
class ReadMenuCommand : public TerminalCommand {
public:
    explicit ReadMenuCommand(Line& line) : TerminalCommand(line, kReadMenu) {}
    int n = 0;
    std::vector<unsigned char> prices;  // its own copy of the price characters
};
using ClearMenuCommand = Command<kClearMenu>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL Setmenu(int terminal, const float* prices, int count) {
    if (count < 0 || (prices == nullptr && count > 0) || !ValidTerminal(terminal)) return 0;
    // Sized in 64 bits and refused beyond one frame, before any price is read.
    const std::uint64_t length = std::uint64_t{kAmountLength} * static_cast<std::uint64_t>(count);
    if (length > kMaxPayload) return 0;
    // One price the encoding cannot carry refuses the whole list.
    for (int i = 0; i < count; ++i) {
        if (!AmountFits(prices[i])) return 0;
    }
    return WithPort(0, [&](Line& line) {
        SetMenuCommand command(line);
        std::vector<unsigned char> payload(static_cast<std::size_t>(length), 0);
        for (int i = 0; i < count; ++i) {
            EncodeAmount(payload.data(), kAmountLength * static_cast<std::uint32_t>(i), prices[i] == 0.0f ? 0.0f : prices[i]);
        }
        command.Transact(terminal, 0, 0, count, payload.data(), static_cast<std::uint32_t>(payload.size()));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReadMenu(int terminal, float** prices, int* count) {
    if (prices == nullptr || count == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadMenuCommand command(line);
        command.Transact(terminal, 0, 0, 16);
        command.n = command.ReplyCount();
        // Only the whole prices that the payload holds.
        const int present = static_cast<int>(command.ReplyPayloadLength() / kAmountLength);
        if (command.n > present) command.n = present;
        if (command.n == 0) return 0;
        const unsigned char* payload = command.ReplyPayload();
        command.prices.assign(payload, payload + kAmountLength * static_cast<std::size_t>(command.n));
        auto* block = static_cast<float*>(
            platform::memory::AllocateForHost(sizeof(float) * static_cast<std::size_t>(command.n), true));
        if (block == nullptr) return 0;
        for (int i = 0; i < command.n; ++i) {
            block[i] = static_cast<float>(DecodeAmount(command.prices.data(), kAmountLength * static_cast<std::uint32_t>(i)));
        }
        *count = command.n;
        *prices = block;
        return 1;
    });
}

TALVO_API int TALVO_CALL Clearmenu(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return ClearMenuCommand(line).RunClear(terminal); });
}

}  // extern "C"
