// Clock, time zone and lock commands of the consumption terminal.
#pragma once

#include "commands/families.h"

namespace talvo::family {

struct ClockDigits {
    bool present = false;  // the reply carried the ten digits
    unsigned char digits[kClockLength] = {};  // "yymmddhhmm"
};
// 0x3A, Count 0.
Outcome ReadClock(Line& line, int terminal, ClockDigits& out);
// 0x2A, Count 6.
Outcome SetClock(Line& line, int terminal, const unsigned char (&digits)[kClockLength]);

struct ZoneDigits {
    std::uint32_t whole = 0;  // zones whose four characters came, at most 8
    unsigned char digits[kZoneLength * kZones] = {};  // "hhmm" per zone
};
// 0x38, Count 8.
Outcome ReadZones(Line& line, int terminal, ZoneDigits& out);
// 0x28, Count 8.
Outcome SetZones(Line& line, int terminal, const unsigned char (&digits)[kZoneLength * kZones]);

// 0x2B and 0x3B, Count 0.
Outcome Lock(Line& line, int terminal);
Outcome Unlock(Line& line, int terminal);

}  // namespace talvo::family
