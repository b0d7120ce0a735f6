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
    pending_.append(reinterpret_cast<const char*>(bytes), count);
    std::vector<Action> actions;
    for (;;) {
        std::size_t s = pending_.find(kStx);
        if (s == std::string::npos) {
            pending_.clear();  // filler and noise
            break;
        }
        std::size_t e = pending_.find(kEtx, s + 1);
        if (e == std::string::npos || e + 2 >= pending_.size()) {
            pending_.erase(0, s);
            break;
        }
        std::string frame = pending_.substr(s, e + 3 - s);
        pending_.erase(0, e + 3);
        frames.push_back(ToHex(frame));
        actions.push_back(Respond(frame));
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
    std::string reply = Handle(it->second, command, argHigh, argLow, count, frame.substr(13, etx - 13), terminal, fault);
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
        if (k == "badsum") reply.back() = reply.back() == '0' ? '1' : '0';
        if (k == "lowersum") {
            for (std::size_t i = reply.size() - 2; i < reply.size(); ++i) {
                if (reply[i] >= 'A' && reply[i] <= 'F') reply[i] = static_cast<char>(reply[i] + 32);
            }
        }
        if (k == "trailer") reply += "33";
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

std::string Line::Handle(TerminalState& t, int command, int argHigh, int argLow, int count,
                         const std::string& payload, int terminal, std::optional<Fault>& fault) {
    Reply r;
    // A terminal that refuses a command leaves its state as it was.
    const bool refused = fault && fault->kind == "status";
    const TerminalState before = refused ? t : TerminalState{};
    const int position = argHigh * 256 + argLow;
    const bool attendance = t.kind == Kind::kAttendance;
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
            if (attendance) r.payload = t.attendClock.empty() ? HostClock(14) : t.attendClock;
            else r.payload = t.clock.empty() ? HostClock(10) : t.clock;
            break;
        case 0x2A:
            if (attendance) t.attendClock = payload;
            else t.clock = payload;
            break;
        case 0x2B:
            t.blocked = true;
            break;
        case 0x3B:
            t.blocked = false;
            break;
        case 0x37: {  // hand out a batch of records
            if (t.outstanding == 0 && !t.records.empty()) {
                t.outstanding = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(t.batchLimit), t.records.size()));
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
        default:
            r.status = "EE";
            break;
    }
    if (refused) t = before;
    if (fault) {
        if (fault->kind == "status") r.status = fault->arg.substr(0, 2);
        if (fault->kind == "short") {
            std::size_t cut = static_cast<std::size_t>(std::atoi(fault->arg.c_str()));
            r.payload.resize(r.payload.size() > cut ? r.payload.size() - cut : 0);
        }
        if (fault->kind == "count") r.count = std::atoi(fault->arg.c_str());
        if (fault->kind == "payload") r.payload = fault->arg;
        if (fault->kind == "mark") {
            int m = std::atoi(fault->arg.c_str());
            r.argHigh = m >> 8;
            r.argLow = m & 0xFF;
        }
    }
    return BuildReply(terminal, r.status, r.argHigh, r.argLow, r.count, r.payload);
}

