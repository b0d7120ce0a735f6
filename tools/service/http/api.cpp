#include "http/api.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <optional>

#include <nlohmann/json.hpp>

#include "manage/desired.h"
#include "http/common.h"
#include "http/server.h"
#include "log.h"
#include "db/queries.h"
#include "db/store.h"
#include "talvo.h"
#include "http/command_table.h"
#include "http/web_assets.h"
#include "net/sockets.h"

namespace talvo::service {
namespace {

using nlohmann::json;

const std::vector<std::string> kRecordParams = {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset",
                                                "after"};
const std::vector<std::string> kCsvParams = {"line", "terminal", "card", "type", "from", "to", "day"};
const std::vector<std::string> kTotalParams = {"line", "terminal", "card", "type", "from", "to", "day"};
const std::vector<std::string> kRejectedParams = {"line", "terminal", "limit", "offset"};

// How long a "collect now" request waits for its collection.
constexpr std::chrono::seconds kCollectNowWait{15};
// How long a command waits for its turn on the line and its run.  A
// command not begun by then is withdrawn.
constexpr std::chrono::seconds kCommandWait{60};

// The host part of a Host header: "name", "1.2.3.4", "[::1]", without the
// port, in lower case.
std::string HostName(const std::string& header) {
    std::string h;
    if (!header.empty() && header[0] == '[') {
        const std::size_t close = header.find(']');
        h = close == std::string::npos ? header : header.substr(1, close - 1);
    } else {
        h = header.substr(0, header.find(':'));
    }
    std::transform(h.begin(), h.end(), h.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (!h.empty() && h.back() == '.') h.pop_back();
    return h;
}

// Checks the parameters against `allowed` and fills the filter; a 400
// with the reason otherwise.
bool Filter(const httplib::Request& req, httplib::Response& res, const std::vector<std::string>& allowed,
            RecordFilter& f) {
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error) || !ParseFilter(params, allowed, f, error)) {
        Problem(res, 400, error);
        return false;
    }
    return true;
}

json RecordJson(const RecordRow& r) {
    return json{{"id", r.id},          {"line", r.line},         {"terminal", r.terminal},
                {"card", r.card},      {"type", TypeName(r.type)}, {"amount_cents", r.amountCents},
                {"second_amount_cents", r.secondAmountCents},     {"at", r.at},
                {"batch", r.batch},    {"seq", r.seq},
                {"name", Optional(r.name)}};
}

// A command's arguments for the audit table; a card key is not written.
std::string AuditText(const json& request) {
    json shown = request;
    shown.erase("op");
    if (shown.contains("key")) shown["key"] = "(secret)";
    return shown.dump();
}

// A command that cannot be run as it stands: exit status 2, as the
// tool's usage errors.
std::string NoSuchTerminal(const std::string& line, int terminal) {
    return "no terminal " + std::to_string(terminal) + " on a line '" + line + "' of this service";
}

void Refuse(httplib::Response& res, int status, const std::string& why) {
    Json(res, json{{"error", why}, {"exit", status == 400 ? 2 : 1}}, status);
}

struct Asset {
    const char* path;
    const unsigned char* data;
    std::size_t size;
    const char* type;
};

const Asset kAssets[] = {
    {"/", web::kIndexHtml, web::kIndexHtmlSize, "text/html; charset=utf-8"},
    {"/app.js", web::kAppJs, web::kAppJsSize, "text/javascript; charset=utf-8"},
    {"/style.css", web::kStyleCss, web::kStyleCssSize, "text/css; charset=utf-8"},
};

// A handler's exception: a database away is a 503, a conflict a 409.
void AnswerException(const httplib::Request& req, httplib::Response& res, std::exception_ptr ep) {
    std::string what = "unknown";
    try {
        std::rethrow_exception(ep);
    } catch (const DbError& e) {
        Log(Level::kError, "http-database", {{"path", req.path}, {"error", e.what()}});
        // Another writer in the way, still after a second try: the
        // change may be made again.
        if (e.cause() == DbError::Cause::kConflict) {
            Problem(res, 409, "another change got in the way: read the current state and try again");
        } else {
            Problem(res, 503, "the database is not available");
        }
        return;
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {
    }
    Log(Level::kError, "http-failure", {{"path", req.path}, {"error", what}});
    Problem(res, 500, "internal error");
}

// httplib's own refusals, in the interface's JSON.
void AnswerError(const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return;
    switch (res.status) {
        case 404: Problem(res, 404, "no such resource"); break;
        case 405: Problem(res, 405, "method not allowed"); break;
        case 413: Problem(res, 413, "request too large"); break;
        case 414: Problem(res, 414, "request line too long"); break;
        default: Problem(res, res.status, "bad request"); break;
    }
}

}  // namespace

// ---- Connections ----------------------------------------------------------

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::Get() {
    std::unique_ptr<Connection> c;
    {
        std::lock_guard<std::mutex> hold(lock_);
        while (!idle_.empty() && !c) {
            c = std::move(idle_.back());
            idle_.pop_back();
            if (!c->Healthy()) c.reset();
        }
    }
    if (!c) c = Open(target_);
    return std::make_unique<Lease>(*this, std::move(c));
}

std::unique_ptr<ConnectionPool::Lease> ConnectionPool::Fresh() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        idle_.clear();
    }
    return std::make_unique<Lease>(*this, Open(target_));
}

