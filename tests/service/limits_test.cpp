// Time and size limits: SIGTERM while the PostgreSQL server has gone
// silent under open connections, and a SQLite database that reaches the
// file-size limit (ulimit -f) while records keep coming.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using service::AsInt;

const char* kJobs = "[http]\nport = 0\n[jobs]\ncollect = \"300ms\"\nstatus = \"1s\"\nbackoff_min = \"300ms\"\nbackoff_max = \"1s\"\n";

void Queue(SimLine& sim, int n) {
    for (int i = 0; i < n; ++i) {
        RawRecord r;
        r.card = std::to_string(300000 + i);
        sim.Ok("record 1 seal " + r.Text());
    }
}

// The server stops answering while talvod works: SIGTERM still ends it
// after the line's exchange time and a few seconds, not when the server
// comes back.  What was not committed stays on the terminal.
TEST(PostgresSilent, TermStopsWhateverTheDatabaseDoes) {
    Postgres* pg = Postgres::Get();
    if (pg == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
    TempDir dir;
    const std::string database = pg->NewDatabase();
    SimLine sim(dir / "ttyA");
    sim.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(database, kJobs, {LineBlock("hall", sim.link(), {"1"})}));
    Queue(sim, 6);
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    ASSERT_GT(talvod.Port(), 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) == 0; })) << talvod.Log();

    struct Resume {
        Postgres* pg;
        ~Resume() { pg->Resume(); }
    } resume{pg};
    pg->Pause();
    Queue(sim, 12);
    // The next collection fetches a batch and waits on the silent server.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto start = std::chrono::steady_clock::now();
    talvod.Signal(SIGTERM);
    const int status = talvod.Wait(std::chrono::seconds(60));
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("[ figure   ] SIGTERM with a silent database: stopped in %.2f s\n", took);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
    EXPECT_EQ(talvod.Count("info stopped"), 1) << talvod.Log();
    pg->Resume();
    EXPECT_EQ(sim.Held(1), 12);
    auto db = service::Open(database);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)), 6);
}

// The database's file reaches the file-size limit: talvod is not killed,
// every commit past the limit fails and nothing of it is confirmed, the
// transaction a failed COMMIT left does not swallow the next one, and
// /healthz reports the failing writes.
TEST(CollectionLimits, FileSizeLimitIsAFailedCommit) {
    TempDir dir;
    SimLine sim(dir / "ttyA");
    sim.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kJobs, {LineBlock("hall", sim.link(), {"1"})}));
    const int queued = 600;
    Queue(sim, queued);

    // The child inherits the limit; this process ignores the signal for the
    // moment it has it too.
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 256 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, previous);

    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return talvod.Count("database-failed") >= 1 || !talvod.Running(); })) << talvod.Log();
    // A few more rounds against the full file.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(talvod.Running()) << talvod.Log();
    EXPECT_EQ(talvod.Log().find("within a transaction"), std::string::npos) << talvod.Log();

    const HttpResult health = HttpGet(port, "/healthz");
    EXPECT_EQ(health.status, 503) << health.body;
    const auto body = nlohmann::json::parse(health.body);
    EXPECT_EQ(body["database"], "not writing") << health.body;
    EXPECT_FALSE(body["last_write_error"].get<std::string>().empty()) << health.body;

    // Whatever was committed is there once; the rest is on the terminal.
    talvod.Signal(SIGTERM);
    EXPECT_EQ(talvod.Wait(), 0) << talvod.Log();
    auto db = service::Open(dir / "talvod.db");
    const std::int64_t stored = AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0));
    const std::int64_t distinct = AsInt(db->Query("SELECT COUNT(DISTINCT card) FROM records", {}).at(0).at(0));
    EXPECT_EQ(stored, distinct);
    EXPECT_GT(sim.Held(1), 0);
    EXPECT_EQ(stored + sim.Held(1), queued);
}

}  // namespace
}  // namespace talvo::test
