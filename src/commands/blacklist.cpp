#include "commands/blacklist.h"

#include <cstring>

#include "commands/request.h"

namespace talvo::family {

Outcome AddCards(Line& line, int terminal, const char* entries, std::size_t length) {
    // Characters beyond the last whole entry are sent too; they do not count.
    return StatusOnly<kAddHmd>(line, terminal,
                               {0, 0, static_cast<std::int32_t>(length / kCardLength), entries, length});
}

Outcome RemoveCard(Line& line, int terminal, const char* card) {
    return StatusOnly<kReduHmd>(line, terminal, {0, 0, 1, card, kCardLength});
}

Outcome WriteCards(Line& line, int terminal, unsigned position, const char* entries, std::size_t count) {
    return StatusOnly<kSetHmd>(line, terminal,
                               AtPosition(position, static_cast<std::int32_t>(count), entries, kCardLength * count));
}

Outcome ClearCards(Line& line, int terminal) { return StatusOnly<kClearHmd>(line, terminal, {0, 0, 101}); }

Outcome ReadCards(Line& line, int terminal, unsigned position, CardBlock& out) {
    Command<kReadHmd> command(line);
    const Outcome o = Run(command, terminal, AtPosition(position, kReadHmdLimit, nullptr, 0));
    int n = command.ReplyCount();
    const int present = static_cast<int>(command.ReplyPayloadLength() / kCardLength);
    if (n > present) n = present;
    if (n > kReadHmdLimit) n = kReadHmdLimit;
    out.count = n;
    if (n > 0) std::memcpy(out.cards, command.ReplyPayload(), kCardLength * static_cast<std::size_t>(n));
    return o;
}

}  // namespace talvo::family
