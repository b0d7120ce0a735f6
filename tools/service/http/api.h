// The web interface: the page, the JSON and CSV API, /metrics and /healthz,
// the command-line tool's commands for a terminal (run by its line's
// worker), and the desired state of the site's terminals (manage_routes.cpp).
//
// Who may do what: every token named in the configuration may read; only an
// administrator's token changes anything (a "collect now", a command that
// changes a terminal, the desired state).  Without any token configured the
// service listens on the loopback only and answers reads there; changes are
// refused.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "line/worker.h"
#include "config.h"
#include "db/database.h"
#include "manage/desired.h"
#include "http/command_table.h"
#include "http/metrics.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}

namespace talvo::service {

class GuardedServer;

// Database connections for the request threads, reused while healthy.
class ConnectionPool {
public:
    explicit ConnectionPool(std::string target) : target_(std::move(target)) {}
    class Lease {
    public:
        Lease(ConnectionPool& pool, std::unique_ptr<Connection> c) : pool_(pool), c_(std::move(c)) {}
        ~Lease() { pool_.Return(std::move(c_)); }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Connection& operator*() { return *c_; }
        Connection* operator->() { return c_.get(); }

    private:
        ConnectionPool& pool_;
        std::unique_ptr<Connection> c_;
    };
    // Throws DbError when no connection can be had.
    std::unique_ptr<Lease> Get();
    // A new connection, the idle ones given up (after one was found lost:
    // the others are likely to the same server that went away).
    std::unique_ptr<Lease> Fresh();

private:
    void Return(std::unique_ptr<Connection> c);
    std::string target_;
    std::mutex lock_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

// Wrong tokens per address: a few are answered 401 (and logged), then the
// address gets 429 for anything that needs a token until its tries come
// back (one per kRefill).  Other addresses and the page's files are not
// affected.
class TokenGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kTries = 10;
    static constexpr std::chrono::seconds kRefill{6};
    // True while `address` has used up its tries.
    bool Throttled(const std::string& address, Clock::time_point now);
    // A wrong token from `address`; returns how many it has sent since its
    // first (for the log).
    std::int64_t Refused(const std::string& address, Clock::time_point now);
    // Seconds until `address` may try again.
    int RetryAfter(const std::string& address, Clock::time_point now);

private:
    struct Entry {
        double tries = kTries;
        Clock::time_point at;
        std::int64_t refused = 0;
    };
    Entry& At(const std::string& address, Clock::time_point now);
    std::mutex lock_;
    std::map<std::string, Entry> entries_;
};

// The threads serving connections (one each), shared with them.
class HttpApi {
public:
    // `collectNow(line, terminal)` queues a collection: null when this
    // service has no such terminal.
    using CollectNow = std::function<std::shared_ptr<CollectTicket>(const std::string&, int)>;
    // Commands for a terminal: `run(line, terminal, work)` queues one (null
    // when this service has no such terminal); `linesHolding(terminal)`
    // names this service's lines that have the terminal.
    struct Commands {
        std::function<std::shared_ptr<CommandTicket>(const std::string&, int, CommandTicket::Work)> run;
        std::function<std::vector<std::string>(int)> linesHolding;
    };
    // `syncNow()` wakes every line's worker to push a changed desired state.
    HttpApi(const Config& config, Metrics& metrics, CollectNow collectNow, std::function<void()> syncNow,
            Commands commands = {});
    ~HttpApi();
    HttpApi(const HttpApi&) = delete;
    HttpApi& operator=(const HttpApi&) = delete;

    // Binds and starts serving; false with `error` when the address cannot
    // be had.
    bool Start(std::string& error);
    // Stops serving; false when a connection was still being served after
    // a few seconds (the process must then end without waiting for it).
    bool Stop();
    int Port() const { return port_; }
    // The configuration read again (SIGHUP): its token and its lines, in
    // force for the next request.  The address and the database stay.
    void Reconfigure(const Config& fresh);
    // What GET /api/alerts answers: the alerts' snapshot (set before Start).
    void SetAlerts(std::function<nlohmann::json()> snapshot) { alerts_ = std::move(snapshot); }

private:
    // The interface's routes: one handler each, in the tables of api.cpp
    // and manage_routes.cpp.
    struct Route {
        enum Method { kGet, kPost, kPut, kDelete } method;
        const char* pattern;  // a regular expression when it has groups
        bool bare;            // takes no query: 400 for one
        void (HttpApi::*handle)(const httplib::Request&, httplib::Response&);
    };
    static std::span<const Route> RouteTable();
    static std::span<const Route> ManageRouteTable();
    // The day's report, cardholders and attendance hours (report_routes.cpp).
    static std::span<const Route> ReportRouteTable();
    void Routes();
    void Register(std::span<const Route> routes);
    // Whether a request may go on to its route: the Host, the token, the
    // throttle on wrong tokens; answered here when not.
    bool Admit(const httplib::Request& req, httplib::Response& res);

