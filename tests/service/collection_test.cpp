// talvod against software terminals on two lines: a day's records from
// several terminals, each stored once; a silent terminal kept out by its
// back-off; a device that goes and comes back; SIGTERM and SIGHUP.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <nlohmann/json.hpp>
#include <map>
#include <set>

#include "harness.h"
#include "db/queries.h"
#include "db/store.h"

namespace talvo::test {
namespace {

using service::AsInt;
using service::AsText;

const char* kFastJobs = "[http]\nport = 0\n[jobs]\ncollect = \"300ms\"\nstatus = \"1s\"\nbackoff_min = \"1s\"\nbackoff_max = \"4s\"\n";

struct Today {
    int year, month, day;
    Today() {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        year = tm.tm_year + 1900;
        month = tm.tm_mon + 1;
        day = tm.tm_mday;
    }
    std::string Date() const {
        char text[48];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
        return text;
    }
};

// What a test queued on the terminals and expects in the database.
struct Expected {
    std::multiset<std::string> records;  // "line/terminal/card/cents/at"
    std::map<std::string, std::int64_t> takingsByHour;
    int rejected = 0;
    int next = 0;

    void Queue(SimLine& sim, const std::string& line, int terminal, int count, bool faulty = false) {
        const Today today;
        for (int i = 0; i < count; ++i) {
            RawRecord r;
            ++next;
            r.card = std::to_string(200000 + next);
            r.type = next % 5 == 0 ? 13 : 5;
            r.cents = 100 + (next * 37) % 5000;
            r.month = today.month;
            r.day = today.day;
            r.hour = 6 + next % 16;
            r.minute = next % 60;
            sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
            char at[64];
            std::snprintf(at, sizeof at, "%s %02d:%02d", today.Date().c_str(), r.hour, r.minute);
            const std::int64_t signedCents = r.type == 5 ? -r.cents : r.cents;
            records.insert(line + "/" + std::to_string(terminal) + "/" + r.card + "/" + std::to_string(signedCents) +
                           "/" + at);
            if (r.type == 5) takingsByHour[std::string(at + 11, 2)] += r.cents;
        }
        if (faulty) {
            RawRecord damaged;
            damaged.card = "299999";
            sim.Ok("record " + std::to_string(terminal) + " damaged " + damaged.Text());
            RawRecord unwanted;
            unwanted.card = "A00001";  // above 999999: never wanted
            sim.Ok("record " + std::to_string(terminal) + " seal " + unwanted.Text());
            rejected += 2;
        }
    }
};

std::multiset<std::string> Stored(service::Connection& db) {
    std::multiset<std::string> out;
    for (const auto& r : db.Query("SELECT line, terminal, card, amount_cents, at FROM records", {})) {
        out.insert(AsText(r[0]) + "/" + AsText(r[1]) + "/" + AsText(r[2]) + "/" + AsText(r[3]) + "/" + AsText(r[4]));
    }
    return out;
}

std::int64_t Count(service::Connection& db, const std::string& table) {
    return AsInt(db.Query("SELECT COUNT(*) FROM " + table, {}).at(0).at(0));
}

class Collection : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override {
        if (GetParam() == "postgres" && Postgres::Get() == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
        database = DatabaseFor(GetParam(), dir);
    }
    TempDir dir;
    std::string database;
};

TEST_P(Collection, FullDayFromTwoLines) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    b.Ok("add 1");
    b.Ok("add 4");
    // Terminal 9 of line b is configured but never answers.
    WriteText(dir / "talvod.toml",
              ConfigText(database, kFastJobs,
                         {LineBlock("north", a.link(), {"1", "2", "3:attendance"}), LineBlock("south", b.link(), {"1", "4", "9"})}));
    Expected want;
    want.Queue(a, "north", 1, 40, true);
    want.Queue(a, "north", 2, 25);
    want.Queue(a, "north", 3, 13, true);
    want.Queue(b, "south", 1, 31);
    want.Queue(b, "south", 4, 7, true);

    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    auto db = service::Open(database);
    auto drained = [&] {
        return a.Held(1) + a.Held(2) + a.Held(3) + b.Held(1) + b.Held(4) == 0 &&
               Count(*db, "records") == static_cast<std::int64_t>(want.records.size());
    };
    ASSERT_TRUE(WaitFor(drained)) << talvod.Log();
    // The rest of the day, while it runs.
    want.Queue(a, "north", 1, 20);
    want.Queue(a, "north", 3, 9);
    want.Queue(b, "south", 4, 17, true);
    ASSERT_TRUE(WaitFor(drained)) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "rejected") == want.rejected; })) << talvod.Log();

    // Every record once, with its line, terminal, card, amount and time.
    EXPECT_EQ(Stored(*db), want.records);
    EXPECT_EQ(AsInt(db->Query("SELECT SUM(records) + SUM(rejected) FROM batches", {}).at(0).at(0)),
              static_cast<std::int64_t>(want.records.size()) + want.rejected);
    // Each batch is whole: at most six raw records of 28 characters.
    for (const auto& r : db->Query("SELECT raw, records, rejected FROM batches", {})) {
        EXPECT_EQ(AsText(r[0]).size(), 28u * (AsInt(r[1]) + AsInt(r[2])));
        EXPECT_LE(AsInt(r[1]) + AsInt(r[2]), 6);
    }

    // The page's numbers: takings per hour today, terminals and their state.
    const HttpResult hours = HttpGet(port, "/api/totals?by=hour&day=" + Today().Date());
    ASSERT_EQ(hours.status, 200) << hours.body;
    std::map<std::string, std::int64_t> takings;
    const auto hourTotals = nlohmann::json::parse(hours.body);
    for (const auto& t : hourTotals["totals"]) {
        if (t["takings_cents"] != 0) takings[t["key"]] = t["takings_cents"];
    }
    EXPECT_EQ(takings, want.takingsByHour) << hours.body;
    ASSERT_TRUE(WaitFor([&] {
        const auto t = nlohmann::json::parse(HttpGet(port, "/api/terminals").body)["terminals"];
        int up = 0;
        for (const auto& one : t) up += one["state"] == "up" ? 1 : 0;
        return t.size() == 6 && up == 5;
    })) << HttpGet(port, "/api/terminals").body;
    const auto silent = db->Query("SELECT state, last_error, down_since FROM terminals WHERE line = 'south' AND number = 9", {});
    EXPECT_EQ(AsText(silent.at(0)[0]), "down");
    EXPECT_EQ(AsInt(silent[0][1]), -3);  // TALVO_E_NO_REPLY
    EXPECT_FALSE(AsText(silent[0][2]).empty());
    // The silent terminal sits out its back-off instead of costing every
    // cycle its time-outs: asked far less often than its neighbour.
    EXPECT_LT(b.RequestsFor(9) * 2, b.RequestsFor(1));

    // The clocks were set at the start (payment and attendance).
    EXPECT_EQ(a.Ok("get 1 clock").size(), 10u);
    EXPECT_EQ(a.Ok("get 3 aclock").size(), 14u);
    const std::string jobs = HttpGet(port, "/api/jobs").body;
    for (const char* job : {"\"job\":\"collect\"", "\"job\":\"status\"", "\"job\":\"clock\""}) {
        EXPECT_NE(jobs.find(job), std::string::npos) << jobs;
    }

    // `talvod db` reads the same database, and `talvo db` runs it: the
    // output, the messages (in talvo's name) and the exit status come
    // through as talvod gives them.
    std::string out, err;
    ASSERT_EQ(RunProgram({TALVO_CLI_PATH, "db", "--database", database, "records", "--line", "north", "--terminal",
                          "1", "--csv"},
                         out, err, {}),
              0)
        << err;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 60);
    EXPECT_TRUE(err.empty()) << err;
    // The database named after the query, as the packages' test and
    // scripts write it.
    std::string before;
    ASSERT_EQ(RunProgram({TALVO_CLI_PATH, "db", "--database", database, "records", "--csv"}, before, err, {}), 0) << err;
    ASSERT_EQ(RunProgram({TALVO_CLI_PATH, "db", "records", "--database", database, "--csv"}, out, err, {}), 0) << err;
    EXPECT_GT(std::count(out.begin(), out.end(), '\n'), 1 + 60);
    EXPECT_EQ(out, before);
    ASSERT_EQ(RunProgram({TALVOD_PATH, "db", "--database", database, "totals", "--by", "line"}, out), 0) << out;
    EXPECT_NE(out.find("north"), std::string::npos) << out;
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "db", "--database", database, "records", "--card", "x' or 1=1"}, out, err, {}), 2);
    EXPECT_EQ(err, "talvo: card: 1 to 6 letters or digits\n") << err;
    EXPECT_TRUE(out.empty()) << out;
    EXPECT_EQ(RunProgram({TALVOD_PATH, "db", "--database", database, "records", "--card", "x' or 1=1"}, out, err, {}), 2);
    EXPECT_EQ(err, "talvod: card: 1 to 6 letters or digits\n") << err;

    talvod.Signal(SIGTERM);
    const int status = talvod.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
    EXPECT_EQ(talvod.Count("info stopped"), 1) << talvod.Log();
    EXPECT_EQ(talvod.Count(" error "), 0) << talvod.Log();
}

