// The batch store on a real SQLite file and a real PostgreSQL server: a
// batch is stored once, a batch handed over again after a lost
// confirmation is recognised (by the library's rule), and the schema is
// migrated once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "harness.h"
#include "values.h"
#include "db/queries.h"
#include "db/replay.h"
#include "db/store.h"

// The library is linked for its rule of "the same batch": it must not open
// a port of its own.
TALVO_LINES_ONLY_HOST;

namespace talvo::test {
namespace {

using namespace service;

class Store : public BackendDatabase {
protected:

    static Batch MakeBatch(const std::string& line, int terminal, int mark, const std::string& card, int n = 2) {
        Batch b;
        b.line = line;
        b.terminal = terminal;
        b.mark = mark;
        for (int i = 0; i < n; ++i) {
            Record r;
            r.terminal = terminal;
            r.card = card;
            r.type = 5;
            r.amountCents = -(100 + i);
            r.year = 2026;
            r.month = 3;
            r.day = 14;
            r.hour = 9;
            r.minute = i;
            b.records.push_back(r);
            b.raw += card + "0001000313090" + std::to_string(i) + "000000XX";
        }
        return b;
    }

    std::int64_t Count(const std::string& table) {
        return AsInt(db->Query("SELECT COUNT(*) FROM " + table, {}).at(0).at(0));
    }

};

TEST_P(Store, ReplayedBatchIsStoredOnce) {
    const RepeatCheck check = RepeatsCommitted;
    const Batch a = MakeBatch("hall", 1, 0x0101, "100001");
    EXPECT_EQ(StoreBatch(*db, a, "pc1", check), StoreOutcome::kStored);
    // The terminal hands the same batch over again (its confirmation was
    // lost): recognised, nothing written.  Marked anew it is the same batch.
    EXPECT_EQ(StoreBatch(*db, a, "pc1", check), StoreOutcome::kReplayed);
    Batch remarked = a;
    remarked.mark = 0x0102;
    EXPECT_EQ(StoreBatch(*db, remarked, "pc1", check), StoreOutcome::kReplayed);
    EXPECT_EQ(Count("records"), 2);
    EXPECT_EQ(Count("batches"), 1);

    // Other records under the same mark, the same records on another
    // terminal or line, fewer of them: new batches.
    EXPECT_EQ(StoreBatch(*db, MakeBatch("hall", 1, 0x0101, "100002"), "pc1", check), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatch(*db, MakeBatch("hall", 2, 0x0101, "100002"), "pc1", check), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatch(*db, MakeBatch("yard", 1, 0x0101, "100002"), "pc1", check), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatch(*db, MakeBatch("hall", 1, 0x0102, "100002", 1), "pc1", check), StoreOutcome::kStored);
    // Only the last committed batch counts: a terminal never hands back one
    // it has cleared, so an older equal batch is a new one.
    EXPECT_EQ(StoreBatch(*db, a, "pc1", check), StoreOutcome::kStored);
    // Without the check (the last batch was confirmed) an equal batch is a
    // new one too.
    EXPECT_EQ(StoreBatch(*db, a, "pc1", {}), StoreOutcome::kStored);
    EXPECT_EQ(Count("batches"), 7);
    EXPECT_EQ(Count("records"), 13);
}

// The raw text as the service writes it (\xHH for what is not printable)
// read back byte for byte; a text that does not hold its records whole
// never matches.
TEST(Replay, RawTextReadBackByteForByte) {
    talvo_batch b;
    // \x00, ABC, \x5C (a backslash), "x41", 18 r, and a "\x" that ends the text.
    const std::string text = "\\x00ABC\\x5Cx41" + std::string(18, 'r') + "\\x";
    ASSERT_TRUE(BatchFromText(3, 7, 1, text, b));
    EXPECT_EQ(std::string(b.raw[0], 28), std::string("\0ABC\\x41", 8) + std::string(18, 'r') + "\\x");
    EXPECT_EQ(b.terminal, 3);
    EXPECT_EQ(b.count, 1);
    EXPECT_FALSE(BatchFromText(3, 7, 2, text, b)) << "two records announced, one held";
    EXPECT_FALSE(BatchFromText(3, 7, 7, std::string(7 * 28, 'r'), b));
    EXPECT_TRUE(BatchFromText(3, 7, 0, "", b));

    Batch fetched;
    fetched.terminal = 3;
    fetched.rejected.push_back(RejectedRaw{0, text, "damaged"});
    fetched.raw = text;
    CommittedBatch committed{3, 9, 1, text};
    EXPECT_TRUE(RepeatsCommitted(fetched, committed));
    committed.raw = text.substr(0, 20);  // cut short
    EXPECT_FALSE(RepeatsCommitted(fetched, committed));
}

TEST_P(Store, RejectedRecordsAndHostileTextKeptVerbatim) {
    Batch b = MakeBatch("hall", 3, 7, "1'--;X", 1);
    b.records[0].card = "1'--;X";
    const std::string hostile = "');DROP TABLE records;--\\x00abc";  // 28 bytes
    b.rejected.push_back(RejectedRaw{1, hostile, "damaged: the check pair does not match"});
    b.raw += hostile;
    ASSERT_EQ(StoreBatch(*db, b, "pc1", RepeatsCommitted), StoreOutcome::kStored);
    ASSERT_EQ(StoreBatch(*db, b, "pc1", RepeatsCommitted), StoreOutcome::kReplayed);
    RecordFilter all;
    const RecordPage page = ListRecords(*db, all);
    ASSERT_EQ(page.total, 1);
    EXPECT_EQ(page.rows[0].card, "1'--;X");
    const auto rejected = ListRejected(*db, all);
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].raw, hostile);
    EXPECT_EQ(rejected[0].terminal, 3);
    EXPECT_EQ(rejected[0].batch, page.rows[0].batch);
}

