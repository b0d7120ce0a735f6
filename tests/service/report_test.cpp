// The day's report, cardholders and attendance hours of a running talvod fed
// by a software payment terminal and a software attendance terminal: the
// interface, the `db` subcommands and the page in headless Chromium.
#include <gtest/gtest.h>

#include <filesystem>

#include <csignal>
#include <ctime>

#include <httplib.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using nlohmann::json;

std::tm Now() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

std::string Today() {
    const std::tm tm = Now();
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

std::string Chromium() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (access(p, X_OK) == 0) return p;
    }
    return "";
}

// Terminal 1 pays, terminal 2 is the door's attendance clock; today's
// records queued on both, then collected.
class ReportService : public ::testing::Test {
protected:
    void Start(const std::string& http) {
        sim = std::make_unique<SimLine>(dir / "tty");
        sim->Ok("add 1");
        sim->Ok("add 2 attendance");
        const std::tm tm = Now();
        auto queue = [&](int terminal, const std::string& card, int type, std::int64_t cents, int hour, int minute) {
            RawRecord r;
            r.card = card;
            r.type = type;
            r.cents = cents;
            r.month = tm.tm_mon + 1;
            r.day = tm.tm_mday;
            r.hour = hour;
            r.minute = minute;
            sim->Ok("record " + std::to_string(terminal) + " seal " + r.Text());
        };
        queue(1, "100001", 5, 450, 11, 58);
        queue(1, "100002", 5, 1275, 12, 5);
        queue(1, "100001", 13, 1000, 12, 30);
        queue(1, "100002", 14, 125, 12, 31);
        for (auto [h, m] : {std::pair{7, 58}, {12, 1}, {12, 30}, {16, 45}}) queue(2, "100001", 5, 0, h, m);
        queue(2, "100002", 5, 0, 8, 0);
        WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", http + "[jobs]\ncollect = \"1s\"\nclock_at_start = false\n",
                                                  {LineBlock("hall", sim->link(), {"1@canteen", "2:attendance"})}));
        talvod = std::make_unique<Talvod>(dir / "talvod.toml", dir / "talvod.log");
        port = talvod->Port();
        ASSERT_GT(port, 0) << talvod->Log();
        ASSERT_TRUE(WaitFor([&] { return sim->Held(1) == 0 && sim->Held(2) == 0; })) << talvod->Log();
        ASSERT_TRUE(WaitFor([&] {
            return HttpGet(port, "/api/records?limit=1", token).body.find("\"total\":9") != std::string::npos;
        })) << talvod->Log();
    }
    void TearDown() override {
        if (talvod) {
            talvod->Signal(SIGTERM);
            EXPECT_EQ(talvod->Wait(), 0);
            EXPECT_EQ(talvod->Count(" error "), 0) << talvod->Log();
        }
    }
    int Ops(const std::vector<std::string>& args, std::string& out, std::string& err) {
        std::vector<std::string> argv = {TALVO_DB_OPS_DRIVER, "db", "--database", dir / "talvod.db"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, out, err, {});
    }
    json Get(const std::string& path) {
        const HttpResult r = HttpGet(port, path, token);
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        return r.status == 200 ? json::parse(r.body) : json();
    }

    TempDir dir;
    std::unique_ptr<SimLine> sim;
    std::unique_ptr<Talvod> talvod;
    int port = 0;
    std::string token;
};