INSTANTIATE_TEST_SUITE_P(Backends, Collection, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

// A line's terminals collected together: a batch of each in one commit,
// then each confirmed.
class CollectionTogether : public Collection {
protected:
    // The database's failures the service counted on line "north".
    static int Failures(int port) {
        const std::string key = "talvod_database_failures_total{line=\"north\"} ";
        const HttpResult m = HttpGet(port, "/metrics");
        const std::size_t at = m.body.find(key);
        return at == std::string::npos ? 0 : std::atoi(m.body.c_str() + at + key.size());
    }
};

// Terminal 2's batch refused by the database (on PostgreSQL at the COMMIT
// itself): the batches of terminals 1 and 3 in the same commit are not
// confirmed either, round after round; once the database takes them, every
// record is stored once.
TEST_P(CollectionTogether, FailedCommitConfirmsNoneOfItsBatches) {
    const bool postgres = GetParam() == "postgres";
    SimLine a(dir / "ttyA");
    for (int t = 1; t <= 3; ++t) a.Ok("add " + std::to_string(t));
    {
        auto db = service::Open(database);
        service::Migrate(*db);
        db->Exec(postgres ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'disk full'; "
                            "END $$ LANGUAGE plpgsql;"
                            "CREATE CONSTRAINT TRIGGER refuse AFTER INSERT ON records DEFERRABLE INITIALLY DEFERRED "
                            "FOR EACH ROW WHEN (NEW.terminal = 2) EXECUTE FUNCTION refuse()"
                          : "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.terminal = 2 BEGIN "
                            "SELECT RAISE(ABORT, 'disk full'); END");
    }
    WriteText(dir / "talvod.toml", ConfigText(database, kFastJobs, {LineBlock("north", a.link(), {"1", "2", "3"})}));
    Expected want;
    for (int t = 1; t <= 3; ++t) want.Queue(a, "north", t, 8);
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log", {}, {"--log-level", "debug"});
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Failures(port) >= 3; })) << talvod.Log();
    auto db = service::Open(database);
    EXPECT_EQ(a.Held(1), 8);
    EXPECT_EQ(a.Held(2), 8);
    EXPECT_EQ(a.Held(3), 8);
    EXPECT_EQ(Count(*db, "records"), 0);
    EXPECT_EQ(talvod.Count("batch-committed"), 0) << talvod.Log();

    db->Exec(postgres ? "DROP TRIGGER refuse ON records" : "DROP TRIGGER refuse");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) + a.Held(2) + a.Held(3) == 0; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "records") == 24; })) << talvod.Log();
    EXPECT_EQ(Stored(*db), want.records);
    EXPECT_EQ(Count(*db, "batches"), 6);
    EXPECT_EQ(talvod.Count("batch-replayed"), 0) << talvod.Log();
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// Terminal 2 does not take its confirmation (it answers with another mark)
// while terminals 1 and 3, committed with it, take theirs: terminal 2's
// batch comes again and is recognised, and the others go on as confirmed.
// Their batches are equal one after the other (the same purchase, one
// record a batch), so a replay check wrongly made for them would lose
// records.
TEST_P(CollectionTogether, OneMissedConfirmationReplaysThatTerminalAlone) {
    SimLine a(dir / "ttyA");
    std::multiset<std::string> want;
    for (int t = 1; t <= 3; ++t) {
        a.Ok("add " + std::to_string(t));
        if (t != 2) a.Ok("set " + std::to_string(t) + " batch 1");
        for (int i = 0; i < (t == 2 ? 4 : 3); ++i) {
            RawRecord r;
            r.card = std::to_string(230000 + (t == 2 ? i : t));
            a.Ok("record " + std::to_string(t) + " seal " + r.Text());
        }
    }
    a.Ok("fault 47 wrongmark skip=1");  // the second confirmation of the first round: terminal 2's
    WriteText(dir / "talvod.toml", ConfigText(database, kFastJobs, {LineBlock("north", a.link(), {"1", "2", "3"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log", {}, {"--log-level", "debug"});
    auto db = service::Open(database);
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) + a.Held(2) + a.Held(3) == 0; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "records") == 10; })) << talvod.Log();
    std::map<std::int64_t, std::int64_t> batches, records;
    for (const auto& r : db->Query("SELECT terminal, COUNT(*), SUM(records) FROM batches GROUP BY terminal", {})) {
        batches[AsInt(r[0])] = AsInt(r[1]);
        records[AsInt(r[0])] = AsInt(r[2]);
    }
    EXPECT_EQ(batches, (std::map<std::int64_t, std::int64_t>{{1, 3}, {2, 1}, {3, 3}}));
    EXPECT_EQ(records, (std::map<std::int64_t, std::int64_t>{{1, 3}, {2, 4}, {3, 3}}));
    EXPECT_EQ(talvod.Count("batch-unconfirmed line=north terminal=2 "), 1) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-unconfirmed"), 1) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-replayed line=north terminal=2 "), 1) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-replayed"), 1) << talvod.Log();
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