TEST_P(Store, FailedTransactionLeavesNothing) {
    // A batch whose second record the database refuses (a trigger stands
    // in for a full disk): nothing of the batch remains.
    Batch b = MakeBatch("hall", 1, 9, "100001", 3);
    db->Exec(GetParam() == "postgres"
                 ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.position = 1 THEN RAISE EXCEPTION "
                   "'disk full'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;"
                   "CREATE TRIGGER refuse BEFORE INSERT ON records FOR EACH ROW EXECUTE FUNCTION refuse()"
                 : "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.position = 1 BEGIN "
                   "SELECT RAISE(ABORT, 'disk full'); END");
    EXPECT_THROW(StoreBatch(*db, b, "pc1", RepeatsCommitted), DbError);
    EXPECT_EQ(Count("batches"), 0);
    EXPECT_EQ(Count("records"), 0);
    db->Exec("DROP TRIGGER refuse" + std::string(GetParam() == "postgres" ? " ON records" : ""));
    // The batch handed over again is stored then, once.
    EXPECT_EQ(StoreBatch(*db, b, "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(Count("records"), 3);
}

// Batches of several terminals in one transaction: each checked against its
// own terminal's last committed batch, the one handed over again skipped,
// the others stored once with their totals.
TEST_P(Store, BatchesOfSeveralTerminalsCommittedTogether) {
    const Batch one = MakeBatch("hall", 1, 5, "100001");
    const Batch two = MakeBatch("hall", 2, 5, "100001");  // the same records on another terminal
    const Batch three = MakeBatch("hall", 3, 5, "100003", 3);
    ASSERT_EQ(StoreBatch(*db, two, "pc1", RepeatsCommitted), StoreOutcome::kStored);
    EXPECT_EQ(StoreBatches(*db, {one, two, three}, "pc1", {RepeatsCommitted, RepeatsCommitted, {}}),
              std::vector<StoreOutcome>({StoreOutcome::kStored, StoreOutcome::kReplayed, StoreOutcome::kStored}));
    EXPECT_EQ(Count("batches"), 3);
    EXPECT_EQ(Count("records"), 7);
    for (const auto& [terminal, records] : std::vector<std::pair<int, int>>{{1, 2}, {2, 2}, {3, 3}}) {
        const Rows r = db->Query("SELECT SUM(records) FROM day_totals WHERE terminal = ?", {std::int64_t{terminal}});
        EXPECT_EQ(AsInt(r.at(0).at(0)), records) << "terminal " << terminal;
    }
    // All of them handed over again: nothing written.
    EXPECT_EQ(StoreBatches(*db, {one, three}, "pc1", {RepeatsCommitted, RepeatsCommitted}),
              std::vector<StoreOutcome>(2, StoreOutcome::kReplayed));
    EXPECT_EQ(Count("batches"), 3);
    // A check missing for a batch is a caller's mistake, not a batch without one.
    EXPECT_THROW(StoreBatches(*db, {one, three}, "pc1", {RepeatsCommitted}), std::invalid_argument);
    EXPECT_EQ(Count("batches"), 3);
    EXPECT_EQ(Count("records"), 7);
}

// One terminal's batch refused (a trigger stands in for the failure; on
// PostgreSQL it fires at the COMMIT itself): nothing of the other batches
// committed with it remains, and all of them are stored once when handed
// over again.
TEST_P(Store, OneRefusedBatchLeavesNothingOfItsCommit) {
    const bool postgres = GetParam() == "postgres";
    db->Exec(postgres ? "CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'disk full'; END $$ "
                        "LANGUAGE plpgsql;"
                        "CREATE CONSTRAINT TRIGGER refuse AFTER INSERT ON records DEFERRABLE INITIALLY DEFERRED "
                        "FOR EACH ROW WHEN (NEW.terminal = 2) EXECUTE FUNCTION refuse()"
                      : "CREATE TRIGGER refuse BEFORE INSERT ON records WHEN NEW.terminal = 2 BEGIN "
                        "SELECT RAISE(ABORT, 'disk full'); END");
    const std::vector<Batch> batches = {MakeBatch("hall", 1, 1, "100001"), MakeBatch("hall", 2, 1, "100002"),
                                        MakeBatch("hall", 3, 1, "100003")};
    const std::vector<RepeatCheck> checks(3, RepeatsCommitted);
    EXPECT_THROW(StoreBatches(*db, batches, "pc1", checks), DbError);
    for (const char* table : {"batches", "records", "day_totals", "hour_totals"}) EXPECT_EQ(Count(table), 0) << table;
    db->Exec(postgres ? "DROP TRIGGER refuse ON records" : "DROP TRIGGER refuse");
    EXPECT_EQ(StoreBatches(*db, batches, "pc1", checks), std::vector<StoreOutcome>(3, StoreOutcome::kStored));
    EXPECT_EQ(Count("batches"), 3);
    EXPECT_EQ(Count("records"), 6);
}

// Several batches written together (on PostgreSQL one statement for
// batches of different terminals, which commits on its own when no check
// is asked for): every record and rejected raw record under its own
// batch, a terminal's batches in the order given.
TEST_P(Store, EveryRowUnderItsOwnBatch) {
    Batch a = MakeBatch("hall", 1, 1, "100001", 3);
    a.rejected.push_back(RejectedRaw{3, std::string(28, 'r'), "damaged"});
    a.raw += std::string(28, 'r');
    Batch b = MakeBatch("hall", 2, 1, "100002", 2);
    b.rejected.push_back(RejectedRaw{2, std::string(28, 's'), "unwanted card number"});
    b.raw += std::string(28, 's');
    const Batch c = MakeBatch("yard", 1, 1, "100003", 1);  // terminal 1 of another line
    const Batch d = MakeBatch("hall", 1, 2, "100004", 2);  // terminal 1 again, after a
    EXPECT_EQ(StoreBatches(*db, {a, b, c}, "pc1", {{}, {}, {}}), std::vector<StoreOutcome>(3, StoreOutcome::kStored));
    EXPECT_EQ(StoreBatches(*db, {d, b, a}, "pc1", {{}, {}, {}}), std::vector<StoreOutcome>(3, StoreOutcome::kStored));
    // Rows whose batch is of another line or terminal, or whose count
    // differs from their batch's.
    EXPECT_EQ(Count("records"), 2 * (3 + 2) + 1 + 2);
    EXPECT_EQ(Count("rejected"), 4);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records r JOIN batches b ON b.id = r.batch_id"
                              " WHERE r.line <> b.line OR r.terminal <> b.terminal OR substr(b.raw, 1, 6) <> r.card",
                              {})
                        .at(0)
                        .at(0)),
              0);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM rejected j JOIN batches b ON b.id = j.batch_id"
                              " WHERE j.line <> b.line OR j.terminal <> b.terminal OR b.rejected <> 1",
                              {})
                        .at(0)
                        .at(0)),
              0);
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM batches b WHERE b.records <>"
                              " (SELECT COUNT(*) FROM records r WHERE r.batch_id = b.id)",
                              {})
                        .at(0)
                        .at(0)),
              0);
    // Terminal 1's last batch is a (given after d): a handed over again is
    // recognised, d is not.
    EXPECT_EQ(StoreBatch(*db, a, "pc1", RepeatsCommitted), StoreOutcome::kReplayed);
    EXPECT_EQ(StoreBatch(*db, d, "pc1", RepeatsCommitted), StoreOutcome::kStored);
    const Rows totals = db->Query("SELECT line, terminal, SUM(records) FROM day_totals GROUP BY line, terminal"
                                  " ORDER BY line, terminal",
                                  {});
    ASSERT_EQ(totals.size(), 3u);
    EXPECT_EQ(AsInt(totals[0][2]), 3 + 2 + 3 + 2);  // hall 1: a, d, a, d
    EXPECT_EQ(AsInt(totals[1][2]), 2 + 2);          // hall 2: b twice
    EXPECT_EQ(AsInt(totals[2][2]), 1);              // yard 1
}

