#include "sim_line.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace talvo::sim {
namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Checksum as a terminal computes it: every byte after the STX up to the
// ETX, leaving out any further STX.
int Sum(const std::string& frame, std::size_t etx) {
    int sum = 0;
    for (std::size_t i = 1; i < etx; ++i) {
        if (frame[i] != kStx) sum = (sum + static_cast<unsigned char>(frame[i])) & 0xFF;
    }
    return sum;
}

std::string HostClock(int width) {
    std::time_t now = std::time(nullptr);
    std::tm lt{};
    localtime_r(&now, &lt);
    char text[32];
    if (width == 10) {
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d", lt.tm_year % 100, lt.tm_mon + 1, lt.tm_mday,
                      lt.tm_hour, lt.tm_min);
    } else {
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday,
                      lt.tm_hour, lt.tm_min, lt.tm_sec);
    }
    return text;
}

// A clock text as set ("YYMMDDhhmm", or "YYYYMMDDhhmmss" for an
// attendance terminal) moved on by the time since it was set, as the
// terminal's own clock runs.  A text that is no date is kept as it came.
std::string RunningClock(const std::string& set, std::chrono::steady_clock::time_point at) {
    const bool wide = set.size() == 14;
    if (set.size() != 10 && !wide) return set;
    for (const char c : set) {
        if (c < '0' || c > '9') return set;
    }
    auto field = [&](std::size_t from, std::size_t n) { return std::stoi(set.substr(from, n)); };
    std::tm tm{};
    const std::size_t o = wide ? 2 : 0;  // the two digits of the century
    tm.tm_year = (wide ? field(0, 4) : 2000 + field(0, 2)) - 1900;
    tm.tm_mon = field(2 + o, 2) - 1;
    tm.tm_mday = field(4 + o, 2);
    tm.tm_hour = field(6 + o, 2);
    tm.tm_min = field(8 + o, 2);
    tm.tm_sec = wide ? field(12, 2) : 0;
    if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 59) {
        return set;
    }
    // The arithmetic in UTC, so that no change of the host's zone or
    // daylight saving shifts the terminal's own wall time.
    std::tm given = tm;
    const std::time_t base = timegm(&tm);
    // 30 February and the like are no date: timegm would move them on.
    if (base == static_cast<std::time_t>(-1) || tm.tm_mday != given.tm_mday || tm.tm_mon != given.tm_mon) return set;
    const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - at);
    const std::time_t now = base + static_cast<std::time_t>(std::max<std::int64_t>(0, elapsed.count()));
    std::tm out{};
    gmtime_r(&now, &out);
    char text[32];
    if (wide) {
        std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", out.tm_year + 1900, out.tm_mon + 1, out.tm_mday,
                      out.tm_hour, out.tm_min, out.tm_sec);
    } else {
        std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d", out.tm_year % 100, out.tm_mon + 1, out.tm_mday,
                      out.tm_hour, out.tm_min);
    }
    return text;
}

struct Reply {
    std::string status = "GG";
    int argHigh = 0;
    int argLow = 0;
    int count = 0;
    std::string payload;
};

}  // namespace

std::string Hex2(int value) {
    static const char* digits = "0123456789ABCDEF";
    value &= 0xFF;
    return std::string{digits[value >> 4], digits[value & 15]};
}

int Unhex2(const std::string& s, std::size_t at) {
    if (at + 1 >= s.size()) return -1;
    int hi = HexValue(s[at]);
    int lo = HexValue(s[at + 1]);
    return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::string BuildReply(int terminal, const std::string& status, int argHigh, int argLow, int count,
                       const std::string& payload) {
    std::string frame(1, kStx);
    frame += "00" + Hex2(terminal) + status + Hex2(argHigh) + Hex2(argLow) + Hex2(count) + payload;
    frame += kEtx;
    frame += Hex2(Sum(frame, frame.size() - 1));
    return frame;
}

std::string ToHex(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) out += Hex2(c);
    return out;
}

std::string FromHex(const std::string& hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        int v = Unhex2(hex, i);
        if (v < 0) break;
        out += static_cast<char>(v);
    }
    return out;
}

std::string SealRecord(const std::string& first26) {
    int sum = 0;
    for (std::size_t i = 0; i < 26; i += 2) {
        int v = Unhex2(first26, i);
        if (v < 0) {
            // Characters outside the hex digits count as a terminal's
            // arithmetic would count them.
            auto value = [](char c) { return c > 0x40 ? c - 0x37 : c - 0x30; };
            v = (16 * value(first26[i]) + value(first26[i + 1])) & 0xFF;
        }
        sum = (sum + v) & 0xFF;
    }
    return first26.substr(0, 26) + Hex2(sum);
}