TEST_F(ReportService, FiguresHoursAndNamesFromSoftwareTerminals) {
    Start("[http]\nport = 0\ncurrency = \"EUR\"\n");
    const std::string today = Today();
    std::string out, err;
    WriteText(dir / "staff.csv", "card,name,staff_number,department\n100001,Ann Lee,7,Kitchen\n100002,Bo Ray,8,Hall\n");
    ASSERT_EQ(Ops({"cardholders", "import", dir / "staff.csv"}, out, err), 0) << err;
    EXPECT_EQ(out, "2 added, 0 changed, 0 unchanged, 0 removed\n");
    // A bad line: its number, and nothing of the file stored.
    WriteText(dir / "bad.csv", "card,name\n100001,Ann Changed\n100003,\n");
    EXPECT_EQ(Ops({"cardholders", "import", dir / "bad.csv", "--replace"}, out, err), 2);
    EXPECT_NE(err.find("line 3: name"), std::string::npos) << err;
    ASSERT_EQ(Ops({"cardholders", "export"}, out, err), 0) << err;
    EXPECT_EQ(out, "card,name,staff_number,department,valid_from,valid_until\r\n100001,Ann Lee,7,Kitchen,,\r\n"
                   "100002,Bo Ray,8,Hall,,\r\n");

    // The report: the payment terminal's figures; the attendance clock's
    // punches are no sales.
    const json r = Get("/api/reports/day?date=" + today);
    EXPECT_EQ(r["site"]["sales"], 2);
    EXPECT_EQ(r["site"]["takings_cents"], 1725);
    EXPECT_EQ(r["site"]["deposit_cents"], 1000);
    EXPECT_EQ(r["site"]["subsidy_cents"], 125);
    EXPECT_EQ(r["site"]["first_sale"], today + " 11:58");
    EXPECT_EQ(r["site"]["last_sale"], today + " 12:05");
    ASSERT_EQ(r["groups"].size(), 1u);
    EXPECT_EQ(r["groups"][0]["takings_cents"], 1725);
    EXPECT_TRUE(r["silent"].empty()) << r.dump();
    const HttpResult csv = HttpGet(port, "/api/reports/day?from=" + today + "&to=" + today + "&format=csv", token);
    EXPECT_EQ(csv.Header("Content-Type").rfind("text/csv", 0), 0u);
    EXPECT_NE(csv.body.find("\r\nsite,,,,,4,-6.00,2,17.25,1,10.00,1,1.25,0,"), std::string::npos) << csv.body;
    const HttpResult html = HttpGet(port, "/api/reports/day?date=" + today + "&format=html", token);
    EXPECT_NE(html.body.find("@media print"), std::string::npos);
    EXPECT_NE(html.body.find("<td class=\"n\">17.25</td>"), std::string::npos) << html.body;
    EXPECT_EQ(HttpGet(port, "/api/reports/day?date=2026-02-30", token).status, 400);
    EXPECT_EQ(HttpGet(port, "/api/reports/day?date=" + today + "&from=" + today, token).status, 400);
    ASSERT_EQ(Ops({"report", "--day", today, "--format", "csv"}, out, err), 0) << err;
    EXPECT_NE(out.find("\r\nsite,,,,,4,-6.00,2,17.25,"), std::string::npos) << out;
    // The same through talvo, which hands the command to talvod as it is.
    std::string viaTalvo;
    ASSERT_EQ(RunProgram({TALVO_CLI_PATH, "db", "report", "--database", dir / "talvod.db", "--day", today, "--format",
                          "csv"},
                         viaTalvo, err, {}),
              0)
        << err;
    EXPECT_EQ(viaTalvo, out);
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "db", "report", "--database", dir / "talvod.db", "--day", "2026-02-30"},
                         viaTalvo, err, {}),
              2);
    ASSERT_EQ(RunProgram({TALVO_CLI_PATH, "db", "cardholders", "--help"}, viaTalvo, err, {}), 0) << err;
    EXPECT_NE(viaTalvo.find("import"), std::string::npos) << viaTalvo;

    // The records name their cardholders: the list, the feed and the CSV.
    const json records = Get("/api/records?card=100001&limit=100");
    ASSERT_FALSE(records["records"].empty()) << records.dump();
    for (const json& rec : records["records"]) EXPECT_EQ(rec["name"], "Ann Lee");
    const json fed = Get("/api/records?after=0&card=100002");
    ASSERT_FALSE(fed["records"].empty()) << fed.dump();
    EXPECT_EQ(fed["records"][0]["name"], "Bo Ray");
    const HttpResult all = HttpGet(port, "/api/records.csv", token);
    EXPECT_NE(all.body.find(",Ann Lee\r\n"), std::string::npos) << all.body;

    // Attendance: Ann's two pairs, Bo's lone punch flagged.
    const json a = Get("/api/attendance?from=" + today + "&to=" + today);
    ASSERT_EQ(a["days"].size(), 2u) << a.dump();
    EXPECT_EQ(a["days"][0]["name"], "Ann Lee");
    EXPECT_EQ(a["days"][0]["first_in"], "07:58");
    EXPECT_EQ(a["days"][0]["last_out"], "16:45");
    EXPECT_EQ(a["days"][0]["minutes"], 498);
    EXPECT_EQ(a["days"][0]["unpaired"], false);
    EXPECT_EQ(a["days"][1]["name"], "Bo Ray");
    EXPECT_EQ(a["days"][1]["unpaired"], true);
    ASSERT_EQ(Ops({"attendance", "--day", today, "--format", "csv"}, out, err), 0) << err;
    EXPECT_NE(out.find("100001,Ann Lee,7,Kitchen," + today + ",07:58,16:45,07:58-12:01 12:30-16:45,498,8.30,4,no"),
              std::string::npos)
        << out;

    // The page shows the names: in the cardholders' list and beside the
    // records' cards.
    const std::string chromium = Chromium();
    if (chromium.empty()) GTEST_SKIP() << "chromium is not installed";
    std::string dom;
    ASSERT_EQ(RunProgram({chromium, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                          "--user-data-dir=" + (dir / "profile"), "--virtual-time-budget=8000", "--dump-dom",
                          "http://127.0.0.1:" + std::to_string(port) + "/"},
                         dom, {"HOME=" + dir.path(), "TMPDIR=" + dir.path()}),
              0);
    EXPECT_NE(dom.find("data-loaded=\"1\""), std::string::npos) << dom;
    EXPECT_NE(dom.find("<tr data-card=\"100002\"><td class=\"mono\"><button type=\"button\" class=\"link\">100002</button></td>"
                       "<td class=\"holder\">Bo Ray</td>"),
              std::string::npos)
        << dom;
    EXPECT_NE(dom.find("<td class=\"mono\">100001</td><td>payment</td><td class=\"num\">-€4.50</td><td class=\"holder\">Ann Lee</td>"),
              std::string::npos)
        << dom;
}

