#include "http/command_table.h"

#include <map>

#include <functional>

#include "values.h"

namespace talvo::service {
namespace {

using nlohmann::json;
using common::Terminal;

// The arguments of one request, read strictly: each by its name and type,
// none beyond the op's own.
class Arguments {
public:
    explicit Arguments(const json& request) : request_(request) {}

    // Every name in the request is the op's (or "op").
    std::string OnlyThese(const std::string& op, const std::vector<std::string>& names) const {
        for (auto it = request_.begin(); it != request_.end(); ++it) {
            if (it.key() == "op") continue;
            bool known = false;
            for (const std::string& n : names) known = known || n == it.key();
            if (!known) return op + " takes no argument '" + it.key() + "'";
        }
        return {};
    }
    bool Has(const std::string& name) const { return request_.contains(name); }

    std::string Text(const std::string& name, std::string& out) const {
        if (!request_.contains(name)) return name + ": missing";
        const json& v = request_.at(name);
        if (!v.is_string()) return name + ": a text";
        out = v.get<std::string>();
        return {};
    }

    // A list of 1 to `most` texts.
    std::string List(const std::string& name, std::size_t most, std::vector<std::string>& out) const {
        if (!request_.contains(name)) return name + ": missing";
        const json& v = request_.at(name);
        if (!v.is_array() || v.empty()) return name + ": a list of 1 to " + std::to_string(most) + " texts";
        if (v.size() > most) {
            return name + ": at most " + std::to_string(most) + " in one command, not " + std::to_string(v.size());
        }
        out.clear();
        for (const json& e : v) {
            if (!e.is_string()) return name + ": a list of texts";
            out.push_back(e.get<std::string>());
        }
        return {};
    }