std::vector<Action> Line::Feed(const unsigned char* bytes, std::size_t count) {
    // Byte by byte, as a terminal's receiver sees them: noise outside a
    // frame is ignored, a frame runs from STX to ETX and its checksum pair,
    // and a frame longer than the receiver holds is skipped to its end.
    std::vector<Action> actions;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = static_cast<char>(bytes[i]);
        switch (state_) {
            case Receive::kIdle:
                if (c == kStx) {
                    pending_.assign(1, c);
                    state_ = Receive::kFrame;
                }
                break;
            case Receive::kFrame:
                pending_ += c;
                if (c == kEtx) {
                    state_ = Receive::kSum;
                } else if (pending_.size() > maxFrame) {
                    pending_.clear();
                    pending_.shrink_to_fit();
                    ++dropped;
                    state_ = Receive::kSkip;
                }
                break;
            case Receive::kSum:
                pending_ += c;
                if (pending_.size() >= 2 && pending_[pending_.size() - 3] == kEtx) {
                    frames.push_back(ToHex(pending_));
                    actions.push_back(Respond(pending_));
                    pending_.clear();
                    state_ = Receive::kIdle;
                }
                break;
            case Receive::kSkip:
                if (c == kEtx) {
                    skipSum_ = 2;
                    state_ = Receive::kSkipSum;
                }
                break;
            case Receive::kSkipSum:
                if (--skipSum_ == 0) state_ = Receive::kIdle;
                break;
        }
    }
    return actions;
}

std::optional<Fault> Line::TakeFault(int command) {
    for (std::size_t i = 0; i < faults.size(); ++i) {
        Fault& f = faults[i];
        if (f.code != -1 && f.code != command) continue;
        if (f.skip > 0) {
            --f.skip;
            continue;
        }
        Fault taken = f;
        if (f.times > 0 && --f.times == 0) faults.erase(faults.begin() + static_cast<long>(i));
        return taken;
    }
    return std::nullopt;
}

Action Line::Respond(const std::string& frame) {
    Action action;
    std::size_t etx = frame.size() - 3;
    int terminal = Unhex2(frame, 3);
    int command = Unhex2(frame, 5);
    int argHigh = Unhex2(frame, 7);
    int argLow = Unhex2(frame, 9);
    int count = Unhex2(frame, 11);
    int sum = Unhex2(frame, etx + 1);
    // A frame a terminal cannot read gets no answer, as on a real line.
    if (etx < 13 || terminal < 0 || command < 0 || argHigh < 0 || argLow < 0 || count < 0 || sum != Sum(frame, etx)) {
        action.silent = true;
        return action;
    }
    auto it = terminals.find(terminal);
    if (it == terminals.end()) {
        action.silent = true;
        return action;
    }
    std::optional<Fault> fault = TakeFault(command);
    // A request lost on its way: not carried out, not answered.
    if (fault && fault->kind == "deaf") {
        action.silent = true;
        return action;
    }
    std::string reply = Handle(it->second, command, argHigh, argLow, count, frame.substr(13, etx - 13), terminal, fault);
    if (auto watched = kept.find(terminal); watched != kept.end()) {
        const std::vector<std::string>& list = it->second.blacklist;
        for (const std::string& card : watched->second) {
            if (std::find(list.begin(), list.end(), card) == list.end()) {
                ++missed;
                break;
            }
        }
    }
    if (fault) {
        const std::string& k = fault->kind;
        if (k == "silence") {
            action.silent = true;
            return action;
        }
        if (k == "close") {
            action.closeLine = true;
            return action;
        }
        if (k == "delay") action.delayMs = std::atoi(fault->arg.c_str());
        if (k == "noise") reply = std::string("\x55\xAA\x33\x31", 4) + reply;
        if (k == "long") reply = std::string(1100, '\x55') + reply;
        // A stray STX ahead of the reply, and the start of a frame cut off.
        if (k == "stx") reply = std::string("\x02\x31\x32", 3) + reply;
        if (k == "cutstart") reply = reply.substr(0, 6) + reply;
        if (k == "badsum") reply.back() = reply.back() == '0' ? '1' : '0';
        if (k == "lowersum") {
            for (std::size_t i = reply.size() - 2; i < reply.size(); ++i) {
                if (reply[i] >= 'A' && reply[i] <= 'F') reply[i] = static_cast<char>(reply[i] + 32);
            }
        }
        if (k == "trailer") reply += "33";
        // Another terminal's reply on the line: one that answers late, ahead
        // of this terminal's own reply ("foreign"), or in its place ("as").
        // A terminal of that number on the line answers for itself (a late
        // batch is its own batch); otherwise this reply is readdressed.
        if (k == "foreign" || k == "as") {
            const int other = std::atoi(fault->arg.c_str());
            std::string late;
            auto found = terminals.find(other);
            if (found != terminals.end() && other != terminal) {
                std::optional<Fault> none;
                late = Handle(found->second, command, argHigh, argLow, count, frame.substr(13, etx - 13), other, none);
            } else {
                late = reply;
                late.replace(3, 2, Hex2(other));
                late.replace(late.size() - 2, 2, Hex2(Sum(late, late.size() - 3)));
            }
            reply = k == "foreign" ? late + reply : late;
        }
        if (k == "split") {
            int pieces = 3;
            int gap = 20;
            std::sscanf(fault->arg.c_str(), "%d:%d", &pieces, &gap);
            if (pieces < 1) pieces = 1;
            std::size_t size = (reply.size() + static_cast<std::size_t>(pieces) - 1) / static_cast<std::size_t>(pieces);
            for (std::size_t at = 0; at < reply.size(); at += size) action.pieces.push_back(reply.substr(at, size));
            action.gapMs = gap;
            return action;
        }
    }
    action.pieces.push_back(reply);
    return action;
}

