// Attendance hours from the attendance terminals' records: per cardholder
// and day the punches in time order, paired first in / next out; the hours
// are the sum of the pairs.  A day ends at midnight (the terminal's local
// time): a shift over midnight leaves an unpaired "in" on its first day and
// an unpaired "out" on the next, and both days are flagged for a person to
// settle.  Two punches of one card in the same minute are one punch (a card
// held to the reader twice).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "db/report.h"

namespace talvo::service {

struct AttendanceDay {
    std::string card, name, staffNumber, department;  // name etc. "" without a cardholder
    std::string day;                                   // "YYYY-MM-DD"
    std::vector<std::string> punches;                  // "HH:MM", in order
    std::vector<std::pair<std::string, std::string>> pairs;  // in, out
    std::int64_t minutes = 0;                          // worked: the pairs' sum
    bool odd = false;                                  // an odd number of punches: the last one is unpaired
    std::string FirstIn() const { return punches.empty() ? "" : punches.front(); }
    // The last punch that closes a pair ("" when none does).
    std::string LastOut() const { return pairs.empty() ? "" : pairs.back().second; }
};

// Pairs one card's punches of one day ("HH:MM", any order).
AttendanceDay PairPunches(std::vector<std::string> punches);

// Every card's days from `from` to `to` (dates, inclusive) on the
// attendance terminals among `terminals`, by name (cards without a
// cardholder after those with one), then card, then day.
std::vector<AttendanceDay> Attendance(Connection& db, const std::string& from, const std::string& to,
                                      const std::vector<ReportTerminal>& terminals);

std::string AttendanceCsv(const std::vector<AttendanceDay>& days);
// "7.50" for 450 minutes.
std::string Hours(std::int64_t minutes);

}  // namespace talvo::service
