// Subsidy list commands: clear the list, set the maximum subsidy and the
// subsidy time, add entries.
#include <cstring>

#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

using ClearListCommand = Command<0x4D>;
using SetMaxbtCommand = Command<0x2E>;
using SetBtTimeCommand = Command<0x2D>;
using AddBtListCommand = Command<0x3D>;

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL ClearList(int terminal) {
    return WithPort(0, [&] { return ClearListCommand().RunEmpty(terminal); });
}

TALVO_API int TALVO_CALL SetMaxbt(int terminal, double amount) {
    return WithPort(0, [&] {
        unsigned char payload[6];
        EncodeAmount(payload, 0, static_cast<float>(amount));  // narrowed first, as the terminal keeps it
        SetMaxbtCommand command;
        command.Transact(terminal, 0, 0, 0, payload, sizeof payload);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL SetBtTime(int terminal, const char* text) {
    if (text == nullptr) return 0;
    return WithPort(0, [&] {
        SetBtTimeCommand command;
        command.Transact(terminal, 0, 0, 0, reinterpret_cast<const unsigned char*>(text),
                         static_cast<std::uint32_t>(std::strlen(text)));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL AddBtList(int terminal, int position, const char* entries) {
    if (entries == nullptr) return 0;
    return WithPort(0, [&] {
        const auto n = static_cast<std::uint32_t>(std::strlen(entries));
        AddBtListCommand command;
        command.Transact(terminal, (position >> 8) & 0xFF, position & 0xFF, static_cast<std::int32_t>(n / 12),
                         reinterpret_cast<const unsigned char*>(entries), n);
        return command.IsAccepted();
    });
}

}  // extern "C"