ChangeResult HttpApi::Change(const std::function<ChangeResult(Connection&)>& run) {
    try {
        auto db = pool_.Get();
        return run(**db);
    } catch (const DbError& e) {
        if (e.cause() == DbError::Cause::kOther) throw;
        Log(Level::kWarning, "database-retry",
            {{"cause", e.cause() == DbError::Cause::kLost ? "connection lost" : "conflict"}, {"error", e.what()}});
    }
    auto db = pool_.Fresh();
    return run(**db);
}

// ---- Wrong tokens -----------------------------------------------------------

TokenGuard::Entry& TokenGuard::At(const std::string& address, Clock::time_point now) {
    // Bounded: addresses whose tries are all back are forgotten first.
    if (entries_.size() > 4096) {
        for (auto it = entries_.begin(); it != entries_.end();) {
            const double back = std::chrono::duration<double>(now - it->second.at) / kRefill;
            it = it->second.tries + back >= kTries ? entries_.erase(it) : std::next(it);
        }
        if (entries_.size() > 4096) entries_.clear();
    }
    auto [it, fresh] = entries_.try_emplace(address);
    Entry& e = it->second;
    if (fresh) e.at = now;
    e.tries = std::min<double>(kTries, e.tries + std::chrono::duration<double>(now - e.at) / kRefill);
    e.at = now;
    return e;
}

bool TokenGuard::Throttled(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(lock_);
    if (entries_.find(address) == entries_.end()) return false;
    return At(address, now).tries < 1;
}

std::int64_t TokenGuard::Refused(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(lock_);
    Entry& e = At(address, now);
    e.tries = std::max(0.0, e.tries - 1);
    return ++e.refused;
}

int TokenGuard::RetryAfter(const std::string& address, Clock::time_point now) {
    std::lock_guard<std::mutex> hold(lock_);
    const Entry& e = At(address, now);
    const double wait = (1 - e.tries) * std::chrono::duration<double>(kRefill).count();
    return std::max(1, static_cast<int>(wait + 0.999));
}

void ConnectionPool::Return(std::unique_ptr<Connection> c) {
    if (!c || !c->Healthy()) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (idle_.size() < 8) idle_.push_back(std::move(c));
}

// "YYYY-MM-DDTHH:MM:SS[.mmm]Z" as seconds since 1970; nothing for another text.
static std::optional<double> EpochSeconds(const std::string& utc) {
    std::tm tm{};
    int ms = 0;
    char zone = 0;
    if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                    &tm.tm_min, &tm.tm_sec, &ms, &zone) != 8 ||
        zone != 'Z') {
        ms = 0;
        if (std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour,
                        &tm.tm_min, &tm.tm_sec, &zone) != 7 ||
            zone != 'Z') {
            return std::nullopt;
        }
    }
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    const std::time_t t = timegm(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    return static_cast<double>(t) + ms / 1000.0;
}

// How far an attendance terminal's clock (its own wall time) was from this
// host's local time when it was read, in seconds (ahead when positive);
// none when either is missing or unreadable.  Worked out here, where the
// site's time is, not in a browser that may be in another zone.
static std::optional<std::int64_t> ClockOffset(const std::string& clock, const std::string& readUtc) {
    const std::optional<double> read = EpochSeconds(readUtc);
    std::tm wall{};
    if (!read || std::sscanf(clock.c_str(), "%4d-%2d-%2d %2d:%2d:%2d", &wall.tm_year, &wall.tm_mon, &wall.tm_mday,
                             &wall.tm_hour, &wall.tm_min, &wall.tm_sec) != 6) {
        return std::nullopt;
    }
    wall.tm_year -= 1900;
    wall.tm_mon -= 1;
    const std::time_t at = static_cast<std::time_t>(*read);
    std::tm local{};
    if (localtime_r(&at, &local) == nullptr) return std::nullopt;
    return static_cast<std::int64_t>(timegm(&wall)) - static_cast<std::int64_t>(timegm(&local));
}

// ---- The server -----------------------------------------------------------------

