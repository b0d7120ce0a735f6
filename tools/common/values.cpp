#include "values.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <vector>

namespace talvo::common {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }
bool IsPrintable(char c) { return c > ' ' && c < 0x7F; }  // printable ASCII, no blank

std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() > 60) out = out.substr(0, 57) + "...";
    return out + "'";
}

// Two-digit (or four-digit) decimal field at `at`.
bool Field(const std::string& s, std::size_t at, std::size_t width, int& out) {
    if (at + width > s.size()) return false;
    out = 0;
    for (std::size_t i = at; i < at + width; ++i) {
        if (!IsDigit(s[i])) return false;
        out = out * 10 + (s[i] - '0');
    }
    return true;
}

bool ValidTime(int hour, int minute, int second) {
    return hour >= 0 && hour <= 23 && minute >= 0 && minute <= 59 && second >= 0 && second <= 59;
}

// "YYYY?MM?DD?HH:MM" with date separators '/' or '-' and '/' or 'T' or a
// blank between date and time, and ":SS" when `seconds`.
bool Layout(const std::string& s, bool seconds, DateTime& out) {
    if (s.size() != (seconds ? 19u : 16u)) return false;
    const char d = s[4];
    if ((d != '/' && d != '-') || s[7] != d) return false;
    if (s[10] != ' ' && s[10] != 'T') return false;
    if (s[13] != ':' || (seconds && s[16] != ':')) return false;
    out.second = 0;
    return Field(s, 0, 4, out.year) && Field(s, 5, 2, out.month) && Field(s, 8, 2, out.day) &&
           Field(s, 11, 2, out.hour) && Field(s, 14, 2, out.minute) && (!seconds || Field(s, 17, 2, out.second));
}

}  // namespace

bool RealDate(int year, int month, int day) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= days[month - 1] + (month == 2 && leap ? 1 : 0);
}

std::tm LocalTime(std::time_t t) {
    std::tm lt{};
#ifdef _WIN32
    localtime_s(&lt, &t);
#else
    localtime_r(&t, &lt);
#endif
    return lt;
}

DateTime Now() {
    const std::tm lt = LocalTime(std::time(nullptr));
    return {lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec};
}

std::string Joined(const std::vector<std::string>& items) {
    std::string all;
    for (const std::string& item : items) all += item;
    return all;
}

std::string ParseCents(const std::string& text, std::int32_t& out) {
    const std::string want = Quoted(text) + " is not an amount 0.00 to 9999.99 with at most two decimals";
    std::size_t i = 0;
    std::int64_t whole = 0;
    int intDigits = 0;
    while (i < text.size() && IsDigit(text[i])) {
        whole = whole * 10 + (text[i++] - '0');
        if (++intDigits > 8) return want;
    }
    int cents = 0;
    int decimals = 0;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) {
            if (++decimals > 2) return want;
            cents = cents * 10 + (text[i++] - '0');
        }
        if (decimals == 1) cents *= 10;
    }
    if (i != text.size() || (intDigits == 0 && decimals == 0)) return want;
    const std::int64_t value = whole * 100 + cents;
    if (value > 999999) return want;
    out = static_cast<std::int32_t>(value);
    return {};
}

std::string ParseCard(const std::string& text, std::string& out) {
    if (text.size() != 6) return Quoted(text) + " is not a card number of exactly 6 digits";
    for (char c : text) {
        if (!IsDigit(c)) return Quoted(text) + " is not a card number of exactly 6 digits";
    }
    out = text;
    return {};
}

std::string ParseKey(const std::string& text, std::string& out) {
    const std::string want = Quoted(text) + " is not a card key of exactly 6 hex digits (0-9, A-F)";
    if (text.size() != 6) return want;
    out.clear();
    for (char c : text) {
        if (!IsHex(c)) return want;
        out += (c >= 'a' && c <= 'f') ? static_cast<char>(c - 32) : c;
    }
    return {};
}

namespace {

// A text of `least` to `most` printable characters (blanks too where
// `blanks`), or `what` it is not.
std::string Printable(const std::string& text, std::string& out, std::size_t least, std::size_t most, bool blanks,
                      const char* what) {
    const std::string want = Quoted(text) + " is not " + what;
    if (text.size() < least || text.size() > most) return want;
    for (char c : text) {
        if (!IsPrintable(c) && !(blanks && c == ' ')) return want;
    }
    out = text;
    return {};
}

}  // namespace

