// The HTTP server's connections and threads, in process: a request is
// answered whatever idle and slow connections came before it, even while a
// thread is slow to wake; idle connections hold no thread; the bounds on
// connections are kept as they are accepted.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "harness.h"
#include "http/server.h"

namespace talvo::test {
namespace {

using namespace std::chrono_literals;
using service::GuardedServer;
using service::HttpLimits;

// A server answering GET /ping, served on its own thread.
class Served {
public:
    explicit Served(const HttpLimits& limits) : server_(limits) {
        server_.Get("/ping", [](const httplib::Request&, httplib::Response& res) { res.set_content("pong", "text/plain"); });
        port_ = server_.Bind("127.0.0.1", 0);
        thread_ = std::thread([this] { server_.Serve(); });
    }
    ~Served() {
        server_.StopAll();
        thread_.join();
    }
    int port() const { return port_; }
    GuardedServer& server() { return server_; }

private:
    GuardedServer server_;
    int port_ = 0;
    std::thread thread_;
};

const std::string kPing = "GET /ping HTTP/1.1\r\nHost: 127.0.0.1\r\n";

std::vector<std::unique_ptr<TcpClient>> Connect(int port, int n, const char* from = nullptr) {
    std::vector<std::unique_ptr<TcpClient>> out;
    for (int i = 0; i < n; ++i) {
        out.push_back(std::make_unique<TcpClient>(port, from));
        EXPECT_TRUE(out.back()->Ok());
    }
    return out;
}

// The one thread there is was called for a connection but is slow to take
// it, while 64 idle and 8 slow connections come in a burst: the request
// that follows is answered all the same, before the slow thread wakes and
// with every idle connection still open.  (Idle and request times of a minute: a request
// queued behind them, as it was when a thread called counted as waiting
// until it woke, would wait that long.)
TEST(HttpServer, ABurstBehindAThreadSlowToWakeDoesNotHoldARequest) {
    HttpLimits limits;
    limits.idle = 60s;
    limits.request = 60s;
    limits.perAddress = 1000;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    auto armed = std::make_shared<std::atomic<bool>>(false);
    auto slept = std::make_shared<std::atomic<int>>(0);
    limits.onThreadWake = [armed, slept, released] {
        if (armed->exchange(false)) {
            ++*slept;
            released.wait_for(30s);
        }
    };
    Served s(limits);
    ASSERT_GT(s.port(), 0);
    {
        TcpClient warm(s.port());
        ASSERT_TRUE(warm.Send(kPing + "Connection: close\r\n\r\n"));
        ASSERT_EQ(StatusOf(warm.ReadAll()), 200);
    }
    ASSERT_TRUE(WaitFor([&] { return s.server().OpenConnections() == 0; }));
    ASSERT_EQ(s.server().Threads(), 1u);
    *armed = true;

    auto slow = Connect(s.port(), 8);
    for (auto& c : slow) ASSERT_TRUE(c->Send(kPing));  // and never the rest
    auto idle = Connect(s.port(), 64);
    TcpClient page(s.port());
    ASSERT_TRUE(page.Send(kPing + "Connection: close\r\n\r\n"));
    const std::string answer = page.ReadAll();
    EXPECT_EQ(StatusOf(answer), 200);
    EXPECT_NE(answer.find("pong"), std::string::npos);
    EXPECT_EQ(*slept, 1) << "the thread was not slow to wake";
    int closed = 0;
    for (auto& c : idle) closed += c->ClosedByPeer(0) ? 1 : 0;
    EXPECT_EQ(closed, 0);
    // Idle connections hold no thread: one each for the slow ones and the
    // page at most, besides the one asleep.
    EXPECT_LE(s.server().Threads(), 1u + 8u + 1u);
    release.set_value();
}

// Idle connections wait with the watcher, not on a thread of their own;
// a connection's requests, one after a pause and two sent at once, are
// all answered on it.
TEST(HttpServer, IdleConnectionsHoldNoThreadAndKeepAliveWorks) {
    HttpLimits limits;
    limits.perAddress = 100;
    Served s(limits);
    auto idle = Connect(s.port(), 50);
    ASSERT_TRUE(WaitFor([&] { return s.server().OpenConnections() == 50; }));
    EXPECT_EQ(s.server().Threads(), 0u);

    TcpClient c(s.port());
    ASSERT_TRUE(c.Send(kPing + "\r\n"));
    ASSERT_TRUE(WaitFor([&] { return s.server().Threads() == 1; }));
    std::this_thread::sleep_for(100ms);  // a pause: the connection goes back to the watcher
    ASSERT_TRUE(c.Send(kPing + "\r\n" + kPing + "Connection: close\r\n\r\n"));
    const std::string answers = c.ReadAll();
    std::size_t pongs = 0;
    for (std::size_t at = answers.find("pong"); at != std::string::npos; at = answers.find("pong", at + 1)) ++pongs;
    EXPECT_EQ(pongs, 3u) << answers;
    EXPECT_EQ(s.server().OpenConnections(), 50u);
}

// The bounds are counted as connections are accepted: beyond an address's
// share its idlest connection makes way, beyond the service's the idlest of
// all; with none idle, the new one is answered 503.
TEST(HttpServer, ConnectionBoundsMakeTheIdlestGiveWay) {
    HttpLimits limits;
    limits.perAddress = 4;
    limits.connections = 6;
    Served s(limits);
    auto first = Connect(s.port(), 6, "127.0.0.2");
    ASSERT_TRUE(WaitFor([&] { return s.server().OpenConnections() == 4; }));
    EXPECT_TRUE(first[0]->ClosedByPeer());
    EXPECT_TRUE(first[1]->ClosedByPeer());
    for (int i = 2; i < 6; ++i) EXPECT_FALSE(first[i]->ClosedByPeer(0)) << i;

    auto second = Connect(s.port(), 3, "127.0.0.3");
    EXPECT_TRUE(first[2]->ClosedByPeer());  // the idlest of all
    EXPECT_FALSE(second[0]->ClosedByPeer(0));

    // Four in the middle of a request from one address: a fifth is refused.
    auto busy = Connect(s.port(), 4, "127.0.0.4");
    for (auto& c : busy) ASSERT_TRUE(c->Send(kPing));
    ASSERT_TRUE(WaitFor([&] { return s.server().Threads() >= 4; }));
    TcpClient fifth(s.port(), "127.0.0.4");
    ASSERT_TRUE(fifth.Send(kPing + "\r\n"));
    EXPECT_EQ(StatusOf(fifth.ReadAll()), 503);
    for (auto& c : busy) ASSERT_TRUE(c->Send("Connection: close\r\n\r\n"));
    for (auto& c : busy) EXPECT_EQ(StatusOf(c->ReadAll()), 200);
}

}  // namespace
}  // namespace talvo::test