namespace {

std::vector<std::string> Groups(const Config& config) {
    std::vector<std::string> out;
    for (const LineConfig& l : config.lines) {
        for (const TerminalConfig& t : l.terminals) {
            if (!t.group.empty() && std::find(out.begin(), out.end(), t.group) == out.end()) out.push_back(t.group);
        }
    }
    return out;
}

}  // namespace

HttpApi::HttpApi(const Config& config, Metrics& metrics, CollectNow collectNow, std::function<void()> syncNow,
                 Commands commands)
    : config_(config),
      metrics_(metrics),
      collectNow_(std::move(collectNow)),
      commands_(std::move(commands)),
      pool_(config.database),
      server_(std::make_unique<GuardedServer>()),
      users_(config.http.users),
      syncNow_(std::move(syncNow)),
      groups_(Groups(config)),
      currency_(config.http.currency),
      healthOpen_(config.http.healthWithoutToken) {
    for (const LineConfig& l : config.lines) lines_.push_back(l.name);
    Routes();
}

HttpApi::~HttpApi() { Stop(); }

void HttpApi::Reconfigure(const Config& fresh) {
    std::lock_guard<std::mutex> hold(lock_);
    users_ = fresh.http.users;
    groups_ = Groups(fresh);
    config_.lines = fresh.lines;
    currency_ = fresh.http.currency;
    healthOpen_ = fresh.http.healthWithoutToken;
    lines_.clear();
    for (const LineConfig& l : fresh.lines) lines_.push_back(l.name);
}

std::optional<HttpApi::Caller> HttpApi::Identify(const std::string& header) {
    std::vector<HttpUser> users;
    {
        std::lock_guard<std::mutex> hold(lock_);
        users = users_;
    }
    if (users.empty()) return Caller{"loopback", false};
    const std::string prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
    const std::string presented = header.substr(prefix.size());
    std::optional<Caller> found;
    // Every token is compared, so that the time taken tells nothing.
    for (const HttpUser& u : users) {
        if (SameText(presented, u.token) && !found) found = Caller{u.name, u.role == "admin"};
    }
    return found;
}

std::optional<HttpApi::Caller> HttpApi::Administrator(const httplib::Request& req, httplib::Response& res) {
    const std::optional<Caller> who = Identify(req.get_header_value("Authorization"));
    if (!who) {
        Problem(res, 401, "a valid token is required (Authorization: Bearer ...)");
        return std::nullopt;
    }
    if (!who->admin) {
        bool any;
        {
            std::lock_guard<std::mutex> hold(lock_);
            any = std::any_of(users_.begin(), users_.end(), [](const HttpUser& u) { return u.role == "admin"; });
        }
        const std::string why = any ? "this needs an administrator's token; '" + who->name + "' may only read"
                                    : "changes need an administrator's token in the configuration ([http] token)";
        Problem(res, 403, why);
        // A change someone tried without the right: kept with the others.
        try {
            auto db = pool_.Get();
            WriteAudit(**db, {who->name, req.remote_addr}, req.method + " " + req.path, "", "refused 403: " + why);
        } catch (const DbError& e) {
            Log(Level::kWarning, "audit-refusal", {{"error", e.what()}});
        }
        return std::nullopt;
    }
    return who;
}

// A change to an item the service keeps on the terminal: a card added to
// its blacklist becomes a block of the desired state; anything else is
// refused with the way to change it.  False when the item is not kept there.
bool HttpApi::KeptItem(const json& request, const PreparedCommand& command, const std::string& line, int terminal,
                       const Actor& actor, const std::string& detail, httplib::Response& res) {
    auto db = pool_.Get();
    const Desired d = LoadDesired(**db);
    std::optional<TerminalConfig> config;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const LineConfig& l : config_.lines) {
            for (const TerminalConfig& t : l.terminals) {
                if (l.name == line && t.number == terminal) config = t;
            }
        }
    }
    const auto want = config ? d.For(config->kind, config->group) : std::map<std::string, std::string>{};
    if (want.count(command.item) == 0) return false;
    if (command.op == "blacklist add") {
        const std::string scope =
            !config->group.empty() && d.blacklistVersions.count(config->group) ? config->group : kSiteScope;
        const std::string reason = "blacklist add on " + line + "/" + std::to_string(terminal);
        for (const json& card : request.at("cards")) {
            const ChangeResult r = Change([&](Connection& c) {
                return SetCardBlocked(c, scope, card.get<std::string>(), true, reason, std::nullopt, actor);
            });
            if (r.status != 200) {
                Refuse(res, r.status, r.error);
                return true;
            }
        }
        Log(Level::kInfo, "card-blocked", {{"scope", scope}, {"by", actor.name}, {"through", "command"}});
        Changed();
        Json(res, json{{"line", line}, {"terminal", terminal}, {"op", command.op}, {"ok", true},
                       {"values", json::object()}, {"blocked", scope}});
        return true;
    }
    const std::string way =
        command.item == "blacklist"
            ? "the service keeps this terminal's blacklist: a card comes off with talvo --service URL "
              "card unblock CARD (POST /api/cards/CARD/unblock)"
            : "the service keeps this terminal's " + command.item + ": change it with PUT /api/desired/" +
                  (config->group.empty() || !d.items.count({config->group, command.item}) ? std::string(kSiteScope)
                                                                                          : config->group) +
                  "/" + command.item;
    WriteAudit(**db, actor, "command " + command.op, detail, "refused 409: " + way);
    Refuse(res, 409, way);
    return true;
}

