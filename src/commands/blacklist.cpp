// Blacklist commands: add, remove, write at a position, clear, read back.
#include <cstring>

#include "platform/platform.h"
#include "protocol/terminal_command.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;

namespace {

constexpr std::uint32_t kEntry = 6;

using AddHmdCommand = Command<0x2C>;
using ReduHmdCommand = Command<0x4C>;
using SetHmdCommand = Command<0x24>;
using ClearHmdCommand = Command<0x44>;
class ReadHmdCommand : public TerminalCommand {
public:
    ReadHmdCommand() : TerminalCommand(0x34) {}
    int n = 0;
};

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL AddHMD(int terminal, const char* entries) {
    if (entries == nullptr) return 0;
    return WithPort(0, [&] {
        const auto n = static_cast<std::uint32_t>(std::strlen(entries));
        AddHmdCommand command;
        // Characters beyond the last whole entry are sent too; they do not count.
        command.Transact(terminal, 0, 0, static_cast<std::int32_t>(n / kEntry),
                         reinterpret_cast<const unsigned char*>(entries), n);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReduHMD(int terminal, const char* entry) {
    if (entry == nullptr || std::strlen(entry) != kEntry) return 0;
    return WithPort(0, [&] {
        ReduHmdCommand command;
        command.Transact(terminal, 0, 0, 1, reinterpret_cast<const unsigned char*>(entry), kEntry);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL SetHMD(int terminal, int position, const char* entries, int count) {
    if (count < 0 || (entries == nullptr && count > 0)) return 0;
    return WithPort(0, [&] {
        SetHmdCommand command;
        command.Transact(terminal, (position >> 8) & 0xFF, position & 0xFF, count,
                         reinterpret_cast<const unsigned char*>(entries), kEntry * static_cast<std::uint32_t>(count));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ClearHMD(int terminal) {
    return WithPort(0, [&] { return ClearHmdCommand().RunClear(terminal); });
}

TALVO_API int TALVO_CALL ReadHMD(int terminal, int position, char** data, int* count) {
    if (data == nullptr || count == nullptr) return 0;
    return WithPort(0, [&] {
        ReadHmdCommand command;
        command.Transact(terminal, (position >> 8) & 0xFF, position & 0xFF, 32);
        command.n = command.ReplyCount();
        // Only the whole entries that the payload holds, whatever the count says.
        const int present = static_cast<int>(command.ReplyPayloadLength() / kEntry);
        if (command.n > present) command.n = present;
        if (command.lastResult != kSuccess) return 0;
        if (command.n > 0) {
            const std::size_t size = kEntry * static_cast<std::size_t>(command.n);
            auto* block = static_cast<char*>(platform::memory::AllocateForHost(size, false));
            if (block == nullptr) return 0;
            std::memcpy(block, command.ReplyPayload(), size);
            *data = block;
        }
        *count = command.n;
        return 1;
    });
}

}  // extern "C"
