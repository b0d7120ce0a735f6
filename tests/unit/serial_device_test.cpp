// The serial device layer: RTS switched only when it changes something, and
// reads that wait in the system and return as soon as bytes have come.  On
// Linux against a real pseudo-terminal; the RTS bookkeeping on both targets.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "serial/serial_port.h"

namespace talvo {
namespace {

namespace dev = platform::serial;

TEST(RtsLine, SwitchesOnlyWhatChangesAndNothingAfterARefusal) {
    dev::RtsLine rts;
    // Nothing is known of a device just opened: both switches are made.
    EXPECT_TRUE(rts.Needs(true));
    EXPECT_TRUE(rts.Needs(false));
    rts.Switched(true);
    EXPECT_FALSE(rts.Needs(true));  // raised already: not again
    EXPECT_TRUE(rts.Needs(false));
    rts.Switched(false);
    EXPECT_TRUE(rts.Needs(true));
    EXPECT_FALSE(rts.Needs(false));
    // A failure that is no refusal leaves the line unknown: the next switch
    // is made whatever it is.
    rts.Failed();
    EXPECT_TRUE(rts.Needs(true));
    EXPECT_TRUE(rts.Needs(false));
    rts.Refused();
    EXPECT_FALSE(rts.Needs(true));
    EXPECT_FALSE(rts.Needs(false));
}

#ifndef _WIN32
// A pseudo-terminal pair: the library's end is the device, the test holds
// the other end.
class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) device_ = ptsname(master_);
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    const std::string& Device() const { return device_; }
    void Send(const std::string& bytes) const { ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }

private:
    int master_ = -1;
    std::string device_;
};

TEST(SerialDevice, APseudoTerminalIsAskedForModemControlOnceWhileOpen) {
    Pty pty;
    ASSERT_FALSE(pty.Device().empty());
    dev::Handle h = dev::Open(pty.Device());
    ASSERT_NE(h, dev::kNoDevice);
    // The half-duplex pattern of three commands: raise, lower, raise, ...
    for (int i = 0; i < 3; ++i) {
        dev::SetRts(h, true);
        dev::SetRts(h, false);
        dev::SetRts(h, true);
    }
    EXPECT_EQ(dev::ModemControlCalls(h), 1u) << "the refusal of the first switch is remembered";
    ASSERT_TRUE(dev::Close(h));

    // Opened anew, the device is asked again.
    h = dev::Open(pty.Device());
    ASSERT_NE(h, dev::kNoDevice);
    dev::SetRts(h, true);
    dev::SetRts(h, false);
    EXPECT_EQ(dev::ModemControlCalls(h), 1u);
    EXPECT_TRUE(dev::Close(h));
}

TEST(SerialDevice, AReadTakesAllThatHasComeAndNoMoreThanItsRoom) {
    Pty pty;
    ASSERT_FALSE(pty.Device().empty());
    const dev::Handle h = dev::Open(pty.Device());
    ASSERT_NE(h, dev::kNoDevice);
    dev::LineMode mode;
    ASSERT_TRUE(dev::BuildMode("COM1: baud=9600 parity=N data=8 stop=1", mode));
    ASSERT_TRUE(dev::ApplyMode(h, mode));

    unsigned char buffer[64] = {};
    EXPECT_EQ(dev::Read(h, buffer, sizeof buffer, 1), 0u) << "a silent line gives nothing";
    pty.Send("0123456789");
    EXPECT_EQ(dev::Read(h, buffer, 4, 1000), 4u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "0123");
    EXPECT_EQ(dev::Read(h, buffer, sizeof buffer, 1000), 6u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 6), "456789");
    EXPECT_TRUE(dev::Close(h));
}

// A line of the line API purges only when something may be waiting: before
// its first request, after a reply that did not end as a frame ends or an
// exchange that ended without its reply (and for a while after that); the
// 43 exports' port purges before every request.
TEST(SerialPortPurge, OnlyWhenTheLastExchangeDidNotEndClean) {
    Pty pty;
    ASSERT_FALSE(pty.Device().empty());
    SerialPort port;
    port.params.device = pty.Device();
    port.params.purgeEveryExchange = false;
    ASSERT_TRUE(port.Open(false));
    const std::string request = "\x02" "000110000000" "\x03" "42";
    const std::string reply = "\x02" "0001GG000000" "\x03" "8D";
    unsigned char buffer[64];
    // One exchange: the request out, the reply in (in the pieces given),
    // and its end as the exchange saw it.
    auto exchange = [&](std::vector<std::string> pieces, bool replied) {
        port.Purge();
        port.Write(reinterpret_cast<const unsigned char*>(request.data()), static_cast<std::uint32_t>(request.size()));
        for (const std::string& piece : pieces) {
            pty.Send(piece);
            std::uint32_t got = 0;
            while (got < piece.size()) {
                const std::uint32_t n = port.Read(buffer, sizeof buffer, 1000);
                ASSERT_GT(n, 0u);
                got += n;
            }
        }
        port.ExchangeEnded(replied);
    };
    exchange({reply}, true);
    EXPECT_EQ(port.purges, 1u) << "the first request is purged before";
    exchange({reply}, true);
    exchange({reply.substr(0, 14), reply.substr(14)}, true);  // the check pair in a read of its own
    exchange({reply}, true);
    EXPECT_EQ(port.purges, 1u) << "clean exchanges need no purge";

    // Bytes behind the reply: purged before the next request, and for a
    // while after it, clean or not (a late reply may still be on its way).
    exchange({reply + "zz"}, true);
    EXPECT_EQ(port.purges, 1u);
    exchange({reply}, true);
    EXPECT_EQ(port.purges, 2u);
    exchange({reply}, true);
    EXPECT_EQ(port.purges, 3u) << "within the settling time";

    // Without a settling time, each case alone: an exchange that ended
    // without its reply, and one whose last read ended on no frame.
    port.settleMs = 0;
    exchange({reply}, true);
    exchange({reply}, true);
    const std::uint32_t settled = port.purges;
    exchange({reply}, false);
    exchange({reply}, true);
    EXPECT_EQ(port.purges, settled + 1) << "an exchange without its reply";
    exchange({reply.substr(0, 10)}, true);
    exchange({reply}, true);
    EXPECT_EQ(port.purges, settled + 2) << "a read that ended on no frame";
    exchange({}, true);
    exchange({reply}, true);
    EXPECT_EQ(port.purges, settled + 3) << "no reply read";
    exchange({reply}, true);
    EXPECT_EQ(port.purges, settled + 3);

    // Opened anew: the first request is purged before.
    port.Close();
    ASSERT_TRUE(port.Open(false));
    exchange({reply}, true);
    EXPECT_EQ(port.purges, settled + 4);
    port.Close();

    // The 43 exports' port: every request is purged before.
    SerialPort legacy;
    legacy.params.device = pty.Device();
    ASSERT_TRUE(legacy.Open(false));
    for (int i = 0; i < 3; ++i) {
        legacy.Purge();
        legacy.Write(reinterpret_cast<const unsigned char*>(request.data()), static_cast<std::uint32_t>(request.size()));
        pty.Send(reply);
        ASSERT_GT(legacy.Read(buffer, sizeof buffer, 1000), 0u);
        legacy.ExchangeEnded(true);
    }
    EXPECT_EQ(legacy.purges, 3u);
}
#endif

}  // namespace
}  // namespace talvo