void HttpApi::CollectCommand(json answer, const std::string& line, int terminal,
                             const std::function<void(const std::string&)>& outcome, httplib::Response& res) {
    const auto ticket = collectNow_(line, terminal);
    if (!ticket) return Refuse(res, 404, NoSuchTerminal(line, terminal));
    const CollectResult r = ticket->Wait(kCollectNowWait);
    outcome(!r.done ? "still running" : r.error.empty() ? "done" : "failed: " + r.error);
    if (!r.done) {
        answer["ok"] = false;
        answer["done"] = false;
        answer["problem"] = "the collection is still running; the service stores what it collects";
        answer["exit"] = 1;
        return Json(res, answer, 202);
    }
    if (r.error == "the line is stopping") return Refuse(res, 503, r.error);
    answer["ok"] = r.error.empty();
    answer["records"] = r.records;
    answer["rejected"] = r.rejected;
    answer["state"] = r.state;
    if (!r.error.empty()) {
        answer["problem"] = r.error;
        answer["exit"] = 1;
    }
    return Json(res, answer);
}

void HttpApi::RunCommand(const httplib::Request& req, httplib::Response& res, std::string line, int terminal) {
    auto refuse = [&res](int status, const std::string& why) { Refuse(res, status, why); };
    if (terminal > 255) return refuse(400, "terminal: a number from 0 to 255");
    if (!JsonBody(req)) return refuse(415, "the body must be JSON (Content-Type: application/json)");
    const json request = json::parse(req.body, nullptr, false);
    if (request.is_discarded()) return refuse(400, "the body is not JSON: {\"op\": ..., arguments}");
    PreparedCommand command;
    const std::string problem = PrepareCommand(request, command);
    if (!problem.empty()) return refuse(400, problem);
    std::optional<Caller> who;
    if (command.changes) {
        who = Administrator(req, res);
        if (!who) {
            const json said = json::parse(res.body, nullptr, false);
            return refuse(res.status, said.is_object() ? said.value("error", "refused") : "refused");
        }
    }
    if (!commands_.run) return refuse(404, "this service runs no commands");
    if (line.empty()) {
        const std::vector<std::string> holding = commands_.linesHolding(terminal);
        if (holding.empty()) return refuse(404, "no line of this service has terminal " + std::to_string(terminal));
        if (holding.size() > 1) {
            std::string names;
            for (const std::string& n : holding) names += (names.empty() ? "" : ", ") + n;
            return refuse(409, "terminal " + std::to_string(terminal) + " is on more than one line of this service (" +
                                   names + "): name the line");
        }
        line = holding.front();
    }
    // A command that changes a terminal goes into the audit table before
    // it is run (no database, no change), its outcome after.
    std::int64_t audited = 0;
    const Actor actor{who ? who->name : "", req.remote_addr};
    const std::string action = "command " + command.op;
    const std::string detail = line + " terminal " + std::to_string(terminal) + ": " + AuditText(request);
    if (command.changes) {
        // An item the service keeps on this terminal follows the desired
        // state: a card added is a block, anything else is refused.
        if (!command.item.empty() && command.item != "*" &&
            KeptItem(request, command, line, terminal, actor, detail, res)) {
            return;
        }
        auto db = pool_.Get();
        audited = WriteAudit(**db, actor, action, detail, "asked");
    }
    // What came of it, in the audit row.
    auto outcome = [&](const std::string& text) {
        if (audited == 0) return;
        try {
            auto db = pool_.Get();
            SetAuditOutcome(**db, audited, text);
        } catch (const DbError& e) {
            Log(Level::kWarning, "audit-outcome", {{"error", e.what()}});
        }
    };
    if (!command.item.empty()) {
        // Read back (or written again) at once by the worker.
        CommandTicket::Work inner = command.work;
        const std::string item = command.item;
        command.work = [inner, item](common::Terminal& t) {
            CommandResult r = inner(t);
            r.touches = item;
            return r;
        };
    }
    Log(Level::kInfo, "command-asked", {{"line", line}, {"terminal", std::to_string(terminal)}, {"op", command.op}});
    json answer{{"line", line}, {"terminal", terminal}, {"op", command.op}};
    if (command.collect) return CollectCommand(answer, line, terminal, outcome, res);
    const auto ticket = commands_.run(line, terminal, command.work);
    if (!ticket) return refuse(404, NoSuchTerminal(line, terminal));
    bool begun = false;
    const CommandResult r = ticket->Wait(kCommandWait, begun);
    outcome(!r.done ? (begun ? "outcome not known" : "withdrawn") : r.stopping ? "not run: the line is stopping"
                                                             : r.ok ? "done" : "failed: " + r.problem);
    if (!r.done) {
        if (begun) return refuse(504, "the command is still running on line " + line + "; its outcome is not known");
        return refuse(503, "line " + line + " was busy for " + std::to_string(kCommandWait.count()) +
                               " s: the command was withdrawn, not run");
    }
    if (r.stopping) return refuse(503, "line " + line + " is stopping");
    answer["ok"] = r.ok;
    if (r.ok) {
        answer["values"] = json::parse(r.values, nullptr, false);
    } else {
        answer["problem"] = r.problem;
        answer["exit"] = r.exit;
    }
    Json(res, answer);
}