namespace {

// The blacklist's commands.
void Blacklist(TerminalState& t, int command, int argHigh, int argLow, int count, const std::string& payload,
               Reply& r) {
    const int position = argHigh * 256 + argLow;
    switch (command) {
        case 0x2C:  // add blacklist entries
            for (int i = 0; i < count && static_cast<std::size_t>(6 * i + 6) <= payload.size(); ++i) {
                std::string entry = payload.substr(static_cast<std::size_t>(6 * i), 6);
                if (std::find(t.blacklist.begin(), t.blacklist.end(), entry) == t.blacklist.end()) {
                    t.blacklist.push_back(entry);
                }
            }
            break;
        case 0x4C: {  // remove one entry
            auto at = std::find(t.blacklist.begin(), t.blacklist.end(), payload.substr(0, 6));
            if (at != t.blacklist.end()) t.blacklist.erase(at);
            break;
        }
        case 0x24:  // write entries at a position
            for (int i = 0; i < count && static_cast<std::size_t>(6 * i + 6) <= payload.size(); ++i) {
                std::size_t slot = static_cast<std::size_t>(position + i);
                if (t.blacklist.size() <= slot) t.blacklist.resize(slot + 1, "000000");
                t.blacklist[slot] = payload.substr(static_cast<std::size_t>(6 * i), 6);
            }
            break;
        case 0x44:
            if (count == 0x65) t.blacklist.clear();
            break;
        case 0x34: {  // read entries from a position
            r.argHigh = argHigh;
            r.argLow = argLow;
            for (std::size_t i = static_cast<std::size_t>(position);
                 i < t.blacklist.size() && r.count < std::min(count, 32); ++i) {
                r.payload += t.blacklist[i];
                ++r.count;
            }
            break;
        }
    }
}

// Time zones, attendance zones, reasons and the clock.
void ZonesAndClock(TerminalState& t, int command, int count, const std::string& payload, Reply& r) {
    const bool attendance = t.kind == Kind::kAttendance;
    switch (command) {
        case 0x38:  // time zones, attendance zones or a reason
            r.count = count;
            if (!attendance) {
                r.payload = t.zones;
            } else if (count == 8) {
                r.payload = t.attendZones;
            } else {
                auto reason = t.reasons.find(count);
                r.payload = reason != t.reasons.end() ? reason->second : std::string("0F0F0F0F0F0F0F0F");
            }
            break;
        case 0x28:
            if (!attendance) {
                t.zones = payload;
            } else if (count == 8 && payload.size() == 80) {
                t.attendZones = payload;
            } else {
                t.reasons[count] = payload;
            }
            break;
        case 0x3A:  // clock
            if (attendance) r.payload = t.attendClock.empty() ? HostClock(14) : RunningClock(t.attendClock, t.attendClockSetAt);
            else r.payload = t.clock.empty() ? HostClock(10) : RunningClock(t.clock, t.clockSetAt);
            break;
        case 0x2A:
            if (attendance) {
                t.attendClock = payload;
                t.attendClockSetAt = std::chrono::steady_clock::now();
            } else {
                t.clock = payload;
                t.clockSetAt = std::chrono::steady_clock::now();
            }
            break;
    }
}

// A batch of records handed out, and its acknowledgement.
void Records(TerminalState& t, int command, int argHigh, int argLow, int count, const std::optional<Fault>& fault,
             Reply& r) {
    switch (command) {
        case 0x37: {  // hand out a batch of records
            if (t.outstanding == 0 && !t.records.empty()) {
                t.outstanding = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(t.batchLimit), t.records.size()));
                t.mark = static_cast<std::uint16_t>(t.mark + 1);
            } else if (t.outstanding > 0 && fault && fault->kind == "remark") {
                // The batch handed out before, handed again under a new
                // mark: only the new mark clears it from now on.
                t.mark = static_cast<std::uint16_t>(t.mark + 1);
            }
            for (int i = 0; i < t.outstanding; ++i) r.payload += t.records[static_cast<std::size_t>(i)];
            r.count = t.outstanding;
            r.argHigh = t.mark >> 8;
            r.argLow = t.mark & 0xFF;
            break;
        }
        case 0x47: {  // acknowledge a batch
            const int mark = argHigh * 256 + argLow;
            int cleared = 0;
            if (mark == 0) {
                cleared = std::min<int>(count, static_cast<int>(t.records.size()));
            } else if (mark == t.mark) {
                cleared = t.outstanding;
            }
            bool wrongMark = fault && fault->kind == "wrongmark";
            if (!wrongMark) {
                for (int i = 0; i < cleared; ++i) t.records.pop_front();
                if (cleared > 0 || mark == t.mark) t.outstanding = 0;
            }
            const int answer = wrongMark ? (t.mark + 1) & 0xFFFF : t.mark;
            r.argHigh = answer >> 8;
            r.argLow = answer & 0xFF;
            break;
        }
    }
}

