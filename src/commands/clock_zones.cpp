#include "commands/clock_zones.h"

#include <cstring>

#include "commands/request.h"

namespace talvo::family {

Outcome ReadClock(Line& line, int terminal, ClockDigits& out) {
    Command<kReadClock> command(line);
    const Outcome o = Run(command, terminal, {});
    if (command.ReplyPayloadLength() >= kClockLength) {
        out.present = true;
        std::memcpy(out.digits, command.ReplyPayload(), kClockLength);
    }
    return o;
}

Outcome SetClock(Line& line, int terminal, const unsigned char (&digits)[kClockLength]) {
    return StatusOnly<kSetClock>(line, terminal, {0, 0, 6, digits, kClockLength});
}

Outcome ReadZones(Line& line, int terminal, ZoneDigits& out) {
    Command<kReadZones> command(line);
    const Outcome o = Run(command, terminal, {0, 0, kZones});
    out.whole = CopyWholeItems(command, kZoneLength, kZones, out.digits);
    return o;
}

Outcome SetZones(Line& line, int terminal, const unsigned char (&digits)[kZoneLength * kZones]) {
    return StatusOnly<kSetZones>(line, terminal, {0, 0, kZones, digits, sizeof digits});
}

Outcome Lock(Line& line, int terminal) { return StatusOnly<kBlock>(line, terminal, {}); }

Outcome Unlock(Line& line, int terminal) { return StatusOnly<kUnblock>(line, terminal, {}); }

}  // namespace talvo::family