std::string Line::Control(const std::string& line) {
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    auto rest = [&in] {
        std::string value;
        std::getline(in, value);
        if (!value.empty() && value[0] == ' ') value.erase(0, 1);
        return value;
    };
    auto terminal = [this](int n) -> TerminalState* {
        auto it = terminals.find(n);
        return it == terminals.end() ? nullptr : &it->second;
    };

    if (verb == "reset") {
        terminals.clear();
        faults.clear();
        frames.clear();
        pending_.clear();
        return "ok";
    }
    if (verb == "add") {
        int n = -1;
        std::string kind;
        in >> n >> kind;
        if (n < 0 || n > 255) return "err terminal number 0-255";
        TerminalState t;
        t.kind = kind == "attendance" ? Kind::kAttendance : Kind::kConsumption;
        terminals[n] = t;
        return "ok";
    }
    if (verb == "remove") {
        int n = -1;
        in >> n;
        terminals.erase(n);
        return "ok";
    }
    if (verb == "frames") {
        std::string out = "ok";
        for (const std::string& f : frames) out += " " + f;
        return out;
    }
    if (verb == "clearframes") {
        frames.clear();
        return "ok";
    }
    if (verb == "pace") {
        in >> paceBaud;
        return "ok";
    }
    if (verb == "fault") {
        Fault f;
        std::string code;
        in >> code >> f.kind;
        f.code = code == "any" ? -1 : Unhex2(code, 0);
        std::string word;
        while (in >> word) {
            if (word.rfind("skip=", 0) == 0) f.skip = std::atoi(word.c_str() + 5);
            else if (word.rfind("times=", 0) == 0) f.times = std::atoi(word.c_str() + 6);
            else f.arg = word;
        }
        faults.push_back(f);
        return "ok";
    }
    if (verb == "clearfaults") {
        faults.clear();
        return "ok";
    }
    if (verb == "record") {
        int n = -1;
        std::string how;
        std::string raw;
        in >> n >> how >> raw;
        TerminalState* t = terminal(n);
        if (t == nullptr) return "err no such terminal";
        if (how == "raw" && raw.size() == 28) t->records.push_back(raw);
        else if (how == "seal" && raw.size() >= 26) t->records.push_back(SealRecord(raw));
        else if (how == "sealhex" && raw.size() >= 52) t->records.push_back(SealRecord(FromHex(raw)));
        else if (how == "damaged" && raw.size() >= 26) {
            std::string sealed = SealRecord(raw);
            sealed[27] = sealed[27] == '0' ? '1' : '0';
            t->records.push_back(sealed);
        } else {
            return "err record N raw|seal|damaged TEXT";
        }
        return "ok";
    }
    if (verb == "get" || verb == "set") {
        int n = -1;
        std::string field;
        in >> n >> field;
        TerminalState* t = terminal(n);
        if (t == nullptr) return "err no such terminal";
        std::string value = verb == "set" ? rest() : std::string();
        const bool set = verb == "set";
        auto text = [&](std::string& slot) {
            if (set) slot = value;
            return "ok " + slot;
        };
        auto list = [&](std::vector<std::string>& slot, std::size_t width) {
            if (set) {
                slot.clear();
                for (std::size_t i = 0; i + width <= value.size(); i += width) slot.push_back(value.substr(i, width));
            }
            std::string all;
            for (const std::string& e : slot) all += e;
            return "ok " + all;
        };
        if (field == "cmw") return text(t->cmw);
        if (field == "mdeb") return text(t->mdeb);
        if (field == "key") return text(t->key);
        if (field == "flags") return text(t->keyFlags);
        if (field == "blacklist") return list(t->blacklist, 6);
        if (field == "menu") return list(t->menu, 6);
        if (field == "subsidy") return text(t->subsidy);
        if (field == "maxbt") return text(t->maxSubsidy);
        if (field == "bttime") return text(t->subsidyTime);
        if (field == "clock") return text(t->clock);
        if (field == "aclock") return text(t->attendClock);
        if (field == "zones") return text(t->zones);
        if (field == "azones") return text(t->attendZones);
        if (field.rfind("reason", 0) == 0) return text(t->reasons[std::atoi(field.c_str() + 6)]);
        if (field == "blocked") {
            if (set) t->blocked = value == "1";
            return std::string("ok ") + (t->blocked ? "1" : "0");
        }
        if (field == "mark") {
            if (set) t->mark = static_cast<std::uint16_t>(std::atoi(value.c_str()));
            return "ok " + std::to_string(t->mark);
        }
        if (field == "batch") {
            if (set) t->batchLimit = std::atoi(value.c_str());
            return "ok " + std::to_string(t->batchLimit);
        }
        if (field == "records") {
            if (set) t->records.clear();
            return "ok " + std::to_string(t->records.size());
        }
        return "err unknown field";
    }
    return "err unknown command";
}

}  // namespace talvo::sim
