// The values a user types for the terminal, checked against what the
// terminal takes, and the way the tool prints them.  Every Parse function
// returns an empty text when the value is good (and fills `out`), or the
// reason it is refused ("'13:75' is not a time of day HH:MM, 00:00 to
// 23:59"), to follow the argument's name.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace talvo::common {

struct DateTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
struct TimeOfDay {
    int hour = 0, minute = 0;
};
struct AttendZone {
    TimeOfDay start, end;
    std::string code = "00";  // two characters
};
constexpr int kZones = 8;
using Zones = std::array<TimeOfDay, kZones>;
using AttendZones = std::array<AttendZone, kZones>;

// Money: 0.00 to 9999.99 with at most two decimals, into cents.
std::string ParseCents(const std::string& text, std::int32_t& out);
// A blacklist card number: exactly six digits.
std::string ParseCard(const std::string& text, std::string& out);
// A card key: exactly six hex digits, either case; `out` in upper case.
std::string ParseKey(const std::string& text, std::string& out);
// The CMW text: 1 to 12 printable characters, no blanks.
std::string ParseCmw(const std::string& text, std::string& out);
// A subsidy list entry: exactly 12 printable characters, no blanks.
std::string ParseSubsidyEntry(const std::string& text, std::string& out);
// The subsidy time text: 1 to 1024 printable characters.
std::string ParseSubsidyTime(const std::string& text, std::string& out);
// A reason text: up to 8 bytes, no control characters.
std::string ParseReason(const std::string& text, std::string& out);
// The payment terminal's clock: "YYYY/MM/DD HH:MM" (or with '-' in the
// date, or 'T' between date and time), a real date in 2000-2099, or "now".
std::string ParseClock(const std::string& text, DateTime& out);
// The attendance clock: "YYYY/MM/DD HH:MM:SS", "YYYYMMDDHHMMSS" or "now";
// a real date and time, years 1000-9999.
std::string ParseAttendClock(const std::string& text, DateTime& out);
// A time of day "HH:MM", 00:00 to 23:59.
std::string ParseTimeOfDay(const std::string& text, TimeOfDay& out);
// An attendance zone "HH:MM-HH:MM/CC", CC two printable characters.
std::string ParseAttendZone(const std::string& text, AttendZone& out);
// A raw record: 28 characters of the record alphabet (six printable card
// characters, then digits, with hex digits for the type-and-month
// character and the check pair).
std::string ParseRawRecord(const std::string& text);
// A line format "parity=N data=8 stop=1": parity N, E, O, M or S, data 5 to
// 8, stop 1 or 2, each at most once.
std::string ParseLineFormat(const std::string& text);
// Terminal numbers 0 to 255: one ("3"), a list ("1,2,5"), ranges ("1-4")
// or both ("1-3,7"), in the order given, none twice.
std::string ParseTerminals(const std::string& text, std::vector<int>& out);
// A baud rate both platforms' drivers take.
std::string ParseBaud(const std::string& text, std::uint32_t& out);

// Whether the date exists (30 February does not).
bool RealDate(int year, int month, int day);
// The host's clock now, and a moment in the host's time zone.
DateTime Now();
std::tm LocalTime(std::time_t t);

// Items of a list (cards, subsidy entries) back to back, as a terminal
// takes them.
std::string Joined(const std::vector<std::string>& items);

// 123456 -> "1234.56", -5 -> "-0.05", 0 -> "0.00" (never "-0.00").
std::string FormatCents(std::int64_t cents);
// A float amount as the library keeps it, to the nearest cent.
std::int64_t CentsOf(float amount);
// "2026/03/15 10:20" (with_seconds: "2026/03/15 10:20:30").
std::string FormatDateTime(const DateTime& when, bool with_seconds);
std::string FormatTime(const TimeOfDay& t);

}  // namespace talvo::common