// A fault that changes the reply the terminal would give.
void Distort(const Fault& f, Reply& r) {
    if (f.kind == "status") r.status = f.arg.substr(0, 2);
    if (f.kind == "short") {
        std::size_t cut = static_cast<std::size_t>(std::atoi(f.arg.c_str()));
        r.payload.resize(r.payload.size() > cut ? r.payload.size() - cut : 0);
    }
    if (f.kind == "count") r.count = std::atoi(f.arg.c_str());
    if (f.kind == "payload") r.payload = f.arg;
    if (f.kind == "countpayload") {  // N,TEXT: both, whatever the state says
        const std::size_t comma = f.arg.find(',');
        r.count = std::atoi(f.arg.substr(0, comma).c_str());
        r.payload = f.arg.substr(comma + 1);
    }
    if (f.kind == "mark") {
        int m = std::atoi(f.arg.c_str());
        r.argHigh = m >> 8;
        r.argLow = m & 0xFF;
    }
}

}  // namespace

std::string Line::Handle(TerminalState& t, int command, int argHigh, int argLow, int count,
                         const std::string& payload, int terminal, std::optional<Fault>& fault) {
    Reply r;
    // A terminal that refuses a command leaves its state as it was.
    const bool refused = fault && fault->kind == "status";
    const TerminalState before = refused ? t : TerminalState{};
    switch (command) {
        case 0x10:  // status
            break;
        case 0x4A:  // clear memory
            if (count == 0x65) {
                t.blacklist.clear();
                t.menu.clear();
                t.subsidy.clear();
            }
            break;
        case 0x32:  // read CMW
            r.count = 6;
            r.payload = t.cmw;
            break;
        case 0x22:
            t.cmw = payload.substr(0, 12);
            break;
        case 0x33:  // read mdeb
            r.count = 3;
            r.payload = t.mdeb;
            break;
        case 0x23:
            t.mdeb = payload.substr(0, 6);
            break;
        case 0x2C:
        case 0x4C:
        case 0x24:
        case 0x44:
        case 0x34:
            Blacklist(t, command, argHigh, argLow, count, payload, r);
            break;
        case 0x61:  // check key
            if (payload != t.key) r.status = "NK";
            break;
        case 0x21:
            t.key = payload.substr(0, 6);
            break;
        case 0x11:  // key flags
            r.count = 16;
            r.payload = t.keyFlags + std::string(24, '0');
            break;
        case 0x26:  // write menu
            t.menu.clear();
            for (int i = 0; i < count && static_cast<std::size_t>(6 * i + 6) <= payload.size(); ++i) {
                t.menu.push_back(payload.substr(static_cast<std::size_t>(6 * i), 6));
            }
            break;
        case 0x36:
            r.count = static_cast<int>(t.menu.size());
            for (const std::string& price : t.menu) r.payload += price;
            break;
        case 0x46:
            if (count == 0x65) t.menu.clear();
            break;
        case 0x4D:
            t.subsidy.clear();
            break;
        case 0x2E:
            t.maxSubsidy = payload;
            break;
        case 0x2D:
            t.subsidyTime = payload;
            break;
        case 0x3D:
            t.subsidy += payload;
            break;
        case 0x38:
        case 0x28:
        case 0x3A:
        case 0x2A:
            ZonesAndClock(t, command, count, payload, r);
            break;
        case 0x2B:
            t.blocked = true;
            break;
        case 0x3B:
            t.blocked = false;
            break;
        case 0x37:
        case 0x47:
            Records(t, command, argHigh, argLow, count, fault, r);
            break;
        default:
            r.status = "EE";
            break;
    }
    if (refused) t = before;
    if (fault) Distort(*fault, r);
    return BuildReply(terminal, r.status, r.argHigh, r.argLow, r.count, r.payload);
}

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