INSTANTIATE_TEST_SUITE_P(Backends, CollectionTogether, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

class CollectionFaults : public ::testing::Test {
protected:
    TempDir dir;
};

// The device of one line goes away: that line's terminals show as down, the
// other line goes on, and the line comes back by itself with its device.
TEST_F(CollectionFaults, DeviceUnpluggedAndBack) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    b.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kFastJobs,
                                              {LineBlock("north", a.link(), {"1"}), LineBlock("south", b.link(), {"1"})}));
    Expected want;
    want.Queue(a, "north", 1, 5);
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    auto db = service::Open(dir / "talvod.db");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0; })) << talvod.Log();

    a.Ok("fault any close");  // the next request finds the device gone
    auto state = [&](const char* line) {
        const auto r = db->Query("SELECT state FROM terminals WHERE line = ?", {std::string(line)});
        return r.empty() ? std::string() : AsText(r[0][0]);
    };
    ASSERT_TRUE(WaitFor([&] { return state("north") == "down"; })) << talvod.Log();
    want.Queue(b, "south", 1, 12);
    ASSERT_TRUE(WaitFor([&] { return b.Held(1) == 0; })) << talvod.Log();
    EXPECT_EQ(state("south"), "up");

    want.Queue(a, "north", 1, 8);  // waits on the unplugged terminal
    a.Ok("reopen");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0 && state("north") == "up"; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "records") == static_cast<std::int64_t>(want.records.size()); }));
    EXPECT_EQ(Stored(*db), want.records);
    EXPECT_GE(talvod.Count("terminal-down line=north"), 1) << talvod.Log();
    EXPECT_GE(talvod.Count("terminal-up line=north"), 1) << talvod.Log();
}

