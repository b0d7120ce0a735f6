#include "service_terminal.h"

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

namespace talvo::cli {
namespace {

using nlohmann::json;

// The service answers a command within its own limit (a minute); this waits
// a little longer, and for a connection not long at all.
constexpr int kConnectSeconds = 5;
constexpr int kAnswerSeconds = 75;

// "http://host:port/prefix" into "http://host:port" and "/prefix".
void SplitUrl(const std::string& url, std::string& base, std::string& prefix) {
    const std::size_t scheme = url.find("://");
    const std::size_t slash = url.find('/', scheme + 3);
    base = slash == std::string::npos ? url : url.substr(0, slash);
    prefix = slash == std::string::npos ? "" : url.substr(slash);
    while (!prefix.empty() && prefix.back() == '/') prefix.pop_back();
}

std::string Text(const json& j, const char* name) {
    auto it = j.find(name);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

DateTime FromFields(const json& f) {
    DateTime w;
    if (!f.is_array() || f.size() != 6) return w;
    w.year = f[0].get<int>();
    w.month = f[1].get<int>();
    w.day = f[2].get<int>();
    w.hour = f[3].get<int>();
    w.minute = f[4].get<int>();
    w.second = f[5].get<int>();
    return w;
}

TimeOfDay TimeOf(const std::string& text) {
    TimeOfDay t;
    std::sscanf(text.c_str(), "%d:%d", &t.hour, &t.minute);
    return t;
}

}  // namespace

std::string CheckServiceUrl(const std::string& url) {
    static const std::regex form(R"(https?://[^/\s?#]+(/[^\s?#]*)?)");
    if (!std::regex_match(url, form)) return "'" + url + "' is not a service address http://HOST:PORT";
    return {};
}

std::string CheckLineName(const std::string& name) {
    static const std::regex form(R"([A-Za-z0-9_.-]{1,32})");
    if (!std::regex_match(name, form)) {
        return "'" + name + "' is not a line name (1 to 32 letters, digits, '_', '.' or '-')";
    }
    return {};
}

ServiceTerminal::ServiceTerminal(const Globals& g, std::string token)
    : url_(g.service), token_(std::move(token)), line_(g.service_line), terminal_(g.terminal) {}

const json& ServiceTerminal::Values() const {
    static const json none = json::object();
    auto it = answer_.find("values");
    return it != answer_.end() && it->is_object() ? *it : none;
}

bool ServiceTerminal::Run(const std::string& op, json arguments) {
    answer_ = json::object();
    arguments["op"] = op;
    // Texts travel as JSON, which holds UTF-8 only.
    std::string body;
    try {
        body = arguments.dump();
    } catch (const json::type_error&) {
        return Fail("an argument is not UTF-8 text, which is all the service takes", 2);
    }
    std::string base, prefix;
    SplitUrl(url_, base, prefix);
    // Without --line the service takes the one line of its own that has
    // the terminal.
    const std::string path = prefix + "/api" + (line_.empty() ? "" : "/lines/" + line_) + "/terminals/" +
                             std::to_string(terminal_) + "/command";
    httplib::Client client(base);
    client.set_connection_timeout(kConnectSeconds, 0);
    client.set_read_timeout(kAnswerSeconds, 0);
    client.set_write_timeout(kConnectSeconds, 0);
    httplib::Headers headers;
    if (!token_.empty()) headers.emplace("Authorization", "Bearer " + token_);
    const std::string where = "the service at " + url_;
    auto res = client.Post(path, headers, body, "application/json");
    if (!res) {
        switch (res.error()) {
            case httplib::Error::Connection:
                return Fail("no service answers at " + url_ +
                            " (the connection was refused or the host cannot be reached)");
            case httplib::Error::ConnectionTimeout:
                return Fail(where + " did not take the connection within " + std::to_string(kConnectSeconds) + " s");
            case httplib::Error::Read:
                return Fail(where + " gave no answer within " + std::to_string(kAnswerSeconds) + " s");
            default:
                return Fail(where + ": " + httplib::to_string(res.error()));
        }
    }
    answer_ = json::parse(res->body, nullptr, false);
    if (answer_.is_discarded() || !answer_.is_object()) {
        answer_ = json::object();
        return Fail(where + " answered HTTP " + std::to_string(res->status) + " without a readable body");
    }
    if (res->status == 401) {
        return Fail(token_.empty() ? where + " needs a token (--token, --token-file or TALVOD_TOKEN)"
                                   : where + " did not accept the token");
    }
    const std::string error = Text(answer_, "error");
    auto exit = [this](int fallback) {
        auto it = answer_.find("exit");
        return it != answer_.end() && it->is_number_integer() ? it->get<int>() : fallback;
    };
    if (res->status == 409) return Fail(error + " (--line NAME)", 1);
    if (res->status != 200 && res->status != 202) {
        return Fail(error.empty() ? where + " answered HTTP " + std::to_string(res->status) : error,
                    exit(res->status == 400 ? 2 : 1));
    }
    auto ok = answer_.find("ok");
    if (ok != answer_.end() && ok->is_boolean() && ok->get<bool>()) return true;
    const std::string problem = Text(answer_, "problem");
    return Fail(problem.empty() ? where + " gave no outcome" : problem, exit(1));
}

bool ServiceTerminal::Status() { return Run("status"); }
bool ServiceTerminal::ClearMemory() { return Run("clear-ram"); }

bool ServiceTerminal::CmwRead(std::string& text) {
    if (!Run("cmw get")) return false;
    text = Text(Values(), "text");
    return true;
}

bool ServiceTerminal::CmwSet(const std::string& text) { return Run("cmw set", {{"text", text}}); }

bool ServiceTerminal::MdebRead(std::int32_t& cents) {
    if (!Run("mdeb get")) return false;
    cents = Values().value("cents", 0);
    return true;
}

bool ServiceTerminal::MdebSet(std::int32_t cents) { return Run("mdeb set", {{"amount", FormatCents(cents)}}); }
bool ServiceTerminal::KeyCheck(const std::string& key) { return Run("key check", {{"key", key}}); }
bool ServiceTerminal::KeySet(const std::string& key) { return Run("key set", {{"key", key}}); }

bool ServiceTerminal::KeyFlags(std::array<int, 4>& flags) {
    if (!Run("key flags")) return false;
    const json f = Values().value("flags", json::array());
    for (std::size_t i = 0; i < 4; ++i) flags[i] = i < f.size() && f[i].is_number_integer() ? f[i].get<int>() : 0;
    return true;
}

bool ServiceTerminal::BlacklistAdd(const std::vector<std::string>& cards) {
    return Run("blacklist add", {{"cards", cards}});
}

bool ServiceTerminal::BlacklistRemove(const std::string& card) { return Run("blacklist remove", {{"card", card}}); }

bool ServiceTerminal::BlacklistSet(unsigned position, const std::vector<std::string>& cards) {
    return Run("blacklist set", {{"position", position}, {"cards", cards}});
}

bool ServiceTerminal::BlacklistClear() { return Run("blacklist clear"); }

bool ServiceTerminal::BlacklistRead(unsigned position, std::vector<std::string>& cards) {
    if (!Run("blacklist read", {{"position", position}})) return false;
    cards = Values().value("cards", std::vector<std::string>{});
    return true;
}

bool ServiceTerminal::MenuSet(const std::vector<std::int32_t>& cents) {
    json prices = json::array();
    for (std::int32_t c : cents) prices.push_back(FormatCents(c));
    return Run("menu set", {{"prices", prices}});
}

bool ServiceTerminal::MenuRead(std::vector<std::int32_t>& cents) {
    if (!Run("menu read")) return false;
    cents = Values().value("cents", std::vector<std::int32_t>{});
    return true;
}

bool ServiceTerminal::MenuClear() { return Run("menu clear"); }
bool ServiceTerminal::SubsidyClear() { return Run("subsidy clear"); }
bool ServiceTerminal::SubsidyMax(std::int32_t cents) { return Run("subsidy max", {{"amount", FormatCents(cents)}}); }
bool ServiceTerminal::SubsidyTime(const std::string& text) { return Run("subsidy time", {{"text", text}}); }

bool ServiceTerminal::SubsidyAdd(unsigned position, const std::vector<std::string>& entries) {
    return Run("subsidy add", {{"position", position}, {"entries", entries}});
}

bool ServiceTerminal::ClockRead(DateTime& when) {
    if (!Run("clock get")) return false;
    when = FromFields(Values().value("fields", json::array()));
    return true;
}

bool ServiceTerminal::ClockSet(const DateTime& when) {
    return Run("clock set", {{"time", FormatDateTime(when, false)}});
}

bool ServiceTerminal::ZonesRead(Zones& zones) {
    if (!Run("zones get")) return false;
    const std::vector<std::string> z = Values().value("zones", std::vector<std::string>{});
    for (std::size_t k = 0; k < zones.size(); ++k) zones[k] = k < z.size() ? TimeOf(z[k]) : TimeOfDay{};
    return true;
}

bool ServiceTerminal::ZonesSet(const Zones& zones) {
    json z = json::array();
    for (const TimeOfDay& t : zones) z.push_back(FormatTime(t));
    return Run("zones set", {{"zones", z}});
}

bool ServiceTerminal::Lock() { return Run("lock"); }
bool ServiceTerminal::Unlock() { return Run("unlock"); }

bool ServiceTerminal::AttendZonesRead(AttendZones& zones) {
    if (!Run("attend zones get")) return false;
    const json z = Values().value("zones", json::array());
    for (std::size_t k = 0; k < zones.size(); ++k) {
        zones[k] = AttendZone{};
        if (k >= z.size() || !z[k].is_object()) continue;
        zones[k].start = TimeOf(Text(z[k], "start"));
        zones[k].end = TimeOf(Text(z[k], "end"));
        zones[k].code = Text(z[k], "code");
    }
    return true;
}

bool ServiceTerminal::AttendZonesSet(const AttendZones& zones) {
    json z = json::array();
    for (const AttendZone& a : zones) z.push_back(FormatTime(a.start) + "-" + FormatTime(a.end) + "/" + a.code);
    return Run("attend zones set", {{"zones", z}});
}

bool ServiceTerminal::ReasonRead(int number, std::string& text) {
    if (!Run("attend reason get", {{"number", number}})) return false;
    text = Text(Values(), "text");
    return true;
}

bool ServiceTerminal::ReasonSet(int number, const std::string& text) {
    return Run("attend reason set", {{"number", number}, {"text", text}});
}

bool ServiceTerminal::AttendClockRead(DateTime& when) {
    if (!Run("attend clock get")) return false;
    when = FromFields(Values().value("fields", json::array()));
    return true;
}

bool ServiceTerminal::AttendClockSet(const DateTime& when) {
    return Run("attend clock set", {{"time", FormatDateTime(when, true)}});
}

bool ServiceTerminal::CollectBatch(const std::string&, BatchResult&) {
    return Fail("the service collects into its own store", 2);
}

bool ServiceTerminal::Ack(int&, unsigned&) {
    return Fail("not through the service: it clears only what it has stored (collect)", 2);
}

bool ServiceTerminal::CollectNow(int& records, int& rejected, std::string& line) {
    const bool ok = Run("collect");
    records = answer_.value("records", 0);
    rejected = answer_.value("rejected", 0);
    line = Text(answer_, "line");
    return ok;
}

int CollectThroughService(const Invocation& run, Terminal& t) {
    auto* service = dynamic_cast<ServiceTerminal*>(&t);
    if (service == nullptr) return Failed(run, t);
    int records = 0, rejected = 0;
    std::string line;
    const bool ok = service->CollectNow(records, rejected, line);
    if (!ok) {
        if (records + rejected > 0) {
            const std::string who =
                run.globals.terminals.size() > 1 ? "terminal " + std::to_string(run.globals.terminal) + ": " : "";
            std::fprintf(stderr, "talvo: collect: %s%d record%s stored by the service before this\n", who.c_str(),
                         records, records == 1 ? "" : "s");
        }
        return Failed(run, t);
    }
    if (run.globals.terminals.size() > 1) {
        // "terminal 3: " names it already.
        Print("%d record%s stored by the service (line %s)\n", records, records == 1 ? "" : "s", line.c_str());
    } else {
        Print("%d record%s stored by the service (line %s, terminal %d)\n", records, records == 1 ? "" : "s",
              line.c_str(), run.globals.terminal);
    }
    if (rejected > 0) {
        Print("%d damaged or unwanted record%s stored as rejected\n", rejected, rejected == 1 ? "" : "s");
    }
    return 0;
}

}  // namespace talvo::cli
