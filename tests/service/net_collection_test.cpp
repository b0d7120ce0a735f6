// talvod collecting from a serial line and two lines behind device servers
// (raw TCP and RFC 2217), while the network lines' connections drop, cut
// replies in half and lose confirmations: every record is stored once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <set>
#include <thread>

#include "harness.h"
#include "queries.h"
#include "sim_server.h"

namespace talvo::test {
namespace {

// A software terminal served on a loopback port by a thread of this process.
class NetSimLine {
public:
    explicit NetSimLine(const std::string& scheme) {
        std::string error;
        if (!server_.ListenLine(scheme + ":127.0.0.1:0", error) || !server_.Listen(0)) {
            throw std::runtime_error("cannot start a software terminal: " + error);
        }
        thread_ = std::thread([this] { server_.Run(); });
    }
    ~NetSimLine() {
        server_.Stop();
        if (thread_.joinable()) thread_.join();
    }
    std::string Ok(const std::string& command) {
        const std::string answer = server_.Control(command);
        EXPECT_EQ(answer.rfind("ok", 0), 0u) << command << ": " << answer;
        return answer.size() > 3 ? answer.substr(3) : std::string();
    }
    int Held(int n) { return std::atoi(Ok("get " + std::to_string(n) + " records").c_str()); }
    std::string url() const { return server_.DevicePath(); }

private:
    sim::Server server_;
    std::thread thread_;
};

template <class Sim>
void Queue(Sim& sim, const std::string& line, int terminal, int count, int& next, std::multiset<std::string>& want) {
    for (int i = 0; i < count; ++i) {
        RawRecord r;
        ++next;
        r.card = std::to_string(300000 + next);
        r.cents = 100 + next;
        r.hour = 6 + next % 16;
        r.minute = next % 60;
        sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
        want.insert(line + "/" + std::to_string(terminal) + "/" + r.card);
    }
}

// The same scenario on each database the service stores into.
class NetCollection : public ::testing::TestWithParam<std::string> {};

TEST_P(NetCollection, ExactlyOnceAcrossDrops) {
    if (GetParam() == "postgres" && Postgres::Get() == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
    TempDir dir;
    const std::string database = DatabaseFor(GetParam(), dir);
    SimLine serial(dir / "ttyA");
    NetSimLine tcp("tcp"), rfc("rfc2217");
    serial.Ok("add 1");
    tcp.Ok("add 1");
    tcp.Ok("add 2");
    rfc.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(database,
                         "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nstatus = \"1s\"\nbackoff_min = \"1s\"\n"
                         "backoff_max = \"2s\"\n",
                         {LineBlock("serial", serial.link(), {"1"}), LineBlock("raw", tcp.url(), {"1", "2"}),
                          LineBlock("telnet", rfc.url(), {"1"})}));
    std::multiset<std::string> want;
    int next = 0;
    Queue(serial, "serial", 1, 30, next, want);
    Queue(tcp, "raw", 1, 40, next, want);
    Queue(tcp, "raw", 2, 20, next, want);
    Queue(rfc, "telnet", 1, 40, next, want);

    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    ASSERT_GT(talvod.Port(), 0) << talvod.Log();
    // The network misbehaves while the records drain: connections dropped
    // between commands, replies cut after a few bytes, confirmations whose
    // answer never comes.
    for (int round = 0; round < 12; ++round) {
        for (NetSimLine* line : {&tcp, &rfc}) {
            switch (round % 3) {
                case 0: line->Ok("net drop"); break;
                case 1: line->Ok("net cut " + std::to_string(20 + round)); break;
                default: line->Ok("fault 47 close"); break;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
    }
    auto db = service::Open(database);
    auto stored = [&] {
        std::multiset<std::string> out;
        for (const auto& r : db->Query("SELECT line, terminal, card FROM records", {})) {
            out.insert(service::AsText(r[0]) + "/" + service::AsText(r[1]) + "/" + service::AsText(r[2]));
        }
        return out;
    };
    ASSERT_TRUE(WaitFor([&] {
        return serial.Held(1) + tcp.Held(1) + tcp.Held(2) + rfc.Held(1) == 0 && stored().size() >= want.size();
    })) << talvod.Log();
    EXPECT_EQ(stored(), want);
    // The faults were met: both network lines were connected anew.
    EXPECT_GT(std::atoi(tcp.Ok("net connections").c_str()), 1);
    EXPECT_GT(std::atoi(rfc.Ok("net connections").c_str()), 1);

    talvod.Signal(SIGTERM);
    const int status = talvod.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
}

INSTANTIATE_TEST_SUITE_P(Backends, NetCollection, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
