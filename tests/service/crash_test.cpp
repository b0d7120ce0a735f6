// talvod killed with SIGKILL at random moments of collection, again and
// again, many of the kills inside the window between a batch's commit and
// its confirmation: afterwards every record is in the database exactly once
// and no terminal holds one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <set>

#include "harness.h"

namespace talvo::test {
namespace {

using service::AsInt;
using service::AsText;

int Occurrences(const std::string& text, const std::string& what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

class Crash : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "postgres" && Postgres::Get() == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
        database = DatabaseFor(GetParam(), dir);
    }
    TempDir dir;
    std::string database;
};

TEST_P(Crash, KilledAnywhereEveryRecordOnce) {
    const int runs = GetParam() == "sqlite" ? 64 : 24;
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("seed " + std::to_string(seed));

    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    sim.Ok("add 2");
    WriteText(dir / "talvod.toml",
              ConfigText(database, "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nclock_at_start = false\n",
                         {LineBlock("hall", sim.link(), {"1", "2"})}));
    std::multiset<std::string> queued;
    int serial = 0;
    // Queues records on the two terminals; the batches they make (six
    // records at most in one).
    auto queue = [&](int count) {
        int held[3] = {0, 0, 0};
        for (int i = 0; i < count; ++i) {
            RawRecord r;
            r.card = std::to_string(300000 + ++serial);
            r.cents = serial;
            r.month = 1 + serial % 12;
            r.day = 1 + serial % 28;
            const int terminal = 1 + static_cast<int>(random() % 2);
            sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
            queued.insert(std::to_string(terminal) + "/" + r.card);
            ++held[terminal];
        }
        return (held[1] + 5) / 6 + (held[2] + 5) / 6;
    };

    const std::string log = dir / "talvod.log";
    // A run was killed inside the window when it logged more commits of
    // batches than confirmations (each batch's is logged, as stored or
    // replayed, once it is done).
    auto killedInWindow = [&](std::size_t from) {
        const std::string run = ReadText(log).substr(from);
        return Occurrences(run, "batch-committed") > Occurrences(run, "batch-stored") + Occurrences(run, "batch-replayed");
    };
    int killedByGate = 0;      // between commit and confirmation, for sure
    int killedAfterCommit = 0;  // from outside, after a commit and before its confirmation was logged
    for (int run = 0; run < runs; ++run) {
        const int batches = queue(1 + static_cast<int>(random() % 14));
        const std::size_t from = ReadText(log).size();
        if (run % 2 == 0) {
            // Killed right after the K-th commit of the run, before its
            // confirmation: the run commits at least the batches just
            // queued (and any left by the run before), so the K-th comes.
            const int k = 1 + static_cast<int>(random() % std::min(3, batches));
            Talvod t(dir / "talvod.toml", log, ConfirmGate("kill=" + std::to_string(k)),
                     {"--log-level", "debug"});
            EXPECT_TRUE(WaitFor([&] { return !t.Running(); })) << "not killed at commit " << k;
            t.Wait();
        } else {
            // Killed from outside at a random moment after a commit: in the
            // widened window, in the confirmation, or in the next fetch.
            const int pause = 10 + static_cast<int>(random() % 40);
            Talvod t(dir / "talvod.toml", log, ConfirmGate("pause=" + std::to_string(pause)),
                     {"--log-level", "debug"});
            WaitFor([&] { return ReadText(log).find("batch-committed", from) != std::string::npos || !t.Running(); },
                    std::chrono::milliseconds(3000));
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % (pause + 20)));
            t.Signal(SIGKILL);
            t.Wait();
        }
        if (killedInWindow(from)) ++(run % 2 == 0 ? killedByGate : killedAfterCommit);
    }

    // One last run without interference empties the terminals.
    Talvod last(dir / "talvod.toml", log, {}, {"--log-level", "debug"});
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) + sim.Held(2) == 0; })) << last.Log();
    auto db = service::Open(database);
    ASSERT_TRUE(WaitFor([&] {
        return AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)) == static_cast<std::int64_t>(queued.size());
    }));
    last.Signal(SIGTERM);
    last.Wait();

    std::multiset<std::string> stored;
    for (const auto& r : db->Query("SELECT terminal, card FROM records", {})) stored.insert(AsText(r[0]) + "/" + AsText(r[1]));
    EXPECT_EQ(stored, queued);
    // Batches recognised as handed over again (logged at their commit, so
    // that one recognised and then killed again counts too).
    const int replayed = last.Count("replayed=yes");
    // Every kill between commit and confirmation left a batch that the next
    // run recognised and confirmed without storing it again.  (A kill from
    // outside may land after the terminal took the confirmation: then
    // there is nothing to hand over again.)
    EXPECT_GE(replayed, killedByGate);
    // Every other run was killed by the gate, always inside the window; the
    // kills from outside land wherever the moment falls.
    EXPECT_EQ(killedByGate, runs / 2);
    std::printf("[ crash    ] %s: %d runs, %zu records; killed after a commit: %d by the gate before the "
                "confirmation, %d from outside before the confirmation was done; %d batches replayed, %d commits\n",
                GetParam().c_str(), runs, queued.size(), killedByGate, killedAfterCommit, replayed,
                last.Count("batch-committed"));
    RecordProperty("killed_between_commit_and_confirm", killedByGate + killedAfterCommit);
    RecordProperty("batches_replayed", replayed);
}

