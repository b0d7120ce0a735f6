// talvod: the collection service.  One process for a site: a worker thread
// per serial line collecting every terminal's records into the database
// exactly once, and a web page to watch it.
//
//   talvod CONFIG            run (SIGTERM stops, SIGHUP reloads CONFIG)
//   talvod --check CONFIG    check CONFIG and say what is wrong
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "collector.h"
#include "config.h"
#include "database.h"
#include "http_api.h"
#include "log.h"
#include "metrics.h"
#include "talvo.h"

using namespace talvo::service;

namespace {

const char* kUsage =
    "usage: talvod [--log-level error|warning|info|debug] CONFIG\n"
    "       talvod --check CONFIG\n"
    "\n"
    "Collects the records of every terminal on the configured serial lines into\n"
    "the database, exactly once, and serves a page and an API about them.\n"
    "SIGTERM stops after the batch in hand; SIGHUP reads CONFIG again.\n";

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
            std::fprintf(stderr, "%s: the database's directory %s does not exist\n", config.path.c_str(), dir.c_str());
            fatal = true;
        }
    }
    for (const LineConfig& l : config.lines) {
        struct stat st {};
        const std::string device = l.device.find('/') == std::string::npos ? "/dev/" + l.device : l.device;
        if (stat(device.c_str(), &st) != 0) {
            std::fprintf(stderr, "%s: warning: line '%s': device %s is not there now (the line waits for it)\n",
                         config.path.c_str(), l.name.c_str(), device.c_str());
        }
    }
}

class Service {
public:
    explicit Service(Config config) : config_(std::move(config)) {}

    bool Start() {
        try {
            auto db = Open(config_.database);
            const int version = Migrate(*db);
            Log(Level::kInfo, "database", {{"target", Describe(config_.database)}, {"schema", std::to_string(version)}});
        } catch (const DbError& e) {
            // The workers try again by themselves; the page says so meanwhile.
            Log(Level::kError, "database-unavailable", {{"target", Describe(config_.database)}, {"error", e.what()}});
        }
        http_ = std::make_unique<HttpApi>(config_, metrics_, [this](const std::string& line, int terminal) {
            std::lock_guard<std::mutex> hold(lock_);
            auto it = workers_.find(line);
            return it != workers_.end() ? it->second->CollectNow(terminal) : nullptr;
        });
        std::string error;
        if (!http_->Start(error)) {
            Log(Level::kError, "http-failed", {{"error", error}});
            return false;
        }
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
        std::lock_guard<std::mutex> hold(lock_);
        // Lines that went or changed stop (after their batch in hand); new
        // and changed ones start; the others go on undisturbed.
        std::vector<std::string> names;
        for (auto& [name, worker] : workers_) {
            const LineConfig* now = nullptr;
            for (const LineConfig& l : fresh.lines) {
                if (l.name == name) now = &l;
            }
            if (now == nullptr || !(*now == worker->Line()) || !(fresh.jobs == worker->Jobs())) {
                worker->RequestStop();
                names.push_back(name);
            }
        }
        for (const std::string& name : names) {
            workers_[name]->Join();
            workers_.erase(name);
            metrics_.ForgetLine(name);
        }
        config_.lines = fresh.lines;
        config_.jobs = fresh.jobs;
        for (const LineConfig& l : config_.lines) {
            if (workers_.count(l.name) == 0) StartLine(l);
        }
        Log(Level::kInfo, "reloaded", {{"lines", std::to_string(workers_.size())},
                                       {"restarted", std::to_string(names.size())}});
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> hold(lock_);
            for (auto& [name, worker] : workers_) worker->RequestStop();
            for (auto& [name, worker] : workers_) worker->Join();
            workers_.clear();
        }
        if (http_) http_->Stop();
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
    std::mutex lock_;
    std::map<std::string, std::unique_ptr<LineWorker>> workers_;
};

}  // namespace

// The service drives lines only: the library's load step must not open the
// port of the 43 exports' settings file (it may be one of the service's own
// lines).
TALVO_LINES_ONLY_HOST;

int main(int argc, char** argv) {
    bool check = false;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
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
    if (talvo_version_number() < 10100) {
        std::fprintf(stderr, "talvod: the library loaded is version %s; 1.1.0 or later is needed\n", talvo_version());
        return 2;
    }

    // The signals are taken by this thread alone, with sigwait, so that no
    // worker is interrupted inside an exchange or a transaction.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Log(Level::kInfo, "start", {{"config", path}, {"host", config.host}, {"library", talvo_version()},
                                {"pid", std::to_string(getpid())}});
    Service service(config);
    if (!service.Start()) {
        service.Stop();
        return 1;
    }
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
    service.Stop();
    Log(Level::kInfo, "stopped");
    return 0;
}