// SIGTERM between a batch's commit and its confirmation: the batch is
// confirmed before the process ends, so the terminal does not hand it over
// again.  The confirmation is held back until the service has taken the
// signal.
TEST_F(CollectionFaults, TermFinishesTheBatchInHand) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kFastJobs, {LineBlock("north", a.link(), {"1"})}));
    Expected want;
    want.Queue(a, "north", 1, 15);
    const std::string release = dir / "release";
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log", ConfirmGate("hold=" + release), {"--log-level", "debug"});
    ASSERT_TRUE(WaitFor([&] { return talvod.Count("batch-committed") == 1; })) << talvod.Log();
    talvod.Signal(SIGTERM);
    ASSERT_TRUE(WaitFor([&] { return talvod.Count("info stopping") == 1; })) << talvod.Log();
    WriteText(release, "");
    const int status = talvod.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
    // The batch in hand is confirmed and the line stops: not all three
    // batches (one more only if the line had not yet heard of the signal
    // when its confirmation was through), each one committed confirmed.
    const int committed = talvod.Count("batch-committed");
    EXPECT_GE(committed, 1);
    EXPECT_LE(committed, 2) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-stored"), committed) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-unconfirmed"), 0) << talvod.Log();
    EXPECT_EQ(a.Held(1), 15 - 6 * committed);
    auto db = service::Open(dir / "talvod.db");
    EXPECT_EQ(Count(*db, "records"), 6 * committed);
}

