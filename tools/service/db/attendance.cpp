#include "db/attendance.h"

#include <algorithm>
#include <map>
#include <set>

#include "db/cardholders.h"
#include "db/csv.h"

namespace talvo::service {
namespace {

int Minute(const std::string& hhmm) { return std::stoi(hhmm.substr(0, 2)) * 60 + std::stoi(hhmm.substr(3, 2)); }

}  // namespace

AttendanceDay PairPunches(std::vector<std::string> punches) {
    std::sort(punches.begin(), punches.end());
    punches.erase(std::unique(punches.begin(), punches.end()), punches.end());
    AttendanceDay d;
    for (std::size_t i = 0; i + 1 < punches.size(); i += 2) {
        d.pairs.emplace_back(punches[i], punches[i + 1]);
        d.minutes += Minute(punches[i + 1]) - Minute(punches[i]);
    }
    d.odd = punches.size() % 2 == 1;
    d.punches = std::move(punches);
    return d;
}

std::vector<AttendanceDay> Attendance(Connection& db, const std::string& from, const std::string& to,
                                      const std::vector<ReportTerminal>& terminals) {
    std::set<std::pair<std::string, int>> clocks;
    std::set<int> numbers;
    for (const ReportTerminal& t : terminals) {
        if (t.kind != "attendance") continue;
        clocks.insert({t.line, t.number});
        numbers.insert(t.number);
    }
    std::vector<AttendanceDay> out;
    if (clocks.empty()) return out;
    std::string sql = "SELECT card, day, at, line, terminal FROM records WHERE day >= ? AND day <= ? AND terminal IN (";
    std::vector<Value> params = {from, to};
    for (int n : numbers) {
        sql += params.size() == 2 ? "?" : ", ?";
        params.emplace_back(static_cast<std::int64_t>(n));
    }
    sql += ")";
    std::map<std::pair<std::string, std::string>, std::vector<std::string>> punches;  // (card, day) -> times
    for (const Row& r : db.Query(sql, params)) {
        if (clocks.count({AsText(r[3]), static_cast<int>(AsInt(r[4]))}) == 0) continue;
        const std::string at = AsText(r[2]);
        if (at.size() < 16) continue;
        punches[{AsText(r[0]), AsText(r[1])}].push_back(at.substr(11, 5));
    }
    std::map<std::string, Cardholder> holders;
    for (Cardholder& c : ListCardholders(db)) holders.emplace(c.card, std::move(c));
    for (auto& [key, times] : punches) {
        AttendanceDay d = PairPunches(std::move(times));
        d.card = key.first;
        d.day = key.second;
        const auto it = holders.find(d.card);
        if (it != holders.end()) {
            d.name = it->second.name;
            d.staffNumber = it->second.staffNumber;
            d.department = it->second.department;
        }
        out.push_back(std::move(d));
    }
    std::stable_sort(out.begin(), out.end(), [](const AttendanceDay& a, const AttendanceDay& b) {
        if (a.name.empty() != b.name.empty()) return b.name.empty();
        if (a.name != b.name) return a.name < b.name;
        if (a.card != b.card) return a.card < b.card;
        return a.day < b.day;
    });
    return out;
}

std::string Hours(std::int64_t minutes) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld.%02lld", static_cast<long long>(minutes / 60),
                  static_cast<long long>((minutes % 60) * 100 / 60));
    return text;
}

std::string AttendanceCsv(const std::vector<AttendanceDay>& days) {
    std::string out =
        "card,name,staff_number,department,day,first_in,last_out,pairs,minutes,hours,punches,unpaired\r\n";
    for (const AttendanceDay& d : days) {
        std::string pairs;
        for (const auto& [in, outAt] : d.pairs) pairs += (pairs.empty() ? "" : " ") + in + "-" + outAt;
        out += CsvText(d.card) + "," + CsvText(d.name) + "," + CsvText(d.staffNumber) + "," + CsvText(d.department) +
               "," + d.day + "," + d.FirstIn() + "," + d.LastOut() + "," + pairs + "," + std::to_string(d.minutes) +
               "," + Hours(d.minutes) + "," + std::to_string(d.punches.size()) + "," + (d.odd ? "yes" : "no") + "\r\n";
    }
    return out;
}

}  // namespace talvo::service
