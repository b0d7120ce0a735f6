// The day's report reconciled with the records table to the cent, the
// cardholders' import (all or nothing, never losing what the file does not
// name), and the pairing of attendance punches: on SQLite and PostgreSQL.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "db/attendance.h"
#include "db/cardholders.h"
#include "db/queries.h"
#include "db/report.h"
#include "db/store.h"
#include "harness.h"
#include "values.h"

namespace talvo::test {
namespace {

using namespace talvo::service;

class Reports : public BackendDatabase {
protected:
    // Two lines; "east" 1 and 2 in the group canteen, "west" 1 payment, 2
    // silent, 3 an attendance terminal.
    Config Site() {
        Config c;
        c.lines = {{"east", "", 4800, "", 0, 0, 0, 0, {{1, "payment", "Till 1", "canteen"}, {2, "payment", "Till 2", "canteen"}}},
                   {"west", "", 4800, "", 0, 0, 0, 0,
                    {{1, "payment", "Kiosk", ""}, {2, "payment", "Spare", ""}, {3, "attendance", "Door", ""}}}};
        return c;
    }
    void Store(const std::string& line, int terminal, std::vector<Record> records, int rejected = 0) {
        Batch b;
        b.line = line;
        b.terminal = terminal;
        b.mark = ++mark;
        for (Record& r : records) r.terminal = terminal;
        b.records = std::move(records);
        for (int i = 0; i < rejected; ++i) b.rejected.push_back({i, "BADRAW" + std::to_string(i), "damaged"});
        b.raw = "raw" + std::to_string(mark);
        StoreBatch(*db, b, "pc0", {});
    }
    static Record At(int day, int hour, int minute, int type, std::int64_t cents, const std::string& card = "100001") {
        Record r;
        r.card = card;
        r.type = type;
        r.amountCents = cents;
        r.year = 2026;
        r.month = 3;
        r.day = day;
        r.hour = hour;
        r.minute = minute;
        return r;
    }
    int mark = 0;
};

TEST_P(Reports, FiguresAreTheRecordsTablesToTheCent) {
    // Odd amounts on several days, every type, rejected records, and an
    // attendance terminal whose punches are no sales.
    for (int day = 1; day <= 3; ++day) {
        for (int i = 0; i < 17; ++i) {
            const int type = i % 5 == 0 ? 13 : i % 7 == 0 ? 14 : 5;
            const std::int64_t cents = (type == 5 ? -1 : 1) * (101 + i * 37 + day);
            Store(i % 3 == 0 ? "west" : "east", i % 3 == 0 ? 1 : 1 + i % 2, {At(day, 6 + i, (i * 7) % 60, type, cents)},
                  i == 4 ? 2 : 0);
        }
        Store("west", 3, {At(day, 7, 58, 5, 0, "200001"), At(day, 16, 30, 5, 0, "200001")});
    }
    const Config site = Site();
    const Report r = BuildReport(*db, "2026-03-02", "2026-03-02", SiteTerminals(*db, &site));

    std::map<std::pair<std::string, int>, std::tuple<std::int64_t, std::int64_t, std::int64_t>> sql;  // count, sum, takings
    for (const Row& row : db->Query("SELECT line, terminal, COUNT(*), SUM(amount_cents),"
                                    " SUM(CASE WHEN type = 5 THEN -amount_cents ELSE 0 END) FROM records"
                                    " WHERE day = '2026-03-02' AND NOT (line = 'west' AND terminal = 3)"
                                    " GROUP BY line, terminal")) {
        sql[{AsText(row[0]), static_cast<int>(AsInt(row[1]))}] = {AsInt(row[2]), AsInt(row[3]), AsInt(row[4])};
    }
    ASSERT_EQ(sql.size(), 3u);
    std::int64_t count = 0, sum = 0, takings = 0;
    for (const ReportRow& t : r.terminals) {
        const auto it = sql.find({t.line, t.terminal});
        if (it == sql.end()) {
            EXPECT_EQ(t.figures.records, 0) << t.line << " " << t.terminal;
            continue;
        }
        EXPECT_EQ(t.figures.records, std::get<0>(it->second)) << t.line << " " << t.terminal;
        EXPECT_EQ(t.figures.sumCents, std::get<1>(it->second)) << t.line << " " << t.terminal;
        EXPECT_EQ(t.figures.takingsCents, std::get<2>(it->second)) << t.line << " " << t.terminal;
        EXPECT_EQ(t.figures.sumCents, t.figures.depositCents + t.figures.subsidyCents - t.figures.takingsCents);
        count += std::get<0>(it->second);
        sum += std::get<1>(it->second);
        takings += std::get<2>(it->second);
    }
    EXPECT_EQ(r.site.records, count);
    EXPECT_EQ(r.site.sumCents, sum);
    EXPECT_EQ(r.site.takingsCents, takings);
    const Row all = db->Query("SELECT COUNT(*), SUM(amount_cents) FROM records WHERE day = '2026-03-02'"
                              " AND NOT (line = 'west' AND terminal = 3)")
                        .at(0);
    EXPECT_EQ(r.site.records, AsInt(all[0]));
    EXPECT_EQ(r.site.sumCents, AsInt(all[1]));

    // The group and the lines add up; the silent terminal is named; the
    // attendance terminal is in none of it.
    ASSERT_EQ(r.groups.size(), 1u);
    EXPECT_EQ(r.groups[0].name, "canteen");
    std::int64_t canteen = 0;
    for (const ReportRow& t : r.terminals) canteen += t.line == "east" ? t.figures.takingsCents : 0;
    EXPECT_EQ(r.groups[0].figures.takingsCents, canteen);
    ASSERT_EQ(r.silent.size(), 1u);
    EXPECT_EQ(r.silent[0].line + " " + std::to_string(r.silent[0].number), "west 2");
    for (const ReportRow& t : r.terminals) EXPECT_FALSE(t.line == "west" && t.terminal == 3);
    // The rejected records of the day they were stored (today), not of
    // the report's day.
    EXPECT_EQ(r.site.rejected, 0);
    const Report today = BuildReport(*db, LocalToday(), LocalToday(), SiteTerminals(*db, &site));
    EXPECT_EQ(today.site.rejected, 6);
    EXPECT_EQ(today.site.records, 0);

    // A period is the sum of its days; first and last sale span it.
    const Report period = BuildReport(*db, "2026-03-01", "2026-03-03", SiteTerminals(*db, &site));
    std::int64_t days = 0;
    for (const char* d : {"2026-03-01", "2026-03-02", "2026-03-03"}) days += BuildReport(*db, d, d, {}).site.takingsCents;
    EXPECT_EQ(period.site.takingsCents, days);
    EXPECT_EQ(period.site.firstSale.substr(0, 10), "2026-03-01");
    EXPECT_EQ(period.site.lastSale.substr(0, 10), "2026-03-03");

    // The CSV's site line carries the same figures.
    const std::string csv = ReportCsv(r);
    EXPECT_NE(csv.find("site,,,,," + std::to_string(r.site.records) + "," + common::FormatCents(r.site.sumCents) + "," +
                       std::to_string(r.site.sales) + "," + common::FormatCents(r.site.takingsCents) + ","),
              std::string::npos)
        << csv;
    EXPECT_NE(ReportHtml(r, "<site>", "EUR").find("&lt;site&gt;"), std::string::npos);
}

TEST_P(Reports, ImportNeverLosesWhatTheFileDoesNotName) {
    std::vector<Cardholder> rows;
    std::string error;
    ASSERT_TRUE(ParseCardholdersCsv("card,name,staff_number,department\r\n100001,\"Doe, Jane\",S1,Kitchen\r\n"
                                    "100002,Max Roe,S2,Office\r\n",
                                    rows, error))
        << error;
    ImportCount n = ImportCardholders(*db, rows, false);
    EXPECT_EQ(n.added, 2);
    // A second file naming one card changes it and keeps the other.
    ASSERT_TRUE(ParseCardholdersCsv("name;card\nMaxine Roe;100002\n", rows, error)) << error;
    n = ImportCardholders(*db, rows, false);
    EXPECT_EQ(n.changed, 1);
    EXPECT_EQ(n.removed, 0);
    auto names = CardholderNames(*db);
    EXPECT_EQ(names["100001"], "Doe, Jane");
    EXPECT_EQ(names["100002"], "Maxine Roe");
    // --replace removes it.
    n = ImportCardholders(*db, rows, true);
    EXPECT_EQ(n.unchanged, 1);
    EXPECT_EQ(n.removed, 1);
    EXPECT_EQ(CardholderNames(*db).count("100001"), 0u);

    // Found by a part of the name, in any case, and by the card's start.
    EXPECT_EQ(ListCardholders(*db, "XINE").size(), 1u);
    EXPECT_EQ(ListCardholders(*db, "1000").size(), 1u);
    EXPECT_EQ(ListCardholders(*db, "%").size(), 0u);

    // Export and import again: the same, a name that looks like a formula too.
    ASSERT_TRUE(ParseCardholdersCsv("card,name,valid_from,valid_until\n100003,=SUM(A1),2026-01-01,2026-12-31\n", rows,
                                    error));
    ImportCardholders(*db, rows, false);
    const std::vector<Cardholder> before = ListCardholders(*db);
    const std::string csv = CardholdersCsv(before);
    EXPECT_NE(csv.find(",'=SUM(A1),"), std::string::npos) << csv;
    ASSERT_TRUE(ParseCardholdersCsv(csv, rows, error)) << error;
    EXPECT_EQ(rows, before);
}

TEST_P(Reports, BadFileNamesItsLineAndStoresNothing) {
    std::vector<Cardholder> rows;
    std::string error;
    ASSERT_TRUE(ParseCardholdersCsv("card,name\n100001,Jane\n", rows, error));
    ImportCardholders(*db, rows, false);
    struct Case {
        const char* text;
        const char* error;
    };
    for (const Case& c : std::vector<Case>{
             {"card,name\n100001,Janet\n100002,\n", "line 3: name"},
             {"card,name\n100001,Janet\n12345,Short\n", "line 3: card"},
             {"card,name\n100001,Janet\n100001,Again\n", "line 3: card 100001 appears twice"},
             {"card,name\n\"100001\",\"Jan\net\"\n", "line 2: name"},
             {"card,name\n\"100001\",\"Janet\"\n100002,A,B\n", "line 3: 3 fields"},
             {"card,name\n100001,\"Janet\n", "line 2: a quote"},
             {"card,name,valid_from\n100001,Janet,2026-02-30\n", "line 2: valid_from"},
             {"card,nom\n100001,Janet\n", "line 1: unknown column 'nom'"},
             {"", "line 1: a header"},
         }) {
        rows = {{"999999", "left over", "", "", "", ""}};
        EXPECT_FALSE(ParseCardholdersCsv(c.text, rows, error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << " -> " << error;
        EXPECT_TRUE(rows.empty());
    }
    // A failing import (the database refuses a row halfway) stores none of it.
    db->Exec(db->Kind() == Backend::kSqlite
                 ? "CREATE TRIGGER refuse BEFORE INSERT ON cardholders WHEN NEW.card = '100003'"
                   " BEGIN SELECT RAISE(ABORT, 'refused'); END"
                 : "ALTER TABLE cardholders ADD CONSTRAINT refuse CHECK (card <> '100003')");
    ASSERT_TRUE(ParseCardholdersCsv("card,name\n100001,Janet\n100002,Max\n100003,Refused\n", rows, error));
    EXPECT_THROW(ImportCardholders(*db, rows, true), DbError);
    const auto names = CardholderNames(*db);
    EXPECT_EQ(names.size(), 1u);
    EXPECT_EQ(names.at("100001"), "Jane");
}

TEST_P(Reports, AttendancePairsPerCardAndDay) {
    db->Query("INSERT INTO cardholders (card, name, staff_number, department) VALUES ('200001', 'Ann Lee', '7', 'Hall')");
    Store("west", 3, {At(2, 16, 45, 5, 0, "200001"), At(2, 7, 58, 5, 0, "200001"), At(2, 12, 1, 5, 0, "200001"),
                      At(2, 12, 30, 5, 0, "200001"), At(2, 12, 30, 5, 0, "200001"),  // held twice
                      At(2, 22, 0, 5, 0, "200002"), At(3, 6, 0, 5, 0, "200002")});   // a night shift
    Store("west", 1, {At(2, 12, 0, 5, -450, "200001")});  // a sale is no punch
    const Config site = Site();
    const auto days = Attendance(*db, "2026-03-01", "2026-03-31", SiteTerminals(*db, &site));
    ASSERT_EQ(days.size(), 3u);
    EXPECT_EQ(days[0].name, "Ann Lee");
    EXPECT_EQ(days[0].FirstIn(), "07:58");
    EXPECT_EQ(days[0].LastOut(), "16:45");
    ASSERT_EQ(days[0].pairs.size(), 2u);
    EXPECT_EQ(days[0].minutes, (12 * 60 + 1 - (7 * 60 + 58)) + (16 * 60 + 45 - (12 * 60 + 30)));
    EXPECT_FALSE(days[0].odd);
    EXPECT_EQ(Hours(days[0].minutes), "8.30");
    // Over midnight: both days flagged, no hours.
    EXPECT_EQ(days[1].card, "200002");
    EXPECT_TRUE(days[1].odd);
    EXPECT_TRUE(days[2].odd);
    EXPECT_EQ(days[1].minutes + days[2].minutes, 0);
    EXPECT_NE(AttendanceCsv(days).find("200001,Ann Lee,7,Hall,2026-03-02,07:58,16:45,07:58-12:01 12:30-16:45,498,8.30,4,no"),
              std::string::npos)
        << AttendanceCsv(days);
}

INSTANTIATE_TEST_SUITE_P(Backends, Reports, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