// A confirmation the terminal does not take (it answers with another mark),
// and the batch handed again under a new mark: one batch in the database,
// confirmed the second time with the mark it came with.
TEST_F(CollectionFaults, BatchMarkedAnewIsStoredOnce) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kFastJobs, {LineBlock("north", a.link(), {"1"})}));
    Expected want;
    want.Queue(a, "north", 1, 4);
    a.Ok("fault 47 wrongmark");
    a.Ok("fault 37 remark skip=1");
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    auto db = service::Open(dir / "talvod.db");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0; })) << talvod.Log();
    EXPECT_EQ(Stored(*db), want.records);
    EXPECT_EQ(Count(*db, "batches"), 1);
    EXPECT_EQ(talvod.Count("batch-unconfirmed"), 1) << talvod.Log();
    EXPECT_EQ(talvod.Count("batch-replayed"), 1) << talvod.Log();
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// The same purchase three times in one minute, each collected on its own:
// three batches with equal records, each confirmed, each stored.
TEST_F(CollectionFaults, EqualBatchesAfterConfirmedOnesAreStored) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("set 1 batch 1");
    RawRecord r;
    for (int i = 0; i < 3; ++i) a.Ok("record 1 seal " + r.Text());
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kFastJobs, {LineBlock("north", a.link(), {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    auto db = service::Open(dir / "talvod.db");
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0; })) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "records") == 3; })) << talvod.Log();
    EXPECT_EQ(Count(*db, "batches"), 3);
    EXPECT_EQ(talvod.Count("batch-replayed"), 0) << talvod.Log();
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// SIGHUP: a terminal and a line added to the file are collected, a line
// taken out stops, and the interface tells the lines of the file in force;
// a broken file is refused and the service goes on with the one it had.
TEST_F(CollectionFaults, HangupReloads) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    a.Ok("add 2");
    b.Ok("add 1");
    const std::string config = dir / "talvod.toml";
    WriteText(config, ConfigText(dir / "talvod.db", kFastJobs, {LineBlock("north", a.link(), {"1"})}));
    Expected want;
    want.Queue(a, "north", 1, 3);
    want.Queue(a, "north", 2, 4);
    Talvod talvod(config, dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    auto lines = [&] {
        const HttpResult r = HttpGet(port, "/api/site");
        EXPECT_EQ(r.status, 200) << r.body;
        return r.status == 200 ? nlohmann::json::parse(r.body)["lines"].get<std::vector<std::string>>()
                               : std::vector<std::string>{"<no answer>"};
    };
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) == 0; })) << talvod.Log();
    EXPECT_EQ(a.Held(2), 4);
    EXPECT_EQ(lines(), std::vector<std::string>({"north"}));
    // Without a token in the file, nobody may make it collect.
    EXPECT_EQ(HttpPost(port, "/api/terminals/north/2/collect").status, 403);

    WriteText(config, ConfigText(dir / "talvod.db", kFastJobs,
                                 {LineBlock("north", a.link(), {"1", "2"}), LineBlock("south", b.link(), {"1"})}));
    want.Queue(b, "south", 1, 3);
    talvod.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return a.Held(2) == 0 && b.Held(1) == 0; })) << talvod.Log();
    EXPECT_EQ(lines(), std::vector<std::string>({"north", "south"}));

    WriteText(config, "[[line]]\nname = \"north\"\n");
    talvod.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return talvod.Count("reload-refused") >= 1; })) << talvod.Log();
    EXPECT_NE(talvod.Log().find("has no device"), std::string::npos);
    want.Queue(a, "north", 2, 2);
    ASSERT_TRUE(WaitFor([&] { return a.Held(2) == 0; })) << talvod.Log();
    EXPECT_TRUE(talvod.Running());
    EXPECT_EQ(lines(), std::vector<std::string>({"north", "south"}));

    WriteText(config, ConfigText(dir / "talvod.db", kFastJobs, {LineBlock("south", b.link(), {"1"})}));
    const int stops = talvod.Count("line-stop line=north");
    talvod.Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return talvod.Count(" reloaded ") == 2; })) << talvod.Log();
    EXPECT_EQ(talvod.Count("line-stop line=north"), stops + 1) << talvod.Log();
    EXPECT_EQ(lines(), std::vector<std::string>({"south"}));
    want.Queue(b, "south", 1, 1);
    ASSERT_TRUE(WaitFor([&] { return b.Held(1) == 0; })) << talvod.Log();

    auto db = service::Open(dir / "talvod.db");
    ASSERT_TRUE(WaitFor([&] { return Count(*db, "records") == 13; }));
    EXPECT_EQ(Stored(*db), want.records);
}