// The text after the first `n` words, without the blank that follows them.
std::string After(const std::string& line, std::size_t n) {
    std::size_t at = 0;
    for (std::size_t k = 0; k < n; ++k) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string::npos) return std::string();
        at = line.find_first_of(" \t", at);
        if (at == std::string::npos) return std::string();
    }
    return at < line.size() ? line.substr(at + 1) : std::string();
}

// A whole word of decimal digits within [lo, hi].
bool Number(const std::string& word, long lo, long hi, long& out) {
    if (word.empty() || word.size() > 9) return false;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
    }
    out = std::atol(word.c_str());
    return out >= lo && out <= hi;
}

bool Digits(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HexDigits(const std::string& s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return HexValue(c) >= 0; });
}

std::string Upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return s;
}

std::string Error(const std::string& why) { return "error: " + why; }

enum class FaultArg { kNone, kNumber, kSplit, kStatus, kText };

struct FaultKind {
    const char* name;
    FaultArg arg;
    long lo, hi;  // for kNumber
};

constexpr FaultKind kFaultKinds[] = {
    {"silence", FaultArg::kNone, 0, 0},     {"delay", FaultArg::kNumber, 0, 60000},
    {"noise", FaultArg::kNone, 0, 0},       {"long", FaultArg::kNone, 0, 0},
    {"stx", FaultArg::kNone, 0, 0},         {"cutstart", FaultArg::kNone, 0, 0},
    {"deaf", FaultArg::kNone, 0, 0},
    {"split", FaultArg::kSplit, 0, 0},      {"badsum", FaultArg::kNone, 0, 0},
    {"lowersum", FaultArg::kNone, 0, 0},    {"trailer", FaultArg::kNone, 0, 0},
    {"status", FaultArg::kStatus, 0, 0},    {"short", FaultArg::kNumber, 0, 65535},
    {"count", FaultArg::kNumber, 0, 255},   {"payload", FaultArg::kText, 0, 0},
    {"countpayload", FaultArg::kText, 0, 0},
    {"mark", FaultArg::kNumber, 0, 65535},  {"wrongmark", FaultArg::kNone, 0, 0},
    {"remark", FaultArg::kNone, 0, 0},      {"close", FaultArg::kNone, 0, 0},
    {"foreign", FaultArg::kNumber, 0, 255}, {"as", FaultArg::kNumber, 0, 255},
};

}  // namespace

// The terminal in word `word`, which must be served.
std::string Line::Served(const std::string& word, TerminalState*& t) {
    long n = -1;
    if (!Number(word, 0, 255, n)) return Error("terminal number 0-255 expected, not '" + word + "'");
    auto it = terminals.find(static_cast<int>(n));
    if (it == terminals.end()) return Error("terminal " + std::to_string(n) + " is not served (add it first)");
    t = &it->second;
    return std::string();
}

