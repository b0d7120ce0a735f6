// talvod's HTTP side against a neighbour on the network: a second service
// on its port, requests naming a foreign host (DNS rebinding), idle and
// slow connections.  The page answers throughout, memory stays near its
// idle size and collection goes on.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <atomic>
#include <sstream>

#include "harness.h"
#include "db/queries.h"

namespace talvo::test {
namespace {

const char* kQuietJobs = "[jobs]\ncollect = \"300ms\"\nstatus = \"1s\"\n";

// The status of a GET with the given Host header.
int StatusWithHost(int port, const std::string& host, const std::string& path = "/api/terminals") {
    TcpClient s(port);
    if (!s.Send("GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n")) return 0;
    return StatusOf(s.ReadAll());
}

// The status of a GET from `from` with `headers` header lines of `size`
// bytes each.
int StatusWithHeaders(int port, int headers, std::size_t size, const char* from = nullptr) {
    TcpClient s(port, from);
    std::string request = "GET /api/site HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    for (int i = 2; i < headers; ++i) request += "X-" + std::to_string(i) + ": " + std::string(size, 'v') + "\r\n";
    if (!s.Send(request + "\r\n")) return 0;
    return StatusOf(s.ReadAll());
}

// The page and the terminal list, `rounds` times with `pause` between:
// both answered, and the slowest round's time in seconds (a figure, not a
// test: tests never hold a wall-clock time).
double PageUnderAttack(int port, int rounds, std::chrono::milliseconds pause) {
    double worst = 0;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(HttpGet(port, "/").status, 200);
        EXPECT_EQ(HttpGet(port, "/api/terminals").status, 200);
        worst = std::max(worst, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        std::this_thread::sleep_for(pause);
    }
    return worst;
}

long RssKb(pid_t pid) {
    std::istringstream in(ReadText("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

class HttpHostile : public ::testing::Test {
protected:
    void Begin(const std::string& http) {
        sim = std::make_unique<SimLine>(dir / "ttyA");
        sim->Ok("add 1");
        WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", "host = \"till-pc-1\"\n[http]\nport = 0\n" + http + kQuietJobs,
                                                  {LineBlock("hall", sim->link(), {"1"})}));
        talvod = std::make_unique<Talvod>(dir / "talvod.toml", dir / "talvod.log");
        port = talvod->Port();
        ASSERT_GT(port, 0) << talvod->Log();
    }
    TempDir dir;
    std::unique_ptr<SimLine> sim;
    std::unique_ptr<Talvod> talvod;
    int port = 0;
};

// A second service on the same port does not start (the kernel would
// otherwise share the requests between the two).
TEST_F(HttpHostile, PortInUseIsAStartFailure) {
    Begin("");
    const std::string second = dir / "second.toml";
    WriteText(second, ConfigText(dir / "second.db", "[http]\nport = " + std::to_string(port) + "\n",
                                 {LineBlock("hall", dir / "ttyB", {"1"})}));
    Talvod other(second, dir / "second.log");
    const int status = other.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << other.Log();
    EXPECT_EQ(other.Count("http-failed"), 1) << other.Log();
    EXPECT_TRUE(talvod->Running());
    EXPECT_EQ(HttpGet(port, "/api/site").status, 200);
}

// Without a token, only the loopback's names and the service's own name
// are answered: a page of a foreign name resolved to 127.0.0.1 reads
// nothing.  With a token, the token decides.
TEST_F(HttpHostile, ForeignHostRefusedWithoutToken) {
    Begin("");
    const std::string p = ":" + std::to_string(port);
    EXPECT_EQ(StatusWithHost(port, "127.0.0.1" + p), 200);
    EXPECT_EQ(StatusWithHost(port, "localhost" + p), 200);
    EXPECT_EQ(StatusWithHost(port, "LOCALHOST."), 200);
    EXPECT_EQ(StatusWithHost(port, "127.1.2.3"), 200);
    EXPECT_EQ(StatusWithHost(port, "[::1]" + p), 200);
    EXPECT_EQ(StatusWithHost(port, "till-pc-1" + p), 200);
    for (const std::string& foreign : std::vector<std::string>{"attacker.example", "attacker.example" + p, "127.0.0.1.attacker.example",
                                      "localhost.attacker.example", "till-pc-1.attacker.example", "[::2]" + p}) {
        EXPECT_EQ(StatusWithHost(port, foreign), 421) << foreign;
        EXPECT_EQ(StatusWithHost(port, foreign, "/api/records"), 421) << foreign;
    }
}

TEST_F(HttpHostile, ForeignHostWithTokenIsTheTokensMatter) {
    Begin("token = \"s3cret-token-0123456789\"\n");
    EXPECT_EQ(StatusWithHost(port, "attacker.example"), 401);
}

// Idle connections and slow clients (a header line now and then) hold a
// thread each and no more: the page and the API answer beside them,
// memory stays near its idle size, and collection goes on.
TEST_F(HttpHostile, IdleAndSlowClientsDoNotLockThePageOut) {
    Begin("");
    ASSERT_EQ(HttpGet(port, "/").status, 200);
    ASSERT_EQ(HttpGet(port, "/api/terminals").status, 200);
    const long idleKb = RssKb(talvod->pid());

    std::vector<std::unique_ptr<TcpClient>> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(std::make_unique<TcpClient>(port));
        ASSERT_TRUE(idle.back()->Ok());
    }
    std::vector<std::unique_ptr<TcpClient>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::make_unique<TcpClient>(port));
        ASSERT_TRUE(slow.back()->Send("GET /api/records HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    std::atomic<bool> done{false};
    std::thread dribble([&] {
        for (int n = 0; !done; ++n) {
            for (auto& s : slow) s->Send("X-Slow-" + std::to_string(n) + ": 1\r\n");
            for (int i = 0; i < 10 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    });

    RawRecord r;
    for (int i = 0; i < 7; ++i) sim->Ok("record 1 seal " + r.Text());
    const double worst = PageUnderAttack(port, 10, std::chrono::milliseconds(200));
    EXPECT_TRUE(WaitFor([&] { return sim->Held(1) == 0; })) << talvod->Log();
    const long busyKb = RssKb(talvod->pid());
    done = true;
    dribble.join();
    // A header line now and then does not keep a connection: the request
    // is over its time.
    for (auto& s : slow) EXPECT_EQ(StatusOf(s->ReadAll()), 408);
    std::printf("[ figure   ] 64 idle + 8 slow clients: page and terminals in %.3f s at worst; RSS %ld kB idle, "
                "%ld kB under attack\n",
                worst, idleKb, busyKb);
    EXPECT_LT(busyKb - idleKb, 16 * 1024);
    auto db = service::Open(dir / "talvod.db");
    EXPECT_EQ(service::AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)), 7);
}

// A request's head is bounded in lines and bytes: a neighbour sending
// header lines without end is answered 431 and closed at the bound, memory
// stays near its idle size, and the page answers meanwhile.
TEST_F(HttpHostile, EndlessHeadersAreCutOffAtTheBound) {
    Begin("");
    EXPECT_EQ(StatusWithHeaders(port, 100, 200), 200);
    EXPECT_EQ(StatusWithHeaders(port, 101, 10), 431);
    EXPECT_EQ(StatusWithHeaders(port, 20, 2000), 431);  // 40 KB
    {
        TcpClient s(port);
        ASSERT_TRUE(s.Send("GET /" + std::string(40000, 'a')));  // a line without end
        EXPECT_EQ(StatusOf(s.ReadAll()), 431);
    }
    const long idleKb = RssKb(talvod->pid());

    // 60,000 lines of 8 KB on each of four connections, as fast as the
    // loopback takes them.
    std::atomic<int> answered{0};
    std::vector<std::thread> floods;
    for (int i = 0; i < 4; ++i) {
        floods.emplace_back([&] {
            TcpClient s(port);
            std::string line = "X-Flood: " + std::string(8180, 'f') + "\r\n";
            s.Send("GET /api/records HTTP/1.1\r\nHost: 127.0.0.1\r\n");
            for (int n = 0; n < 60000 && s.Send(line); ++n) {
            }
            if (StatusOf(s.ReadAll()) == 431) ++answered;
        });
    }
    RawRecord r;
    for (int i = 0; i < 3; ++i) sim->Ok("record 1 seal " + r.Text());
    const double worst = PageUnderAttack(port, 5, {});
    for (std::thread& t : floods) t.join();
    EXPECT_TRUE(WaitFor([&] { return sim->Held(1) == 0; })) << talvod->Log();
    const long afterKb = RssKb(talvod->pid());
    std::printf("[ figure   ] 4 x 60,000 header lines of 8 KB: page and terminals in %.3f s at worst; RSS %ld kB idle, "
                "%ld kB after\n",
                worst, idleKb, afterKb);
    EXPECT_EQ(answered, 4);
    EXPECT_LT(afterKb - idleKb, 8 * 1024);
}

// One address holds a bounded number of connections: beyond it, its
// connection idle the longest makes way, and when none is idle the new one
// is answered 503.  Other addresses are not touched.
TEST_F(HttpHostile, OneAddressHoldsABoundedNumberOfConnections) {
    Begin("");
    std::vector<std::unique_ptr<TcpClient>> idle;
    for (int i = 0; i < 40; ++i) {
        idle.push_back(std::make_unique<TcpClient>(port, "127.0.0.2"));
        ASSERT_TRUE(idle.back()->Ok());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // in order
    }
    int closed = 0;
    for (int i = 0; i < 8; ++i) closed += idle[i]->ClosedByPeer() ? 1 : 0;
    EXPECT_EQ(closed, 8);
    closed = 0;
    for (int i = 8; i < 40; ++i) closed += idle[i]->ClosedByPeer(0) ? 1 : 0;
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(StatusWithHeaders(port, 2, 0, "127.0.0.2"), 200);

    // Connections in the middle of a request are not closed for a new one.
    std::vector<std::unique_ptr<TcpClient>> busy;
    for (int i = 0; i < 32; ++i) {
        busy.push_back(std::make_unique<TcpClient>(port, "127.0.0.3"));
        ASSERT_TRUE(busy.back()->Send("GET /api/site HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(StatusWithHeaders(port, 2, 0, "127.0.0.3"), 503);
    EXPECT_EQ(StatusWithHeaders(port, 2, 0, "127.0.0.4"), 200);
    EXPECT_EQ(HttpGet(port, "/api/terminals").status, 200);
    for (auto& s : busy) ASSERT_TRUE(s->Send("Connection: close\r\n\r\n"));
    for (auto& s : busy) EXPECT_EQ(StatusOf(s->ReadAll()), 200);
}

// A stop ends the connections it finds, idle or in a request.
TEST_F(HttpHostile, StopEndsEveryConnection) {
    Begin("");
    std::vector<std::unique_ptr<TcpClient>> held;
    for (int i = 0; i < 10; ++i) {
        held.push_back(std::make_unique<TcpClient>(port));
        if (i % 2 == 1) held.back()->Send("GET /api/site HTTP/1.1\r\n");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    talvod->Signal(SIGTERM);
    const int status = talvod->Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod->Log();
    EXPECT_EQ(talvod->Count("http-connections-left"), 0) << talvod->Log();
    for (auto& s : held) EXPECT_TRUE(s->ClosedByPeer(0));
}

}  // namespace
}  // namespace talvo::test
