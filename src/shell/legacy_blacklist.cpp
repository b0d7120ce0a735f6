// The 43 exports' blacklist commands: add, remove, write at a position,
// clear, read back.
#include <cstring>

#include "commands/blacklist.h"
#include "platform/platform.h"
#include "shell/export_guard.h"

using namespace talvo;
using namespace talvo::family;

extern "C" {

TALVO_API int TALVO_CALL AddHMD(int terminal, const char* entries) {
    if (entries == nullptr || !ValidTerminal(terminal)) return 0;
    // Measured no further than the largest frame allows; longer is refused.
    const std::size_t n = ::strnlen(entries, kMaxPayload + 1);
    if (n > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) { return AddCards(line, terminal, entries, n).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL ReduHMD(int terminal, const char* entry) {
    // The entry must be exactly six characters long: its terminator is read.
    if (entry == nullptr || !ValidTerminal(terminal) || ::strnlen(entry, kCardLength + 1) != kCardLength) return 0;
    return WithPort(0, [&](Line& line) { return RemoveCard(line, terminal, entry).accepted ? 1 : 0; });
}

TALVO_API int TALVO_CALL SetHMD(int terminal, int position, const char* entries, int count) {
    if (count < 0 || (entries == nullptr && count > 0) || !ValidTerminal(terminal)) return 0;
    // Sized in 64 bits: a count whose entries would not fit one frame is
    // refused before anything is read or sent.
    if (std::uint64_t{kCardLength} * static_cast<std::uint64_t>(count) > kMaxPayload) return 0;
    return WithPort(0, [&](Line& line) {
        return WriteCards(line, terminal, static_cast<unsigned>(position), entries, static_cast<std::size_t>(count))
                       .accepted
                   ? 1
                   : 0;
    });
}

TALVO_API int TALVO_CALL ClearHMD(int terminal) {
    return AcceptedBy(terminal, ClearCards);
}

TALVO_API int TALVO_CALL ReadHMD(int terminal, int position, char** data, int* count) {
    if (data == nullptr || count == nullptr || !ValidTerminal(terminal)) return 0;
    return WithPort(0, [&](Line& line) {
        CardBlock block;
        const Outcome o = ReadCards(line, terminal, static_cast<unsigned>(position), block);
        if (!o.Exchanged()) return 0;
        if (block.count > 0) {
            const std::size_t size = kCardLength * static_cast<std::size_t>(block.count);
            auto* handed = static_cast<char*>(platform::memory::AllocateForHost(size, false));
            if (handed == nullptr) return 0;
            std::memcpy(handed, block.cards, size);
            *data = handed;
        }
        *count = block.count;
        return 1;
    });
}

}  // extern "C"