TEST_P(Store, SchemaMigratedOnceAndVersionChecked) {
    EXPECT_EQ(Migrate(*db), SchemaVersion());
    EXPECT_EQ(Migrate(*db), SchemaVersion());
    EXPECT_EQ(AsInt(db->Query("SELECT version FROM talvo_schema", {}).at(0).at(0)), SchemaVersion());
    EXPECT_EQ(Count("talvo_schema"), 1);

    // Several services starting at once on a fresh database.
    const std::string fresh = DatabaseFor(GetParam(), dir) + (GetParam() == "sqlite" ? "2" : "");
    std::atomic<int> ok{0};
    std::vector<std::thread> starts;
    for (int i = 0; i < 4; ++i) {
        starts.emplace_back([&] {
            try {
                auto c = Open(fresh);
                if (Migrate(*c) == SchemaVersion()) ++ok;
            } catch (const DbError& e) {
                ADD_FAILURE() << e.what();
            }
        });
    }
    for (auto& t : starts) t.join();
    EXPECT_EQ(ok, 4);

    // A database from a newer program is left alone.
    db->Query("UPDATE talvo_schema SET version = ?", {static_cast<std::int64_t>(SchemaVersion() + 1)});
    EXPECT_THROW(Migrate(*db), DbError);
}

TEST_P(Store, TotalsAndTerminals) {
    Batch b = MakeBatch("hall", 1, 1, "100001", 3);
    b.records[2].type = 13;
    b.records[2].amountCents = 5000;
    b.records[2].hour = 14;
    StoreBatch(*db, b, "pc1", {});
    RecordFilter f;
    const auto byType = Totals(*db, "type", f);
    ASSERT_EQ(byType.size(), 2u);
    EXPECT_EQ(byType[0].key, "13");
    EXPECT_EQ(byType[0].sumCents, 5000);
    EXPECT_EQ(byType[0].takingsCents, 0);
    EXPECT_EQ(byType[1].key, "5");
    EXPECT_EQ(byType[1].count, 2);
    EXPECT_EQ(byType[1].sumCents, -201);
    EXPECT_EQ(byType[1].takingsCents, 201);
    const auto byHour = Totals(*db, "hour", f);
    ASSERT_EQ(byHour.size(), 2u);
    EXPECT_EQ(byHour[0].key, "09");
    EXPECT_EQ(byHour[1].key, "14");

    TerminalState t;
    t.line = "hall";
    t.number = 1;
    t.kind = "payment";
    t.name = "Till";
    t.state = "down";
    t.lastError = -3;
    t.lastErrorText = "no reply";
    t.failures = 2;
    SaveTerminal(*db, t, "pc1");
    t.state = "up";
    t.failures = 0;
    t.waiting = 0;
    SaveTerminal(*db, t, "pc2");
    const auto rows = ListTerminals(*db, "2026-03-14");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, "up");
    EXPECT_EQ(rows[0].host, "pc2");
    EXPECT_EQ(rows[0].recordsToday, 3);
    EXPECT_EQ(rows[0].takingsTodayCents, 201);
    EXPECT_EQ(rows[0].sumTodayCents, 5000 - 201);
    ASSERT_TRUE(rows[0].waiting.has_value());
}