std::string Line::ControlLine(const std::vector<std::string>& w, const std::string&) {
    const std::string& verb = w[0];
    const std::size_t args = w.size() - 1;
    if (args != 0) return Error(verb + " takes no arguments");
    if (verb == "reset") {
        terminals.clear();
        faults.clear();
        frames.clear();
        kept.clear();
        missed = 0;
        pending_.clear();
        state_ = Receive::kIdle;
        dropped = 0;
        return "ok";
    }
    if (verb == "frames") {
        std::string out = "ok";
        for (const std::string& f : frames) out += " " + f;
        return out;
    }
    if (verb == "dropped") return "ok " + std::to_string(dropped);
    if (verb == "clearframes") frames.clear();
    else faults.clear();
    return "ok";
}

std::string Line::ControlAdd(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    long n = -1;
    if (args < 1 || args > 2) return Error("usage: add N [consumption|attendance]");
    if (!Number(w[1], 0, 255, n)) return Error("terminal number 0-255 expected, not '" + w[1] + "'");
    const std::string kind = args == 2 ? w[2] : "consumption";
    if (kind != "consumption" && kind != "attendance") {
        return Error("terminal kind is consumption or attendance, not '" + kind + "'");
    }
    TerminalState t;
    t.kind = kind == "attendance" ? Kind::kAttendance : Kind::kConsumption;
    terminals[static_cast<int>(n)] = t;
    return "ok";
}

std::string Line::ControlKeep(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    if (args < 1 || args > 2) return Error("usage: keep N [CARDS] (groups of 6; none stops watching)");
    TerminalState* t = nullptr;
    std::string problem = Served(w[1], t);
    if (!problem.empty()) return problem;
    const int n = std::atoi(w[1].c_str());
    if (args == 1) {
        kept.erase(n);
        return "ok";
    }
    if (w[2].size() % 6 != 0) return Error("keep takes groups of 6 characters");
    std::vector<std::string> cards;
    for (std::size_t at = 0; at < w[2].size(); at += 6) cards.push_back(w[2].substr(at, 6));
    kept[n] = cards;
    missed = 0;
    return "ok";
}

std::string Line::ControlMissed(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    if (args != 0) return Error("missed takes no arguments");
    return "ok " + std::to_string(missed);
}

std::string Line::ControlRemove(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    if (args != 1) return Error("usage: remove N");
    TerminalState* t = nullptr;
    std::string problem = Served(w[1], t);
    if (!problem.empty()) return problem;
    terminals.erase(std::atoi(w[1].c_str()));
    return "ok";
}

std::string Line::ControlPace(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    long baud = 0;
    if (args != 1 || !Number(w[1], 0, 4000000, baud)) return Error("usage: pace BAUD (0 switches pacing off)");
    paceBaud = static_cast<int>(baud);
    return "ok";
}

std::string Line::ControlFault(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    if (args < 2) return Error("usage: fault CODE|any KIND [ARG] [skip=N] [times=N]");
    Fault f;
    const std::string code = Upper(w[1]);
    if (code == "ANY") {
        f.code = -1;
    } else if (code.size() == 2 && Unhex2(code, 0) >= 0) {
        f.code = Unhex2(code, 0);
    } else {
        return Error("command code is two hex digits or any, not '" + w[1] + "'");
    }
    const FaultKind* kind = nullptr;
    for (const FaultKind& k : kFaultKinds) {
        if (w[2] == k.name) kind = &k;
    }
    if (kind == nullptr) {
        return Error("unknown fault '" + w[2] +
                     "' (silence deaf delay noise long stx cutstart split badsum lowersum trailer status short count payload "
                     "mark wrongmark remark close)");
    }
    f.kind = kind->name;
    bool haveArg = false;
    for (std::size_t i = 3; i < w.size(); ++i) {
        long v = 0;
        if (w[i].rfind("skip=", 0) == 0) {
            if (!Number(w[i].substr(5), 0, 1000000, v)) return Error("skip= takes a count, not '" + w[i] + "'");
            f.skip = static_cast<int>(v);
        } else if (w[i].rfind("times=", 0) == 0) {
            if (!Number(w[i].substr(6), 0, 1000000, v)) {
                return Error("times= takes a count (0: every request), not '" + w[i] + "'");
            }
            f.times = static_cast<int>(v);
        } else if (kind->arg == FaultArg::kNone || haveArg) {
            return Error("fault " + f.kind + ": unexpected '" + w[i] + "'");
        } else {
            f.arg = w[i];
            haveArg = true;
        }
    }
    switch (kind->arg) {
        case FaultArg::kNone:
            break;
        case FaultArg::kNumber: {
            long v = 0;
            if (!haveArg || !Number(f.arg, kind->lo, kind->hi, v)) {
                return Error("fault " + f.kind + " takes a number " + std::to_string(kind->lo) + "-" +
                             std::to_string(kind->hi) + (haveArg ? ", not '" + f.arg + "'" : ""));
            }
            break;
        }
        case FaultArg::kSplit: {
            if (!haveArg) {
                f.arg = "3:20";
                break;
            }
            const std::size_t colon = f.arg.find(':');
            long pieces = 0;
            long gap = 0;
            if (colon == std::string::npos || !Number(f.arg.substr(0, colon), 1, 64, pieces) ||
                !Number(f.arg.substr(colon + 1), 0, 60000, gap)) {
                return Error("fault split takes PIECES:MS (1-64 pieces, 0-60000 ms), not '" + f.arg + "'");
            }
            break;
        }
        case FaultArg::kStatus:
            if (!haveArg || f.arg.size() != 2) {
                return Error("fault status takes a two-character status" + (haveArg ? ", not '" + f.arg + "'" : ""));
            }
            break;
        case FaultArg::kText:
            if (!haveArg) return Error("fault " + f.kind + " takes the payload text");
            if (f.kind == "countpayload") {
                const std::size_t comma = f.arg.find(',');
                long n = 0;
                if (comma == std::string::npos || !Number(f.arg.substr(0, comma), 0, 255, n)) {
                    return Error("fault countpayload takes COUNT,TEXT (count 0-255), not '" + f.arg + "'");
                }
            }
            break;
    }
    faults.push_back(f);
    return "ok";
}

