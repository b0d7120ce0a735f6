// Alerts end to end: talvod with software terminals, a webhook receiver
// (cpp-httplib, checking the signature) and an SMTP server (Python's
// aiosmtpd writing a maildir), all on the loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "harness.h"

extern char** environ;

namespace talvo::test {
namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;
const std::string kSecret = "hook-secret-4711";

std::string Hmac(const std::string& key, const std::string& body) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(body.data()),
         body.size(), digest, &size);
    char hex[3];
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        out += hex;
    }
    return out;
}

// A webhook receiver: every POST kept with whether its signature holds.
class Receiver {
public:
    struct Hook {
        json body;
        bool signedOk = false;
        Clock::time_point at;
    };
    Receiver() {
        server_.Post("/hook", [this](const httplib::Request& req, httplib::Response& res) {
            Hook h;
            h.at = Clock::now();
            h.signedOk = req.get_header_value("X-Talvo-Signature") == "sha256=" + Hmac(kSecret, req.body);
            h.body = json::parse(req.body, nullptr, false);
            std::lock_guard<std::mutex> hold(lock_);
            hooks_.push_back(h);
            res.set_content("{}", "application/json");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~Receiver() {
        server_.stop();
        thread_.join();
    }
    int port() const { return port_; }
    std::vector<Hook> Hooks() {
        std::lock_guard<std::mutex> hold(lock_);
        return hooks_;
    }
    std::vector<Hook> Of(const std::string& alert, const std::string& event) {
        std::vector<Hook> out;
        for (const Hook& h : Hooks()) {
            if (h.body.value("alert", "") == alert && h.body.value("event", "") == event) out.push_back(h);
        }
        return out;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<Hook> hooks_;
    int port_ = 0;
};

// A port on the loopback that takes connections into its backlog and
// never answers: a receiver that hangs.
class DeadReceiver {
public:
    DeadReceiver() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 16) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
            port_ = ntohs(a.sin_port);
        }
    }
    ~DeadReceiver() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port) {
    TcpClient c(port);
    return c.Ok();
}

// aiosmtpd on the loopback, its messages in `dir`/new (a maildir); stopped
// with the object.
class SmtpServer {
public:
    explicit SmtpServer(const std::string& dir) : dir_(dir) {
        for (int attempt = 0; attempt < 5 && pid_ <= 0; ++attempt) {
            port_ = FreePort();
            const std::string listen = "127.0.0.1:" + std::to_string(port_);
            std::vector<std::string> args{"/usr/bin/python3", "-m", "aiosmtpd", "-n", "-l", listen, "-c",
                                          "aiosmtpd.handlers.Mailbox", dir};
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            pid_t pid = -1;
            if (posix_spawn(&pid, "/usr/bin/python3", nullptr, nullptr, argv.data(), environ) != 0) return;
            if (WaitFor([&] { return Accepts(port_); }, std::chrono::seconds(20))) {
                pid_ = pid;
            } else {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    }
    ~SmtpServer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        int status = 0;
        if (!WaitFor([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, std::chrono::seconds(10))) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    bool Ok() const { return pid_ > 0; }
    int port() const { return port_; }
    // The messages delivered so far, whole.
    std::vector<std::string> Messages() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir_ + "/new", ec)) out.push_back(ReadText(e.path()));
        return out;
    }
    std::vector<std::string> With(const std::string& text) const {
        std::vector<std::string> out;
        for (const std::string& m : Messages()) {
            if (m.find(text) != std::string::npos) out.push_back(m);
        }
        return out;
    }

private:
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

bool PythonSmtpAvailable() {
    std::string out;
    return RunProgram({"/usr/bin/python3", "-c", "import aiosmtpd"}, out) == 0;
}

std::string AlertsSection(const std::string& webhook, int smtpPort, const std::string& more,
                          const std::string& repeat = "3s") {
    std::string s = "[alerts]\ncheck = \"200ms\"\nsilent_after = \"2s\"\nrepeat = \"" + repeat + "\"\n" + more;
    if (!webhook.empty()) s += "webhook_url = \"" + webhook + "\"\nwebhook_secret = \"" + kSecret + "\"\n";
    if (smtpPort > 0) {
        s += "mail_server = \"smtp://127.0.0.1:" + std::to_string(smtpPort) +
             "\"\nmail_from = \"talvod@site.example\"\nmail_to = [\"manager@site.example\"]\n";
    }
    return s;
}

class AlertsService : public ::testing::Test, public ManagedService {
protected:
    std::string Config(const std::string& alerts) {
        return ManagedConfig(dir / "talvod.db", {LineBlock("hall", dir / "tty", {"1", "2"})},
                             "collect = \"1s\"\n" + alerts);
    }
    std::string TerminalState(int n) {
        const json all = Get("/api/terminals");
        for (const json& t : all["terminals"]) {
            if (t["number"] == n) return t["state"];
        }
        return "";
    }
    std::int64_t Stored() {
        auto db = service::Open(dir / "talvod.db");
        return service::AsInt(db->Query("SELECT COUNT(*) FROM records", {})[0][0]);
    }
};

// A till falls silent: one alert by webhook and by mail, sent again while it
// lasts, and "resolved" on both once it answers again; the page's API
// shows it firing, then among the recent ones.
TEST_F(AlertsService, SilentTerminalFiresRepeatsAndResolves) {
    if (!PythonSmtpAvailable()) GTEST_SKIP() << "python3-aiosmtpd is not installed";
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    sim.Ok("add 2");
    Receiver hook;
    SmtpServer smtp(dir / "mail");
    ASSERT_TRUE(smtp.Ok());
    Start(Config(AlertsSection("http://127.0.0.1:" + std::to_string(hook.port()) + "/hook", smtp.port(), "")));
    ASSERT_TRUE(WaitFor([&] { return TerminalState(1) == "up" && TerminalState(2) == "up"; })) << service->Log();

    const auto silent = Clock::now();
    sim.Ok("remove 1");
    ASSERT_TRUE(WaitFor([&] { return !hook.Of("silent:hall/1", "firing").empty(); })) << service->Log();
    const auto hooked = hook.Of("silent:hall/1", "firing")[0].at;
    ASSERT_TRUE(WaitFor([&] { return !smtp.With("ALERT").empty(); })) << service->Log();
    const auto mailed = Clock::now();
    const json active = Get("/api/alerts")["active"];
    ASSERT_EQ(active.size(), 1u) << active.dump();
    EXPECT_EQ(active[0]["alert"], "silent:hall/1");
    EXPECT_NE(active[0]["message"].get<std::string>().find("hall 1"), std::string::npos) << active.dump();

    // Repeated while it holds; the other terminal raised nothing.
    ASSERT_TRUE(WaitFor([&] { return !hook.Of("silent:hall/1", "repeat").empty(); })) << service->Log();
    ASSERT_TRUE(WaitFor([&] { return !smtp.With("STILL").empty(); })) << service->Log();

    sim.Ok("add 1");
    ASSERT_TRUE(WaitFor([&] { return !hook.Of("silent:hall/1", "resolved").empty(); })) << service->Log();
    ASSERT_TRUE(WaitFor([&] { return !smtp.With("RESOLVED").empty(); })) << service->Log();

    EXPECT_EQ(hook.Of("silent:hall/1", "firing").size(), 1u);
    EXPECT_EQ(hook.Of("silent:hall/1", "resolved").size(), 1u);
    EXPECT_EQ(smtp.With("Subject: [talvod").size(), smtp.Messages().size());
    EXPECT_EQ(smtp.With("ALERT").size(), 1u);
    for (const Receiver::Hook& h : hook.Hooks()) {
        EXPECT_TRUE(h.signedOk) << h.body.dump();
        EXPECT_EQ(h.body["alert"], "silent:hall/1") << h.body.dump();
    }
    const json alerts = Get("/api/alerts");
    EXPECT_TRUE(alerts["active"].empty()) << alerts.dump();
    ASSERT_FALSE(alerts["recent"].empty());
    EXPECT_EQ(alerts["recent"][0]["alert"], "silent:hall/1");
    EXPECT_FALSE(alerts["recent"][0]["resolved"].is_null());
    // Any token reads them; none does not.
    EXPECT_EQ(HttpGet(port, "/api/alerts", kAdminToken).status, 200);
    EXPECT_EQ(HttpGet(port, "/api/alerts").status, 401);
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(), 0);
    service.reset();

