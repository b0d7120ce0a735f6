// The receive time limits through the library, on both targets: Linux waits
// in poll, Windows in the driver's read time-outs.  Each limit is shown by a
// reply that comes just inside it and one that comes well outside (margins
// of tens of milliseconds: Wine's tick counter moves in steps of ~16 ms).
#include <chrono>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

#include "line_fixture.h"

namespace talvo::test {
namespace {

using ReceiveLimits = LineTest;

// A reply that came after its command gave up is still on its way: let it
// arrive, so that the next command purges it instead of taking it.
void LetTheLateReplyArrive(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

TEST_F(ReceiveLimits, WaitTimeZeroMissesAReplyThatComesLate) {
    // The first-byte deadline (300 ms) would wait for a reply 100 ms late;
    // with WaitTime 0 the one read lasts about 1 ms and misses it, as it
    // always did on Windows.
    Settings({{"WaitTime", "0"}, {"EchoTime", "300"}, {"Repeat", "1"}});
    sim().Ok("fault 10 delay 100");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -3);
    EXPECT_EQ(sim().Frames().size(), 1u);
    LetTheLateReplyArrive(200);
}

TEST_F(ReceiveLimits, EveryTryWaitsTheFirstByteDeadline) {
    // Deadline: EchoTime 200 + 18 bytes at 9600 baud = 215 ms.
    Settings({{"EchoTime", "200"}, {"Repeat", "1"}});
    sim().Ok("fault 10 delay 140");
    EXPECT_EQ(lib().InqStat(1), 1) << "a reply inside the deadline is heard";

    sim().Ok("fault 10 delay 320");
    EXPECT_EQ(lib().InqStat(1), 0) << "a reply after the deadline is missed";
    EXPECT_EQ(lib().GetError(), -3);
    LetTheLateReplyArrive(250);

    // The second try waits its own deadline after a silent first one.
    Settings({{"EchoTime", "200"}, {"Repeat", "2"}});
    sim().Ok("clearframes");
    sim().Ok("fault 10 silence");
    sim().Ok("fault 10 delay 140");
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(sim().Frames().size(), 2u);
}

TEST_F(ReceiveLimits, AReplyInPiecesIsCollectedWhole) {
    // Pieces 40 ms apart, all within WaitTime: the driver's wait returns
    // with each piece and the collection goes on until the frame is whole.
    Settings({{"WaitTime", "400"}, {"Repeat", "1"}});
    sim().Ok("fault 10 split 5:40");
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().GetError(), 0);
    sim().Ok("fault 10 split 16:15");  // one byte at a time
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(sim().Frames().size(), 2u);
}

TEST_F(ReceiveLimits, AChangedSettingsFileCountsAtTheNextCommand) {
    sim().Ok("fault 10 silence times=0");
    Settings({{"Repeat", "1"}});
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(sim().Frames().size(), 1u);
    Settings({{"Repeat", "2"}});
    sim().Ok("clearframes");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(sim().Frames().size(), 2u);

    // The time limits too: a reply 140 ms late is heard with EchoTime 200
    // and missed once the file says 60.
    sim().Ok("clearfaults");
    sim().Ok("fault 10 delay 140 times=0");
    Settings({{"Repeat", "1"}, {"EchoTime", "200"}});
    EXPECT_EQ(lib().InqStat(1), 1);
    Settings({{"Repeat", "1"}});
    EXPECT_EQ(lib().InqStat(1), 0);
    LetTheLateReplyArrive(200);
}

// Makes the settings file look untouched for ten seconds, as a host's
// usually is (on Linux, where file times cannot be set back without the
// change time moving, by waiting until it has settled).
void LetTheSettingsSettle(const std::string& path) {
#ifdef _WIN32
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    t.QuadPart -= 100000000ull;
    const FILETIME past{t.LowPart, t.HighPart};
    HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(SetFileTime(h, &past, nullptr, &past));
    CloseHandle(h);
#else
    (void)path;
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
#endif
}

TEST_F(ReceiveLimits, ASettledSettingsFileIsReadAtLoadAndAChangeCountsAtTheNextCommand) {
    // An old settings file is what a host has at load: the library reads it
    // while it loads, and later commands take it from memory until it
    // changes.
    LetTheSettingsSettle(settings_->Path());
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().InqStat(1), 1);

    sim().Ok("fault 10 silence times=0");
    sim().Ok("clearframes");
    Settings({{"Repeat", "1"}});
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(sim().Frames().size(), 1u);
    Settings({{"Repeat", "2"}});
    sim().Ok("clearframes");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(sim().Frames().size(), 2u);
}

}  // namespace
}  // namespace talvo::test