std::string Line::ControlRecord(const std::vector<std::string>& w, const std::string&) {
    const std::size_t args = w.size() - 1;
    if (args != 3) return Error("usage: record N raw|seal|sealhex|damaged TEXT");
    TerminalState* t = nullptr;
    std::string problem = Served(w[1], t);
    if (!problem.empty()) return problem;
    const std::string& how = w[2];
    const std::string& raw = w[3];
    if (how == "raw") {
        if (raw.size() != 28) return Error("record raw takes 28 characters, not " + std::to_string(raw.size()));
        t->records.push_back(raw);
    } else if (how == "seal" || how == "damaged") {
        if (raw.size() != 26) {
            return Error("record " + how + " takes 26 characters (the check pair is added), not " +
                         std::to_string(raw.size()));
        }
        std::string sealed = SealRecord(raw);
        if (how == "damaged") sealed[27] = sealed[27] == '0' ? '1' : '0';
        t->records.push_back(sealed);
    } else if (how == "sealhex") {
        if (raw.size() != 52 || !HexDigits(Upper(raw))) {
            return Error("record sealhex takes 52 hex digits (26 bytes)");
        }
        t->records.push_back(SealRecord(FromHex(Upper(raw))));
    } else {
        return Error("record takes raw, seal, sealhex or damaged, not '" + how + "'");
    }
    return "ok";
}

