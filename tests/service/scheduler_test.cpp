// A line's scheduler on times handed in: after anything the worker can
// meet, its next wake-up lies ahead of now.
#include <gtest/gtest.h>

#include "line/scheduler.h"

namespace talvo::service {
namespace {

using std::chrono::milliseconds;
using Job = Scheduler::Job;

JobsConfig Jobs() {
    JobsConfig j;
    j.collectMs = 60'000;
    j.statusMs = 30'000;
    j.clockMs = 86'400'000;
    j.backoffMinMs = 5'000;
    j.backoffMaxMs = 40'000;
    return j;
}

TEST(Scheduler, EveryRunMovesItsDueTimeAhead) {
    const auto t0 = Scheduler::Clock::now();
    Scheduler s(Jobs(), t0, {1, 2});
    EXPECT_TRUE(s.Due(Job::kStatus, t0));
    EXPECT_TRUE(s.Due(Job::kCollect, t0));
    EXPECT_TRUE(s.Due(Job::kClock, t0));
    s.Ran(Job::kStatus, t0);
    s.Ran(Job::kClock, t0);
    s.Ran(Job::kCollect, t0);
    EXPECT_EQ(s.NextWake(true), t0 + milliseconds(30'000));
    EXPECT_FALSE(s.Due(Job::kStatus, t0 + milliseconds(29'999)));
    // A collection the database cut short comes back after the shortest
    // back-off, not at once and not a whole interval later.
    s.Ran(Job::kCollect, t0, false);
    EXPECT_EQ(s.NextWake(true), t0 + milliseconds(5'000));

    // Intervals of zero would be due on every turn.
    JobsConfig zero = Jobs();
    zero.statusMs = 0;
    zero.backoffMinMs = 0;
    Scheduler z(zero, t0, {1});
    z.Ran(Job::kStatus, t0);
    EXPECT_FALSE(z.Due(Job::kStatus, t0));
    z.Silent(1, 1, t0);
    EXPECT_FALSE(z.RetryDue(1, t0));
}

// A missing device: its jobs wait for it, and the worker sleeps until the
// next try to open it, however long the jobs have been due.
TEST(Scheduler, MissingDeviceWakesOnlyToTryItAgain) {
    const auto t0 = Scheduler::Clock::now();
    Scheduler s(Jobs(), t0, {1});
    s.DeviceMissing(t0);
    EXPECT_FALSE(s.MayOpenDevice(t0));
    EXPECT_EQ(s.NextWake(false), t0 + milliseconds(5'000));
    s.DeviceMissing(t0 + milliseconds(5'000));
    s.DeviceMissing(t0 + milliseconds(15'000));
    EXPECT_EQ(s.NextWake(false), t0 + milliseconds(15'000 + 20'000));
    for (int i = 0; i < 10; ++i) s.DeviceMissing(t0);
    EXPECT_EQ(s.NextWake(false), t0 + milliseconds(40'000)) << "capped at backoff_max";
    s.DeviceOpened();
    EXPECT_EQ(s.DeviceFailures(), 0);
}

// Silent, then answering with a refusal: out of the back-off and due only
// on the jobs' intervals again, not on every turn.
TEST(Scheduler, SilentThenRefusingIsNotDueEveryTurn) {
    const auto t0 = Scheduler::Clock::now();
    Scheduler s(Jobs(), t0, {1, 2});
    s.Ran(Job::kStatus, t0);
    s.Ran(Job::kClock, t0);
    s.Ran(Job::kCollect, t0);
    s.Silent(1, 1, t0);
    EXPECT_TRUE(s.InBackoff(1, t0 + milliseconds(4'999)));
    EXPECT_EQ(s.NextWake(true), t0 + milliseconds(5'000));
    const auto retry = t0 + milliseconds(5'000);
    EXPECT_TRUE(s.RetryDue(1, retry));
    s.Silent(1, 2, retry);
    EXPECT_EQ(s.NextWake(true), retry + milliseconds(10'000));
    const auto refusal = retry + milliseconds(10'000);
    s.Answered(1, refusal);
    EXPECT_FALSE(s.RetryDue(1, refusal));
    EXPECT_FALSE(s.InBackoff(1, refusal));
    EXPECT_EQ(s.NextWake(true), t0 + milliseconds(30'000));
    // What answered lately needs no status request.
    EXPECT_TRUE(s.AnsweredWithin(1, refusal + milliseconds(29'999), milliseconds(30'000)));
    EXPECT_FALSE(s.AnsweredWithin(1, refusal + milliseconds(30'000), milliseconds(30'000)));
    EXPECT_FALSE(s.AnsweredWithin(2, refusal, milliseconds(30'000)));
    // A retry that could not be made waits the shortest back-off.
    s.Silent(2, 7, t0);
    s.Postpone(2, refusal);
    EXPECT_EQ(s.NextWake(true), refusal + milliseconds(5'000));
    s.EndBackoff(2);
    EXPECT_FALSE(s.InBackoff(2, refusal));
}

}  // namespace
}  // namespace talvo::service