// An attendance terminal's clock as last read survives the saves of a
// service that has not read it yet (a restart), and is replaced by the
// next reading.
TEST_P(Store, AttendanceClockKeptUntilReadAgain) {
    TerminalState t;
    t.line = "hall";
    t.number = 3;
    t.kind = "attendance";
    t.name = "Door";
    t.state = "up";
    t.clock = "2026-01-02 03:04:05";
    t.clockRead = "2026-01-02T02:04:00.000Z";
    SaveTerminal(*db, t, "pc1");
    TerminalState restarted = t;
    restarted.clock.clear();
    restarted.clockRead.clear();
    restarted.state = "down";
    SaveTerminal(*db, restarted, "pc1");
    auto rows = ListTerminals(*db, "2026-01-02");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].state, "down");
    EXPECT_EQ(rows[0].clock, "2026-01-02 03:04:05");
    EXPECT_EQ(rows[0].clockRead, "2026-01-02T02:04:00.000Z");
    restarted.clock = "2026-01-02 03:10:00";
    restarted.clockRead = "2026-01-02T02:10:01.000Z";
    SaveTerminal(*db, restarted, "pc1");
    rows = ListTerminals(*db, "2026-01-02");
    EXPECT_EQ(rows[0].clock, "2026-01-02 03:10:00");
    EXPECT_EQ(rows[0].clockRead, "2026-01-02T02:10:01.000Z");
}