std::string Line::ControlField(const std::vector<std::string>& w, const std::string& line) {
    const std::string& verb = w[0];
    const std::size_t args = w.size() - 1;
    const bool set = verb == "set";
    if (args < 2 || (!set && args != 2)) return Error(set ? "usage: set N FIELD VALUE" : "usage: get N FIELD");
    TerminalState* t = nullptr;
    std::string problem = Served(w[1], t);
    if (!problem.empty()) return problem;
    const std::string& field = w[2];
    const std::string value = set ? After(line, 3) : std::string();
    // A value the field cannot hold is refused and changes nothing.
    auto refuse = [&](const std::string& want) { return Error(field + " takes " + want); };
    auto text = [&](std::string& slot, bool ok, const std::string& want) {
        if (set) {
            if (!ok) return refuse(want);
            slot = value;
        }
        return "ok " + slot;
    };
    auto list = [&](std::vector<std::string>& slot, std::size_t width, bool digits) {
        if (set) {
            if (value.size() % width != 0 || (digits && !Digits(value))) {
                return refuse(std::string("groups of ") + std::to_string(width) + (digits ? " digits" : " characters"));
            }
            slot.clear();
            for (std::size_t i = 0; i + width <= value.size(); i += width) slot.push_back(value.substr(i, width));
        }
        std::string all;
        for (const std::string& e : slot) all += e;
        return "ok " + all;
    };
    const std::size_t n = value.size();
    if (field == "cmw") return text(t->cmw, n == 12, "12 characters");
    if (field == "mdeb") return text(t->mdeb, n == 6 && Digits(value), "6 digits");
    if (field == "key") return text(t->key, n == 6 && HexDigits(value), "6 upper-case hex digits");
    if (field == "flags") return text(t->keyFlags, n == 8 && Digits(value), "8 digits (four pairs)");
    if (field == "blacklist") return list(t->blacklist, 6, false);
    if (field == "menu") return list(t->menu, 6, true);
    if (field == "subsidy") return text(t->subsidy, n % 12 == 0, "groups of 12 characters");
    if (field == "maxbt") return text(t->maxSubsidy, n == 6 && Digits(value), "6 digits");
    if (field == "bttime") return text(t->subsidyTime, true, "");
    // A clock set here runs on from that moment, as one set over the line.
    if (field == "clock") {
        const bool ok = n == 0 || (n == 10 && Digits(value));
        if (set && ok) t->clockSetAt = std::chrono::steady_clock::now();
        return text(t->clock, ok, "10 digits (empty: host clock)");
    }
    if (field == "aclock") {
        const bool ok = n == 0 || (n == 14 && Digits(value));
        if (set && ok) t->attendClockSetAt = std::chrono::steady_clock::now();
        return text(t->attendClock, ok, "14 digits (empty: host clock)");
    }
    if (field == "zones") return text(t->zones, n == 32 && Digits(value), "32 digits");
    if (field == "azones") return text(t->attendZones, n == 80, "80 characters");
    if (field.rfind("reason", 0) == 0) {
        long number = 0;
        if (!Number(field.substr(6), 0, 255, number)) return Error("reasonN takes N 0-255, not '" + field + "'");
        const int k = static_cast<int>(number);
        if (set) {
            if (n != 16 || !HexDigits(value)) return refuse("16 upper-case hex digits");
            t->reasons[k] = value;
        }
        auto it = t->reasons.find(k);
        return "ok " + (it != t->reasons.end() ? it->second : std::string());
    }
    if (field == "blocked") {
        if (set) {
            if (value != "0" && value != "1") return refuse("0 or 1");
            t->blocked = value == "1";
        }
        return std::string("ok ") + (t->blocked ? "1" : "0");
    }
    long v = 0;
    if (field == "mark") {
        if (set) {
            if (!Number(value, 0, 65535, v)) return refuse("a number 0-65535");
            t->mark = static_cast<std::uint16_t>(v);
        }
        return "ok " + std::to_string(t->mark);
    }
    if (field == "batch") {
        if (set) {
            if (!Number(value, 0, 255, v)) return refuse("a number 0-255");
            t->batchLimit = static_cast<int>(v);
        }
        return "ok " + std::to_string(t->batchLimit);
    }
    if (field == "records") {
        if (set) {
            if (value != "0") return refuse("0 (clears the records; queue records with 'record')");
            t->records.clear();
            t->outstanding = 0;
        }
        return "ok " + std::to_string(t->records.size());
    }
    return Error("unknown field '" + field +
                 "' (cmw mdeb key flags blacklist menu subsidy maxbt bttime clock aclock zones azones reasonN "
                 "blocked mark batch records)");
}

// The control words and what each runs.
std::string Line::Control(const std::string& line) {
    using Run = std::string (Line::*)(const std::vector<std::string>&, const std::string&);
    static const std::pair<const char*, Run> kVerbs[] = {
        {"reset", &Line::ControlLine},   {"frames", &Line::ControlLine},       {"clearframes", &Line::ControlLine},
        {"clearfaults", &Line::ControlLine}, {"dropped", &Line::ControlLine}, {"add", &Line::ControlAdd},
        {"keep", &Line::ControlKeep},    {"missed", &Line::ControlMissed},     {"remove", &Line::ControlRemove},
        {"pace", &Line::ControlPace},    {"fault", &Line::ControlFault},       {"record", &Line::ControlRecord},
        {"get", &Line::ControlField},    {"set", &Line::ControlField},
    };
    const std::vector<std::string> w = Words(line);
    if (w.empty()) return Error("empty command");
    for (const auto& [name, run] : kVerbs) {
        if (w[0] == name) return (this->*run)(w, line);
    }
    return Error("unknown command '" + w[0] + "' (see talvo-sim --help)");
}

}  // namespace talvo::sim
