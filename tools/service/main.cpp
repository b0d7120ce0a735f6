// talvod: the collection service.  One process for a site: a worker thread
// per serial line collecting every terminal's records into the database
// exactly once, and a web page to watch it.
//
//   talvod CONFIG            run (SIGTERM stops, SIGHUP reloads CONFIG)
//   talvod --check CONFIG    check CONFIG and say what is wrong
//   talvod db ...            query the database (also as `talvo db ...`)
// On Windows also (win32/service.h):
//   talvod service install|remove|start|stop    the service "talvod"
//   talvod --service [CONFIG]                   as the service control manager starts it
#include <signal.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>
#include <process.h>

#include "win32/service.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#ifdef TALVO_WITH_ALERTS
#include "alerts/evaluator.h"
#endif
#include "line/worker.h"
#include "config.h"
#include "db/database.h"
#include "db/db_cli.h"
#include "db/report_schedule.h"
#include "line/device_probe.h"
#include "http/api.h"
#include "log.h"
#include "http/metrics.h"
#include "db/ownership.h"
#include "talvo.h"

using namespace talvo::service;

namespace {

// What the stop waits beyond a line's exchange time.
constexpr std::chrono::seconds kStopGrace{3};

const char* kUsage =
    "usage: talvod [--log-level error|warning|info|debug] CONFIG\n"
    "       talvod --check CONFIG\n"
    "       talvod --version\n"
#ifdef _WIN32
    "       talvod service install [CONFIG] | remove | start | stop\n"
    "\n"
    "Collects the records of every terminal on the configured serial lines into\n"
    "the database, exactly once, and serves a page and an API about them.\n"
    "Ctrl+C or a service stop ends it after the batch in hand. The service runs\n"
    "with %ProgramData%\\talvod\\talvod.toml unless installed with another CONFIG.\n";
#else
    "       talvod db records|totals|rejected|terminals ... (talvod db --help)\n"
    "\n"
    "Collects the records of every terminal on the configured serial lines into\n"
    "the database, exactly once, and serves a page and an API about them.\n"
    "SIGTERM stops after the batch in hand; SIGHUP reads CONFIG again.\n";
#endif

bool Load(const std::string& path, Config& config) {
    std::vector<std::string> errors;
    if (LoadConfig(path, config, errors)) return true;
    for (const std::string& e : errors) std::fprintf(stderr, "%s\n", e.c_str());
    return false;
}

// Checks that need the machine rather than the file: warnings only, since a
// device may come and go while the service runs.
void Warnings(const Config& config, bool& fatal) {
    if (!IsPostgres(config.database)) {
        const auto dir = std::filesystem::path(config.database).parent_path();
        if (!std::filesystem::is_directory(dir)) {
            std::fprintf(stderr, "%s: the database's directory %s does not exist\n", config.path.c_str(), dir.string().c_str());
            fatal = true;
        }
    }
    // Secrets that every user of the machine can read.
    const auto everyone = [](const std::string& file) {
#ifdef _WIN32
        // The data folder's access list keeps other users out (talvod
        // service install); there are no mode bits to look at.
        (void)file;
        return false;
#else
        struct stat st {};
        return !file.empty() && stat(file.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0;
#endif
    };
    if (!config.http.token.empty() && config.http.tokenFile.empty() && everyone(config.path)) {
        std::fprintf(stderr, "%s: warning: it holds the token and every user can read it (chmod 640, or token_file)\n",
                     config.path.c_str());
    }
    for (const std::string& file : {config.http.tokenFile, config.databasePasswordFile}) {
        if (everyone(file)) {
            std::fprintf(stderr, "%s: warning: every user can read the secret in %s (chmod 600 or 640)\n",
                         config.path.c_str(), file.c_str());
        }
    }
    for (const LineConfig& l : config.lines) {
        // A malformed URL is refused below, with its reason.
        const ProbeResult probe = ProbeDevice(l.device);
        if (!probe.malformed && !probe.ok) {
            std::fprintf(stderr, "%s: warning: line '%s': %s (the line waits for it)\n", config.path.c_str(),
                         l.name.c_str(), probe.problem.c_str());
        }
    }
}

std::vector<ConfiguredTerminal> Configured(const std::vector<LineConfig>& lines) {
    std::vector<ConfiguredTerminal> out;
    for (const LineConfig& l : lines) {
        for (const TerminalConfig& t : l.terminals) out.push_back({l.name, t.number});
    }
    return out;
}

// Keeps this service's claims of its lines alive: every few seconds, on a
// thread and a connection of its own, so that a worker waiting on its
// device or its terminals does not let its line's claim lapse.
class ClaimKeeper {
public:
    ClaimKeeper(std::string database, std::string host) : database_(std::move(database)), host_(std::move(host)) {}
    ~ClaimKeeper() {
        if (thread_.joinable()) thread_.join();
    }
    void Start(std::vector<std::string> lines) {
        lines_ = std::move(lines);
        thread_ = std::thread([this] { Run(); });
    }
    void SetLines(std::vector<std::string> lines) {
        std::lock_guard<std::mutex> hold(lock_);
        lines_ = std::move(lines);
    }
    // False when it is still inside a database call at `deadline`.
    bool Stop(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> hold(lock_);
        stop_ = true;
        wake_.notify_all();
        if (!thread_.joinable()) return true;
        if (!wake_.wait_until(hold, deadline, [this] { return done_; })) {
            hold.unlock();
            thread_.detach();
            return false;
        }
        hold.unlock();
        thread_.join();
        return true;
    }

private:
    void Run() {
        std::unique_ptr<Connection> db;
        std::map<std::string, std::string> refused;  // line -> holder, logged once
        std::unique_lock<std::mutex> hold(lock_);
        while (!stop_) {
            wake_.wait_for(hold, std::chrono::milliseconds(kHeartbeatMs), [this] { return stop_; });
            if (stop_) break;
            const std::vector<std::string> lines = lines_;
            hold.unlock();
            try {
                if (!db || !db->Healthy()) db = Open(database_);
                for (const std::string& line : lines) {
                    const Claim c = ClaimLine(*db, line, host_);
                    if (c.ours) {
                        refused.erase(line);
                    } else if (refused[line] != c.holder) {
                        refused[line] = c.holder;
                        Log(Level::kError, "line-claimed", {{"line", line}, {"reason", ClaimRefusal(line, c)}});
                    }
                }
            } catch (const DbError&) {
                db.reset();  // the workers report the database's state
            }
            hold.lock();
        }
        done_ = true;
        wake_.notify_all();
    }

    std::string database_, host_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<std::string> lines_;
    bool stop_ = false;
    bool done_ = false;
    std::thread thread_;
};

std::vector<std::string> Names(const std::vector<LineConfig>& lines) {
    std::vector<std::string> out;
    for (const LineConfig& l : lines) out.push_back(l.name);
    return out;
}

class Service {
public:
    explicit Service(Config config) : config_(std::move(config)), claims_(config_.database, config_.host) {}

    bool Start() {
        try {
            auto db = Open(config_.database);
            const int version = Migrate(*db);
            Log(Level::kInfo, "database", {{"target", Describe(config_.database)}, {"schema", std::to_string(version)}});
            // Each line belongs to one service: one that another live
            // service holds is not started under the same name.
            bool taken = false;
            for (const LineConfig& l : config_.lines) {
                const Claim c = ClaimLine(*db, l.name, config_.host);
                if (c.ours) continue;
                Log(Level::kError, "line-claimed", {{"line", l.name}, {"reason", ClaimRefusal(l.name, c)}});
                taken = true;
            }
            if (taken) return false;
            ReleaseOthers(*db, config_.host, Configured(config_.lines));
        } catch (const DbError& e) {
            // The workers try again by themselves; the page says so meanwhile.
            Log(Level::kError, "database-unavailable", {{"target", Describe(config_.database)}, {"error", e.what()}});
        }
        HttpApi::Commands commands;
        commands.run = [this](const std::string& line, int terminal, CommandTicket::Work work) {
            std::lock_guard<std::mutex> hold(lock_);
            auto it = workers_.find(line);
            return it != workers_.end() ? it->second->Command(terminal, std::move(work)) : nullptr;
        };
        commands.linesHolding = [this](int terminal) {
            std::lock_guard<std::mutex> hold(lock_);
            std::vector<std::string> names;
            for (const auto& [name, worker] : workers_) {
                if (worker->HasTerminal(terminal)) names.push_back(name);
            }
            return names;
        };
        http_ = std::make_unique<HttpApi>(
            config_, metrics_,
            [this](const std::string& line, int terminal) {
                std::lock_guard<std::mutex> hold(lock_);
                auto it = workers_.find(line);
                return it != workers_.end() ? it->second->CollectNow(terminal) : nullptr;
            },
            [this] {
                std::lock_guard<std::mutex> hold(lock_);
                for (auto& [name, worker] : workers_) worker->SyncNow();
            },
            std::move(commands));
#ifdef TALVO_WITH_ALERTS
        alerts_ = std::make_unique<AlertEngine>(config_, metrics_);
        http_->SetAlerts([this] { return alerts_->Snapshot(); });
#else
        if (!config_.alerts.webhookUrl.empty() || !config_.alerts.mailServer.empty()) {
            Log(Level::kWarning, "alerts-not-built", {{"reason", "this build sends no alerts; [alerts] is ignored"}});
        }
#endif
        std::string error;
        if (!http_->Start(error)) {
            Log(Level::kError, "http-failed", {{"error", error}});
            return false;
        }
        claims_.Start(Names(config_.lines));
        if (alerts_) alerts_->Start();
        reports_ = std::make_unique<ReportSchedule>(config_);
        reports_->Start();
        std::lock_guard<std::mutex> hold(lock_);
        for (const LineConfig& l : config_.lines) StartLine(l);
        return true;
    }

    void Reload() {
        Config fresh;
        std::vector<std::string> errors;
        if (!LoadConfig(config_.path, fresh, errors)) {
            for (const std::string& e : errors) Log(Level::kError, "reload-refused", {{"reason", e}});
            return;
        }
        if (fresh.database != config_.database) {
            Log(Level::kWarning, "reload-partial", {{"reason", "a new database takes effect at the next start"}});
            fresh.database = config_.database;
        }
        if (fresh.http.listen != config_.http.listen || fresh.http.port != config_.http.port) {
            Log(Level::kWarning, "reload-partial", {{"reason", "a new listening address takes effect at the next start"}});
        }
        http_->Reconfigure(fresh);
        if (fresh.host != config_.host) {
            Log(Level::kWarning, "reload-partial", {{"reason", "a new host name takes effect at the next start"}});
            fresh.host = config_.host;
        }
        // Lines that went or changed stop (after their batch in hand); new
        // and changed ones start; the others go on undisturbed.  The stopped
        // ones are waited for outside the lock: a "collect now" for another
        // line does not wait for them.
        std::vector<std::unique_ptr<LineWorker>> stopped;
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (auto it = workers_.begin(); it != workers_.end();) {
                const LineConfig* now = nullptr;
                for (const LineConfig& l : fresh.lines) {
                    if (l.name == it->first) now = &l;
                }
                if (now == nullptr || !(*now == it->second->Line()) || !(fresh.jobs == it->second->Jobs())) {
                    it->second->RequestStop();
                    stopped.push_back(std::move(it->second));
                    it = workers_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& worker : stopped) {
            worker->Join();
            metrics_.ForgetLine(worker->Line().name);
        }
        // New lines are claimed first; one another service holds stays out.
        try {
            auto db = Open(config_.database);
            std::vector<LineConfig> kept;
            for (const LineConfig& l : fresh.lines) {
                bool running = false;
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    running = workers_.count(l.name) != 0;
                }
                const Claim c = running ? Claim{true, config_.host, 0} : ClaimLine(*db, l.name, config_.host);
                if (c.ours) {
                    kept.push_back(l);
                } else {
                    Log(Level::kError, "line-claimed", {{"line", l.name}, {"reason", ClaimRefusal(l.name, c)}});
                }
            }
            fresh.lines = kept;
            ReleaseOthers(*db, config_.host, Configured(fresh.lines));
        } catch (const DbError& e) {
            Log(Level::kWarning, "claims-unchecked", {{"error", e.what()}});
        }
        claims_.SetLines(Names(fresh.lines));
        http_->Reconfigure(fresh);
        if (alerts_) alerts_->Reconfigure(fresh);
        if (reports_) reports_->Reconfigure(fresh);
        std::lock_guard<std::mutex> hold(lock_);
        config_.lines = fresh.lines;
        config_.jobs = fresh.jobs;
        for (const LineConfig& l : config_.lines) {
            if (workers_.count(l.name) == 0) StartLine(l);
        }
        Log(Level::kInfo, "reloaded", {{"lines", std::to_string(workers_.size())},
                                       {"restarted", std::to_string(stopped.size())}});
    }

    // Stops every line after its batch in hand and the interface.  A line
    // held longer than its exchange time and a few seconds (by a database
    // that does not answer) is not waited for: false then, and the process
    // ends without it.  Nothing it has not committed is confirmed, so the
    // terminal keeps what it holds.
    bool Stop() {
        std::map<std::string, std::unique_ptr<LineWorker>> workers;
        {
            std::lock_guard<std::mutex> hold(lock_);
            workers.swap(workers_);
        }
        std::chrono::milliseconds grace{0};
        for (auto& [name, worker] : workers) {
            worker->RequestStop();
            grace = std::max(grace, worker->ExchangeTime());
        }
        const auto deadline = std::chrono::steady_clock::now() + grace + kStopGrace;
        bool all = true;
        for (auto& [name, worker] : workers) {
            if (worker->WaitStopped(deadline)) {
                worker->Join();
                continue;
            }
            Log(Level::kWarning, "line-abandoned", {{"line", name}, {"reason", "still busy at the stop"}});
            (void)worker.release();  // its thread is still inside a call
            all = false;
        }
        if (!claims_.Stop(deadline)) all = false;
        if (alerts_) alerts_->Stop();
        if (reports_) reports_->Stop();
        if (http_ && !http_->Stop()) {
            Log(Level::kWarning, "http-connections-left", {{"reason", "a request still in progress at the stop"}});
            all = false;
        }
        return all;
    }

private:
    void StartLine(const LineConfig& l) {
        auto w = std::make_unique<LineWorker>(l, config_.jobs, config_.database, config_.host, metrics_);
        w->Start();
        workers_[l.name] = std::move(w);
    }

    Config config_;
    Metrics metrics_;
    std::unique_ptr<HttpApi> http_;
#ifdef TALVO_WITH_ALERTS
    std::unique_ptr<AlertEngine> alerts_;
#else
    struct NoAlerts {
        void Start() {}
        void Stop() {}
        void Reconfigure(const Config&) {}
    };
    std::unique_ptr<NoAlerts> alerts_;
#endif
    std::unique_ptr<ReportSchedule> reports_;
    std::mutex lock_;
    std::map<std::string, std::unique_ptr<LineWorker>> workers_;
    ClaimKeeper claims_;
};

}  // namespace

// The service drives lines only: the library's load step must not open the
// port of the 43 exports' settings file (it may be one of the service's own
// lines).
TALVO_LINES_ONLY_HOST;

namespace {

#ifdef _WIN32
// Before the service starts: where stop and reload requests come from.
void TakeRequests(const Config& config, const std::string& path, bool underScm) {
    Log(Level::kInfo, "start", {{"config", path}, {"host", config.host}, {"library", talvo_version()},
                                {"pid", std::to_string(GetCurrentProcessId())}});
    // Stop and reload requests come to this thread: Ctrl+C in a console, the
    // service control manager's stop, shutdown or parameter change.
    if (!underScm) win32::TakeConsoleRequests();
}

// Runs until a stop: Ctrl+C, or the service control manager's stop or
// shutdown; a parameter change reads the configuration again.
void ServeUntilStopped(Service& service, const std::string& path, bool underScm) {
    if (underScm) win32::ReportRunning();
    for (;;) {
        if (win32::WaitForRequest() == win32::Request::kReload) {
            Log(Level::kInfo, "reload", {{"config", path}});
            service.Reload();
            continue;
        }
        Log(Level::kInfo, "stopping", {{"request", underScm ? "service stop" : "console"}});
        break;
    }
    if (underScm) win32::ReportStopping(30000);
}
#else
// Before the service starts: the signals, and the start in the log.
void TakeRequests(const Config& config, const std::string& path, sigset_t& signals) {
    // The signals are taken by this thread alone, with sigwait, so that no
    // worker is interrupted inside an exchange or a transaction.
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // A file-size limit (ulimit -f) would kill the process at the first
    // write past it; ignored, the write fails and the commit with it.
    signal(SIGXFSZ, SIG_IGN);

    Log(Level::kInfo, "start", {{"config", path}, {"host", config.host}, {"library", talvo_version()},
                                {"pid", std::to_string(getpid())}});
}

// Runs until SIGTERM or SIGINT; SIGHUP reads the configuration again.
void ServeUntilStopped(Service& service, const std::string& path, sigset_t& signals) {
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) continue;
        if (sig == SIGHUP) {
            Log(Level::kInfo, "reload", {{"config", path}});
            service.Reload();
            continue;
        }
        Log(Level::kInfo, "stopping", {{"signal", sig == SIGTERM ? "TERM" : "INT"}});
        break;
    }
}
#endif

