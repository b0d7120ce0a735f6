#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim_server.h"

extern char** environ;

namespace talvo::test {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- Software terminals -------------------------------------------------------

SimLine::SimLine(const std::string& link) : server_(std::make_unique<sim::Server>()), link_(link) {
    if (!server_->OpenLine("", link) || !server_->Listen(0)) throw std::runtime_error("cannot start a software terminal");
    thread_ = std::thread([this] { server_->Run(); });
}

SimLine::~SimLine() {
    server_->Stop();
    if (thread_.joinable()) thread_.join();
}

std::string SimLine::Command(const std::string& command) { return server_->Control(command); }

std::string SimLine::Ok(const std::string& command) {
    const std::string answer = Command(command);
    EXPECT_EQ(answer.rfind("ok", 0), 0u) << command << ": " << answer;
    return answer.size() > 3 ? answer.substr(3) : std::string();
}

int SimLine::Held(int n) { return std::atoi(Ok("get " + std::to_string(n) + " records").c_str()); }

std::vector<std::string> SimLine::Codes() {
    std::istringstream frames(Ok("frames"));
    std::vector<std::string> out;
    std::string hex;
    while (frames >> hex) {
        if (hex.size() < 14) continue;
        // Bytes 5 and 6 of a request are the command code in hex.
        std::string code;
        for (std::size_t at = 10; at < 14; at += 2) code += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
        out.push_back(code);
    }
    return out;
}

std::vector<std::string> SimLine::Blacklist(int n) {
    const std::string list = Ok("get " + std::to_string(n) + " blacklist");
    std::vector<std::string> out;
    for (std::size_t at = 0; at + 6 <= list.size(); at += 6) out.push_back(list.substr(at, 6));
    std::sort(out.begin(), out.end());
    return out;
}

bool SimLine::Holds(int n, const std::string& card) {
    const std::vector<std::string> list = Blacklist(n);
    return std::binary_search(list.begin(), list.end(), card);
}

int SimLine::RequestsFor(int n) {
    std::istringstream frames(Ok("frames"));
    std::string hex;
    int count = 0;
    while (frames >> hex) {
        if (hex.size() < 10) continue;
        // Bytes 3 and 4 of a request are the terminal number in hex.
        std::string digits;
        for (std::size_t at = 6; at < 10; at += 2) digits += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
        if (std::stoi(digits, nullptr, 16) == n) ++count;
    }
    return count;
}

std::string RawRecord::Text() const {
    auto amount = [](std::int64_t value) {
        char text[48];
        const long long c = static_cast<long long>(value);
        const long long units = c / 100;
        std::snprintf(text, sizeof text, "%02lld%02lld%02lld", c % 100, units % 100, units / 100 % 100);
        return std::string(text);
    };
    char typeMonth[8];
    const int typeBits = type == 13 ? 2 : type == 14 ? 4 : 0;
    std::snprintf(typeMonth, sizeof typeMonth, "%X%d", typeBits | (month / 10), month % 10);
    char when[16];
    std::snprintf(when, sizeof when, "%02d%02d%02d", day, hour, minute);
    return card + amount(cents) + typeMonth + when + amount(secondCents);
}

// ---- talvod ---------------------------------------------------------------------

std::string TalvodPath() {
    // A benchmark may run another build of talvod against this one.
    const char* other = std::getenv("TALVO_BENCH_TALVOD");
    return other != nullptr && *other != '\0' ? other : TALVOD_PATH;
}

std::vector<std::string> ConfirmGate(const std::string& how) {
#ifdef TALVO_CONFIRM_GATE_PATH
    return {std::string("LD_PRELOAD=") + TALVO_CONFIRM_GATE_PATH, "TALVO_CONFIRM_GATE=" + how};
#else
    ADD_FAILURE() << "this test program has no confirmation gate";
    return {"TALVO_CONFIRM_GATE=" + how};
#endif
}

Talvod::Talvod(std::string config, std::string log, std::vector<std::string> env, std::vector<std::string> args)
    : log_(std::move(log)) {
    std::vector<std::string> argv = {TalvodPath()};
    for (const std::string& a : args) argv.push_back(a);
    argv.push_back(config);
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    // The library's settings file for its 43 exports (written when the
    // library loads) goes beside the configuration, not into $HOME.
    environment.push_back("TALVO_WINDIR=" + fs::path(config).parent_path().string());
    for (const std::string& e : env) environment.push_back(e);
    std::vector<char*> cenv;
    for (std::string& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (posix_spawn(&pid_, cargv[0], &actions, nullptr, cargv.data(), cenv.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Talvod::~Talvod() {
    if (Running()) {
        kill(pid_, SIGKILL);
        Wait();
    }
}

bool Talvod::Running() {
    if (pid_ <= 0) return false;
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        status_ = status;
        pid_ = -pid_;
        return false;
    }
    return r == 0;
}

void Talvod::Signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

int Talvod::Wait(std::chrono::milliseconds limit) {
    if (!WaitFor([this] { return !Running(); }, limit) && pid_ > 0) {
        ADD_FAILURE() << "talvod did not end in time; killed";
        kill(pid_, SIGKILL);
        WaitFor([this] { return !Running(); });
    }
    return status_;
}

int Talvod::Port(std::chrono::milliseconds limit) {
    int port = 0;
    WaitFor(
        [&] {
            const std::string log = ReadText(log_);
            const std::size_t at = log.find("http-listening address=");
            if (at == std::string::npos) return !Running();
            const std::size_t colon = log.find(':', at + 23);
            port = std::atoi(log.c_str() + colon + 1);
            return true;
        },
        limit);
    return port;
}

std::string Talvod::Log() const { return ReadText(log_); }

int Talvod::Count(const std::string& text) const {
    std::istringstream in(Log());
    std::string line;
    int n = 0;
    while (std::getline(in, line)) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

int RunProgram(const std::vector<std::string>& args, std::string& out, const std::vector<std::string>& env) {
    std::string err;
    const int status = RunProgram(args, out, err, env);
    // Standard error follows standard output, so that messages can be checked.
    out += err;
    return status;
}

int RunProgram(const std::vector<std::string>& args, std::string& out, std::string& err,
               const std::vector<std::string>& env) {
    TempDir dir;
    const std::string file = dir / "out";
    std::vector<std::string> argv = args;
    std::vector<char*> cargv;
    for (std::string& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    std::vector<std::string> environment;
    for (char** e = environ; *e != nullptr; ++e) environment.emplace_back(*e);
    for (const std::string& e : env) environment.push_back(e);
    std::vector<char*> cenv;
    for (std::string& e : environment) cenv.push_back(e.data());
    cenv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, (dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) return -1;
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    out = ReadText(file);
    err = ReadText(dir / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// ---- PostgreSQL -----------------------------------------------------------------

Postgres* Postgres::Get() {
    static std::unique_ptr<Postgres> instance;
    static bool tried = false;
    if (tried) return instance.get();
    tried = true;
    const std::string bin = "/usr/lib/postgresql/15/bin";
    if (!fs::exists(bin + "/initdb") || !fs::exists(bin + "/pg_ctl")) return nullptr;
    auto pg = std::unique_ptr<Postgres>(new Postgres());
    pg->bin_ = bin;
    pg->dir_ = std::make_unique<TempDir>("talvod-test");
    const std::string d = pg->dir_->path();
    // The server refuses to run as root: the cluster belongs to postgres.
    const bool root = geteuid() == 0;
    if (root && std::system(("chown postgres '" + d + "'").c_str()) != 0) return nullptr;
    if (!pg->Run({bin + "/initdb", "-D", d + "/data", "-A", "trust", "-U", "talvo", "--no-sync"})) return nullptr;
    pg->Start();
    if (!pg->running_) return nullptr;
    instance = std::move(pg);
    return instance.get();
}

bool Postgres::Run(const std::vector<std::string>& args) {
    std::vector<std::string> argv;
    if (geteuid() == 0) argv = {"runuser", "-u", "postgres", "--"};
    for (const std::string& a : args) argv.push_back(a);
    std::string out;
    const int rc = RunProgram(argv, out);
    if (rc != 0) std::fprintf(stderr, "postgres: %s\n", out.c_str());
    return rc == 0;
}

void Postgres::Start() {
    const std::string d = dir_->path();
    // Tests need no durability against power loss; a benchmark asks for it
    // with TALVO_PG_FSYNC=on.
    const char* fsync = std::getenv("TALVO_PG_FSYNC");
    const std::string durability = fsync != nullptr && std::string(fsync) == "on" ? "" : " -c fsync=off";
    running_ = Run({bin_ + "/pg_ctl", "-D", d + "/data", "-o", "-k " + d + " -c listen_addresses=''" + durability,
                    "-l", d + "/log", "-w", "start"});
}

void Postgres::Crash() {
    Run({bin_ + "/pg_ctl", "-D", dir_->path() + "/data", "-m", "immediate", "-w", "stop"});
    running_ = false;
}

void Postgres::Pause() {
    const pid_t server = std::atoi(ReadText(dir_->path() + "/data/postmaster.pid").c_str());
    if (server <= 0) return;
    paused_ = {server};
    // Its children: every backend, the writer, the checkpointer.
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const std::string stat = ReadText(e.path() / "stat");
        const std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream in(stat.substr(close + 2));
        std::string state;
        pid_t parent = 0;
        in >> state >> parent;
        if (parent == server) paused_.push_back(std::atoi(name.c_str()));
    }
    for (pid_t p : paused_) kill(p, SIGSTOP);
}

void Postgres::Resume() {
    for (pid_t p : paused_) kill(p, SIGCONT);
    paused_.clear();
}

Postgres::~Postgres() {
    Resume();
    if (running_) Run({bin_ + "/pg_ctl", "-D", dir_->path() + "/data", "-m", "fast", "-w", "stop"});
}

std::string Postgres::NewDatabase() {
    const std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(++databases_);
    const std::string admin = "postgresql://talvo@/postgres?host=" + dir_->path();
    auto c = service::Open(admin);
    c->Exec("CREATE DATABASE " + name);
    return "postgresql://talvo@/" + name + "?host=" + dir_->path();
}

// ---- HTTP -----------------------------------------------------------------------------

namespace {

HttpResult Convert(const httplib::Result& r) {
    HttpResult out;
    if (!r) return out;
    out.status = r->status;
    out.body = r->body;
    for (const auto& [k, v] : r->headers) out.headers[k] = v;
    return out;
}

httplib::Headers Auth(const std::string& token) {
    httplib::Headers h;
    if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
    return h;
}

}  // namespace

HttpResult HttpGet(int port, const std::string& path, const std::string& token) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    return Convert(c.Get(path, Auth(token)));
}

HttpResult HttpPost(int port, const std::string& path, const std::string& token) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    return Convert(c.Post(path, Auth(token), "", "text/plain"));
}

HttpResult HttpSend(int port, const std::string& method, const std::string& path, const std::string& body,
                    const std::string& token) {
    httplib::Client c("127.0.0.1", port);
    c.set_read_timeout(30, 0);
    if (method == "PUT") return Convert(c.Put(path, Auth(token), body, "application/json"));
    if (method == "DELETE") return Convert(c.Delete(path, Auth(token), body, "application/json"));
    return Convert(c.Post(path, Auth(token), body, "application/json"));
}

// ---- Configurations ------------------------------------------------------------------

std::string ConfigText(const std::string& database, const std::string& extra, const std::vector<std::string>& lines) {
    std::string text = "database = \"" + database + "\"\n" + extra + "\n";
    for (const std::string& l : lines) text += l;
    return text;
}

std::string LineBlock(const std::string& name, const std::string& device, const std::vector<std::string>& terminals) {
    std::string text = "[[line]]\nname = \"" + name + "\"\ndevice = \"" + device +
                       "\"\nbaud = 9600\necho_time_ms = 100\nwait_time_ms = 300\ntries = 2\n";
    for (const std::string& spec : terminals) {
        const std::size_t at = spec.find('@');
        const std::string t = spec.substr(0, at);
        const std::size_t colon = t.find(':');
        text += "[[line.terminal]]\nnumber = " + t.substr(0, colon) + "\n";
        if (colon != std::string::npos) text += "kind = \"" + t.substr(colon + 1) + "\"\n";
        if (at != std::string::npos) text += "group = \"" + spec.substr(at + 1) + "\"\n";
        text += "name = \"" + name + " " + t.substr(0, colon) + "\"\n";
    }
    return text;
}

std::string DatabaseFor(const std::string& backend, const TempDir& dir) {
    if (backend == "postgres") return Postgres::Get()->NewDatabase();
    return dir / "talvod.db";
}

void BackendDatabase::SetUp() {
    if (GetParam() == "postgres" && (std::getenv("TALVO_TEST_NO_POSTGRES") != nullptr || Postgres::Get() == nullptr)) {
        GTEST_SKIP() << "no PostgreSQL server programs";
    }
    target = DatabaseFor(GetParam(), dir);
    db = service::Open(target);
    service::Migrate(*db);
}

TcpClient::TcpClient(int port, const char* from) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    if (from != nullptr && fd_ >= 0) {
        sockaddr_in own{};
        own.sin_family = AF_INET;
        inet_pton(AF_INET, from, &own.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

TcpClient::~TcpClient() {
    if (fd_ >= 0) close(fd_);
}

bool TcpClient::Send(const std::string& text) {
    return fd_ >= 0 && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

bool TcpClient::ClosedByPeer(int ms) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return false;
    char c;
    return recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

std::string TcpClient::ReadAll() {
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string out;
    char buf[4096];
    for (;;) {
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

int StatusOf(const std::string& reply) { return reply.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0; }

const std::string kAdminToken = "admin-token-0123456789";
const std::string kReaderToken = "reader-token-0123456789";

std::string ManagedConfig(const std::string& database, const std::vector<std::string>& lines, const std::string& jobs) {
    return ConfigText(database,
                      "[http]\nport = 0\ntoken = \"" + kAdminToken +
                          "\"\n[[http.user]]\nname = \"office\"\nrole = \"read\"\ntoken = \"" + kReaderToken +
                          "\"\n[jobs]\nstatus = \"1s\"\nbackoff_min = \"500ms\"\nbackoff_max = \"2s\"\n" + jobs,
                      lines);
}

void ManagedService::Start(const std::string& config) {
    WriteText(dir / "talvod.toml", config);
    // A log of its own for each start: the port is read from it.
    service = std::make_unique<Talvod>(dir / "talvod.toml", dir / ("talvod" + std::to_string(++starts) + ".log"));
    port = service->Port();
    ASSERT_NE(port, 0) << service->Log();
}

void ManagedService::Stop(int sig) {
    if (!service) return;
    service->Signal(sig);
    service->Wait();
    service.reset();
}

HttpResult ManagedService::Send(const std::string& method, const std::string& path, const nlohmann::json& body,
                                const std::string& token) {
    return HttpSend(port, method, path, body.dump(), token);
}

nlohmann::json ManagedService::Get(const std::string& path) {
    const HttpResult r = HttpGet(port, path, kReaderToken);
    EXPECT_EQ(r.status, 200) << path << ": " << r.body << "\n" << (service ? service->Log() : "");
    return nlohmann::json::parse(r.body, nullptr, false);
}

std::string ManagedService::SyncState(const std::string& line, int terminal, const std::string& item) {
    const nlohmann::json sync = Get("/api/sync");
    if (!sync.is_object()) return "";
    for (const nlohmann::json& t : sync["terminals"]) {
        if (t["line"] != line || t["terminal"] != terminal) continue;
        for (const nlohmann::json& i : t["items"]) {
            if (i["item"] == item) return i["state"].get<std::string>();
        }
    }
    return "";
}

}  // namespace talvo::test