std::string ParseCmw(const std::string& text, std::string& out) {
    return Printable(text, out, 1, 12, false, "1 to 12 printable characters without blanks");
}

std::string ParseSubsidyEntry(const std::string& text, std::string& out) {
    return Printable(text, out, 12, 12, false, "a subsidy entry of exactly 12 printable characters without blanks");
}

std::string ParseSubsidyTime(const std::string& text, std::string& out) {
    return Printable(text, out, 1, 1024, true, "1 to 1024 printable characters");
}

std::string ParseReason(const std::string& text, std::string& out) {
    if (text.size() > 8) return Quoted(text) + " has " + std::to_string(text.size()) + " bytes; a reason has at most 8";
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) return Quoted(text) + " holds a control character";
    }
    out = text;
    return {};
}

std::string ParseClock(const std::string& text, DateTime& out) {
    if (text == "now") {
        out = Now();
        return {};
    }
    const std::string want = Quoted(text) + " is not a date and time YYYY/MM/DD HH:MM (or now)";
    DateTime t;
    if (!Layout(text, false, t)) return want;
    if (t.year < 2000 || t.year > 2099) return Quoted(text) + " has a year outside 2000-2099 (the terminal keeps two digits)";
    if (!RealDate(t.year, t.month, t.day)) return Quoted(text) + " is not a date that exists";
    if (!ValidTime(t.hour, t.minute, 0)) return Quoted(text) + " is not a time of day 00:00 to 23:59";
    out = t;
    return {};
}

std::string ParseAttendClock(const std::string& text, DateTime& out) {
    if (text == "now") {
        out = Now();
        return {};
    }
    DateTime t;
    bool digits = text.size() == 14;
    for (char c : text) digits = digits && IsDigit(c);
    if (digits) {
        Field(text, 0, 4, t.year);
        Field(text, 4, 2, t.month);
        Field(text, 6, 2, t.day);
        Field(text, 8, 2, t.hour);
        Field(text, 10, 2, t.minute);
        Field(text, 12, 2, t.second);
    } else if (!Layout(text, true, t)) {
        return Quoted(text) + " is not a date and time YYYY/MM/DD HH:MM:SS or YYYYMMDDHHMMSS (or now)";
    }
    if (t.year < 1000) return Quoted(text) + " has a year outside 1000-9999";
    if (!RealDate(t.year, t.month, t.day)) return Quoted(text) + " is not a date that exists";
    if (!ValidTime(t.hour, t.minute, t.second)) return Quoted(text) + " is not a time of day 00:00:00 to 23:59:59";
    out = t;
    return {};
}

std::string ParseTimeOfDay(const std::string& text, TimeOfDay& out) {
    const std::string want = Quoted(text) + " is not a time of day HH:MM, 00:00 to 23:59";
    TimeOfDay t;
    if (text.size() != 5 || text[2] != ':' || !Field(text, 0, 2, t.hour) || !Field(text, 3, 2, t.minute)) return want;
    if (!ValidTime(t.hour, t.minute, 0)) return want;
    out = t;
    return {};
}

std::string ParseAttendZone(const std::string& text, AttendZone& out) {
    const std::string want = Quoted(text) +
                             " is not an attendance zone HH:MM-HH:MM/CC (two times of day and a two-character code)";
    if (text.size() != 14 || text[5] != '-' || text[11] != '/') return want;
    AttendZone z;
    if (!ParseTimeOfDay(text.substr(0, 5), z.start).empty() || !ParseTimeOfDay(text.substr(6, 5), z.end).empty()) {
        return want;
    }
    if (!IsPrintable(text[12]) || !IsPrintable(text[13])) return want;
    z.code = text.substr(12, 2);
    out = z;
    return {};
}