    const auto ms = [&](Clock::time_point t) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(t - silent).count();
    };
    std::printf("silent -> webhook %lld ms, -> mail %lld ms (silent_after 2s, status 1s, check 200ms)\n",
                static_cast<long long>(ms(hooked)), static_cast<long long>(ms(mailed)));
}

// A restart neither sends a firing alert again nor forgets to resolve it.
TEST_F(AlertsService, RestartKeepsFiringAlertsAndResolvesThemLater) {
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    sim.Ok("add 2");
    Receiver hook;
    const std::string config =
        Config(AlertsSection("http://127.0.0.1:" + std::to_string(hook.port()) + "/hook", 0, "", "1h"));
    Start(config);
    ASSERT_TRUE(WaitFor([&] { return TerminalState(2) == "up"; })) << service->Log();
    sim.Ok("remove 2");
    ASSERT_TRUE(WaitFor([&] { return !hook.Of("silent:hall/2", "firing").empty(); })) << service->Log();
    service->Signal(SIGTERM);
    ASSERT_EQ(service->Wait(), 0);
    service.reset();

    Start(config);
    // Still silent after the restart: its state is read again, and it stays
    // one alert.
    ASSERT_TRUE(WaitFor([&] { return Get("/api/alerts")["active"].size() == 1; })) << service->Log();
    // Evaluations enough to send it again, had it been forgotten.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    sim.Ok("add 2");
    ASSERT_TRUE(WaitFor([&] { return !hook.Of("silent:hall/2", "resolved").empty(); })) << service->Log();
    EXPECT_EQ(hook.Of("silent:hall/2", "firing").size(), 1u);
    EXPECT_EQ(hook.Of("silent:hall/2", "resolved").size(), 1u);
}

