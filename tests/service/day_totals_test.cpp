// The per-day totals kept beside the records: after collections, batches
// handed over again, failed transactions, writers at once and the migration
// of a database that already holds records, they say what a count over the
// records says, and the totals read from them match the totals read from
// the records.
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "harness.h"
#include "db/queries.h"
#include "db/replay.h"
#include "db/store.h"

// (A lines-only host: TALVO_LINES_ONLY_HOST is in store_test.cpp.)

namespace talvo::test {
namespace {

using namespace service;

class DayTotals : public BackendDatabase {
protected:

    // `n` records of terminal `terminal` on `line`: types, days and hours
    // vary with `seed` and the position.
    static Batch Make(const std::string& line, int terminal, int mark, int n, int seed) {
        Batch b;
        b.line = line;
        b.terminal = terminal;
        b.mark = mark;
        for (int i = 0; i < n; ++i) {
            Record r;
            r.terminal = terminal;
            r.card = std::to_string(100000 + seed * 7 + i);
            const int kind = (seed + i) % 5;
            r.type = kind == 0 ? 13 : kind == 1 ? 14 : 5;
            r.amountCents = r.type == 5 ? -(100 + seed * 3 + i) : 1000 + i;
            r.year = 2026;
            r.month = 3;
            r.day = 1 + (seed + i / 3) % 4;  // a batch can span days
            r.hour = 6 + (seed + i) % 12;
            r.minute = (seed * 13 + i) % 60;
            b.records.push_back(r);
            char raw[64];  // 28 characters, as a terminal hands a record over
            std::snprintf(raw, sizeof raw, "%s%08d%02d%02d00000000XX", r.card.c_str(), seed * 100 + i, r.day, r.hour);
            b.raw += raw;
        }
        return b;
    }

    // day|line|terminal|type -> count and sum, read from `table` the way
    // `sql` groups it.
    std::map<std::string, std::pair<std::int64_t, std::int64_t>> Grouped(const std::string& sql) {
        std::map<std::string, std::pair<std::int64_t, std::int64_t>> out;
        for (const Row& r : db->Query(sql)) {
            out[AsText(r[0]) + "|" + AsText(r[1]) + "|" + AsText(r[2]) + "|" + AsText(r[3])] = {AsInt(r[4]), AsInt(r[5])};
        }
        return out;
    }

    // The day totals against a count over every record.
    void ExpectTotalsMatchRecords() {
        const auto counted = Grouped(
            "SELECT day, line, terminal, type, COUNT(*), SUM(amount_cents) FROM records GROUP BY day, line, terminal, type");
        const auto kept = Grouped("SELECT day, line, terminal, type, records, sum_cents FROM day_totals");
        EXPECT_EQ(kept, counted);
        const auto perHour = Grouped(
            "SELECT day || ' ' || substr(at, 12, 2), line, terminal, type, COUNT(*), SUM(amount_cents) FROM records"
            " GROUP BY day, substr(at, 12, 2), line, terminal, type");
        const auto keptPerHour =
            Grouped("SELECT day || ' ' || hour, line, terminal, type, records, sum_cents FROM hour_totals");
        EXPECT_EQ(keptPerHour, perHour);
    }

