// The exchange of a request against a reply on a real pseudo-terminal: every
// outcome and the result code the host reads afterwards.
#include <chrono>
#include <thread>

#include "line_fixture.h"

namespace talvo::test {
namespace {

using Exchange = LineTest;

TEST_F(Exchange, AcceptedReplyGivesSuccess) {
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(OnlyFrame(), "\x02" "000110000000" "\x03" "42");
}

TEST_F(Exchange, SilenceIsTriedRepeatTimesAndGivesMinusThree) {
    sim().Ok("fault 10 silence times=0");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -3);
    EXPECT_EQ(sim().Frames().size(), 3u);
    // No reopen after silence, and the port still works.
    sim().Ok("clearfaults");
    EXPECT_EQ(lib().InqStat(1), 1);
}

TEST_F(Exchange, RepeatOneTriesOnce) {
    Settings({{"Repeat", "1"}});
    sim().Ok("fault 10 silence times=0");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(sim().Frames().size(), 1u);
}

TEST_F(Exchange, TerminalThatIsNotOnTheLineIsSilent) {
    EXPECT_EQ(lib().InqStat(9), 0);
    EXPECT_EQ(lib().GetError(), -3);
}

TEST_F(Exchange, DamagedRepliesGiveMinusTwoAndTheNextCommandWorks) {
    for (const char* kind : {"badsum", "lowersum", "long"}) {
        sim().Ok("reset");
        sim().Ok("add 1 consumption");
        sim().Ok(std::string("fault 10 ") + kind + " times=0");
        EXPECT_EQ(lib().InqStat(1), 0) << kind;
        EXPECT_EQ(lib().GetError(), -2) << kind;
        EXPECT_EQ(sim().Frames().size(), 3u) << kind;
        sim().Ok("clearfaults");
        EXPECT_EQ(lib().InqStat(1), 1) << kind << ": the port was reopened";
        EXPECT_EQ(lib().GetError(), 0);
    }
}

TEST_F(Exchange, OnlyTheLastTryCounts) {
    Settings({{"Repeat", "2"}});
    sim().Ok("fault 10 silence");
    sim().Ok("fault 10 badsum");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -2);

    sim().Ok("fault 10 badsum");
    EXPECT_EQ(lib().InqStat(1), 1);  // second try answered
    EXPECT_EQ(lib().GetError(), 0);
}

TEST_F(Exchange, RefusalIsASuccessfulExchange) {
    sim().Ok("fault 10 status NN");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(sim().Frames().size(), 1u);
}

TEST_F(Exchange, NoiseSplitRepliesAndSlowTerminalsAreRead) {
    sim().Ok("fault 10 noise");
    EXPECT_EQ(lib().InqStat(1), 1);
    sim().Ok("fault 10 split 4:25");
    EXPECT_EQ(lib().InqStat(1), 1);
    sim().Ok("fault 10 delay 30");
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(sim().Frames().size(), 3u);
}

TEST_F(Exchange, AStrayStxOrACutOffFrameAheadOfTheReplyIsPassedOver) {
    for (const char* kind : {"stx", "cutstart"}) {
        sim().Ok(std::string("fault 10 ") + kind);
        EXPECT_EQ(lib().InqStat(1), 1) << kind;
        EXPECT_EQ(lib().GetError(), 0) << kind;
    }
    // One try each: not one of them was repeated.
    EXPECT_EQ(sim().Frames().size(), 2u);
}

TEST_F(Exchange, ReplyStillArrivingAfterWaitTimeIsCutOff) {
    // Pieces 80 ms apart: with 100 ms to wait the reply is incomplete when
    // the limit passes; with 600 ms it is whole.
    Settings({{"WaitTime", "100"}, {"Repeat", "1"}});
    sim().Ok("fault 10 split 4:80");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -2);
    // The pieces still on their way arrive before the next request, whose
    // purge drops them.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));

    Settings({{"WaitTime", "600"}, {"Repeat", "1"}});
    sim().Ok("fault 10 split 4:80");
    EXPECT_EQ(lib().InqStat(1), 1);
}

TEST_F(Exchange, WaitTimeZeroReadsOnce) {
    Settings({{"WaitTime", "0"}, {"Repeat", "1"}});
    sim().Ok("fault 10 split 2:80");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_NE(lib().GetError(), 0);
}

TEST_F(Exchange, LostDeviceComesBackWithoutAReload) {
    sim().Ok("fault 10 close");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_NE(lib().GetError(), 0);
    // The device is gone: each command tries once to open it, sends nothing
    // and reports -1.
    sim().Ok("clearframes");
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -1);
    EXPECT_TRUE(sim().Frames().empty()) << "nothing may be sent on a closed port";
    // Back (on Linux perhaps as another pseudo-terminal, which the settings
    // file then names): the next command opens it and goes through.
    sim().Ok("reopen");
    Settings({});
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().GetError(), 0);
}

}  // namespace
}  // namespace talvo::test

#include <thread>
#include <vector>

namespace talvo::test {
namespace {

TEST_F(Exchange, CallsFromSeveralThreadsNeverInterleave) {
    // Without the library's lock the frames of two threads mix on the line
    // and both exchanges fail.
    const int perThread = 40;
    std::vector<int> failures(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                if (t % 2 == 0 ? lib().InqStat(1) != 1 : lib().Setcmw(1, "THREADSAFE") != 1) ++failures[t];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (int f : failures) EXPECT_EQ(f, 0);
    const auto frames = sim().Frames();
    EXPECT_EQ(frames.size(), 4u * perThread);
    for (const std::string& f : frames) {
        EXPECT_TRUE(f == Request(1, 0x10, 0, 0, 0) || f == Request(1, 0x22, 0, 0, 6, "THREADSAFE00")) << f;
    }
}

}  // namespace
}  // namespace talvo::test
