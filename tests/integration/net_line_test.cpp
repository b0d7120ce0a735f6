// Network lines end to end: the line API over loopback TCP and RFC 2217
// against the software terminal served as a device server, with the faults
// of a network - bad URLs, refused and silent servers, dropped connections,
// replies cut or split, 0xFF bytes in the data, a refused baud rate.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "line_fixture.h"
#include "rogue_peer.h"
#include "sim_server.h"
#include "temp_dir.h"

namespace talvo::test {
namespace {

// A software terminal served on a loopback port, stopped and joined at the
// end of the suite.
struct NetSim {
    explicit NetSim(const std::string& scheme) {
        std::string error;
        ok = server.ListenLine(scheme + ":127.0.0.1:0", error) && server.Listen(0);
        EXPECT_TRUE(ok) << error;
        if (!ok) return;
        thread = std::thread([this] { server.Run(); });
        // Commands go over the control channel, served by the terminal's
        // own thread between its polls (as a test under Wine sends them).
        control = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(server.ControlPort()));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok = connect(control, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~NetSim() {
        if (control >= 0) close(control);
        server.Stop();
        if (thread.joinable()) thread.join();
    }
    std::string Command(const std::string& command) {
        const std::string line = command + "\n";
        if (send(control, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return "lost";
        std::size_t eol;
        while ((eol = buffered.find('\n')) == std::string::npos) {
            char chunk[4096];
            const ssize_t n = recv(control, chunk, sizeof chunk, 0);
            if (n <= 0) return "lost";
            buffered.append(chunk, static_cast<std::size_t>(n));
        }
        std::string answer = buffered.substr(0, eol);
        buffered.erase(0, eol + 1);
        return answer;
    }
    std::string Ok(const std::string& command) {
        const std::string answer = Command(command);
        EXPECT_EQ(answer.rfind("ok", 0), 0u) << command << ": " << answer;
        return answer.size() > 3 ? answer.substr(3) : std::string();
    }
    std::vector<std::string> Frames() {
        const std::string all = Ok("frames");
        std::vector<std::string> frames;
        std::size_t at = 0;
        while (at < all.size()) {
            std::size_t end = all.find(' ', at);
            if (end == std::string::npos) end = all.size();
            std::string bytes;
            for (std::size_t i = at; i + 1 < end; i += 2) {
                bytes += static_cast<char>(std::strtol(all.substr(i, 2).c_str(), nullptr, 16));
            }
            if (!bytes.empty()) frames.push_back(bytes);
            at = end + 1;
        }
        return frames;
    }
    int Connections() { return std::atoi(Ok("net connections").c_str()); }

    talvo::sim::Server server;
    std::thread thread;
    int control = -1;
    std::string buffered;
    bool ok = false;
};

std::string Raw(const std::string& card, const std::string& amount) {
    return card + amount + "32" + "24" + "0930" + "005000";
}

class NetLine : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        lib_ = std::make_unique<HostLibrary>();
        SetEnv("TALVO_DEFER_PORT", "1");
        lib_->Load();
        SetEnv("TALVO_DEFER_PORT", nullptr);
        tcp_ = std::make_unique<NetSim>("tcp");
        rfc_ = std::make_unique<NetSim>("rfc2217");
    }
    static void TearDownTestSuite() {
        tcp_.reset();
        rfc_.reset();
        lib_.reset();
    }
    void SetUp() override {
        ASSERT_TRUE(lib_->Loaded());
        ASSERT_TRUE(sim().ok);
        for (const char* c : {"reset", "net refuse off", "net mute off", "net keepbaud 0", "add 1 consumption"}) {
            sim().Ok(c);
        }
    }
    void TearDown() override {
        if (line_ != nullptr) lib().talvo_line_close(line_);
    }

    static NetSim& sim() { return std::string(GetParam()) == "tcp" ? *tcp_ : *rfc_; }
    static HostLibrary& lib() { return *lib_; }
    static std::string Url() { return sim().server.DevicePath(); }

    talvo_line_options Options(const std::string& device, std::uint32_t tries = 3) {
        device_ = device;
        talvo_line_options o;
        lib().talvo_line_options_init(&o);
        o.device = device_.c_str();
        o.baud = 9600;
        o.echo_time_ms = 60;
        o.wait_time_ms = 250;
        o.tries = tries;
        o.connect_time_ms = 1000;
        return o;
    }
    int Open(const std::string& device, std::uint32_t tries = 3) {
        const talvo_line_options o = Options(device, tries);
        return lib().talvo_line_open(&o, &line_);
    }
    // Why the last open failed.
    std::string OpenText() {
        char text[512];
        lib().talvo_line_error_text(nullptr, text, sizeof text);
        return text;
    }

    static std::unique_ptr<HostLibrary> lib_;
    static std::unique_ptr<NetSim> tcp_;
    static std::unique_ptr<NetSim> rfc_;
    talvo_line* line_ = nullptr;
    std::string device_;
};

std::unique_ptr<HostLibrary> NetLine::lib_;
std::unique_ptr<NetSim> NetLine::tcp_;
std::unique_ptr<NetSim> NetLine::rfc_;

TEST_P(NetLine, CommandsAndRecords) {
    ASSERT_EQ(Open(Url()), 0) << OpenText();
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    EXPECT_EQ(lib().talvo_cmw_set(line_, 1, "ABCDEFGHIJKL"), 0);
    char cmw[13] = {};
    EXPECT_EQ(lib().talvo_cmw_read(line_, 1, cmw, sizeof cmw), 0);
    EXPECT_STREQ(cmw, "ABCDEFGHIJKL");
    EXPECT_EQ(lib().talvo_status(line_, 7), TALVO_E_NO_REPLY) << "no terminal 7";

    TempDir dir;
    const std::string path = dir / "store.dat";
    for (int i = 1; i <= 9; ++i) sim().Ok("record 1 seal " + Raw("00000" + std::to_string(i), "001000"));
    std::size_t stored = 0;
    ASSERT_EQ(lib().talvo_records_collect(line_, 1, path.c_str(), &stored), 0);
    std::size_t more = 0;
    ASSERT_EQ(lib().talvo_records_collect(line_, 1, path.c_str(), &more), 0);
    EXPECT_EQ(stored + more, 9u);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    if (std::string(GetParam()) == "rfc2217") {
        EXPECT_EQ(sim().Ok("net baud"), "9600");
    }
}

TEST_P(NetLine, BadDeviceUrlsAreRefusedBeforeAnyConnection) {
    const int before = sim().Connections();
    struct Case {
        std::string device;
        int code;
    };
    const std::string port = std::to_string(sim().server.LinePort());
    const Case cases[] = {{"tcp://127.0.0.1", TALVO_E_URL},
                          {"tcp://127.0.0.1:" + port + "/x", TALVO_E_URL},
                          {"rfc2217://:" + port, TALVO_E_URL},
                          {"tcp:/127.0.0.1:" + port, TALVO_E_URL},
                          {"telnet://127.0.0.1:" + port, TALVO_E_SCHEME},
                          {"tcp://127.0.0.1:0", TALVO_E_URL_PORT},
                          {"rfc2217://127.0.0.1:65536", TALVO_E_URL_PORT}};
    for (const Case& c : cases) {
        EXPECT_EQ(Open(c.device), c.code) << c.device;
        EXPECT_EQ(line_, nullptr);
        const std::string text = OpenText();
        EXPECT_NE(text.find(c.device), std::string::npos) << text;
        EXPECT_NE(std::string(lib().talvo_strerror(c.code)), "unknown error");
    }
    EXPECT_EQ(sim().Connections(), before);
}

TEST_P(NetLine, HostsThatDoNotResolveOrRefuse) {
    // A label longer than 63 characters is refused by the resolver itself,
    // without a question on the network.
    const std::string longLabel(70, 'a');
    EXPECT_EQ(Open(std::string(GetParam()) + "://" + longLabel + ".invalid:4001"), TALVO_E_RESOLVE);
    EXPECT_NE(OpenText().find("cannot resolve"), std::string::npos) << OpenText();

    sim().Ok("net refuse on");
    EXPECT_EQ(Open(Url()), TALVO_E_CONNECT);
    EXPECT_NE(OpenText().find("refused"), std::string::npos) << OpenText();
    sim().Ok("net refuse off");
    ASSERT_EQ(Open(Url()), 0) << OpenText();

    // Refused while the line is open: the command fails, and the next one
    // after the server is back reconnects on its own.
    sim().Ok("net refuse on");
    sim().Ok("net drop");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_PORT);
    char text[512];
    EXPECT_EQ(lib().talvo_line_error_text(line_, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("refused"), std::string::npos) << text;
    sim().Ok("net refuse off");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_P(NetLine, AServerThatNeverAnswers) {
    sim().Ok("net mute on");
    if (std::string(GetParam()) == "rfc2217") {
        // The negotiation is never answered: the open gives up at its limit.
        EXPECT_EQ(Open(Url()), TALVO_E_NEGOTIATE);
        EXPECT_NE(OpenText().find("did not answer"), std::string::npos) << OpenText();
        return;
    }
    ASSERT_EQ(Open(Url(), 1), 0);
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_NO_REPLY);
    sim().Ok("net mute off");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_P(NetLine, DroppedConnectionsAreMadeAgain) {
    ASSERT_EQ(Open(Url(), 1), 0);
    const int first = sim().Connections();
    // Dropped between two commands: the next one reconnects quietly.
    sim().Ok("net drop");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    EXPECT_EQ(sim().Connections(), first + 1);

    // Closed in the middle of a reply: what came is no reply, and the next
    // command runs on a new connection.
    sim().Ok("net cut 8");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_BAD_REPLY);
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    EXPECT_EQ(sim().Connections(), first + 2);

    // With tries left the command itself survives the cut.
    lib().talvo_line_close(line_);
    line_ = nullptr;
    ASSERT_EQ(Open(Url(), 3), 0);
    sim().Ok("net cut 5");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_P(NetLine, ABatchInterruptedByADropIsFetchedAgain) {
    ASSERT_EQ(Open(Url(), 1), 0);
    TempDir dir;
    const std::string path = dir / "store.dat";
    for (int i = 1; i <= 4; ++i) sim().Ok("record 1 seal " + Raw("00000" + std::to_string(i), "001000"));
    // The fetch's reply is cut: nothing is stored, the records stay.
    sim().Ok("net cut 40");
    std::size_t stored = 0;
    EXPECT_NE(lib().talvo_records_collect(line_, 1, path.c_str(), &stored), 0);
    EXPECT_EQ(stored, 0u);
    EXPECT_EQ(sim().Ok("get 1 records"), "4");
    // The confirmation's answer is lost with the connection: the records
    // were stored; fetched again they are confirmed without a second copy.
    sim().Ok("fault 47 close");
    lib().talvo_records_collect(line_, 1, path.c_str(), &stored);
    std::size_t again = 0;
    for (int i = 0; i < 3 && sim().Ok("get 1 records") != "0"; ++i) {
        std::size_t n = 0;
        lib().talvo_records_collect(line_, 1, path.c_str(), &n);
        again += n;
    }
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    talvo_store* store = nullptr;
    ASSERT_EQ(lib().talvo_store_open(path.c_str(), &store), 0);
    std::size_t count = 0;
    EXPECT_EQ(lib().talvo_store_count(store, &count), 0);
    lib().talvo_store_close(store);
    EXPECT_EQ(count, 4u) << "each record stored exactly once (" << stored << " + " << again << ")";
}

TEST_P(NetLine, SplitAndDelayedReplies) {
    ASSERT_EQ(Open(Url(), 1), 0);
    sim().Ok("fault any split 4:20");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    lib().talvo_line_close(line_);
    line_ = nullptr;
    // A reply later than the first-byte wait is missed without an
    // allowance and taken with one.
    talvo_line_options o = Options(Url(), 1);
    o.net_allowance_ms = 0;
    ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0);
    sim().Ok("fault any delay 200");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_NO_REPLY);
    lib().talvo_line_close(line_);
    o.net_allowance_ms = 800;
    ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0);
    sim().Ok("fault any delay 200");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_P(NetLine, RepliesThatComeLateOrOverlongAreNeverTakenForTheNextRequest) {
    talvo_line_options o = Options(Url(), 1);
    o.net_allowance_ms = 0;
    ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0);
    // A status answered (GG) after the wait gave up; the next status, which
    // the terminal refuses, must report the refusal, not the late GG.  The
    // late reply is given ample time to arrive before the next request.
    sim().Ok("fault 10 delay 100");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_NO_REPLY);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sim().Ok("fault 10 status NN");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_REFUSED);
    // Exchanges that end clean in between change nothing of that.
    for (int i = 0; i < 3; ++i) EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    sim().Ok("fault 10 delay 100");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_NO_REPLY);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    sim().Ok("fault 10 status NN");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_REFUSED);
    // A reply with bytes behind it: they are dropped before the next request.
    sim().Ok("fault 10 trailer");
    lib().talvo_status(line_, 1);
    sim().Ok("fault 10 status NN");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_REFUSED);
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
}

