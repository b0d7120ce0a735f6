#include "commands/attendance.h"

#include <cstring>

#include "commands/request.h"

namespace talvo::family {

std::size_t DecodeReason(const unsigned char* payload, std::uint32_t length, char* reason) {
    // Only the pairs the payload holds; a 0x0F byte ends the reason.
    const std::uint32_t pairs = payload == nullptr ? 0 : length / 2;
    std::uint32_t i = 0;
    for (; i < 8 && i < pairs; ++i) {
        const unsigned char b = GetHexPair(payload, 2 * i);
        if (b == 0x0F) break;
        reason[i] = static_cast<char>(b);
    }
    return i;
}

Outcome SetAttendZones(Line& line, int terminal, const unsigned char (&payload)[kAttendZoneLength * kZones]) {
    return StatusOnly<kSetZones>(line, terminal, {0, 0, kZones, payload, sizeof payload});
}

Outcome ReadAttendZones(Line& line, int terminal, AttendZoneChars& out) {
    Command<kReadZones> command(line);
    const Outcome o = Run(command, terminal, {0, 0, kZones});
    out.whole = CopyWholeItems(command, kAttendZoneLength, kZones, out.chars);
    return o;
}

Outcome SetReason(Line& line, int terminal, int number, const unsigned char (&bytes)[8]) {
    unsigned char payload[16];
    for (std::uint32_t i = 0; i < 8; ++i) PutHexPair(payload, 2 * i, bytes[i]);
    return StatusOnly<kSetZones>(line, terminal, {0, 0, number, payload, sizeof payload});
}

Outcome ReadReason(Line& line, int terminal, int number, std::uint32_t waitTime, ReasonText& out) {
    Command<kReadZones> command(line);
    command.waitTime = waitTime;
    const Outcome o = Run(command, terminal, {0, 0, number});
    out.length = DecodeReason(command.ReplyPayload(), command.ReplyPayloadLength(), out.text);
    return o;
}

Outcome SetAttendClock(Line& line, int terminal, const unsigned char* chars, std::size_t length) {
    return StatusOnly<kSetClock>(line, terminal, {0, 0, 1, chars, length});
}

Outcome ReadAttendClock(Line& line, int terminal, AttendClockChars& out) {
    Command<kReadClock> command(line);
    const Outcome o = Run(command, terminal, {});
    if (command.ReplyPayloadLength() >= kAttendClockLength) {
        out.present = true;
        std::memcpy(out.chars, command.ReplyPayload(), kAttendClockLength);
    }
    return o;
}

}  // namespace talvo::family
