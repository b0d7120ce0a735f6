// The software terminal as the tests lean on it: a control channel that
// refuses what it does not understand (and then changes nothing), request
// frames bounded in size, a control channel served whatever the line does,
// and a prompt stop on SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_line.h"

namespace talvo::test {
namespace {

using sim::Line;

std::string Frame(int terminal, int command, int count, const std::string& payload = "") {
    char header[16];
    std::snprintf(header, sizeof header, "00%02X%02X0000%02X", terminal, command, count);
    std::string body = header + payload;
    int sum = 0;
    for (unsigned char c : body) sum = (sum + c) & 0xFF;
    char tail[4];
    std::snprintf(tail, sizeof tail, "%02X", sum);
    return "\x02" + body + "\x03" + tail;
}

std::vector<sim::Action> Feed(Line& line, const std::string& bytes) {
    return line.Feed(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

// Everything the control channel can show of a line's state.
std::string Snapshot(Line& line) {
    std::string all;
    for (const char* field : {"cmw", "mdeb", "key", "flags", "blacklist", "menu", "subsidy", "maxbt", "bttime",
                              "clock", "aclock", "zones", "azones", "reason3", "blocked", "mark", "batch", "records"}) {
        all += line.Control(std::string("get 1 ") + field) + "|";
    }
    return all + std::to_string(line.faults.size()) + "|" + std::to_string(line.terminals.size()) + "|" +
           std::to_string(line.paceBaud);
}

TEST(SimControl, RefusesWhatItDoesNotUnderstandAndChangesNothing) {
    Line line;
    ASSERT_EQ(line.Control("add 1 consumption"), "ok");
    ASSERT_EQ(line.Control("record 1 seal 00000100100032240930005000"), "ok");
    const std::string before = Snapshot(line);
    for (const char* bad : {
             "", "bogus", "fault any bogus", "set 1 records 200", "fault any silence times=x",
             "fault any silence skip=-1", "fault zz silence", "fault 100 silence", "fault 10",
             "fault 10 delay", "fault 10 delay 5s", "fault 10 split 0:20", "fault 10 split 3", "fault 10 status N",
             "fault 10 short x", "fault 10 count 256", "fault 10 mark 70000", "fault 10 silence 3",
             "fault 10 badsum extra", "fault 10 payload", "set 1 mdeb 12345", "set 1 mdeb 12345a",
             "set 1 cmw SHORT", "set 1 key 12345G", "set 1 flags 6600", "set 1 blacklist 12345",
             "set 1 menu 56341", "set 1 menu 56341A", "set 1 clock 2603151020x", "set 1 aclock 2026",
             "set 1 zones 0630", "set 1 azones 08", "set 1 reason3 414", "set 1 reasonX 4142434445464748",
             "set 1 reason256 4142434445464748", "set 1 blocked yes", "set 1 mark -1", "set 1 batch 300",
             "set 1 colour red", "get 1 colour", "get 1 cmw extra", "get 9 cmw", "set x cmw ABCDEFGHIJKL",
             "add 256", "add 2 kiosk", "add 2 attendance extra", "remove 9", "pace fast", "pace -1",
             "record 1 seal 123", "record 1 seal 0000010010003224093000500099", "record 1 raw 123",
             "record 1 sealhex 00ZZ", "record 1 stamped 00000100100032240930005000", "record 9 seal 00000100100032240930005000",
             "reset now", "frames all", "clearfaults 1"}) {
        const std::string answer = line.Control(bad);
        EXPECT_EQ(answer.rfind("error: ", 0), 0u) << "'" << bad << "' answered '" << answer << "'";
        EXPECT_EQ(Snapshot(line), before) << "'" << bad << "' changed the state";
    }
    // The request that a refused "times=x" would have silenced is answered.
    const auto actions = Feed(line, Frame(1, 0x10, 0));
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_FALSE(actions[0].silent);
}

TEST(SimControl, AcceptsWhatTheTestsUse) {
    Line line;
    for (const char* good : {
             "add 1 consumption", "add 2 attendance", "add 3", "remove 3", "set 1 cmw ABCDEFGHIJKL",
             "set 1 mdeb 563412", "set 1 key A1B2C3", "set 1 flags 66006606", "set 1 blacklist 111111222222",
             "set 1 menu 563412501200", "set 1 subsidy 123456789012", "set 1 maxbt 505001",
             "set 1 bttime any text", "set 1 clock 2603151020", "set 1 clock", "set 2 aclock 20260315102030",
             "set 1 zones 06301100170020000000000000000000", "set 2 reason4 0F414243444546FF", "set 1 blocked 1",
             "set 1 mark 4660", "set 1 batch 7", "set 1 records 0", "get 1 records", "get 2 reason9",
             "record 1 seal 00000100100032240930005000", "record 1 damaged 00000100100032240930005000",
             "record 1 raw 00123450341232240930005000BB", "record 1 sealhex 3030303030313030313030303332323430393330303035303030",
             "fault 10 silence times=0", "fault any split 3:20", "fault 10 split", "fault 4A status NN",
             "fault 37 short 28 times=0", "fault 37 count 3", "fault 47 wrongmark", "fault 37 remark times=0", "fault 10 delay 30",
             "fault 10 noise skip=1", "fault 3a status NN", "fault 10 payload ABC", "fault 37 mark 4660",
             "fault 10 close", "fault 10 long", "fault 10 badsum", "fault 10 lowersum", "fault 10 trailer",
             "clearfaults", "frames", "clearframes", "dropped", "pace 4800", "pace 0", "reset"}) {
        const std::string answer = line.Control(good);
        EXPECT_EQ(answer.rfind("ok", 0), 0u) << "'" << good << "' answered '" << answer << "'";
    }
}

// The payload of a clock read's reply.
std::string ClockRead(Line& line, int terminal, std::size_t width) {
    std::string reply;
    for (const sim::Action& a : Feed(line, Frame(terminal, 0x3A, 0))) {
        for (const std::string& piece : a.pieces) reply += piece;
    }
    return reply.size() == 16 + width ? reply.substr(13, width) : "<reply " + reply + ">";
}

TEST(SimLine, AClockSetRunsOnFromTheTimeSet) {
    Line line;
    ASSERT_EQ(line.Control("add 2 attendance"), "ok");
    // Set a second before a new year: a read after the next second has gone
    // by is in the new year (the clock does not stand still, nor fall back
    // to the host's).
    ASSERT_EQ(line.Control("set 2 aclock 20261231235959"), "ok 20261231235959");
    std::string read = ClockRead(line, 2, 14);
    EXPECT_EQ(read.substr(0, 12), "202612312359") << read;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (read == "20261231235959" && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        read = ClockRead(line, 2, 14);
    }
    EXPECT_EQ(read.substr(0, 12), "202701010000") << read;
    // What was set stays what the control channel shows.
    EXPECT_EQ(line.Control("get 2 aclock"), "ok 20261231235959");
    // Set over the line, the same; a text that is no date is kept as it came.
    EXPECT_EQ(Feed(line, Frame(2, 0x2A, 1, "20260230120000")).size(), 1u);
    EXPECT_EQ(ClockRead(line, 2, 14), "20260230120000");
    EXPECT_EQ(Feed(line, Frame(2, 0x2A, 1, "20260315102030")).size(), 1u);
    EXPECT_EQ(ClockRead(line, 2, 14).substr(0, 12), "202603151020");
}

TEST(SimLine, OverlongFrameIsSkippedAndTheNextOneAnswered) {
    Line line;
    line.Control("add 2 attendance");
    const std::string huge = Frame(2, 0x2A, 1, std::string(Line::kMaxFrame, '1'));
    // Fed in pieces, as a pty hands it over, then a clock read.
    std::vector<sim::Action> actions;
    for (std::size_t at = 0; at < huge.size(); at += 4096) {
        for (const sim::Action& a : Feed(line, huge.substr(at, 4096))) actions.push_back(a);
    }
    EXPECT_TRUE(actions.empty());
    actions = Feed(line, Frame(2, 0x3A, 0));
    ASSERT_EQ(actions.size(), 1u);
    EXPECT_FALSE(actions[0].silent);
    EXPECT_EQ(line.dropped, 1);
    EXPECT_EQ(line.frames.size(), 1u) << "only the clock read was taken";
    EXPECT_EQ(line.Control("get 2 aclock"), "ok ") << "the over-long clock text changed nothing";

    // The longest frame taken is answered.
    const std::string longest = Frame(2, 0x2A, 1, std::string(Line::kMaxFrame - 16, '2'));
    ASSERT_EQ(longest.size(), Line::kMaxFrame);
    EXPECT_EQ(Feed(line, longest).size(), 1u);
}

// talvo-sim as a process, with its line and control channel.
class SimProcess {
public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            std::vector<char*> argv = {const_cast<char*>(TALVO_SIM_PATH)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[512];
        while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
            const std::string l(line);
            if (l.rfind("device: ", 0) == 0) device_ = l.substr(8, l.size() - 9);
            if (l.rfind("control: 127.0.0.1:", 0) == 0) {
                port_ = std::atoi(l.c_str() + 19);
                break;
            }
        }
        if (f != nullptr) fclose(f);
    }
    ~SimProcess() {
        if (pid_ > 0 && !ended_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (control_ >= 0) close(control_);
        if (line_ >= 0) close(line_);
    }

    bool Started() const { return pid_ > 0 && port_ > 0 && !device_.empty(); }

    std::string Control(const std::string& command) {
        if (control_ < 0) {
            control_ = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(port_));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (connect(control_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "no connection";
            timeval limit{10, 0};  // a hang guard, not a measurement
            setsockopt(control_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        }
        const std::string out = command + "\n";
        if (send(control_, out.data(), out.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(out.size())) return "not sent";
        std::string answer;
        char c;
        while (recv(control_, &c, 1, 0) == 1) {
            if (c == '\n') return answer;
            answer += c;
        }
        return "no answer";
    }

    int Line() {
        if (line_ < 0) {
            line_ = open(device_.c_str(), O_RDWR | O_NOCTTY);
            termios t{};
            tcgetattr(line_, &t);
            cfmakeraw(&t);
            tcsetattr(line_, TCSANOW, &t);
        }
        return line_;
    }

    // Reads whatever the line brings within `ms` (a hang guard).
    std::string Read(int ms) {
        std::string got;
        pollfd p{Line(), POLLIN, 0};
        while (poll(&p, 1, ms) > 0) {
            char buffer[4096];
            const ssize_t n = read(line_, buffer, sizeof buffer);
            if (n <= 0) break;
            got.append(buffer, static_cast<std::size_t>(n));
            if (got.size() >= 3 && got[got.size() - 3] == '\x03') break;
        }
        return got;
    }

    // SIGTERM, then the exit; false when it did not end within the guard.
    bool Terminate(int& status) {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 1000; ++i) {  // up to 10 s: a hang guard
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                ended_ = true;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string device_;
    int control_ = -1;
    int line_ = -1;
    bool ended_ = false;
};

TEST(SimProcess, AHugeFrameNeitherWedgesTheLineNorTheControlChannel) {
    SimProcess sim({"--terminal", "1", "--terminal", "2:attendance"});
    ASSERT_TRUE(sim.Started());
    // A 1 MiB attendance clock text, written while the control channel is
    // asked questions.
    const std::string huge = Frame(2, 0x2A, 1, std::string(1 << 20, '1'));
    const int line = sim.Line();
    std::thread writer([&] {
        std::size_t done = 0;
        while (done < huge.size()) {
            const ssize_t n = write(line, huge.data() + done, huge.size() - done);
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
    });
    for (int i = 0; i < 20; ++i) EXPECT_EQ(sim.Control("get 2 aclock"), "ok ");
    // A control line beyond what the channel takes is refused as a whole.
    EXPECT_EQ(sim.Control("set 2 bttime " + std::string(2 << 20, 'x')).rfind("error: control line longer", 0), 0u);
    EXPECT_EQ(sim.Control("get 2 bttime"), "ok ");
    writer.join();
    EXPECT_EQ(sim.Control("dropped"), "ok 1");

    // The read that follows is answered with the terminal's own clock.
    const std::string request = Frame(2, 0x3A, 0);
    ASSERT_EQ(write(line, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const std::string reply = sim.Read(5000);
    ASSERT_EQ(reply.size(), 30u) << reply;
    EXPECT_EQ(reply.substr(0, 7), "\x02" "0002GG");

    int status = 0;
    ASSERT_TRUE(sim.Terminate(status)) << "talvo-sim ignored SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
}

TEST(SimProcess, AReplyNobodyReadsLeavesItServedAndStoppable) {
    SimProcess sim({"--terminal", "1"});
    ASSERT_TRUE(sim.Started());
    ASSERT_EQ(sim.Control("fault 10 payload " + std::string(900000, 'A') + " times=0"), "ok");
    const int line = sim.Line();
    const std::string request = Frame(1, 0x10, 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(write(line, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    // Nobody reads the replies; the control channel answers all the same.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(sim.Control("get 1 records"), "ok 0");
    EXPECT_EQ(sim.Control("frames").size(), 2 + 3 * 33u);
    int status = 0;
    ASSERT_TRUE(sim.Terminate(status)) << "talvo-sim ignored SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
}

TEST(SimProcess, StopsTheCommandItRunsOnSigterm) {
    // The command ignores SIGTERM (as `exec sleep` keeps the ignored signal).
    SimProcess sim({"--terminal", "1", "--exec", "--", "/bin/sh", "-c", "trap '' TERM; exec sleep 60"});
    ASSERT_TRUE(sim.Started());
    int status = 0;
    ASSERT_TRUE(sim.Terminate(status)) << "talvo-sim waited for a command that ignores SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
}

}  // namespace
}  // namespace talvo::test
