// The values a user gives for a terminal (amounts, dates and times, zones,
// subsidy entries, card numbers, terminal lists, line formats): each read
// or refused with a reason, and what is read prints back to itself.
#include <set>

#include "fuzz_check.h"
#include "values.h"

// The values' namespace: the tool's, or the one the tool and the service
// share.
namespace talvo::cli {}
namespace talvo::common {}
using namespace talvo::cli;
using namespace talvo::common;

namespace {

template <typename T>
using Parser = std::string (*)(const std::string&, T&);

// A text checked into a text reads again as itself.
void TextIdempotent(Parser<std::string> parse, const std::string& text) {
    std::string out;
    if (!parse(text, out).empty()) return;
    std::string again;
    FUZZ_CHECK(parse(out, again).empty() && again == out);
}

bool SameTime(const DateTime& a, const DateTime& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 2048) return 0;
    const std::string text = talvo::fuzz::Text(data, size);

    // Money: cents 0 to 999999, printed as the same amount.
    std::int32_t cents = -1;
    if (ParseCents(text, cents).empty()) {
        FUZZ_CHECK(cents >= 0 && cents <= 999999);
        std::int32_t again = -1;
        FUZZ_CHECK(ParseCents(FormatCents(cents), again).empty() && again == cents);
        // The library's float form of it comes back to the same cents.
        FUZZ_CHECK(CentsOf(static_cast<float>(cents / 100.0)) == cents);
    }

    TextIdempotent(&ParseCard, text);
    TextIdempotent(&ParseKey, text);
    TextIdempotent(&ParseCmw, text);
    TextIdempotent(&ParseSubsidyEntry, text);
    TextIdempotent(&ParseSubsidyTime, text);
    TextIdempotent(&ParseReason, text);

    // Dates and times: real ones, printed in a form that reads back the same.
    DateTime when;
    if (text != "now" && ParseClock(text, when).empty()) {
        FUZZ_CHECK(RealDate(when.year, when.month, when.day) && when.year >= 2000 && when.year <= 2099);
        DateTime again;
        FUZZ_CHECK(ParseClock(FormatDateTime(when, false), again).empty() && SameTime(again, when));
    }
    if (text != "now" && ParseAttendClock(text, when).empty()) {
        FUZZ_CHECK(RealDate(when.year, when.month, when.day) && when.hour <= 23 && when.minute <= 59 &&
                   when.second <= 59);
        DateTime again;
        FUZZ_CHECK(ParseAttendClock(FormatDateTime(when, true), again).empty() && SameTime(again, when));
    }
    TimeOfDay t;
    if (ParseTimeOfDay(text, t).empty()) {
        TimeOfDay again;
        FUZZ_CHECK(ParseTimeOfDay(FormatTime(t), again).empty() && again.hour == t.hour && again.minute == t.minute);
    }
    AttendZone zone;
    if (ParseAttendZone(text, zone).empty()) {
        FUZZ_CHECK(zone.code.size() == 2);
        AttendZone again;
        const std::string shown = FormatTime(zone.start) + "-" + FormatTime(zone.end) + "/" + zone.code;
        FUZZ_CHECK(ParseAttendZone(shown, again).empty() && again.code == zone.code &&
                   again.start.hour == zone.start.hour && again.end.minute == zone.end.minute);
    }

    (void)ParseRawRecord(text);
    (void)ParseLineFormat(text);
    std::uint32_t baud = 0;
    if (ParseBaud(text, baud).empty()) FUZZ_CHECK(baud > 0);

    // Terminal lists: numbers 0 to 255, none twice.
    std::vector<int> terminals;
    if (ParseTerminals(text, terminals).empty()) {
        FUZZ_CHECK(!terminals.empty() && terminals.size() <= 256);
        std::set<int> seen;
        for (int n : terminals) FUZZ_CHECK(n >= 0 && n <= 255 && seen.insert(n).second);
    }
    return 0;
}