bool HttpApi::HostAllowed(const std::string& header) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (!users_.empty()) return true;
    }
    // Without a token the service listens on the loopback only (the
    // configuration insists), and the loopback is open to any web page the
    // machine's browser shows: a name of the page's own that resolves to
    // 127.0.0.1 would read everything.  So only names of the loopback, and
    // this service's own name, are answered.
    if (header.empty()) return true;  // not from a browser
    const std::string host = HostName(header);
    if (IsLoopback(host) || host == "localhost" || host == "0:0:0:0:0:0:0:1") return true;
    std::string own = config_.host;
    std::transform(own.begin(), own.end(), own.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return !own.empty() && host == own;
}

bool HttpApi::Start(std::string& error) {
    const int port = config_.http.port;
    port_ = server_->Bind(config_.http.listen, port);
    if (port_ == 0) {
        error = "cannot listen on " + config_.http.listen + ":" + std::to_string(port);
        return false;
    }
    thread_ = std::thread([this] { server_->Serve(); });
    Log(Level::kInfo, "http-listening", {{"address", config_.http.listen + ":" + std::to_string(port_)},
                                         {"token", users_.empty() ? "none" : "required"}});
    return true;
}

bool HttpApi::Stop() {
    const bool ended = server_->StopAll();
    if (thread_.joinable()) thread_.join();
    return ended;
}

std::span<const HttpApi::Route> HttpApi::RouteTable() {
    static const Route routes[] = {
        {Route::kGet, "/healthz", true, &HttpApi::GetHealth},
        {Route::kGet, "/metrics", true, &HttpApi::GetMetrics},
        {Route::kGet, "/api/site", true, &HttpApi::GetSite},
        {Route::kGet, "/api/terminals", true, &HttpApi::GetTerminals},
        {Route::kGet, "/api/lines", true, &HttpApi::GetLines},
        {Route::kGet, "/api/records", false, &HttpApi::GetRecords},
        {Route::kGet, "/api/records.csv", false, &HttpApi::GetRecordsCsv},
        {Route::kGet, "/api/totals", false, &HttpApi::GetTotals},
        {Route::kGet, "/api/rejected", false, &HttpApi::GetRejected},
        {Route::kGet, "/api/jobs", true, &HttpApi::GetJobs},
        {Route::kGet, "/api/alerts", true, &HttpApi::GetAlerts},
        {Route::kPost, R"(/api/lines/([A-Za-z0-9_.-]{1,32})/terminals/([0-9]{1,3})/command)", false, &HttpApi::PostLineCommand},
        {Route::kPost, R"(/api/terminals/([0-9]{1,3})/command)", false, &HttpApi::PostTerminalCommand},
        {Route::kPost, R"(/api/terminals/([A-Za-z0-9_.-]{1,32})/([0-9]{1,3})/collect)", false, &HttpApi::PostCollect},
    };
    return routes;
}

void HttpApi::Routes() {
    httplib::Server& s = *server_;
    s.set_payload_max_length(64 * 1024);
    // The address is this service's alone: httplib's default also sets
    // SO_REUSEPORT, with which a second service on the same port starts
    // without a word and the kernel shares the requests between the two
    // (net::OwnAddress).
    s.set_socket_options([](socket_t sock) { net::OwnAddress(sock); });
    s.set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});

    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        return Admit(req, res) ? httplib::Server::HandlerResponse::Unhandled : httplib::Server::HandlerResponse::Handled;
    });
    s.set_exception_handler(AnswerException);
    s.set_error_handler(AnswerError);
    for (const Asset& a : kAssets) {
        s.Get(a.path, [a](const httplib::Request&, httplib::Response& res) {
            res.set_content(reinterpret_cast<const char*>(a.data), a.size, a.type);
            res.set_header("Content-Security-Policy",
                           "default-src 'self'; img-src 'self' data:; style-src 'self'; script-src 'self'");
        });
    }
    Register(RouteTable());
    Register(ManageRouteTable());
    Register(ReportRouteTable());
}

