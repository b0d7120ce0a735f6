#include "service_terminal.h"

#include <httplib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>

#include "values.h"

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

bool ServiceToken(const Globals& g, std::string& token, std::string& problem) {
    if (!g.token.empty()) {
        token = g.token;
    } else if (!g.token_file.empty()) {
        std::FILE* f = std::fopen(g.token_file.c_str(), "rb");
        if (f == nullptr) {
            problem = g.token_file + ": cannot be read: " + std::strerror(errno);
            return false;
        }
        char first[4096] = {};
        const bool read = std::fgets(first, sizeof first, f) != nullptr;
        std::fclose(f);
        token = read ? first : "";
        while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
            token.pop_back();
        }
        if (token.empty()) {
            problem = g.token_file + ": no token on its first line";
            return false;
        }
    } else if (const char* env = std::getenv("TALVOD_TOKEN"); env != nullptr) {
        token = env;
    }
    return true;
}

namespace {

// A client of the service at `base`, with the tool's time limits, and the
// headers that carry the token.
struct ServiceClient {
    ServiceClient(const std::string& base, const std::string& token) : client(base) {
        client.set_connection_timeout(kConnectSeconds, 0);
        client.set_read_timeout(kAnswerSeconds, 0);
        client.set_write_timeout(kConnectSeconds, 0);
        if (!token.empty()) headers.emplace("Authorization", "Bearer " + token);
    }
    httplib::Client client;
    httplib::Headers headers;
};

// One request to the service's interface: the answer's status and body
// (a JSON object), or false with the problem in one line.
bool Ask(const Globals& g, const std::string& token, const std::string& method, const std::string& path,
         const json& body, int& status, json& answer, std::string& problem) {
    std::string base, prefix;
    SplitUrl(g.service, base, prefix);
    ServiceClient service(base, token);
    auto res = method == "GET" ? service.client.Get(prefix + path, service.headers)
                               : service.client.Post(prefix + path, service.headers, body.dump(), "application/json");
    if (!res) {
        problem = "no service answers at " + g.service + " (" + httplib::to_string(res.error()) + ")";
        return false;
    }
    status = res->status;
    answer = json::parse(res->body, nullptr, false);
    if (answer.is_discarded() || !answer.is_object()) {
        problem = "the service at " + g.service + " answered HTTP " + std::to_string(status) + " without a readable body";
        return false;
    }
    if (status == 401) {
        problem = token.empty() ? "the service at " + g.service + " needs a token (--token, --token-file or TALVOD_TOKEN)"
                                : "the service at " + g.service + " did not accept the token";
        return false;
    }
    if (status != 200) {
        problem = Text(answer, "error");
        if (problem.empty()) problem = "the service at " + g.service + " answered HTTP " + std::to_string(status);
        return false;
    }
    return true;
}

struct CardArguments {
    std::vector<std::string> cards;
    std::string card, reason, scope;
};

int CardChange(const Invocation& run, const CardArguments& a, bool block) {
    std::string token, problem;
    if (!ServiceToken(run.globals, token, problem)) {
        std::fprintf(stderr, "talvo: %s: %s\n", run.what.c_str(), problem.c_str());
        return 2;
    }
    json body = json::object();
    if (!a.reason.empty()) body["reason"] = a.reason;
    if (!a.scope.empty()) body["scope"] = a.scope;
    int worst = 0;
    for (const std::string& card : a.cards) {
        int status = 0;
        json answer;
        if (!Ask(run.globals, token, "POST", "/api/cards/" + card + (block ? "/block" : "/unblock"), body, status,
                 answer, problem)) {
            std::fprintf(stderr, "talvo: %s: %s: %s\n", run.what.c_str(), card.c_str(), problem.c_str());
            worst = std::max(worst, status == 400 ? 2 : 1);
        }
    }
    return worst;
}

int CardShow(const Invocation& run, const CardArguments& a) {
    std::string token, problem;
    if (!ServiceToken(run.globals, token, problem)) {
        std::fprintf(stderr, "talvo: %s: %s\n", run.what.c_str(), problem.c_str());
        return 2;
    }
    int status = 0;
    json answer;
    if (!Ask(run.globals, token, "GET", "/api/cards/" + a.card, json(), status, answer, problem)) {
        std::fprintf(stderr, "talvo: %s: %s\n", run.what.c_str(), problem.c_str());
        return status == 400 ? 2 : 1;
    }
    const json& blocked = answer["blocked"];
    if (blocked.empty()) Print("%s not blocked\n", a.card.c_str());
    for (const json& b : blocked) {
        const std::string reason = Text(b, "reason");
        Print("%s blocked for %s%s%s by %s at %s\n", a.card.c_str(), Text(b, "scope").c_str(),
              reason.empty() ? "" : ": ", reason.c_str(), Text(b, "by").c_str(), Text(b, "at").c_str());
    }
    for (const json& t : answer["terminals"]) {
        const std::string name = Text(t, "name");
        const std::string error = Text(t, "error");
        Print("%s/%d%s%s: %s%s%s\n", Text(t, "line").c_str(), t.value("terminal", 0), name.empty() ? "" : " ",
              name.c_str(), Text(t, "state").c_str(), error.empty() ? "" : " (", error.empty() ? "" : (error + ")").c_str());
    }
    return 0;
}

}  // namespace