// A webhook receiver that takes the connection and never answers: the
// alert waits in its queue while the records of the other terminal are
// collected as ever, and the service still stops at once.
TEST_F(AlertsService, HangingReceiverDelaysNoCollection) {
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    sim.Ok("add 2");
    DeadReceiver dead;
    ASSERT_GT(dead.port(), 0);
    Start(Config(AlertsSection("http://127.0.0.1:" + std::to_string(dead.port()) + "/hook", 0,
                               "webhook_timeout = \"1d\"\n")));
    ASSERT_TRUE(WaitFor([&] { return TerminalState(2) == "up"; })) << service->Log();
    sim.Ok("remove 2");
    ASSERT_TRUE(WaitFor([&] { return Get("/api/alerts")["active"].size() == 1; })) << service->Log();

    for (int round = 0; round < 3; ++round) {
        const std::int64_t before = Stored();
        RawRecord r;
        r.card = "10000" + std::to_string(round);
        r.minute = round;
        sim.Ok("record 1 seal " + r.Text());
        ASSERT_TRUE(WaitFor([&] { return Stored() == before + 1; })) << service->Log();
    }
    // All the while the one message was in flight to the receiver.
    const json channels = Get("/api/alerts")["channels"];
    EXPECT_EQ(channels["webhook"]["sent"], 0) << channels.dump();
    service->Signal(SIGTERM);
    EXPECT_EQ(service->Wait(std::chrono::seconds(15)), 0) << service->Log();
    service.reset();
}

}  // namespace
}  // namespace talvo::test