    // A whole number lo..hi; `fallback` when absent and not required.
    std::string Number(const std::string& name, long lo, long hi, bool required, long fallback, long& out) const {
        if (!request_.contains(name)) {
            if (required) return name + ": missing";
            out = fallback;
            return {};
        }
        const json& v = request_.at(name);
        const std::string want = name + ": a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
        if (!v.is_number_integer()) return want;
        const long n = v.get<long>();
        if (n < lo || n > hi) return want;
        out = n;
        return {};
    }

private:
    const json& request_;
};

// Checks each of `texts` with `parse`, into `out`.
template <class T>
std::string Each(const std::string& name, const std::vector<std::string>& texts,
                 std::string (*parse)(const std::string&, T&), std::vector<T>& out) {
    out.clear();
    for (const std::string& t : texts) {
        T value{};
        const std::string why = parse(t, value);
        if (!why.empty()) return name + ": " + why;
        out.push_back(value);
    }
    return {};
}

template <class T>
std::string One(const Arguments& a, const std::string& name, std::string (*parse)(const std::string&, T&), T& out) {
    std::string text;
    std::string why = a.Text(name, text);
    if (!why.empty()) return why;
    why = parse(text, out);
    return why.empty() ? why : name + ": " + why;
}

CommandResult Outcome(bool ok, const Terminal& t, json values = json::object()) {
    CommandResult r;
    r.done = true;
    r.ok = ok;
    if (ok) {
        // A byte a terminal keeps that is not UTF-8 reads as U+FFFD.
        r.values = values.dump(-1, ' ', false, json::error_handler_t::replace);
    } else {
        r.problem = t.Problem();
        r.exit = t.ExitStatus();
    }
    return r;
}

json Fields(const common::DateTime& w) { return json::array({w.year, w.month, w.day, w.hour, w.minute, w.second}); }

using Prepare = std::function<std::string(const Arguments&, CommandTicket::Work&)>;

struct Op {
    const char* name;
    bool changes;
    std::vector<std::string> arguments;
    Prepare prepare;
};

// An op without arguments that reports only whether the terminal accepted.
Prepare Plain(bool (Terminal::*call)()) {
    return [call](const Arguments&, CommandTicket::Work& w) {
        w = [call](Terminal& t) { return Outcome((t.*call)(), t); };
        return std::string();
    };
}

// An op that sends one checked value.
template <class T, class Arg>
Prepare Send(const char* name, std::string (*parse)(const std::string&, T&), bool (Terminal::*call)(Arg)) {
    return [name, parse, call](const Arguments& a, CommandTicket::Work& w) {
        T value{};
        std::string why = One(a, name, parse, value);
        if (!why.empty()) return why;
        w = [call, value](Terminal& t) { return Outcome((t.*call)(value), t); };
        return std::string();
    };
}

// An op without arguments that reads one value and shows it.
template <class T, class Show>
Prepare Read(bool (Terminal::*call)(T&), Show show) {
    return [call, show](const Arguments&, CommandTicket::Work& w) {
        w = [call, show](Terminal& t) {
            T value{};
            const bool ok = (t.*call)(value);
            return Outcome(ok, t, show(value));
        };
        return std::string();
    };
}

// A list of 1 to `most` texts under `name`, each checked by `parse`.
template <class T>
std::string List(const Arguments& a, const std::string& name, std::size_t most,
                 std::string (*parse)(const std::string&, T&), std::vector<T>& out) {
    std::vector<std::string> texts;
    std::string why = a.List(name, most, texts);
    return why.empty() ? Each(name, texts, parse, out) : why;
}

json ShowPrices(const std::vector<std::int32_t>& cents) {
    json prices = json::array();
    for (std::int32_t c : cents) prices.push_back(common::FormatCents(c));
    return {{"prices", prices}, {"cents", cents}};
}

json ShowZones(const common::Zones& zones) {
    json out = json::array();
    for (const common::TimeOfDay& z : zones) out.push_back(common::FormatTime(z));
    return {{"zones", out}};
}

json ShowAttendZones(const common::AttendZones& zones) {
    json out = json::array();
    for (const common::AttendZone& z : zones) {
        out.push_back({{"start", common::FormatTime(z.start)}, {"end", common::FormatTime(z.end)}, {"code", z.code}});
    }
    return {{"zones", out}};
}

std::string BlacklistAdd(const Arguments& a, CommandTicket::Work& w) {
    std::vector<std::string> cards;
    std::string why = List(a, "cards", 255, common::ParseCard, cards);
    if (!why.empty()) return why;
    w = [cards](Terminal& t) { return Outcome(t.BlacklistAdd(cards), t); };
    return {};
}

std::string BlacklistSet(const Arguments& a, CommandTicket::Work& w) {
    long position = 0;
    std::vector<std::string> cards;
    std::string why = a.Number("position", 0, 65535, true, 0, position);
    if (why.empty()) why = List(a, "cards", 255, common::ParseCard, cards);
    if (!why.empty()) return why;
    w = [position, cards](Terminal& t) { return Outcome(t.BlacklistSet(static_cast<unsigned>(position), cards), t); };
    return {};
}

std::string BlacklistRead(const Arguments& a, CommandTicket::Work& w) {
    long position = 0;
    std::string why = a.Number("position", 0, 65535, false, 0, position);
    if (!why.empty()) return why;
    w = [position](Terminal& t) {
        std::vector<std::string> cards;
        const bool ok = t.BlacklistRead(static_cast<unsigned>(position), cards);
        return Outcome(ok, t, {{"position", position}, {"cards", cards}});
    };
    return {};
}

std::string MenuSet(const Arguments& a, CommandTicket::Work& w) {
    std::vector<std::int32_t> cents;
    std::string why = List(a, "prices", 255, common::ParseCents, cents);
    if (!why.empty()) return why;
    w = [cents](Terminal& t) { return Outcome(t.MenuSet(cents), t); };
    return {};
}

std::string SubsidyAdd(const Arguments& a, CommandTicket::Work& w) {
    long position = 0;
    std::vector<std::string> entries;
    std::string why = a.Number("position", 0, 65535, false, 0, position);
    if (why.empty()) why = List(a, "entries", 255, common::ParseSubsidyEntry, entries);
    if (!why.empty()) return why;
    w = [position, entries](Terminal& t) {
        return Outcome(t.SubsidyAdd(static_cast<unsigned>(position), entries), t);
    };
    return {};
}

// Zones given are the first ones; the rest are 00:00.
template <class Zone, class All>
Prepare SetZones(std::string (*parse)(const std::string&, Zone&), bool (Terminal::*call)(const All&)) {
    return [parse, call](const Arguments& a, CommandTicket::Work& w) {
        std::vector<Zone> given;
        std::string why = List(a, "zones", common::kZones, parse, given);
        if (!why.empty()) return why;
        All zones{};
        for (std::size_t k = 0; k < given.size(); ++k) zones[k] = given[k];
        w = [call, zones](Terminal& t) { return Outcome((t.*call)(zones), t); };
        return std::string();
    };
}

std::string ReasonGet(const Arguments& a, CommandTicket::Work& w) {
    long number = 0;
    std::string why = a.Number("number", 0, 255, true, 0, number);
    if (!why.empty()) return why;
    w = [number](Terminal& t) {
        std::string text;
        const bool ok = t.ReasonRead(static_cast<int>(number), text);
        return Outcome(ok, t, {{"number", number}, {"text", text}});
    };
    return {};
}

std::string ReasonSet(const Arguments& a, CommandTicket::Work& w) {
    long number = 0;
    std::string text;
    std::string why = a.Number("number", 0, 255, true, 0, number);
    if (why.empty()) why = One(a, "text", common::ParseReason, text);
    if (!why.empty()) return why;
    w = [number, text](Terminal& t) { return Outcome(t.ReasonSet(static_cast<int>(number), text), t); };
    return {};
}

const std::vector<Op>& Ops() {
    static const std::vector<Op> ops = {
        {"status", false, {}, Plain(&Terminal::Status)},
        {"clear-ram", true, {}, Plain(&Terminal::ClearMemory)},
        {"cmw get", false, {}, Read(&Terminal::CmwRead, [](const std::string& s) { return json{{"text", s}}; })},
        {"cmw set", true, {"text"}, Send("text", common::ParseCmw, &Terminal::CmwSet)},
        {"mdeb get", false, {}, Read(&Terminal::MdebRead, [](std::int32_t c) {
             return json{{"amount", common::FormatCents(c)}, {"cents", c}};
         })},
        {"mdeb set", true, {"amount"}, Send("amount", common::ParseCents, &Terminal::MdebSet)},
        // Not a read: each answer tells whether a guess is the card key.
        {"key check", true, {"key"}, Send("key", common::ParseKey, &Terminal::KeyCheck)},
        {"key set", true, {"key"}, Send("key", common::ParseKey, &Terminal::KeySet)},
        {"key flags", false, {},
         Read(&Terminal::KeyFlags, [](const std::array<int, 4>& f) { return json{{"flags", f}}; })},
        {"blacklist add", true, {"cards"}, BlacklistAdd},
        {"blacklist remove", true, {"card"}, Send("card", common::ParseCard, &Terminal::BlacklistRemove)},
        {"blacklist set", true, {"position", "cards"}, BlacklistSet},
        {"blacklist clear", true, {}, Plain(&Terminal::BlacklistClear)},
        {"blacklist read", false, {"position"}, BlacklistRead},
        {"menu set", true, {"prices"}, MenuSet},
        {"menu read", false, {}, Read(&Terminal::MenuRead, ShowPrices)},
        {"menu clear", true, {}, Plain(&Terminal::MenuClear)},
        {"subsidy clear", true, {}, Plain(&Terminal::SubsidyClear)},
        {"subsidy max", true, {"amount"}, Send("amount", common::ParseCents, &Terminal::SubsidyMax)},
        {"subsidy time", true, {"text"}, Send("text", common::ParseSubsidyTime, &Terminal::SubsidyTime)},
        {"subsidy add", true, {"position", "entries"}, SubsidyAdd},
        {"clock get", false, {}, Read(&Terminal::ClockRead, [](const common::DateTime& when) {
             return json{{"time", common::FormatDateTime(when, false)}, {"fields", Fields(when)}};
         })},
        {"clock set", true, {"time"}, Send("time", common::ParseClock, &Terminal::ClockSet)},
        {"zones get", false, {}, Read(&Terminal::ZonesRead, ShowZones)},
        {"zones set", true, {"zones"}, SetZones(common::ParseTimeOfDay, &Terminal::ZonesSet)},
        {"lock", true, {}, Plain(&Terminal::Lock)},
        {"unlock", true, {}, Plain(&Terminal::Unlock)},
        {"attend zones get", false, {}, Read(&Terminal::AttendZonesRead, ShowAttendZones)},
        {"attend zones set", true, {"zones"}, SetZones(common::ParseAttendZone, &Terminal::AttendZonesSet)},
        {"attend reason get", false, {"number"}, ReasonGet},
        {"attend reason set", true, {"number", "text"}, ReasonSet},
        {"attend clock get", false, {}, Read(&Terminal::AttendClockRead, [](const common::DateTime& when) {
             return json{{"time", common::FormatDateTime(when, true)}, {"fields", Fields(when)}};
         })},
        {"attend clock set", true, {"time"}, Send("time", common::ParseAttendClock, &Terminal::AttendClockSet)},
    };
    return ops;
}

}  // namespace

const std::vector<std::string>& CommandOps() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const Op& op : Ops()) n.push_back(op.name);
        n.push_back("collect");
        return n;
    }();
    return names;
}

