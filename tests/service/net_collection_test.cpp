// talvod collecting from a serial line and two lines behind device servers
// (raw TCP and RFC 2217), while the network lines' connections drop, cut
// replies in half and lose confirmations: every record is stored once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "db/queries.h"
#include "rogue_peer.h"
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

// The CPU time a process has used, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command's closing parenthesis: state is field 3,
    // utime and stime fields 14 and 15.
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

nlohmann::json LineOf(int port, const std::string& name) {
    const nlohmann::json lines = nlohmann::json::parse(HttpGet(port, "/api/lines").body)["lines"];
    for (const auto& l : lines) {
        if (l["name"] == name) return l;
    }
    return nullptr;
}

// A device server that sends random bytes without end: its line is marked
// down with the reason (and its terminals with it), the service spends
// little of a core on it, the other line goes on, and SIGTERM stops all.
TEST(NetLines, AFloodingDeviceServerIsMarkedDownAndCostsLittle) {
    TempDir dir;
    RoguePeer flood(RoguePeer::Mode::kFlood);
    NetSimLine tcp("tcp");
    tcp.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nstatus = \"1s\"\nbackoff_min = \"1s\"\n"
                         "backoff_max = \"2s\"\n",
                         {LineBlock("flood", flood.Url("tcp"), {"1", "2"}), LineBlock("raw", tcp.url(), {"1"})}));
    const auto started = std::chrono::steady_clock::now();
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] {
        const auto l = LineOf(port, "flood");
        return !l.is_null() && l["state"] == "flooding";
    })) << HttpGet(port, "/api/lines").body << talvod.Log();
    const double toDown =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const auto l = LineOf(port, "flood");
    EXPECT_EQ(l["device"], flood.Url("tcp"));
    EXPECT_NE(l["reason"].get<std::string>().find("sends without pause"), std::string::npos) << l.dump();
    EXPECT_FALSE(l["since"].is_null());
    // Its terminals say why: the line, not each on its own.
    // The other line goes on.
    ASSERT_TRUE(WaitFor([&] {
        int down = 0, up = 0;
        const auto all = nlohmann::json::parse(HttpGet(port, "/api/terminals").body)["terminals"];
        for (const auto& t : all) {
            if (t["line"] == "flood" && t["state"] == "down" &&
                t["last_error_text"].get<std::string>().rfind("line down: ", 0) == 0) {
                ++down;
            }
            up += t["line"] == "raw" && t["state"] == "up";
        }
        return down == 2 && up == 1;
    })) << HttpGet(port, "/api/terminals").body;
    EXPECT_EQ(LineOf(port, "raw")["state"], "connected");

    // The service's CPU time over a few seconds of the flood.
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const long before = CpuTicks(talvod.pid());
    const auto from = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(4));
    const long used = CpuTicks(talvod.pid()) - before;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
    const double share = static_cast<double>(used) / static_cast<double>(ticksPerSecond) / seconds;
    EXPECT_LT(share, 0.10) << used << " ticks in " << seconds << " s";
    EXPECT_GT(flood.Accepted(), 1) << "the line keeps trying";

    const auto stop = std::chrono::steady_clock::now();
    talvod.Signal(SIGTERM);
    const int status = talvod.Wait();
    const double stopped = std::chrono::duration<double>(std::chrono::steady_clock::now() - stop).count();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
    EXPECT_EQ(talvod.Count("line-abandoned"), 0) << talvod.Log();
    std::cout << "[ figures  ] to line down " << toDown << " s, CPU " << share * 100 << " % of a core, stop "
              << stopped << " s, " << flood.Accepted() << " connections\n";
}

// A device server that refuses the connection: the line says so with the
// system's words, its terminals say "line down", and when it takes
// connections again the line is connected once more and counts it.
TEST(NetLines, ARefusedLineIsDownUntilItIsMadeAgain) {
    TempDir dir;
    NetSimLine tcp("tcp");
    tcp.Ok("add 1");
    tcp.Ok("add 2");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nstatus = \"1s\"\nbackoff_min = \"1s\"\n"
                         "backoff_max = \"2s\"\n",
                         {LineBlock("raw", tcp.url(), {"1", "2"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return LineOf(port, "raw")["state"] == "connected"; })) << talvod.Log();
    EXPECT_EQ(LineOf(port, "raw")["reconnects"], 0);
    EXPECT_TRUE(LineOf(port, "raw")["reason"].is_null());

    tcp.Ok("net refuse on");
    tcp.Ok("net drop");
    ASSERT_TRUE(WaitFor([&] { return LineOf(port, "raw")["state"] == "refused"; }))
        << HttpGet(port, "/api/lines").body << talvod.Log();
    EXPECT_NE(LineOf(port, "raw")["reason"].get<std::string>().find("Connection refused"), std::string::npos)
        << HttpGet(port, "/api/lines").body;
    ASSERT_TRUE(WaitFor([&] {
        int down = 0;
        const auto all = nlohmann::json::parse(HttpGet(port, "/api/terminals").body)["terminals"];
        for (const auto& t : all) {
            const std::string text = t["last_error_text"].is_null() ? "" : t["last_error_text"].get<std::string>();
            down += t["state"] == "down" && text.find("line down: ") == 0 && text.find("refused") != std::string::npos;
        }
        return down == 2;
    })) << HttpGet(port, "/api/terminals").body;

    tcp.Ok("net refuse off");
    ASSERT_TRUE(WaitFor([&] {
        const auto l = LineOf(port, "raw");
        return l["state"] == "connected" && l["reconnects"] == 1;
    })) << HttpGet(port, "/api/lines").body;
    ASSERT_TRUE(WaitFor([&] {
        const auto all = nlohmann::json::parse(HttpGet(port, "/api/terminals").body)["terminals"];
        for (const auto& t : all) {
            if (t["state"] != "up") return false;
        }
        return true;
    })) << HttpGet(port, "/api/terminals").body;
    talvod.Signal(SIGTERM);
    const int status = talvod.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
}

INSTANTIATE_TEST_SUITE_P(Backends, NetCollection, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