// The batches of a line's terminals go into one commit before any of them
// is confirmed: killed after the first confirmation, the terminals not yet
// confirmed hand their batches over again, and the next run recognises each
// of them without storing it twice.
TEST_P(Crash, KilledBetweenSharedCommitAndConfirmations) {
    SimLine sim(dir / "tty");
    std::multiset<std::string> queued;
    for (int terminal = 1; terminal <= 3; ++terminal) {
        sim.Ok("add " + std::to_string(terminal));
        for (int i = 0; i < 8; ++i) {
            RawRecord r;
            r.card = std::to_string(320000 + terminal * 100 + i);
            sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
            queued.insert(std::to_string(terminal) + "/" + r.card);
        }
    }
    WriteText(dir / "talvod.toml",
              ConfigText(database, "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nclock_at_start = false\n",
                         {LineBlock("hall", sim.link(), {"1", "2", "3"})}));
    const std::string log = dir / "talvod.log";
    {
        Talvod t(dir / "talvod.toml", log, ConfirmGate("kill=2"), {"--log-level", "debug"});
        ASSERT_TRUE(WaitFor([&] { return !t.Running(); })) << t.Log();
        t.Wait();
        // Three batches committed, one confirmed, then the kill.
        EXPECT_EQ(t.Count("batch-committed"), 3) << t.Log();
        EXPECT_EQ(t.Count("batch-stored"), 1) << t.Log();
    }
    EXPECT_EQ(sim.Held(1) + sim.Held(2) + sim.Held(3), 24 - 6);
    const std::size_t from = ReadText(log).size();

    Talvod last(dir / "talvod.toml", log, {}, {"--log-level", "debug"});
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) + sim.Held(2) + sim.Held(3) == 0; })) << last.Log();
    auto db = service::Open(database);
    ASSERT_TRUE(WaitFor([&] { return AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)) == 24; }));
    last.Signal(SIGTERM);
    last.Wait();
    std::multiset<std::string> stored;
    for (const auto& r : db->Query("SELECT terminal, card FROM records", {})) stored.insert(AsText(r[0]) + "/" + AsText(r[1]));
    EXPECT_EQ(stored, queued);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM batches", {}).at(0).at(0)), 6);
    const std::string after = ReadText(log).substr(from);
    EXPECT_EQ(Occurrences(after, "batch-replayed"), 2) << after;
    EXPECT_EQ(Occurrences(after, "batch-replayed line=hall terminal=1 "), 0) << after;
}

// The program that ships obeys no test hook: the variable that once made
// it kill itself after a commit is an ordinary variable to it.
TEST(CrashHooks, NoneInTheShippedProgram) {
    TempDir dir;
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    for (int i = 0; i < 5; ++i) {
        RawRecord r;
        r.card = std::to_string(310000 + i);
        sim.Ok("record 1 seal " + r.Text());
    }
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", "[http]\nport = 0\n[jobs]\nclock_at_start = false\n",
                                              {LineBlock("hall", sim.link(), {"1"})}));
    Talvod t(dir / "talvod.toml", dir / "talvod.log", {"TALVOD_TEST_AFTER_COMMIT=kill=1"});
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) == 0 || !t.Running(); })) << t.Log();
    EXPECT_TRUE(t.Running()) << t.Log();
    EXPECT_EQ(sim.Held(1), 0);
    t.Signal(SIGTERM);
    const int status = t.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << t.Log();
    auto db = service::Open(dir / "talvod.db");
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)), 5);
}

INSTANTIATE_TEST_SUITE_P(Backends, Crash, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