    // Terminal 2 of "hall" on the terminal list of 2026-03-02: its count of
    // the day, checked against the records; that count.
    std::int64_t ExpectTodayCountMatchesRecords() {
        TerminalState t;
        t.line = "hall";
        t.number = 2;
        t.kind = "payment";
        t.name = "Till";
        SaveTerminal(*db, t, "pc1");
        const auto rows = ListTerminals(*db, "2026-03-02");
        if (rows.size() != 1) {
            ADD_FAILURE() << rows.size() << " terminals listed";
            return 0;
        }
        EXPECT_EQ(rows[0].recordsToday,
                  AsInt(db->Query("SELECT COUNT(*) FROM records WHERE line = 'hall' AND terminal = 2 AND day = '2026-03-02'")
                            .at(0)
                            .at(0)));
        return rows[0].recordsToday;
    }
};

// Each grouping and whole-day filter read from the totals gives what the
// records give; filters the totals cannot answer (a card, a time within a
// day) still read the records.
TEST_P(DayTotals, KeptWithEveryBatchAndReadLikeTheRecords) {
    int mark = 0;
    for (int seed = 0; seed < 12; ++seed) {
        const std::string line = seed % 3 == 0 ? "yard" : "hall";
        const Batch b = Make(line, 1 + seed % 4, ++mark, 1 + seed % 6, seed);
        ASSERT_EQ(StoreBatch(*db, b, "pc1", RepeatsCommitted), StoreOutcome::kStored);
        // Handed over again (its confirmation lost): counted once.
        ASSERT_EQ(StoreBatch(*db, b, "pc1", RepeatsCommitted), StoreOutcome::kReplayed);
    }
    // More records than one statement takes.
    ASSERT_EQ(StoreBatch(*db, Make("hall", 9, ++mark, 130, 40), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(DISTINCT position) FROM records WHERE terminal = 9").at(0).at(0)), 130);
    ExpectTotalsMatchRecords();

    // What the totals give against the same query over the records alone.
    auto fromRecords = [&](const std::string& key, const std::string& where, const std::vector<Value>& params) {
        std::vector<Total> out;
        for (const Row& r : db->Query("SELECT " + key + " AS k, COUNT(*), SUM(amount_cents),"
                                      " SUM(CASE WHEN type = 5 THEN -amount_cents ELSE 0 END) FROM records" + where +
                                      " GROUP BY k ORDER BY k",
                                      params)) {
            out.push_back(Total{AsText(r[0]), AsInt(r[1]), AsInt(r[2]), AsInt(r[3])});
        }
        return out;
    };
    auto same = [](const std::vector<Total>& a, const std::vector<Total>& b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (a[i].key != b[i].key || a[i].count != b[i].count || a[i].sumCents != b[i].sumCents ||
                a[i].takingsCents != b[i].takingsCents) {
                return false;
            }
        }
        return true;
    };
    const std::map<std::string, std::string> keys = {{"day", "day"},
                                                     {"terminal", "line || ':' || CAST(terminal AS TEXT)"},
                                                     {"line", "line"},
                                                     {"type", "CAST(type AS TEXT)"},
                                                     {"hour", "substr(at, 12, 2)"}};
    struct Case {
        std::multimap<std::string, std::string> params;
        std::string where;
        std::vector<Value> values;
    };
    const std::vector<Case> cases = {
        {{}, "", {}},
        {{{"line", "hall"}}, " WHERE line = ?", {"hall"}},
        {{{"line", "yard"}, {"terminal", "1"}}, " WHERE line = ? AND terminal = ?", {"yard", std::int64_t{1}}},
        {{{"type", "payment"}}, " WHERE type = 5", {}},
        {{{"from", "2026-03-02"}, {"to", "2026-03-03"}}, " WHERE day >= '2026-03-02' AND day <= '2026-03-03'", {}},
        {{{"day", "2026-03-04"}}, " WHERE day = '2026-03-04'", {}},
        {{{"from", "2026-03-02 00:00"}, {"to", "2026-03-02 23:59"}}, " WHERE day = '2026-03-02'", {}},
        // Not whole days, and a card: the records answer.
        {{{"from", "2026-03-02 10:00"}, {"to", "2026-03-03 09:30"}},
         " WHERE at >= '2026-03-02 10:00' AND at <= '2026-03-03 09:30'",
         {}},
        {{{"card", "100007"}}, " WHERE card = '100007'", {}},
        {{{"line", "nowhere"}}, " WHERE line = 'nowhere'", {}},
    };
    const std::vector<std::string> allowed = {"line", "terminal", "card", "type", "from", "to", "day"};
    for (const Case& c : cases) {
        RecordFilter f;
        std::string error;
        ASSERT_TRUE(ParseFilter(c.params, allowed, f, error)) << error;
        for (const auto& [by, key] : keys) {
            const auto expected = fromRecords(key, c.where, c.values);
            EXPECT_TRUE(same(Totals(*db, by, f), expected)) << "by " << by << c.where;
        }
        std::int64_t count = 0;
        for (const Total& t : fromRecords("line", c.where, c.values)) count += t.count;
        f.limit = 5;
        EXPECT_EQ(ListRecords(*db, f).total, count) << c.where;
    }

    // Today's count per terminal on the terminal list.
    EXPECT_GT(ExpectTodayCountMatchesRecords(), 0);
}

// A batch the database refuses half-way adds nothing to the totals; handed
// over again, it adds its records once.
TEST_P(DayTotals, FailedBatchAddsNothing) {
    ASSERT_EQ(StoreBatch(*db, Make("hall", 1, 1, 4, 1), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    const Batch b = Make("hall", 1, 2, 5, 2);
    db->Exec(GetParam() == "postgres"
                 ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'disk full'; END $$"
                   " LANGUAGE plpgsql;"
                   "CREATE TRIGGER refuse BEFORE INSERT ON rejected FOR EACH ROW EXECUTE FUNCTION refuse()"
                 : "CREATE TRIGGER refuse BEFORE INSERT ON rejected BEGIN SELECT RAISE(ABORT, 'disk full'); END");
    Batch withRejected = b;
    withRejected.rejected.push_back(RejectedRaw{5, "garbage", "bad check digit"});
    withRejected.raw += "9999990000000000000000000XX?";
    EXPECT_THROW(StoreBatch(*db, withRejected, "pc1", RepeatsCommitted), DbError);
    ExpectTotalsMatchRecords();
    EXPECT_EQ(AsInt(db->Query("SELECT SUM(records) FROM day_totals").at(0).at(0)), 4);
    db->Exec("DROP TRIGGER refuse" + std::string(GetParam() == "postgres" ? " ON rejected" : ""));
    EXPECT_EQ(StoreBatch(*db, withRejected, "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatch(*db, withRejected, "pc1", RepeatsCommitted), StoreOutcome::kReplayed);
    ExpectTotalsMatchRecords();
    EXPECT_EQ(AsInt(db->Query("SELECT SUM(records) FROM day_totals").at(0).at(0)), 9);
}

// Writers on their own connections adding to the same day's rows at once
// (PostgreSQL: rows inserted by one and updated by the other) lose nothing.
TEST_P(DayTotals, WritersAtOnceLoseNothing) {
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&, w] {
            try {
                auto c = Open(target);
                for (int i = 0; i < 15; ++i) StoreBatch(*c, Make("hall", 1 + w % 2, i, 6, i), "pc1", {});
            } catch (const DbError& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (auto& t : writers) t.join();
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records").at(0).at(0)), 4 * 15 * 6);
    ExpectTotalsMatchRecords();
}

// A database written before the totals existed: the migration fills them
// from its records, and batches stored afterwards add to them.
TEST_P(DayTotals, MigrationFillsThemFromTheRecords) {
    for (int seed = 0; seed < 8; ++seed) StoreBatch(*db, Make(seed % 2 ? "hall" : "yard", 1 + seed % 3, seed, 6, seed), "pc1", {});
    // Back to the schema before the totals (their step is the sixth, the
    // audit's outcome the seventh, the records' commit numbers the eighth,
    // the cardholders the ninth, the alerts the tenth).
    db->Exec("DROP TABLE cardholders");
    db->Exec("DROP TABLE alerts");
    db->Exec("DROP TABLE day_totals");
    db->Exec("DROP TABLE hour_totals");
    db->Exec("ALTER TABLE audit DROP COLUMN outcome");
    db->Exec("DROP INDEX records_seq");
    db->Exec("ALTER TABLE records DROP COLUMN seq");
    db->Exec("DROP TABLE record_sequence");
    db->Query("UPDATE talvo_schema SET version = ?", {static_cast<std::int64_t>(5)});
    // Read before the migration (as `talvo db` reads): from the records.
    RecordFilter all;
    std::int64_t counted = 0;
    for (const Total& t : Totals(*db, "terminal", all)) counted += t.count;
    EXPECT_EQ(counted, 48);
    EXPECT_EQ(ListRecords(*db, all).total, 48);
    ExpectTodayCountMatchesRecords();
    auto other = Open(target);
    EXPECT_EQ(Migrate(*other), SchemaVersion());
    ExpectTotalsMatchRecords();
    EXPECT_EQ(AsInt(db->Query("SELECT SUM(records) FROM day_totals").at(0).at(0)), 48);
    EXPECT_EQ(StoreBatch(*other, Make("hall", 1, 99, 6, 30), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    ExpectTotalsMatchRecords();
    EXPECT_EQ(AsInt(db->Query("SELECT SUM(records) FROM day_totals").at(0).at(0)), 54);
    // The records stored before have their numbers; those after come above.
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records WHERE seq IS NULL").at(0).at(0)), 0);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(DISTINCT seq) FROM records").at(0).at(0)), 54);
    EXPECT_GT(AsInt(db->Query("SELECT MIN(seq) FROM records WHERE batch_id = (SELECT MAX(batch_id) FROM records)")
                        .at(0)
                        .at(0)),
              AsInt(db->Query("SELECT MAX(seq) FROM records WHERE batch_id < (SELECT MAX(batch_id) FROM records)")
                        .at(0)
                        .at(0)));
    // An empty database migrates to empty totals.
    const std::string fresh = DatabaseFor(GetParam(), dir) + (GetParam() == "sqlite" ? "2" : "");
    auto empty = Open(fresh);
    Migrate(*empty);
    EXPECT_EQ(AsInt(empty->Query("SELECT COUNT(*) FROM day_totals").at(0).at(0)), 0);
    EXPECT_EQ(AsInt(empty->Query("SELECT COUNT(*) FROM hour_totals").at(0).at(0)), 0);
}

// PostgreSQL: statements prepared on a connection that was lost are
// prepared again on the next one.
TEST_P(DayTotals, StoreAfterTheServerRestarted) {
    if (GetParam() != "postgres") GTEST_SKIP() << "PostgreSQL's prepared statements";
    ASSERT_EQ(StoreBatch(*db, Make("hall", 1, 1, 6, 1), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    Postgres::Get()->Crash();
    Postgres::Get()->Start();
    EXPECT_THROW(StoreBatch(*db, Make("hall", 1, 2, 6, 2), "pc1", RepeatsCommitted), DbError);
    db = Open(target);
    EXPECT_EQ(StoreBatch(*db, Make("hall", 1, 2, 6, 2), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatch(*db, Make("hall", 1, 3, 6, 3), "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records").at(0).at(0)), 18);
    ExpectTotalsMatchRecords();
}

INSTANTIATE_TEST_SUITE_P(Backends, DayTotals, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