std::string ParseRawRecord(const std::string& text) {
    const std::string want = Quoted(text) +
        " is not a raw record of 28 characters: 6 of the card number, 20 digits (the type-and-month character a "
        "hex digit) and the check pair of 2 hex digits";
    if (text.size() != 28) return want;
    for (std::size_t i = 0; i < 28; ++i) {
        const char c = text[i];
        const bool ok = i < 6 ? IsPrintable(c) : (i == 12 || i >= 26) ? IsHex(c) : IsDigit(c);
        if (!ok) return want;
    }
    return {};
}

std::string ParseLineFormat(const std::string& text) {
    const std::string want = Quoted(text) +
        " is not a line format \"parity=N data=8 stop=1\" (parity N, E, O, M or S; data 5-8; stop 1 or 2)";
    std::vector<std::string> words;
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t end = text.find(' ', at);
        const std::string w = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (!w.empty()) words.push_back(w);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    bool parity = false, data = false, stop = false;
    for (const std::string& w : words) {
        if (w.size() == 8 && w.rfind("parity=", 0) == 0 && std::string("NEOMS").find(w[7]) != std::string::npos &&
            !parity) {
            parity = true;
        } else if (w.size() == 6 && w.rfind("data=", 0) == 0 && w[5] >= '5' && w[5] <= '8' && !data) {
            data = true;
        } else if (w.size() == 6 && w.rfind("stop=", 0) == 0 && (w[5] == '1' || w[5] == '2') && !stop) {
            stop = true;
        } else {
            return want;
        }
    }
    return words.empty() ? want : std::string();
}

std::string ParseTerminals(const std::string& text, std::vector<int>& out) {
    out.clear();
    bool seen[256] = {};
    std::size_t at = 0;
    const std::string form = " is not a terminal number 0 to 255, a list 1,2,5 or a range 1-4";
    while (true) {
        const std::size_t comma = text.find(',', at);
        const std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        // "N" or "N-M", each N of one to three digits.
        int first = -1, last = -1;
        std::size_t i = 0;
        auto number = [&part, &i](int& n) {
            const std::size_t start = i;
            n = 0;
            while (i < part.size() && IsDigit(part[i]) && i - start < 4) n = n * 10 + (part[i++] - '0');
            return i > start && i - start <= 3;
        };
        if (!number(first)) return Quoted(part.empty() ? text : part) + form;
        last = first;
        if (i < part.size() && part[i] == '-') {
            ++i;
            if (!number(last)) return Quoted(part) + form;
        }
        if (i != part.size()) return Quoted(part) + form;
        if (first > 255 || last > 255) return Quoted(part) + " is not in range 0 to 255";
        if (last < first) return Quoted(part) + " is a range that runs backwards (" + std::to_string(last) + "-" +
                                 std::to_string(first) + ")";
        for (int n = first; n <= last; ++n) {
            if (seen[n]) return "terminal " + std::to_string(n) + " is given twice in " + Quoted(text);
            seen[n] = true;
            out.push_back(n);
        }
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    return {};
}

std::string ParseBaud(const std::string& text, std::uint32_t& out) {
    static const std::uint32_t rates[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
    for (std::uint32_t r : rates) {
        if (text == std::to_string(r)) {
            out = r;
            return {};
        }
    }
    return Quoted(text) + " is not one of 300 600 1200 2400 4800 9600 19200 38400 57600 115200";
}

std::string FormatCents(std::int64_t cents) {
    const bool negative = cents < 0;
    const std::uint64_t v = negative ? static_cast<std::uint64_t>(-(cents + 1)) + 1 : static_cast<std::uint64_t>(cents);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%02llu", negative ? "-" : "", static_cast<unsigned long long>(v / 100),
                  static_cast<unsigned long long>(v % 100));
    return text;
}

std::int64_t CentsOf(float amount) {
    const double v = static_cast<double>(amount) * 100.0;
    if (!std::isfinite(v) || std::fabs(v) > 1e15) return 0;  // not an amount the library writes
    return std::llround(v);
}

std::string FormatDateTime(const DateTime& w, bool with_seconds) {
    char text[40];
    if (with_seconds) {
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", w.year, w.month, w.day, w.hour, w.minute,
                      w.second);
    } else {
        std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d", w.year, w.month, w.day, w.hour, w.minute);
    }
    return text;
}

std::string FormatTime(const TimeOfDay& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d", t.hour, t.minute);
    return text;
}

}  // namespace talvo::common