// A filter on one line reads that line's records through an index, newest
// first, and one terminal's CSV in id order: no full scan, no sort.
TEST_P(Store, LineFiltersUseAnIndex) {
    if (GetParam() != "sqlite") GTEST_SKIP() << "the plan is checked on SQLite";
    auto plan = [&](const std::string& sql, const std::vector<Value>& params) {
        std::string all;
        for (const Row& r : db->Query("EXPLAIN QUERY PLAN " + sql, params)) all += AsText(r.back()) + "\n";
        return all;
    };
    const std::string byLine = plan("SELECT id FROM records WHERE line = ? ORDER BY at DESC, id DESC LIMIT 25", {"hall"});
    EXPECT_NE(byLine.find("INDEX records_line_at"), std::string::npos) << byLine;
    EXPECT_EQ(byLine.find("TEMP B-TREE"), std::string::npos) << byLine;
    const std::string csv =
        plan("SELECT id FROM records WHERE line = ? AND terminal = ? AND id > ? ORDER BY id LIMIT 500",
             {"hall", std::int64_t{1}, std::int64_t{0}});
    EXPECT_NE(csv.find("records_line_terminal"), std::string::npos) << csv;
    EXPECT_EQ(csv.find("TEMP B-TREE"), std::string::npos) << csv;
}