void HttpApi::Register(std::span<const Route> routes) {
    httplib::Server& s = *server_;
    for (const Route& r : routes) {
        auto handler = [this, r](const httplib::Request& req, httplib::Response& res) {
            if (r.bare && req.target.find('?') != std::string::npos) return Problem(res, 400, "no parameters here");
            (this->*r.handle)(req, res);
        };
        switch (r.method) {
            case Route::kGet: s.Get(r.pattern, handler); break;
            case Route::kPost: s.Post(r.pattern, handler); break;
            case Route::kPut: s.Put(r.pattern, handler); break;
            case Route::kDelete: s.Delete(r.pattern, handler); break;
        }
    }
}

// The page's files carry no data and are served to anyone who can reach
// the address; everything else needs the token when one is set.
bool HttpApi::Admit(const httplib::Request& req, httplib::Response& res) {
    if (!HostAllowed(req.get_header_value("Host"))) {
        Problem(res, 421, "this service answers to the loopback address or its own name only");
        return false;
    }
    for (const Asset& a : kAssets) {
        if (req.path == a.path && req.method == "GET") return true;
    }
    // For a load balancer or a monitoring agent, when configured so.
    if (req.path == "/healthz" && req.method == "GET") {
        std::lock_guard<std::mutex> hold(lock_);
        if (healthOpen_) return true;
    }
    // An address that sent too many wrong tokens waits, whatever it
    // sends now: otherwise guessing goes on at full speed with the
    // wrong guesses answered 429 instead of 401.
    // (A request with no token at all guesses nothing: 401 as ever.)
    const auto now = TokenGuard::Clock::now();
    const std::string authorization = req.get_header_value("Authorization");
    if (!authorization.empty() && guard_.Throttled(req.remote_addr, now)) {
        res.set_header("Retry-After", std::to_string(guard_.RetryAfter(req.remote_addr, now)));
        Problem(res, 429, "too many wrong tokens from this address: wait and try again");
        return false;
    }
    if (!Identify(authorization)) {
        const std::int64_t refused = authorization.empty() ? 0 : guard_.Refused(req.remote_addr, now);
        // The first of an address, the one that uses up its tries, and
        // every hundredth after.
        if (refused == 1 || refused == TokenGuard::kTries || (refused > 0 && refused % 100 == 0)) {
            Log(Level::kWarning, "token-refused", {{"address", req.remote_addr},
                                                   {"refusals", std::to_string(refused)},
                                                   {"path", req.path}});
        }
        res.set_header("WWW-Authenticate", "Bearer realm=\"talvod\"");
        Problem(res, 401, "a valid token is required (Authorization: Bearer ...)");
        return false;
    }
    return true;
}

void HttpApi::GetHealth(const httplib::Request&, httplib::Response& res) {
    // Reachable is not enough: a full disk or a file-size limit fails
    // every commit of a database that answers SELECT 1.
    const Metrics::WriteState write = metrics_.LastWrite();
    auto text = [](const std::string& v) { return v.empty() ? json(nullptr) : json(v); };
    json body{{"host", config_.host}, {"last_write", text(write.lastOk)}};
    try {
        auto db = pool_.Get();
        (*db)->Query("SELECT 1");
        body["database"] = "ok";
    } catch (const DbError&) {
        body["database"] = "unavailable";
    }
    if (write.failing) {
        body["database"] = body["database"] == "ok" ? "not writing" : body["database"];
        body["last_write_failed"] = write.lastFailure;
        body["last_write_error"] = write.error;
    }
    const bool ok = body["database"] == "ok";
    body["status"] = ok ? "ok" : "degraded";
    Json(res, body, ok ? 200 : 503);
}

void HttpApi::GetMetrics(const httplib::Request&, httplib::Response& res) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines = lines_;
    }
    // This service's terminals as the database last saw them; without
    // the database, the counters alone.
    std::vector<Metrics::TerminalState> terminals;
    try {
        auto db = pool_.Get();
        for (const TerminalRow& t : ListTerminals(**db, LocalToday())) {
            if (std::find(lines.begin(), lines.end(), t.line) == lines.end()) continue;
            terminals.push_back({t.line, t.name, t.number, t.state == "up", EpochSeconds(t.lastCollection)});
        }
    } catch (const DbError&) {
        terminals.clear();
    }
    res.set_content(metrics_.Render(lines, terminals), "text/plain; version=0.0.4");
}

