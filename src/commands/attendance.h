// Attendance terminal commands: attendance time zones, reason texts, clock.
#pragma once

#include "commands/families.h"

namespace talvo::family {

// 0x28, Count 8: per zone "hhmmhhmm" and a two-character code.
Outcome SetAttendZones(Line& line, int terminal, const unsigned char (&payload)[kAttendZoneLength * kZones]);

struct AttendZoneChars {
    std::uint32_t whole = 0;  // zones whose ten characters came, at most 8
    unsigned char chars[kAttendZoneLength * kZones] = {};
};
// 0x38, Count 8.
Outcome ReadAttendZones(Line& line, int terminal, AttendZoneChars& out);

// 0x28, Count the reason's number: its eight bytes as hex pairs.
Outcome SetReason(Line& line, int terminal, int number, const unsigned char (&bytes)[8]);

struct ReasonText {
    std::size_t length = 0;
    char text[8] = {};
};
// 0x38, Count the reason's number, collected for `waitTime` ms (the
// terminal takes its time with reasons).
Outcome ReadReason(Line& line, int terminal, int number, std::uint32_t waitTime, ReasonText& out);

// 0x2A, Count 1: the characters as given.
Outcome SetAttendClock(Line& line, int terminal, const unsigned char* chars, std::size_t length);

struct AttendClockChars {
    bool present = false;  // the reply carried the fourteen characters
    unsigned char chars[kAttendClockLength] = {};  // "yyyymmddhhmmss"
};
// 0x3A, Count 0.
Outcome ReadAttendClock(Line& line, int terminal, AttendClockChars& out);

}  // namespace talvo::family
