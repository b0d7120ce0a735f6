// Blacklist commands: add, remove, write at a position, clear, read back.
#include <cstring>

#include "commands/families.h"
#include "platform/platform.h"
#include "shell/export_guard.h"
#include "talvo.h"

using namespace talvo;
using namespace talvo::family;

namespace {

using AddHmdCommand = Command<kAddHmd>;
using ReduHmdCommand = Command<kReduHmd>;
using SetHmdCommand = Command<kSetHmd>;
using ClearHmdCommand = Command<kClearHmd>;
class ReadHmdCommand : public TerminalCommand {
public:
    explicit ReadHmdCommand(Line& line) : TerminalCommand(line, kReadHmd) {}
    int n = 0;
};

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL AddHMD(int terminal, const char* entries) {
    if (entries == nullptr || !ValidTerminal(terminal)) return 0;
    // Measured no further than the largest frame allows; longer is refused.
    const std::size_t n = ::strnlen(entries, kMaxPayload + 1);
    if (n > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) {
        AddHmdCommand command(line);
        // Characters beyond the last whole entry are sent too; they do not count.
        command.Transact(terminal, 0, 0, static_cast<std::int32_t>(n / kCardLength),
                         reinterpret_cast<const unsigned char*>(entries), static_cast<std::uint32_t>(n));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ReduHMD(int terminal, const char* entry) {
    if (entry == nullptr || !ValidTerminal(terminal) || ::strnlen(entry, kCardLength + 1) != kCardLength) return 0;
    return WithPort(0, [&](Line& line) {
        ReduHmdCommand command(line);
        command.Transact(terminal, 0, 0, 1, reinterpret_cast<const unsigned char*>(entry), kCardLength);
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL SetHMD(int terminal, int position, const char* entries, int count) {
    if (count < 0 || (entries == nullptr && count > 0) || !ValidTerminal(terminal)) return 0;
    // Sized in 64 bits: a count whose entries would not fit one frame is
    // refused before anything is read or sent.
    const std::uint64_t length = std::uint64_t{kCardLength} * static_cast<std::uint64_t>(count);
    if (length > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) {
        SetHmdCommand command(line);
        command.Transact(terminal, (position >> 8) & 0xFF, position & 0xFF, count,
                         reinterpret_cast<const unsigned char*>(entries), static_cast<std::uint32_t>(length));
        return command.IsAccepted();
    });
}

TALVO_API int TALVO_CALL ClearHMD(int terminal) {
    if (!ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) { return ClearHmdCommand(line).RunClear(terminal); });
}

TALVO_API int TALVO_CALL ReadHMD(int terminal, int position, char** data, int* count) {
    if (data == nullptr || count == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        ReadHmdCommand command(line);
        command.Transact(terminal, (position >> 8) & 0xFF, position & 0xFF, kReadHmdLimit);
        command.n = command.ReplyCount();
        // Only the whole entries that the payload holds, whatever the count
        // says, and never more than the 32 asked for.
        const int present = static_cast<int>(command.ReplyPayloadLength() / kCardLength);
        if (command.n > present) command.n = present;
        if (command.n > kReadHmdLimit) command.n = kReadHmdLimit;
        if (command.lastResult != TALVO_OK) return 0;
        if (command.n > 0) {
            const std::size_t size = kCardLength * static_cast<std::size_t>(command.n);
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
