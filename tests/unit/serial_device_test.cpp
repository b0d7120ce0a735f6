// The serial device layer: RTS switched only when it changes something, and
// reads that wait in the system and return as soon as bytes have come.  On
// Linux against a real pseudo-terminal; the RTS bookkeeping on both targets.
#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#endif

#include "platform/platform.h"

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
#endif

}  // namespace
}  // namespace talvo