INSTANTIATE_TEST_SUITE_P(Backends, Store, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

// Filters as they come from a request or a command line.
TEST(Filters, CheckedBeforeUse) {
    const std::vector<std::string> all = {"line", "terminal", "card", "type", "from", "to", "day", "limit", "offset"};
    auto parse = [&](std::multimap<std::string, std::string> p, RecordFilter& f) {
        std::string error;
        return ParseFilter(p, all, f, error) ? std::string() : error;
    };
    RecordFilter f;
    EXPECT_EQ(parse({{"terminal", "7"}, {"type", "deposit"}, {"from", "2026-03-01"}, {"to", "2026-03-02T10:30"},
                     {"limit", "1000"}, {"card", "A1b2"}},
                    f),
              "");
    EXPECT_EQ(*f.terminal, 7);
    EXPECT_EQ(*f.type, 13);
    EXPECT_EQ(*f.from, "2026-03-01");
    EXPECT_EQ(*f.to, "2026-03-02 10:30");
    RecordFilter d;
    EXPECT_EQ(parse({{"day", "2026-03-01"}}, d), "");
    EXPECT_EQ(*d.from, "2026-03-01");
    EXPECT_EQ(*d.to, "2026-03-01 23:59");

    const std::map<std::string, std::string> refused = {
        {"terminal=256", "terminal: a number from 0 to 255"},
        {"terminal=-1", "terminal: a number from 0 to 255"},
        {"terminal=1 OR 1=1", "terminal: a number from 0 to 255"},
        {"card=1' OR '1'='1", "card: 1 to 6 letters or digits"},
        {"line=a;DROP TABLE records", "line: letters, digits, '_', '-' and '.' only, 1 to 32 of them"},
        {"type=7", "type: payment (5), deposit (13) or subsidy (14)"},
        {"from=2026-13-01", "from: a date YYYY-MM-DD or a time YYYY-MM-DD HH:MM"},
        {"to=2026-01-01 25:00", "to: a date YYYY-MM-DD or a time YYYY-MM-DD HH:MM"},
        {"day=2026-01-01 10:00", "day: a date YYYY-MM-DD"},
        {"limit=0", "limit: a number from 1 to 1000"},
        {"limit=1001", "limit: a number from 1 to 1000"},
        {"offset=99999999999999999999", "offset: a number from 0 to 1000000000"},
        {"sort=at", "unknown parameter 'sort'"},
    };
    for (const auto& [given, why] : refused) {
        const std::size_t eq = given.find('=');
        RecordFilter g;
        EXPECT_EQ(parse({{given.substr(0, eq), given.substr(eq + 1)}}, g), why) << given;
    }
    RecordFilter g;
    EXPECT_EQ(parse({{"card", std::string(65, '1')}}, g), "parameter 'card' is too long (at most 64 characters)");
    EXPECT_EQ(parse({{"terminal", "1"}, {"terminal", "2"}}, g), "parameter 'terminal' given more than once");
    EXPECT_EQ(parse({{"from", "2026-03-02"}, {"to", "2026-03-01"}}, g), "from is after to");
}

TEST(Csv, QuotingAndFormulas) {
    RecordRow r;
    r.id = 3;
    r.line = "a,b";
    r.terminal = 2;
    r.card = "=cmd|";
    r.type = 5;
    r.amountCents = -1205;
    r.secondAmountCents = 7;
    r.at = "2026-03-01 10:00";
    r.batch = 9;
    EXPECT_EQ(CsvLine(r), "3,\"a,b\",2,'=cmd|,payment,-12.05,0.07,2026-03-01 10:00,9,\r\n");
    // A cardholder's name is a text like any other: quoted, and kept from
    // being taken for a formula.
    r.name = "=Lee, \"Ann\"";
    EXPECT_EQ(CsvLine(r), "3,\"a,b\",2,'=cmd|,payment,-12.05,0.07,2026-03-01 10:00,9,\"'=Lee, \"\"Ann\"\"\"\r\n");
    EXPECT_EQ(common::FormatCents(0), "0.00");
    EXPECT_EQ(common::FormatCents(-5), "-0.05");
    EXPECT_EQ(common::FormatCents(123456789), "1234567.89");
}

}  // namespace
}  // namespace talvo::test