TEST_P(NetLine, FFBytesTravelUnchanged) {
    ASSERT_EQ(Open(Url()), 0);
    // A record whose bytes hold 0xFF (as IAC on a Telnet line) and a
    // request whose payload does.
    std::string hex = "FFFF3030303031FF";
    while (hex.size() < 52) hex += "30";
    sim().Ok("record 1 sealhex " + hex);
    talvo_record records[6];
    std::size_t n = 0;
    talvo_batch batch{};
    ASSERT_EQ(lib().talvo_records_fetch(line_, 1, records, 6, &n, &batch), 0);
    ASSERT_EQ(batch.count, 1);
    EXPECT_EQ(std::string(batch.raw[0], 3), "\xFF\xFF\x30");
    EXPECT_EQ(static_cast<unsigned char>(batch.raw[0][7]), 0xFF);
    sim().Ok("clearframes");
    EXPECT_EQ(lib().talvo_cmw_set(line_, 1, "\xFF\xFF" "ABC"), 0);
    const auto frames = sim().Frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_NE(frames[0].find("\xFF\xFF" "ABC0000000"), std::string::npos);
}

TEST_P(NetLine, OlderOptionsTakeTheNetworkDefaults) {
    talvo_line_options o = Options(Url());
    o.size = offsetof(talvo_line_options, net_allowance_ms);
    ASSERT_EQ(lib().talvo_line_open(&o, &line_), 0) << OpenText();
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    lib().talvo_line_close(line_);
    line_ = nullptr;
    o = Options(Url());
    o.connect_time_ms = 0;
    EXPECT_EQ(lib().talvo_line_open(&o, &line_), TALVO_E_INVALID);
    o = Options(Url());
    o.net_allowance_ms = 700000;
    EXPECT_EQ(lib().talvo_line_open(&o, &line_), TALVO_E_INVALID);
}

