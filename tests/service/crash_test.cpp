// talvod killed with SIGKILL at random moments of collection, again and
// again, many of the kills inside the window between a batch's commit and
// its confirmation: afterwards every record is in the database exactly once
// and no terminal holds one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdio>
#include <random>
#include <set>

#include "harness.h"

namespace talvo::test {
namespace {

using service::AsInt;
using service::AsText;

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
    const int runs = GetParam() == "sqlite" ? 60 : 24;
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
    auto queue = [&](int count) {
        for (int i = 0; i < count; ++i) {
            RawRecord r;
            r.card = std::to_string(300000 + ++serial);
            r.cents = serial;
            r.month = 1 + serial % 12;
            r.day = 1 + serial % 28;
            const int terminal = 1 + static_cast<int>(random() % 2);
            sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
            queued.insert(std::to_string(terminal) + "/" + r.card);
        }
    };

    const std::string log = dir / "talvod.log";
    int killedInWindow = 0;
    for (int run = 0; run < runs; ++run) {
        queue(1 + static_cast<int>(random() % 14));
        if (run % 2 == 0) {
            // Killed right after the K-th commit, before its confirmation.
            const int k = 1 + static_cast<int>(random() % 3);
            Talvod t(dir / "talvod.toml", log, {"TALVOD_TEST_AFTER_COMMIT=kill=" + std::to_string(k)},
                     {"--log-level", "debug"});
            if (WaitFor([&] { return !t.Running(); }, std::chrono::milliseconds(3000))) {
                const int status = t.Wait();
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) ++killedInWindow;
            } else {
                t.Signal(SIGKILL);  // fewer batches than K: killed while idle
                t.Wait();
            }
        } else {
            // A widened window and a kill at a random moment: at start, in
            // an exchange, in a transaction, between commit and confirmation.
            Talvod t(dir / "talvod.toml", log,
                     {"TALVOD_TEST_AFTER_COMMIT=pause=" + std::to_string(10 + random() % 50)}, {"--log-level", "debug"});
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 500));
            t.Signal(SIGKILL);
            t.Wait();
        }
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
    const int replayed = last.Count("batch-replayed");
    // Every kill between commit and confirmation left a batch that the next
    // run recognised and confirmed without storing it again.
    EXPECT_GE(replayed, killedInWindow);
    EXPECT_GT(killedInWindow, runs / 4);
    std::printf("[ crash    ] %s: %d runs, %zu records, %d killed between commit and confirmation, %d batches "
                "replayed, %d commits in all\n",
                GetParam().c_str(), runs, queued.size(), killedInWindow, replayed, last.Count("batch-committed"));
    RecordProperty("killed_between_commit_and_confirm", killedInWindow);
    RecordProperty("batches_replayed", replayed);
}

INSTANTIATE_TEST_SUITE_P(Backends, Crash, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
