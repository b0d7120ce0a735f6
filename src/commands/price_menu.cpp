// Price menu commands: write prices, read them back, clear the menu.
#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

constexpr std::uint32_t kPrice = 6;

using SetMenuCommand = Command<0x26>;
class ReadMenuCommand : public TerminalCommand {
public:
    ReadMenuCommand() : TerminalCommand(0x36) {}
    int n = 0;
    std::vector<unsigned char> prices;  // its own copy of the price characters
};
using ClearMenuCommand = Command<0x46>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL Setmenu(int terminal, const float* prices, int count) {
    if (count < 0 || (prices == nullptr && count > 0)) return 0;
    return WithPort(0, [&] {
        std::vector<unsigned char> payload(kPrice * static_cast<std::size_t>(count), 0);
        for (int i = 0; i < count; ++i) EncodeAmount(payload.data(), kPrice * static_cast<std::uint32_t>(i), prices[i]);
        SetMenuCommand command;
        command.Transact(terminal, 0, 0, count, payload.data(), static_cast<std::uint32_t>(payload.size()));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReadMenu(int terminal, float** prices, int* count) {
    if (prices == nullptr || count == nullptr) return 0;
    return WithPort(0, [&] {
        ReadMenuCommand command;
        command.Transact(terminal, 0, 0, 16);
        command.n = command.ReplyCount();
        // Only the whole prices that the payload holds.
        const int present = static_cast<int>(command.ReplyPayloadLength() / kPrice);
        if (command.n > present) command.n = present;
        if (command.n == 0) return 0;
        const unsigned char* payload = command.ReplyPayload();
        command.prices.assign(payload, payload + kPrice * static_cast<std::size_t>(command.n));
        auto* block = static_cast<float*>(
            platform::memory::AllocateForHost(sizeof(float) * static_cast<std::size_t>(command.n), true));
        if (block == nullptr) return 0;
        for (int i = 0; i < command.n; ++i) {
            block[i] = static_cast<float>(DecodeAmount(command.prices.data(), kPrice * static_cast<std::uint32_t>(i)));
        }
        *count = command.n;
        *prices = block;
        return 1;
    });
}

TALVO_API int TALVO_CALL Clearmenu(int terminal) {
    return WithPort(0, [&] { return ClearMenuCommand().RunClear(terminal); });
}

}  // extern "C"