std::string PrepareCommand(const json& request, PreparedCommand& out) {
    if (!request.is_object()) return "the request is a JSON object {\"op\": ..., arguments}";
    if (!request.contains("op") || !request.at("op").is_string()) return "op: missing (a text such as \"status\")";
    const std::string op = request.at("op").get<std::string>();
    const Arguments args(request);
    out = PreparedCommand{};
    out.op = op;
    if (op == "collect") {
        // The service's own collection of the terminal, into its store.
        out.changes = true;
        out.collect = true;
        return args.OnlyThese(op, {});
    }
    if (op == "ack") {
        return "ack is not run through the service: records are collected into its store (op \"collect\")";
    }
    static const std::map<std::string, std::string> items = {
        {"clear-ram", "*"},          {"cmw set", "cmw"},          {"mdeb set", "mdeb"},
        {"key set", "card_key"},     {"blacklist add", "blacklist"}, {"blacklist remove", "blacklist"},
        {"blacklist set", "blacklist"}, {"blacklist clear", "blacklist"}, {"menu set", "menu"},
        {"menu clear", "menu"},      {"subsidy clear", "subsidy"}, {"subsidy max", "subsidy"},
        {"subsidy time", "subsidy"}, {"subsidy add", "subsidy"},  {"zones set", "zones"},
        {"lock", "lock"},            {"unlock", "lock"},          {"attend zones set", "attend_zones"},
        {"attend reason set", "reasons"},
    };
    for (const Op& o : Ops()) {
        if (op != o.name) continue;
        out.changes = o.changes;
        if (const auto it = items.find(op); it != items.end()) out.item = it->second;
        std::string why = args.OnlyThese(op, o.arguments);
        if (why.empty()) why = o.prepare(args, out.work);
        return why;
    }
    std::string known;
    for (const std::string& n : CommandOps()) known += (known.empty() ? "" : ", ") + n;
    return "op: no op '" + op + "' (" + known + ")";
}

}  // namespace talvo::service