void HttpApi::GetSite(const httplib::Request&, httplib::Response& res) {
    json lines = json::array();
    std::string currency;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const std::string& l : lines_) lines.push_back(l);
        currency = currency_;
    }
    Json(res, json{{"host", config_.host},
                   {"currency", currency.empty() ? json(nullptr) : json(currency)},
                   {"version", talvo_version()},
                   {"today", LocalToday()},
                   {"now", UtcNow()},
                   {"lines", lines},
                   {"database", IsPostgres(config_.database) ? "postgresql" : "sqlite"}});
}

void HttpApi::GetTerminals(const httplib::Request&, httplib::Response& res) {
    auto db = pool_.Get();
    json out = json::array();
    for (const TerminalRow& t : ListTerminals(**db, LocalToday())) {
        out.push_back(json{{"line", t.line},
                           {"number", t.number},
                           {"kind", t.kind},
                           {"name", t.name},
                           {"host", t.host},
                           {"state", t.state},
                           {"last_seen", Optional(t.lastSeen)},
                           {"down_since", Optional(t.downSince)},
                           {"last_error", t.lastError},
                           {"last_error_text", Optional(t.lastErrorText)},
                           {"failures", t.failures},
                           {"last_collection", Optional(t.lastCollection)},
                           {"waiting", t.waiting ? json(*t.waiting) : json(nullptr)},
                           {"records_today", t.recordsToday},
                           {"takings_today_cents", t.takingsTodayCents},
                           {"sum_today_cents", t.sumTodayCents},
                           {"clock", Optional(t.clock)},
                           {"clock_read", Optional(t.clockRead)},
                           {"clock_offset_seconds", [&]() -> json {
                                const auto offset = ClockOffset(t.clock, t.clockRead);
                                return offset ? json(*offset) : json(nullptr);
                            }()},
                           {"updated", Optional(t.updated)}});
    }
    Json(res, json{{"terminals", out}});
}

// Each line of this service as its worker has it now: the device, and
// whether the line is connected, or why not and since when.
void HttpApi::GetLines(const httplib::Request&, httplib::Response& res) {
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> hold(lock_);
        lines = lines_;
    }
    const auto states = metrics_.LineStates();
    json out = json::array();
    for (const std::string& name : lines) {
        const auto it = states.find(name);
        if (it == states.end()) continue;
        const Metrics::LineState& l = it->second;
        out.push_back(json{{"name", name},
                           {"device", l.device},
                           {"state", l.state},
                           {"reason", l.reason.empty() ? json(nullptr) : json(l.reason)},
                           {"since", Optional(l.since)},
                           {"reconnects", l.reconnects}});
    }
    Json(res, json{{"lines", out}});
}

void HttpApi::GetRecords(const httplib::Request& req, httplib::Response& res) {
    RecordFilter f;
    if (!Filter(req, res, kRecordParams, f)) return;
    auto db = pool_.Get();
    if (f.after) {
        // The feed: in commit order from the cursor; `next` is the cursor
        // for the following request (the same when nothing came).
        json rows = json::array();
        std::int64_t next = *f.after;
        for (const RecordRow& r : FeedRecords(**db, f)) {
            rows.push_back(RecordJson(r));
            next = r.seq;
        }
        const bool more = static_cast<std::int64_t>(rows.size()) == f.limit;
        return Json(res, json{{"after", *f.after}, {"next", next}, {"more", more}, {"records", rows}});
    }
    RecordPage page = ListRecords(**db, f);
    json rows = json::array();
    for (const RecordRow& r : page.rows) rows.push_back(RecordJson(r));
    Json(res, json{{"total", page.total}, {"limit", f.limit}, {"offset", f.offset}, {"records", rows}});
}

void HttpApi::GetRecordsCsv(const httplib::Request& req, httplib::Response& res) {
    auto f = std::make_shared<RecordFilter>();
    if (!Filter(req, res, kCsvParams, *f)) return;
    // A connection now, so that an unreachable database is a 503 and
    // not a cut-off download.
    auto lease = std::shared_ptr<ConnectionPool::Lease>(pool_.Get());
    res.set_header("Content-Disposition", "attachment; filename=\"records.csv\"");
    res.set_chunked_content_provider("text/csv; charset=utf-8", [lease, f](std::size_t, httplib::DataSink& sink) {
        std::string chunk = CsvHeader();
        bool open = true;
        ForEachRecord(**lease, *f, [&](const RecordRow& r) {
            if (!open) return;
            chunk += CsvLine(r);
            if (chunk.size() > 64 * 1024) {
                open = sink.write(chunk.data(), chunk.size());
                chunk.clear();
            }
        });
        if (open && !chunk.empty()) sink.write(chunk.data(), chunk.size());
        sink.done();
        return true;
    });
}