TEST_P(NetLine, ADeviceServerThatSendsWithoutEndNeverWedgesTheLine) {
    RoguePeer flood(RoguePeer::Mode::kFlood);
    const bool telnet = std::string(GetParam()) == "rfc2217";
    if (telnet) {
        // The negotiation is never completed: the open ends on the budget,
        // long before its time limit.
        talvo_line_options o = Options(flood.Url(GetParam()));
        o.connect_time_ms = 600000;
        EXPECT_EQ(lib().talvo_line_open(&o, &line_), TALVO_E_NEGOTIATE);
        EXPECT_NE(OpenText().find("without pause"), std::string::npos) << OpenText();
        return;
    }
    ASSERT_EQ(Open(flood.Url(GetParam())), 0) << OpenText();
    // Every command ends, with the line's reason; the connection is made
    // again for each and dropped each time.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_PORT);
        char text[512];
        ASSERT_EQ(lib().talvo_line_error_text(line_, text, sizeof text), 0);
        EXPECT_NE(std::string(text).find("sends without pause"), std::string::npos) << text;
        EXPECT_NE(std::string(text).find(flood.Url(GetParam())), std::string::npos) << text;
    }
    EXPECT_GE(flood.Accepted(), 3);
    // Closed while flooded: nothing is left connected.
    lib().talvo_line_close(line_);
    line_ = nullptr;
    for (int i = 0; i < 200 && flood.Open() > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(flood.Open(), 0);
}