// The fields of a CSV line (RFC 4180), without its line end.
std::vector<std::string> CsvFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else if (quoted || (c != '\r' && c != '\n')) {
            fields.back() += c;
        }
    }
    return fields;
}

// What a terminal sent and what a site named stay in their CSV fields, a
// quote or a comma in them too.
TEST(CollectionDb, CsvKeepsQuotesAndCommasInTheirFields) {
    TempDir dir;
    const std::string database = dir / "talvod.db";
    const std::string raw = "12\"4,6\"\"" + std::string(20, 'r');  // 28 bytes, as a damaged record came
    {
        auto db = service::Open(database);
        service::Migrate(*db);
        service::Batch b;
        b.line = "hall";
        b.terminal = 3;
        b.mark = 7;
        b.raw = raw;
        b.rejected.push_back(service::RejectedRaw{0, raw, "damaged: the check pair does not match"});
        ASSERT_EQ(service::StoreBatch(*db, b, "pc1", {}), service::StoreOutcome::kStored);
        service::TerminalState t;
        t.line = "hall";
        t.number = 3;
        t.kind = "payment";
        t.name = "Till \"A\", by the door";
        t.state = "up";
        service::SaveTerminal(*db, t, "pc1");
    }
    std::string out, err;
    ASSERT_EQ(RunProgram({TALVOD_PATH, "db", "--database", database, "rejected", "--csv"}, out, err, {}), 0) << err;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at);
        lines.push_back(out.substr(at, end - at));
        at = end == std::string::npos ? out.size() : end + 1;
    }
    ASSERT_EQ(lines.size(), 2u) << out;
    std::vector<std::string> fields = CsvFields(lines[1]);
    ASSERT_EQ(fields.size(), 6u) << lines[1];
    EXPECT_EQ(fields[3], raw);
    EXPECT_EQ(fields[4], "damaged: the check pair does not match");

    ASSERT_EQ(RunProgram({TALVOD_PATH, "db", "--database", database, "terminals", "--csv"}, out, err, {}), 0) << err;
    const std::size_t second = out.find('\n') + 1;
    fields = CsvFields(out.substr(second));
    ASSERT_EQ(fields.size(), 8u) << out;
    EXPECT_EQ(fields[3], "Till \"A\", by the door");
    EXPECT_EQ(fields[4], "up");
}

}  // namespace
}  // namespace talvo::test