int Main(int argc, char** argv) {
#ifndef _WIN32
    if (argc > 1 && std::strcmp(argv[1], "db") == 0) return DbMain(argc, argv);
#endif
    bool check = false;
    std::string path;
#ifdef _WIN32
    bool underScm = false;  // started by the service control manager
#endif
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
#ifdef _WIN32
        if (a == "--service") {
            underScm = true;
            continue;
        }
#endif
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("talvod %s (library %s)\n", TALVO_TOOL_VERSION, talvo_version());
            return 0;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--log-level" && i + 1 < argc) {
            const std::string level = argv[++i];
            if (level == "error") SetLogLevel(Level::kError);
            else if (level == "warning") SetLogLevel(Level::kWarning);
            else if (level == "info") SetLogLevel(Level::kInfo);
            else if (level == "debug") SetLogLevel(Level::kDebug);
            else {
                std::fprintf(stderr, "talvod: unknown log level %s\n%s", level.c_str(), kUsage);
                return 2;
            }
        } else if (!a.empty() && a[0] != '-' && path.empty()) {
            path = a;
        } else {
            std::fprintf(stderr, "talvod: unexpected argument %s\n%s", a.c_str(), kUsage);
            return 2;
        }
    }
#ifdef _WIN32
    if (underScm) {
        // No terminal: standard error and the log go to the data folder.
        if (path.empty()) path = win32::DefaultConfig();
        LogToFile(win32::DataFolder() + "\\talvod.log");
    }