TEST_P(NetLine, ANewConnectionClosedAtOnceNamesAnotherClient) {
    RoguePeer busy(RoguePeer::Mode::kBusy, "Port already in use\r\n");
    if (std::string(GetParam()) == "rfc2217") {
        EXPECT_EQ(Open(busy.Url(GetParam())), TALVO_E_NEGOTIATE);
        EXPECT_NE(OpenText().find("another client may hold the port"), std::string::npos) << OpenText();
        EXPECT_NE(OpenText().find("\"Port already in use\""), std::string::npos) << OpenText();
        return;
    }
    ASSERT_EQ(Open(busy.Url(GetParam()), 1), 0) << OpenText();
    EXPECT_NE(lib().talvo_status(line_, 1), 0);
    char text[512];
    ASSERT_EQ(lib().talvo_line_error_text(line_, text, sizeof text), 0);
    EXPECT_NE(std::string(text).find("another client may hold the port"), std::string::npos) << text;
    EXPECT_NE(std::string(text).find("\"Port already in use\""), std::string::npos) << text;
    lib().talvo_line_close(line_);
    line_ = nullptr;

    // A server that served replies and closes later says nothing of the kind,
    // and a clean reply clears the last failure.
    ASSERT_EQ(Open(Url()), 0);
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    sim().Ok("net drop");
    sim().Ok("net refuse on");
    EXPECT_EQ(lib().talvo_status(line_, 1), TALVO_E_PORT);
    ASSERT_EQ(lib().talvo_line_error_text(line_, text, sizeof text), 0);
    EXPECT_EQ(std::string(text).find("another client"), std::string::npos) << text;
    sim().Ok("net refuse off");
    EXPECT_EQ(lib().talvo_status(line_, 1), 0);
    ASSERT_EQ(lib().talvo_line_error_text(line_, text, sizeof text), 0);
    EXPECT_STREQ(text, "");
}