// [reports]: the day's files written by themselves once the time has
// passed (at the start, when it passed before), whole, and written anew
// after they are removed and the configuration read again.
TEST_F(ReportService, WrittenToTheFolderOnceTheTimeHasPassed) {
    Start("[http]\nport = 0\n[reports]\nfolder = \"out\"\nat = \"00:00\"\n");
    const std::string csv = dir / ("out/report-" + Today() + ".csv");
    const std::string html = dir / ("out/report-" + Today() + ".html");
    ASSERT_TRUE(WaitFor([&] { return access(csv.c_str(), F_OK) == 0 && access(html.c_str(), F_OK) == 0; }))
        << talvod->Log();
    // Written at the start, maybe before the records came: removed, and
    // the configuration read again, it is written with all of them.
    ASSERT_EQ(unlink(csv.c_str()), 0);
    ASSERT_EQ(unlink(html.c_str()), 0);
    talvod->Signal(SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return access(csv.c_str(), F_OK) == 0 && access(html.c_str(), F_OK) == 0; }))
        << talvod->Log();
    EXPECT_EQ(ReadText(csv), HttpGet(port, "/api/reports/day?date=" + Today() + "&format=csv").body);
    EXPECT_NE(ReadText(html).find("<td class=\"n\">17.25</td>"), std::string::npos);
    EXPECT_EQ(talvod->Count("report-written"), 2) << talvod->Log();
    // Nothing else in the folder: no part left behind.
    int files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(std::string(dir / "out"))) ++files;
    EXPECT_EQ(files, 2);
}

TEST_F(ReportService, CardholdersChangedByAnAdministratorOnly) {
    token = kAdminToken;
    Start("[http]\nport = 0\ntoken = \"" + kAdminToken + "\"\n[[http.user]]\nname = \"office\"\nrole = \"read\"\ntoken = \"" +
          kReaderToken + "\"\n");
    json holders = {{"cardholders", json::array({{{"card", "100001"}, {"name", "Ann Lee"}},
                                                 {{"card", "100002"}, {"name", "Bo Ray"}, {"department", "Hall"}}})}};
    EXPECT_EQ(HttpSend(port, "PUT", "/api/cardholders", holders.dump(), kReaderToken).status, 403);
    HttpResult r = HttpSend(port, "PUT", "/api/cardholders", holders.dump(), kAdminToken);
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(json::parse(r.body)["added"], 2);
    // A bad entry: why, and nothing stored.
    json bad = {{"cardholders", json::array({{{"card", "100003"}, {"name", "Cy"}}, {{"card", "1234"}, {"name", "X"}}})},
                {"replace", true}};
    r = HttpSend(port, "PUT", "/api/cardholders", bad.dump(), kAdminToken);
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("cardholders[1]: card"), std::string::npos) << r.body;
    EXPECT_EQ(Get("/api/cardholders")["cardholders"].size(), 2u);
    // Found by name; removed by an administrator, audited.
    const json found = Get("/api/cardholders?q=bo");
    ASSERT_EQ(found["cardholders"].size(), 1u);
    EXPECT_EQ(found["cardholders"][0]["department"], "Hall");
    EXPECT_EQ(HttpSend(port, "DELETE", "/api/cardholders/100002", "", kReaderToken).status, 403);
    EXPECT_EQ(HttpSend(port, "DELETE", "/api/cardholders/100002", "", kAdminToken).status, 200);
    EXPECT_EQ(HttpSend(port, "DELETE", "/api/cardholders/100002", "", kAdminToken).status, 404);
    const std::string audit = HttpGet(port, "/api/audit", kAdminToken).body;
    EXPECT_NE(audit.find("cardholders import"), std::string::npos) << audit;
    EXPECT_NE(audit.find("cardholder remove"), std::string::npos) << audit;
    // A CSV file as the command-line import takes it, with ?replace=true.
    httplib::Client c("127.0.0.1", port);
    const httplib::Headers auth = {{"Authorization", "Bearer " + kAdminToken}};
    auto csv = c.Put("/api/cardholders?replace=true", auth, "card;name\n100009;Di Kay\n100001;Ann Lee\n", "text/csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 200) << csv->body;
    EXPECT_EQ(json::parse(csv->body), json::parse(R"({"added":1,"changed":0,"unchanged":1,"removed":0})"));
    csv = c.Put("/api/cardholders", auth, "card,name\n100009,Di Kay\n100010\n", "text/csv");
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->status, 400);
    EXPECT_NE(csv->body.find("line 3: 1 fields"), std::string::npos) << csv->body;
}

}  // namespace
}  // namespace talvo::test
