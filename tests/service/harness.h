// What the service tests run against: software terminals on ptys (in this
// process), talvod as a child process, a private PostgreSQL cluster, an
// HTTP client and records built as a terminal holds them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "db/database.h"

namespace talvo::sim {
class Server;
}

#include "temp_dir.h"

namespace talvo::test {


std::string ReadText(const std::string& path);
void WriteText(const std::string& path, const std::string& text);

// Polls `done` every 20 ms until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30));

// One software terminal line on a pty, linked at a stable path, served by a
// thread of this process.
class SimLine {
public:
    explicit SimLine(const std::string& link);
    ~SimLine();
    SimLine(const SimLine&) = delete;
    SimLine& operator=(const SimLine&) = delete;
    // A control command; the answer after "ok" ("" for a plain ok).  A test
    // failure when the terminal refuses the command.
    std::string Ok(const std::string& command);
    std::string Command(const std::string& command);
    const std::string& link() const { return link_; }
    // Records still held by terminal n.
    int Held(int n);
    // Request frames received for terminal n (all codes), and in total.
    int RequestsFor(int n);
    // The command codes ("2A") of the requests since the frames were
    // cleared, in order.
    std::vector<std::string> Codes();
    // Terminal n's blacklist, its cards sorted.
    std::vector<std::string> Blacklist(int n);
    bool Holds(int n, const std::string& card);

private:
    std::unique_ptr<sim::Server> server_;
    std::thread thread_;
    std::string link_;
};

// A record's first 26 characters as a terminal keeps them.
struct RawRecord {
    std::string card = "100001";
    std::int64_t cents = 100;  // 0 to 999999
    int type = 5;              // 5, 13, 14
    int month = 1, day = 1, hour = 12, minute = 0;
    std::int64_t secondCents = 0;
    std::string Text() const;
};

// talvod as a child process; standard error goes to a log file.
class Talvod {
public:
    Talvod(std::string config, std::string log, std::vector<std::string> env = {},
           std::vector<std::string> args = {});
    ~Talvod();
    Talvod(const Talvod&) = delete;
    Talvod& operator=(const Talvod&) = delete;

    bool Running();
    void Signal(int sig);
    // Waits for the process (with a time limit, SIGKILL after it); returns
    // the wait status.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
    // The port from the log's http-listening line (0 when not there in time).
    int Port(std::chrono::milliseconds limit = std::chrono::seconds(30));
    std::string Log() const;
    // Lines of the log that hold `text`.
    int Count(const std::string& text) const;
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    std::string log_;
};

std::string TalvodPath();

// The environment that stops talvod between a batch's commit and its
// confirmation: "kill=N" (SIGKILL at the N-th confirmation), "pause=MS"
// (before each one) or "hold=PATH" (each one waits until PATH exists).  A library preloaded into the program, which itself
// has no such hook.
std::vector<std::string> ConfirmGate(const std::string& how);

// Runs a program to completion; its standard output, and its exit status
// (-1 when it could not run).
int RunProgram(const std::vector<std::string>& argv, std::string& out, const std::vector<std::string>& env = {});
// The same with standard error apart.
int RunProgram(const std::vector<std::string>& argv, std::string& out, std::string& err,
               const std::vector<std::string>& env);

// A private PostgreSQL cluster in a temporary directory, started on first
// use and stopped at the end of the test program.
class Postgres {
public:
    // Null when the server's programs are not installed.
    static Postgres* Get();
    // A new, empty database; its connection target.
    std::string NewDatabase();
    // Stops the server as a crash would (immediate), and starts it again.
    void Crash();
    void Start();
    // The server and all its processes stopped (SIGSTOP) as a server or a
    // network gone silent: connections stay open and nothing answers.
    // Resume continues them.
    void Pause();
    void Resume();
    ~Postgres();

private:
    Postgres() = default;
    bool Run(const std::vector<std::string>& args);
    std::string bin_;
    std::unique_ptr<TempDir> dir_;
    int databases_ = 0;
    bool running_ = false;
    std::vector<pid_t> paused_;
};

struct HttpResult {
    int status = 0;  // 0: no answer
    std::string body;
    std::map<std::string, std::string> headers;
    // An absent header reads as "".
    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};
HttpResult HttpGet(int port, const std::string& path, const std::string& token = "");
HttpResult HttpPost(int port, const std::string& path, const std::string& token = "");
// Any method with a JSON body.
HttpResult HttpSend(int port, const std::string& method, const std::string& path, const std::string& body,
                    const std::string& token = "");

// The tokens of a managed service's administrator and reader.
extern const std::string kAdminToken;
extern const std::string kReaderToken;
// A configuration for tests of terminal management: both tokens, quick
// status checks and back-offs, and `jobs` (the collect interval at least)
// in [jobs].
std::string ManagedConfig(const std::string& database, const std::vector<std::string>& lines, const std::string& jobs);

// talvod as a test of terminal management runs it: started (again) from a
// configuration in `dir`, each start with a log of its own, stopped with
// the test.
class ManagedService {
protected:
    ~ManagedService() { Stop(); }
    void Start(const std::string& config);
    void Stop(int sig = SIGTERM);
    HttpResult Send(const std::string& method, const std::string& path, const nlohmann::json& body,
                    const std::string& token = kAdminToken);
    // A reader's GET, expected to answer 200.
    nlohmann::json Get(const std::string& path);
    // The sync state of one item of one terminal ("" when it has none).
    std::string SyncState(const std::string& line, int terminal, const std::string& item);

    TempDir dir;
    std::unique_ptr<Talvod> service;
    int port = 0;
    int starts = 0;
};

// A TCP connection to the loopback, closed with the object.
class TcpClient {
public:
    // From `from` (another loopback address: another neighbour) when given.
    explicit TcpClient(int port, const char* from = nullptr);
    ~TcpClient();
    TcpClient(const TcpClient&) = delete;
    TcpClient& operator=(const TcpClient&) = delete;
    bool Ok() const { return fd_ >= 0; }
    bool Send(const std::string& text);
    // Whether the peer closed the connection (within `ms`).
    bool ClosedByPeer(int ms = 2000);
    // Everything until the peer closes (or 10 s of silence).
    std::string ReadAll();

private:
    int fd_;
};
// The status of an HTTP answer's text, 0 when it is none.
int StatusOf(const std::string& reply);

// A configuration text: lines as [[line]] blocks given whole.
std::string ConfigText(const std::string& database, const std::string& extra, const std::vector<std::string>& lines);
// A [[line]] block for a sim line with terminals "N" or "N:attendance",
// either with "@group" after it for a terminal of that group.
std::string LineBlock(const std::string& name, const std::string& device, const std::vector<std::string>& terminals);

// Backends the data tests run on: "sqlite" always, "postgres" when the
// server is installed.
std::string DatabaseFor(const std::string& backend, const TempDir& dir);

// A test on a migrated database of its parameter's backend ("sqlite" or
// "postgres"; skipped without PostgreSQL's programs).
class BackendDatabase : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override;
    TempDir dir;
    std::string target;  // what Open() takes
    std::unique_ptr<service::Connection> db;
};

}  // namespace talvo::test