#endif
    if (path.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    Config config;
    if (!Load(path, config)) return check ? 1 : 2;
    bool fatal = false;
    Warnings(config, fatal);
    // A device server's URL (tcp://host:port, rfc2217://host:port) is
    // checked for its form by the library that will open it; whether the
    // server answers shows when the line starts.
    for (const LineConfig& l : config.lines) {
        char why[256];
        if (!l.device.empty() && talvo_device_check(l.device.c_str(), nullptr, why, sizeof why) != 0) {
            std::fprintf(stderr, "%s: line '%s': %s\n", path.c_str(), l.name.c_str(), why);
            fatal = true;
        }
    }
    if (check) {
        if (fatal) return 1;
        std::size_t terminals = 0;
        for (const LineConfig& l : config.lines) terminals += l.terminals.size();
        std::printf("%s: ok (%zu lines, %zu terminals, database %s)\n", path.c_str(), config.lines.size(), terminals,
                    Describe(config.database).c_str());
        return 0;
    }
    if (fatal) return 2;
    if (talvo_version_number() < 10200) {
        std::fprintf(stderr, "talvod: the library loaded is version %s; 1.2.0 or later is needed\n", talvo_version());
        return 2;
    }

#ifdef _WIN32
    TakeRequests(config, path, underScm);
#else
    sigset_t signals;
    TakeRequests(config, path, signals);
#endif
    Service service(config);
    if (!service.Start()) {
        if (!service.Stop()) _exit(1);
        return 1;
    }
#ifdef _WIN32
    ServeUntilStopped(service, path, underScm);
#else
    ServeUntilStopped(service, path, signals);
#endif
    const bool whole = service.Stop();
    Log(Level::kInfo, "stopped");
    // Threads still inside a call hold objects that the normal exit would
    // destroy under them.
    if (!whole) _exit(0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
    // TALVO.dll loads at its first call (a delay-load import): it then
    // opens no port of its own and reads no settings file.
    _putenv("TALVO_DEFER_PORT=1");
    if (argc >= 2 && std::string(argv[1]) == "service") {
        return talvo::service::win32::ServiceCommand(std::vector<std::string>(argv + 2, argv + argc));
    }
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--service") continue;
        const int rc = talvo::service::win32::RunAsService([&] { return Main(argc, argv); });
        if (rc >= 0) return rc;
        break;  // not started by the service control manager: a console run
    }
#endif
    return Main(argc, argv);
}
