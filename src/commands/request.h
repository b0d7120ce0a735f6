// One command's request: header values and payload, run through a command
// object whose reply the family function then reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "commands/families.h"

namespace talvo::family {

struct Request {
    std::int32_t argHigh = 0;
    std::int32_t argLow = 0;
    std::int32_t count = 0;
    const void* payload = nullptr;
    std::size_t length = 0;
};

// The header values of a position: its high and low byte.
inline Request AtPosition(unsigned position, std::int32_t count, const void* payload, std::size_t length) {
    return Request{static_cast<std::int32_t>((position >> 8) & 0xFF), static_cast<std::int32_t>(position & 0xFF),
                   count, payload, length};
}

// Runs the transaction; a request longer than any frame is not sent (the
// outcome stays TALVO_E_NOT_RUN and the line's last error is left alone).
inline Outcome Run(TerminalCommand& command, int terminal, const Request& r) {
    Outcome o;
    if (r.length > kMaxFrame) return o;
    o.exchange = command.Transact(terminal, r.argHigh, r.argLow, r.count,
                                  static_cast<const unsigned char*>(r.payload), static_cast<std::uint32_t>(r.length));
    o.accepted = command.IsAccepted() != 0;
    return o;
}

// Copies the whole items of `size` characters that the stored reply's
// payload holds, `max` at the most; returns how many.
inline std::uint32_t CopyWholeItems(const TerminalCommand& command, std::uint32_t size, std::uint32_t max,
                                    unsigned char* out) {
    std::uint32_t whole = command.ReplyPayloadLength() / size;
    if (whole > max) whole = max;
    if (whole > 0) std::memcpy(out, command.ReplyPayload(), size * whole);
    return whole;
}

// A command whose reply is read for its status only.
template <std::uint8_t Code>
Outcome StatusOnly(Line& line, int terminal, const Request& r) {
    Command<Code> command(line);
    return Run(command, terminal, r);
}

}  // namespace talvo::family
