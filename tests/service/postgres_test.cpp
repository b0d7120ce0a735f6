// talvod on PostgreSQL: the server stopped in the middle of a run (nothing
// confirmed while it is away, nothing lost or doubled when it is back), and
// two services on one server, each with its own line, each page showing the
// whole site.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>
#include <set>

#include "harness.h"

namespace talvo::test {
namespace {

using service::AsInt;
using service::AsText;

const char* kJobs = "[http]\nport = 0\n[jobs]\ncollect = \"200ms\"\nbackoff_min = \"200ms\"\nbackoff_max = \"1s\"\n";

class PostgresSite : public ::testing::Test {
protected:
    void SetUp() override {
        pg = Postgres::Get();
        if (pg == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
        database = pg->NewDatabase();
    }
    // Queues `n` records with cards from `first` on terminal `terminal`.
    static void Queue(SimLine& sim, int terminal, int first, int n, std::multiset<std::string>& want,
                      const std::string& line) {
        for (int i = 0; i < n; ++i) {
            RawRecord r;
            r.card = std::to_string(first + i);
            r.cents = 1000 + i;
            sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
            want.insert(line + "/" + std::to_string(terminal) + "/" + r.card);
        }
    }
    static std::multiset<std::string> Stored(service::Connection& db) {
        std::multiset<std::string> out;
        for (const auto& r : db.Query("SELECT line, terminal, card FROM records", {})) {
            out.insert(AsText(r[0]) + "/" + AsText(r[1]) + "/" + AsText(r[2]));
        }
        return out;
    }
    Postgres* pg = nullptr;
    TempDir dir;
    std::string database;
};

TEST_F(PostgresSite, DatabaseStoppedMidRun) {
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    sim.Ok("add 2");
    WriteText(dir / "talvod.toml", ConfigText(database, kJobs, {LineBlock("hall", sim.link(), {"1", "2"})}));
    std::multiset<std::string> want;
    Queue(sim, 1, 400000, 20, want, "hall");
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) == 0; })) << talvod.Log();

    pg->Crash();
    Queue(sim, 1, 410000, 9, want, "hall");
    Queue(sim, 2, 420000, 4, want, "hall");
    // While the database is away the service keeps asking the terminals
    // but confirms nothing: every record stays where it is.
    ASSERT_TRUE(WaitFor([&] { return talvod.Count("database-") >= 1; })) << talvod.Log();
    // Several rounds, each failing (the log tells a lasting outage once).
    auto failures = [&] {
        const std::string key = "talvod_database_failures_total{line=\"hall\"} ";
        const HttpResult m = HttpGet(port, "/metrics");
        const std::size_t at = m.body.find(key);
        return at == std::string::npos ? 0 : std::atoi(m.body.c_str() + at + key.size());
    };
    ASSERT_TRUE(WaitFor([&] { return failures() >= 3; })) << talvod.Log();
    EXPECT_EQ(sim.Held(1), 9);
    EXPECT_EQ(sim.Held(2), 4);
    const HttpResult health = HttpGet(port, "/healthz");
    EXPECT_EQ(health.status, 503) << health.body;
    EXPECT_EQ(HttpGet(port, "/api/records").status, 503);
    EXPECT_EQ(HttpGet(port, "/api/records").body, "{\"error\":\"the database is not available\"}");

    pg->Start();
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) + sim.Held(2) == 0; })) << talvod.Log();
    auto db = service::Open(database);
    ASSERT_TRUE(WaitFor([&] { return AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)) == 33; }));
    EXPECT_EQ(Stored(*db), want);
    EXPECT_GE(talvod.Count("database-back"), 1) << talvod.Log();
    EXPECT_EQ(HttpGet(port, "/healthz").status, 200);
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