INSTANTIATE_TEST_SUITE_P(Both, NetLine, ::testing::Values("tcp", "rfc2217"),
                         [](const auto& test) { return std::string(test.param); });

// RFC 2217 only: the server's side of the negotiation.
class Rfc2217Line : public NetLine {};

TEST_P(Rfc2217Line, ARefusedBaudRateFailsTheOpenWithItsReason) {
    sim().Ok("net keepbaud 4800");
    EXPECT_EQ(Open(Url()), TALVO_E_LINE_FORMAT);
    EXPECT_NE(OpenText().find("refused the baud rate 9600 (it keeps 4800)"), std::string::npos) << OpenText();
    sim().Ok("net keepbaud 0");
}

TEST_P(Rfc2217Line, AServerWithoutTheOptionIsNoDeviceServer) {
    // A plain TCP server that answers Telnet with nothing but data: the
    // raw-TCP software terminal.
    talvo_line_options o = Options("rfc2217://127.0.0.1:" + std::to_string(tcp_->server.LinePort()));
    o.connect_time_ms = 300;
    EXPECT_EQ(lib().talvo_line_open(&o, &line_), TALVO_E_NEGOTIATE);
    EXPECT_NE(OpenText().find("COM port control"), std::string::npos) << OpenText();
}

INSTANTIATE_TEST_SUITE_P(Only, Rfc2217Line, ::testing::Values("rfc2217"),
                         [](const auto& test) { return std::string(test.param); });

// The 43 exports on a network line named in the settings file.
TEST(NetExports, ComNameTakesAUrl) {
    NetSim net("tcp");
    SettingsFile settings;
    auto keys = FastSettings(net.server.DevicePath());
    keys["NetAllowance"] = "40";
    settings.Write(keys);
    net.Ok("add 1 consumption");
    HostLibrary lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.InqStat(1), 1);
    // Back to a serial device and to the network again: the transport
    // follows the settings file.
    keys["ComName"] = "/nonexistent/tty";
    settings.Write(keys);
    EXPECT_NE(lib.InqStat(1), 1);
    keys["ComName"] = net.server.DevicePath();
    settings.Write(keys);
    EXPECT_EQ(lib.InqStat(1), 1);
    // Another URL is taken at the next command.
    keys["ComName"] = "tcp://127.0.0.1:0";
    settings.Write(keys);
    EXPECT_EQ(lib.InqStat(1), 0) << "a bad URL opens nothing";
    NetSim other("tcp");
    other.Ok("add 1 consumption");
    keys["ComName"] = other.server.DevicePath();
    settings.Write(keys);
    EXPECT_EQ(lib.InqStat(1), 1);
    EXPECT_EQ(other.Connections(), 1);
}

// Each scheme, and a name that names no line, has a transport of its own:
// the 43 exports' line follows ComName from one to another and back.
TEST(NetExports, ComNameMovesBetweenSchemes) {
    NetSim tcp("tcp");
    NetSim telnet("rfc2217");
    tcp.Ok("add 1 consumption");
    telnet.Ok("add 1 consumption");
    SettingsFile settings;
    auto keys = FastSettings(tcp.server.DevicePath());
    settings.Write(keys);
    HostLibrary lib;
    ASSERT_TRUE(lib.Load());
    EXPECT_EQ(lib.InqStat(1), 1);
    for (const char* bad : {"tcp://127.0.0.1", "ftp://127.0.0.1:21"}) {
        keys["ComName"] = bad;
        settings.Write(keys);
        EXPECT_EQ(lib.InqStat(1), 0) << bad;
        EXPECT_EQ(lib.GetError(), TALVO_E_PORT) << bad << ": nothing was sent";
    }
    keys["ComName"] = telnet.server.DevicePath();
    settings.Write(keys);
    EXPECT_EQ(lib.InqStat(1), 1);
    keys["ComName"] = tcp.server.DevicePath();
    settings.Write(keys);
    EXPECT_EQ(lib.InqStat(1), 1);
    EXPECT_EQ(telnet.Connections(), 1);
    EXPECT_EQ(tcp.Connections(), 2) << "the first connection went with the change of scheme";
}

}  // namespace
}  // namespace talvo::test