    void GetHealth(const httplib::Request& req, httplib::Response& res);
    void GetMetrics(const httplib::Request& req, httplib::Response& res);
    void GetSite(const httplib::Request& req, httplib::Response& res);
    void GetTerminals(const httplib::Request& req, httplib::Response& res);
    void GetLines(const httplib::Request& req, httplib::Response& res);
    void GetRecords(const httplib::Request& req, httplib::Response& res);
    void GetRecordsCsv(const httplib::Request& req, httplib::Response& res);
    void GetTotals(const httplib::Request& req, httplib::Response& res);
    void GetRejected(const httplib::Request& req, httplib::Response& res);
    void GetJobs(const httplib::Request& req, httplib::Response& res);
    void GetAlerts(const httplib::Request& req, httplib::Response& res);
    void PostLineCommand(const httplib::Request& req, httplib::Response& res);
    void PostTerminalCommand(const httplib::Request& req, httplib::Response& res);
    void PostCollect(const httplib::Request& req, httplib::Response& res);
    // The desired state (manage_routes.cpp).
    void GetDesired(const httplib::Request& req, httplib::Response& res);
    void PutDesired(const httplib::Request& req, httplib::Response& res);
    void DeleteDesired(const httplib::Request& req, httplib::Response& res);
    void PostCard(const httplib::Request& req, httplib::Response& res);
    void GetCards(const httplib::Request& req, httplib::Response& res);
    void GetCard(const httplib::Request& req, httplib::Response& res);
    void GetSync(const httplib::Request& req, httplib::Response& res);
    void GetAudit(const httplib::Request& req, httplib::Response& res);
    // The day's report, cardholders, attendance hours (report_routes.cpp).
    void GetDayReport(const httplib::Request& req, httplib::Response& res);
    void GetCardholders(const httplib::Request& req, httplib::Response& res);
    void PutCardholders(const httplib::Request& req, httplib::Response& res);
    void DeleteCardholder(const httplib::Request& req, httplib::Response& res);
    void GetAttendance(const httplib::Request& req, httplib::Response& res);
    // "site" or a group of the configuration.
    bool KnownScope(const std::string& scope);
    // The desired state changed: the workers push it.
    void Changed();

    // The one a request comes from: a configured user, or "loopback" (a
    // reader) when no token is configured; none for a token nobody has.
    struct Caller {
        std::string name;
        bool admin = false;
    };
    std::optional<Caller> Identify(const std::string& authorization);
    // The caller when it is an administrator; otherwise a 403 (or 401) is
    // answered and nothing is returned.
    std::optional<Caller> Administrator(const httplib::Request& req, httplib::Response& res);
    void RunCommand(const httplib::Request& req, httplib::Response& res, std::string line, int terminal);
    // A command that changes an item this service keeps on the terminal;
    // true when it was answered here (a block, or a refusal).
    bool KeptItem(const nlohmann::json& request, const PreparedCommand& command, const std::string& line, int terminal,
                  const Actor& actor, const std::string& detail, httplib::Response& res);
    // A command's "collect": a collection into this service's store.
    void CollectCommand(nlohmann::json answer, const std::string& line, int terminal,
                        const std::function<void(const std::string&)>& outcome, httplib::Response& res);
    // Runs a change of the desired state on a connection of the pool; a
    // conflict with another writer or a lost connection is tried once more
    // on a fresh connection.  Throws DbError when that fails too (a
    // conflict is answered 409, a database away 503).
    ChangeResult Change(const std::function<ChangeResult(Connection&)>& run);
    // The Host header names the loopback or this service (always true with
    // a token).
    bool HostAllowed(const std::string& header);

    Config config_;
    Metrics& metrics_;
    CollectNow collectNow_;
    Commands commands_;
    ConnectionPool pool_;
    std::unique_ptr<GuardedServer> server_;
    std::thread thread_;
    std::mutex lock_;  // what a reload changes
    std::vector<HttpUser> users_;
    std::function<void()> syncNow_;
    // The groups of terminals the configuration names.
    std::vector<std::string> groups_;
    std::string currency_;  // the page's currency code, "" for none
    bool healthOpen_ = false;  // /healthz without the token
    std::vector<std::string> lines_;
    TokenGuard guard_;
    std::function<nlohmann::json()> alerts_;
    int port_ = 0;
};

}  // namespace talvo::service