TEST_F(PostgresSite, TwoServicesOneDatabase) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    a.Ok("add 2");
    b.Ok("add 1");
    WriteText(dir / "pc1.toml",
              ConfigText(database, std::string("host = \"pc1\"\n") + kJobs, {LineBlock("north", a.link(), {"1", "2"})}));
    WriteText(dir / "pc2.toml",
              ConfigText(database, std::string("host = \"pc2\"\n") + kJobs, {LineBlock("south", b.link(), {"1"})}));
    std::multiset<std::string> want;
    Queue(a, 1, 500000, 30, want, "north");
    Queue(a, 2, 510000, 11, want, "north");
    Queue(b, 1, 520000, 25, want, "south");  // terminal 1 again, on another line
    // Both start at once on a fresh database: one migrates, the other waits.
    Talvod one(dir / "pc1.toml", dir / "pc1.log");
    Talvod two(dir / "pc2.toml", dir / "pc2.log");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) + a.Held(2) + b.Held(1) == 0; })) << one.Log() << two.Log();
    auto db = service::Open(database);
    ASSERT_TRUE(WaitFor([&] { return Stored(*db) == want; }));
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM talvo_schema", {}).at(0).at(0)), 1);

    // Either page shows the whole site.
    for (Talvod* t : {&one, &two}) {
        const int port = t->Port();
        ASSERT_TRUE(WaitFor([&] {
            const auto terminals = nlohmann::json::parse(HttpGet(port, "/api/terminals").body)["terminals"];
            std::set<std::string> seen;
            for (const auto& x : terminals) {
                seen.insert(x["host"].get<std::string>() + "/" + x["line"].get<std::string>() + "/" +
                            std::to_string(x["number"].get<int>()) + "/" + x["state"].get<std::string>());
            }
            return seen == std::set<std::string>{"pc1/north/1/up", "pc1/north/2/up", "pc2/south/1/up"};
        })) << HttpGet(port, "/api/terminals").body;
        const auto totals = nlohmann::json::parse(HttpGet(port, "/api/totals?by=line").body)["totals"];
        ASSERT_EQ(totals.size(), 2u);
        EXPECT_EQ(totals[0]["key"], "north");
        EXPECT_EQ(totals[0]["count"], 41);
        EXPECT_EQ(totals[1]["key"], "south");
        EXPECT_EQ(totals[1]["count"], 25);
    }
    one.Signal(SIGTERM);
    two.Signal(SIGTERM);
    one.Wait();
    two.Wait();
    EXPECT_EQ(one.Count(" error "), 0) << one.Log();
    EXPECT_EQ(two.Count(" error "), 0) << two.Log();
}

// Two services on one server both naming a line "hall": the second does
// not start, and says which host has the line; the first goes on.  A line
// taken out of the configuration shows its terminals as "not configured".
TEST_F(PostgresSite, LineOfOneNameBelongsToOneService) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    b.Ok("add 1");
    const std::string pc1 = dir / "pc1.toml";
    WriteText(pc1, ConfigText(database, std::string("host = \"pc1\"\n") + kJobs,
                              {LineBlock("hall", a.link(), {"1"}), LineBlock("bar", b.link(), {"1"})}));
    WriteText(dir / "pc2.toml",
              ConfigText(database, std::string("host = \"pc2\"\n") + kJobs, {LineBlock("hall", b.link(), {"1"})}));
    Talvod one(pc1, dir / "pc1.log");
    const int port = one.Port();
    ASSERT_GT(port, 0) << one.Log();
    Talvod two(dir / "pc2.toml", dir / "pc2.log");
    const int status = two.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << two.Log();
    EXPECT_NE(two.Log().find("line 'hall' belongs to the service on host 'pc1'"), std::string::npos) << two.Log();
    std::multiset<std::string> want;
    Queue(a, 1, 600000, 8, want, "hall");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0; })) << one.Log();

    auto state = [&](const std::string& line) {
        const auto all = nlohmann::json::parse(HttpGet(port, "/api/terminals").body);
        for (const auto& t : all["terminals"]) {
            if (t["line"] == line) return t["state"].get<std::string>();
        }
        return std::string("<none>");
    };
    ASSERT_TRUE(WaitFor([&] { return state("bar") == "up"; })) << one.Log();
    WriteText(pc1, ConfigText(database, std::string("host = \"pc1\"\n") + kJobs, {LineBlock("hall", a.link(), {"1"})}));
    one.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return state("bar") == "not configured"; })) << one.Log();
    EXPECT_EQ(state("hall"), "up");
    one.Signal(SIGTERM);
    EXPECT_EQ(one.Wait(), 0);
    auto db = service::Open(database);
    EXPECT_EQ(Stored(*db), want);
}

}  // namespace
}  // namespace talvo::test