void HttpApi::GetTotals(const httplib::Request& req, httplib::Response& res) {
    std::multimap<std::string, std::string> params;
    std::string error;
    if (!Query(req, params, error)) return Problem(res, 400, error);
    auto by = params.find("by");
    if (by == params.end()) return Problem(res, 400, "by: day, hour, terminal, line or type");
    const std::string grouping = by->second;
    params.erase(by);
    if (params.count("by") != 0) return Problem(res, 400, "parameter 'by' given more than once");
    if (!ValidGrouping(grouping)) return Problem(res, 400, "by: day, hour, terminal, line or type");
    RecordFilter f;
    if (!ParseFilter(params, kTotalParams, f, error)) return Problem(res, 400, error);
    auto db = pool_.Get();
    json rows = json::array();
    std::int64_t count = 0, sum = 0, takings = 0;
    for (const Total& t : Totals(**db, grouping, f)) {
        rows.push_back(json{{"key", t.key}, {"count", t.count}, {"sum_cents", t.sumCents},
                            {"takings_cents", t.takingsCents}});
        count += t.count;
        sum += t.sumCents;
        takings += t.takingsCents;
    }
    Json(res, json{{"by", grouping},
                   {"totals", rows},
                   {"all", json{{"count", count}, {"sum_cents", sum}, {"takings_cents", takings}}}});
}

void HttpApi::GetRejected(const httplib::Request& req, httplib::Response& res) {
    RecordFilter f;
    if (!Filter(req, res, kRejectedParams, f)) return;
    auto db = pool_.Get();
    json rows = json::array();
    for (const RejectedRow& r : ListRejected(**db, f)) {
        rows.push_back(json{{"id", r.id}, {"line", r.line}, {"terminal", r.terminal}, {"raw", r.raw},
                            {"reason", r.reason}, {"stored_at", r.storedAt}, {"batch", r.batch}});
    }
    Json(res, json{{"rejected", rows}});
}

void HttpApi::GetJobs(const httplib::Request&, httplib::Response& res) {
    auto db = pool_.Get();
    json rows = json::array();
    for (const JobRow& j : ListJobs(**db)) {
        rows.push_back(json{{"line", j.line}, {"job", j.job}, {"host", j.host}, {"interval_ms", j.intervalMs},
                            {"last_start", Optional(j.lastStart)}, {"last_end", Optional(j.lastEnd)},
                            {"last_result", Optional(j.lastResult)}, {"runs", j.runs}, {"failures", j.failures}});
    }
    Json(res, json{{"jobs", rows}});
}

// Firing and recently resolved alerts, as the service's alert thread has
// them (also while the database is away).
void HttpApi::GetAlerts(const httplib::Request&, httplib::Response& res) {
    if (!alerts_) return Json(res, json{{"active", json::array()}, {"recent", json::array()}});
    Json(res, alerts_());
}

// Commands for a terminal, as the command-line tool's subcommands: on a
// named line, or on the one line of this service that has the terminal.
void HttpApi::PostLineCommand(const httplib::Request& req, httplib::Response& res) {
    RunCommand(req, res, req.matches[1], std::stoi(req.matches[2]));
}

void HttpApi::PostTerminalCommand(const httplib::Request& req, httplib::Response& res) {
    RunCommand(req, res, "", std::stoi(req.matches[1]));
}

// "Collect now" changes the terminal: an administrator's token, even on
// the loopback.  The answer waits for the collection (200 with what it
// came to) up to a limit, then says it is still queued or running (202).
void HttpApi::PostCollect(const httplib::Request& req, httplib::Response& res) {
    if (!Administrator(req, res)) return;
    const std::string line = req.matches[1];
    const int number = std::stoi(req.matches[2]);
    if (number > 255) return Problem(res, 400, "terminal: a number from 0 to 255");
    const auto ticket = collectNow_(line, number);
    if (!ticket) return Problem(res, 404, NoSuchTerminal(line, number));
    Log(Level::kInfo, "collect-now", {{"line", line}, {"terminal", std::to_string(number)}});
    const CollectResult r = ticket->Wait(kCollectNowWait);
    if (!r.done) return Json(res, json{{"done", false}, {"line", line}, {"terminal", number}}, 202);
    Json(res, json{{"done", true},
                   {"line", line},
                   {"terminal", number},
                   {"records", r.records},
                   {"rejected", r.rejected},
                   {"state", r.state},
                   {"error", Optional(r.error)}});
}

}  // namespace talvo::service