void AddCardCommand(CLI::App& app, Invocation& run) {
    auto a = std::make_shared<CardArguments>();
    auto* card = app.add_subcommand("card",
                                    "the cards the talvod service keeps blocked on its terminals (with --service): a "
                                    "card blocked reaches every terminal of its scope and stays until unblocked")
                     ->require_subcommand(1);
    auto needsService = [&run](CLI::App* sub) {
        if (run.globals.service.empty()) {
            throw CLI::ValidationError(std::string("card ") + sub->get_name() +
                                       " is kept by the talvod service: give --service URL");
        }
    };
    auto checkCard = CLI::Validator(
        [](std::string& s) {
            std::string checked;
            return ParseCard(s, checked);
        },
        "", "");
    for (const bool block : {true, false}) {
        auto* sub = card->add_subcommand(block ? "block" : "unblock",
                                         block ? "block cards on every terminal of the scope (the site by default)"
                                               : "unblock cards: they come off the terminals of the scope");
        sub->add_option("card", a->cards, "card numbers, six digits each")->required()->check(checkCard);
        sub->add_option("--reason", a->reason, "why, one line (shown in the card's history)")->type_name("TEXT");
        sub->add_option("--scope", a->scope, "\"site\" (the default) or a group of terminals")->type_name("SCOPE");
        sub->callback([sub, &run, a, block, needsService] {
            needsService(sub);
            run.what = std::string("card ") + sub->get_name();
            run.local = [&run, a, block] { return CardChange(run, *a, block); };
        });
    }
    auto* show = card->add_subcommand("show", "where a card is blocked, and its state on every terminal");
    show->add_option("card", a->card, "a card number, six digits")->required()->check(checkCard);
    show->callback([show, &run, a, needsService] {
        needsService(show);
        run.what = "card show";
        run.local = [&run, a] { return CardShow(run, *a); };
    });
}

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
    ServiceClient service(base, token_);
    const std::string where = "the service at " + url_;
    auto res = service.client.Post(path, service.headers, body, "application/json");
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
    // A terminal on several lines: the service says to name the line.
    if (res->status == 409) return Fail(error + (error.find("name the line") != std::string::npos ? " (--line NAME)" : ""), 1);
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

bool ServiceTerminal::ReadClock(const char* op, DateTime& when) {
    if (!Run(op)) return false;
    when = FromFields(Values().value("fields", json::array()));
    return true;
}

bool ServiceTerminal::SetClock(const char* op, const DateTime& when, bool seconds) {
    return Run(op, {{"time", FormatDateTime(when, seconds)}});
}

bool ServiceTerminal::ClockRead(DateTime& when) { return ReadClock("clock get", when); }
bool ServiceTerminal::ClockSet(const DateTime& when) { return SetClock("clock set", when, false); }

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

bool ServiceTerminal::AttendClockRead(DateTime& when) { return ReadClock("attend clock get", when); }
bool ServiceTerminal::AttendClockSet(const DateTime& when) { return SetClock("attend clock set", when, true); }

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
