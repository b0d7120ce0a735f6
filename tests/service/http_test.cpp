// The web interface of a running talvod: filters, paging, CSV, totals,
// token refusals that touch nothing, "collect now", bad parameters and SQL
// metacharacters answered with a 400 and a reason.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>

#include "harness.h"
#include "db/store.h"

namespace talvo::test {
namespace {

using nlohmann::json;
using service::AsInt;

const std::string kToken = "s3cret-token-0123456789";

// Records written straight into the database, for lines that this service
// does not own: the interface shows the whole site.
struct Seeded {
    struct Row {
        std::string line;
        int terminal;
        std::string card;
        int type;
        std::int64_t cents;
        std::string at;
    };
    std::vector<Row> rows;

    void Write(service::Connection& db) {
        int mark = 0;
        for (const char* line : {"east", "west"}) {
            for (int terminal = 1; terminal <= 3; ++terminal) {
                for (int b = 0; b < 6; ++b) {
                    service::Batch batch;
                    batch.line = line;
                    batch.terminal = terminal;
                    batch.mark = ++mark;
                    for (int i = 0; i < 6; ++i) {
                        const int n = static_cast<int>(rows.size());
                        service::Record r;
                        r.terminal = terminal;
                        r.card = std::to_string(600000 + n % 17);
                        r.type = n % 4 == 0 ? 13 : n % 9 == 0 ? 14 : 5;
                        r.amountCents = (r.type == 5 ? -1 : 1) * (50 + n * 3);
                        r.year = 2026;
                        r.month = 3;
                        r.day = 1 + n % 5;
                        r.hour = 7 + n % 12;
                        r.minute = n % 60;
                        batch.records.push_back(r);
                        batch.raw += "raw" + std::to_string(n);
                        rows.push_back({line, terminal, r.card, r.type, r.amountCents, service::RecordAt(r)});
                    }
                    service::StoreBatch(db, batch, "pc0", {});
                }
            }
        }
    }
    std::size_t Count(const std::function<bool(const Row&)>& keep) const {
        return static_cast<std::size_t>(std::count_if(rows.begin(), rows.end(), keep));
    }
};

// Sends `request` as it stands and returns the first answer (the server
// keeps the connection open, so reading stops at a pause).
std::string RawHttp(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        for (int wait = 5000; wait > 0; wait = 200) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, wait) <= 0) break;
            char buffer[4096];
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n <= 0) break;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

class Http : public ::testing::Test {
protected:
    void SetUp() override {
        sim = std::make_unique<SimLine>(dir / "tty");
        sim->Ok("add 1");
        sim->Ok("add 2");
        {
            auto db = service::Open(dir / "talvod.db");
            service::Migrate(*db);
            seeded.Write(*db);
        }
        WriteText(dir / "talvod.toml",
                  ConfigText(dir / "talvod.db",
                             "[http]\nport = 0\ntoken = \"" + kToken + "\"\n[jobs]\ncollect = \"1h\"\nclock_at_start = false\n",
                             {LineBlock("hall", sim->link(), {"1", "2"})}));
        talvod = std::make_unique<Talvod>(dir / "talvod.toml", dir / "talvod.log");
        port = talvod->Port();
        ASSERT_GT(port, 0) << talvod->Log();
        // The collection at the start is over before a test begins.
        ASSERT_TRUE(WaitFor([&] { return Get("/api/jobs").dump().find("\"job\":\"collect\"") != std::string::npos; }));
    }
    void TearDown() override {
        if (talvod) {
            talvod->Signal(SIGTERM);
            talvod->Wait();
            EXPECT_EQ(talvod->Count(" error "), 0) << talvod->Log();
        }
    }
    json Get(const std::string& path) {
        const HttpResult r = HttpGet(port, path, kToken);
        EXPECT_EQ(r.status, 200) << path << ": " << r.body;
        return r.status == 200 ? json::parse(r.body) : json();
    }
    // Every record of a query, paged through `limit` at a time.
    std::vector<std::int64_t> Ids(const std::string& filter, int limit) {
        std::vector<std::int64_t> ids;
        for (int offset = 0;; offset += limit) {
            const json page = Get("/api/records?" + filter + "&limit=" + std::to_string(limit) + "&offset=" + std::to_string(offset));
            for (const auto& r : page["records"]) ids.push_back(r["id"]);
            if (page["records"].size() < static_cast<std::size_t>(limit)) break;
        }
        return ids;
    }

    TempDir dir;
    std::unique_ptr<SimLine> sim;
    Seeded seeded;
    std::unique_ptr<Talvod> talvod;
    int port = 0;
};

TEST_F(Http, FiltersAndPaging) {
    using Row = Seeded::Row;
    const std::map<std::string, std::function<bool(const Row&)>> cases = {
        {"", [](const Row&) { return true; }},
        {"line=east", [](const Row& r) { return r.line == "east"; }},
        {"terminal=2", [](const Row& r) { return r.terminal == 2; }},
        {"line=west&terminal=3", [](const Row& r) { return r.line == "west" && r.terminal == 3; }},
        {"card=600005", [](const Row& r) { return r.card == "600005"; }},
        {"type=deposit", [](const Row& r) { return r.type == 13; }},
        {"type=05", [](const Row& r) { return r.type == 5; }},
        {"day=2026-03-02", [](const Row& r) { return r.at.rfind("2026-03-02", 0) == 0; }},
        {"from=2026-03-02&to=2026-03-03", [](const Row& r) { return r.at >= "2026-03-02" && r.at <= "2026-03-03 23:59"; }},
        {"from=2026-03-01%2010:00&to=2026-03-01T12:30",
         [](const Row& r) { return r.at >= "2026-03-01 10:00" && r.at <= "2026-03-01 12:30"; }},
        {"terminal=1&type=payment&from=2026-03-04", [](const Row& r) { return r.terminal == 1 && r.type == 5 && r.at >= "2026-03-04"; }},
        {"card=999999", [](const Row&) { return false; }},
    };
    for (const auto& [filter, keep] : cases) {
        const std::size_t want = seeded.Count(keep);
        const json page = Get("/api/records?" + filter);
        EXPECT_EQ(page["total"], want) << filter;
        EXPECT_EQ(page["records"].size(), std::min<std::size_t>(want, 100)) << filter;
        // Paged in sevens: the same records, none twice, newest first.
        const std::vector<std::int64_t> paged = Ids(filter, 7);
        const std::vector<std::int64_t> whole = Ids(filter, 1000);
        EXPECT_EQ(paged, whole) << filter;
        EXPECT_EQ(std::set<std::int64_t>(paged.begin(), paged.end()).size(), want) << filter;
    }
    const json page = Get("/api/records?terminal=2&limit=5");
    std::string previous = "9999";
    for (const auto& r : page["records"]) {
        EXPECT_LE(r["at"].get<std::string>(), previous);
        previous = r["at"];
        EXPECT_EQ(r["terminal"], 2);
    }
    EXPECT_EQ(Get("/api/records?offset=100000")["records"].size(), 0u);
}

TEST_F(Http, CsvTotalsAndRejected) {
    const HttpResult csv = HttpGet(port, "/api/records.csv?line=east&type=deposit", kToken);
    ASSERT_EQ(csv.status, 200) << csv.body;
    EXPECT_EQ(csv.Header("Content-Type"), "text/csv; charset=utf-8");
    EXPECT_EQ(csv.Header("Content-Disposition"), "attachment; filename=\"records.csv\"");
    const std::size_t deposits = seeded.Count([](const Seeded::Row& r) { return r.line == "east" && r.type == 13; });
    EXPECT_EQ(std::count(csv.body.begin(), csv.body.end(), '\n'), static_cast<long>(deposits + 1));
    EXPECT_EQ(csv.body.rfind("id,line,terminal,card,type,amount,second_amount,time,batch,name\r\n", 0), 0u);
    EXPECT_NE(csv.body.find(",east,"), std::string::npos);
    EXPECT_EQ(csv.body.find(",west,"), std::string::npos);
    EXPECT_EQ(csv.body.find(",payment,"), std::string::npos);
    // All of it, beyond any page size.
    const HttpResult all = HttpGet(port, "/api/records.csv", kToken);
    EXPECT_EQ(std::count(all.body.begin(), all.body.end(), '\n'), static_cast<long>(seeded.rows.size() + 1));
    EXPECT_EQ(HttpGet(port, "/api/records.csv?limit=5", kToken).status, 400);

    std::map<std::string, std::int64_t> byDay, takingsByDay;
    for (const auto& r : seeded.rows) {
        byDay[r.at.substr(0, 10)] += r.cents;
        if (r.type == 5) takingsByDay[r.at.substr(0, 10)] -= r.cents;
    }
    const json totals = Get("/api/totals?by=day");
    ASSERT_EQ(totals["totals"].size(), byDay.size());
    for (const auto& t : totals["totals"]) {
        EXPECT_EQ(t["sum_cents"], byDay[t["key"]]);
        EXPECT_EQ(t["takings_cents"], takingsByDay[t["key"]]);
    }
    EXPECT_EQ(Get("/api/totals?by=terminal&line=west")["totals"].size(), 3u);
    EXPECT_EQ(Get("/api/totals?by=type")["all"]["count"], seeded.rows.size());

    // A raw record that fails its check, with SQL in it, from a terminal.
    sim->Ok("record 1 raw x');DROP_TABLE_records;--abc");
    const HttpResult collected = HttpPost(port, "/api/terminals/hall/1/collect", kToken);
    ASSERT_EQ(collected.status, 200) << collected.body;
    const json outcome = json::parse(collected.body);
    EXPECT_EQ(outcome["records"], 0) << collected.body;
    EXPECT_EQ(outcome["rejected"], 1) << collected.body;
    EXPECT_EQ(outcome["error"], nullptr) << collected.body;
    EXPECT_EQ(Get("/api/rejected")["rejected"].size(), 1u);
    const json rejected = Get("/api/rejected?terminal=1");
    EXPECT_EQ(rejected["rejected"][0]["raw"], "x');DROP_TABLE_records;--abc");
    EXPECT_EQ(rejected["rejected"][0]["line"], "hall");
    EXPECT_EQ(Get("/api/records")["total"], seeded.rows.size());
}

TEST_F(Http, TokenRefusalsTouchNothing) {
    RawRecord r;
    r.card = "700001";
    sim->Ok("record 2 seal " + r.Text());
    const int framesBefore = sim->RequestsFor(2);
    for (const char* path : {"/api/records", "/api/records.csv", "/api/terminals", "/api/totals?by=day", "/metrics",
                             "/healthz", "/api/jobs", "/api/site", "/api/rejected", "/nothing-here"}) {
        for (const std::string& token : {std::string(), std::string("wrong-token-0123456789"), kToken + "x",
                                         kToken.substr(0, kToken.size() - 1)}) {
            // Past a few wrong tokens the address is told to wait (429).
            const HttpResult res = HttpGet(port, path, token);
            if (res.status == 429) {
                EXPECT_FALSE(token.empty());
                EXPECT_NE(res.Header("Retry-After"), "");
                continue;
            }
            EXPECT_EQ(res.status, 401) << path << " with '" << token << "'";
            EXPECT_EQ(res.body, "{\"error\":\"a valid token is required (Authorization: Bearer ...)\"}");
            EXPECT_EQ(res.Header("WWW-Authenticate"), "Bearer realm=\"talvod\"");
        }
    }
    EXPECT_EQ(HttpPost(port, "/api/terminals/hall/2/collect").status, 401);
    const int bearerless = HttpPost(port, "/api/terminals/hall/2/collect", "Bearer-less").status;
    EXPECT_TRUE(bearerless == 401 || bearerless == 429) << bearerless;
    // The page's files carry no data and need no token.
    EXPECT_EQ(HttpGet(port, "/").status, 200);
    EXPECT_EQ(HttpGet(port, "/app.js").status, 200);
    EXPECT_EQ(HttpGet(port, "/style.css").Header("Content-Type"), "text/css; charset=utf-8");
    // Nothing reached the terminal.
    EXPECT_EQ(sim->RequestsFor(2), framesBefore);
    EXPECT_EQ(sim->Held(2), 1);
    // The address may use its token again once its tries are back.
    EXPECT_TRUE(WaitFor([&] { return HttpGet(port, "/api/site", kToken).status == 200; }));

    EXPECT_EQ(HttpPost(port, "/api/terminals/hall/7/collect", kToken).status, 404);
    EXPECT_EQ(HttpPost(port, "/api/terminals/east/1/collect", kToken).status, 404);
    // The answer comes once the collection is over and tells what it
    // stored, or why the terminal gave nothing.
    const HttpResult collected = HttpPost(port, "/api/terminals/hall/2/collect", kToken);
    ASSERT_EQ(collected.status, 200) << collected.body;
    EXPECT_EQ(json::parse(collected.body),
              json::parse(R"({"done":true,"line":"hall","terminal":2,"records":1,"rejected":0,"state":"up","error":null})"));
    EXPECT_EQ(sim->Held(2), 0);
    EXPECT_EQ(Get("/api/records?card=700001")["total"], 1);
    const HttpResult metrics = HttpGet(port, "/metrics", kToken);
    EXPECT_EQ(metrics.Header("Content-Type"), "text/plain; version=0.0.4");
    for (const char* family : {"talvod_records_stored_total{line=\"hall\"} 1", "talvod_exchanges_total{line=\"hall\",job=\"collect\"}",
                               "talvod_batches_replayed_total", "talvod_collection_latency_seconds_count 1",
                               "talvod_terminals_up{line=\"hall\"} 2", "talvod_exchange_failures_total"}) {
        EXPECT_NE(metrics.body.find(family), std::string::npos) << family << "\n" << metrics.body;
    }
    EXPECT_EQ(Get("/healthz")["status"], "ok");

    sim->Ok("remove 1");
    const HttpResult silent = HttpPost(port, "/api/terminals/hall/1/collect", kToken);
    ASSERT_EQ(silent.status, 200) << silent.body;
    EXPECT_EQ(json::parse(silent.body)["state"], "down") << silent.body;
    EXPECT_EQ(json::parse(silent.body)["records"], 0) << silent.body;
    EXPECT_NE(json::parse(silent.body)["error"], nullptr) << silent.body;
}

TEST_F(Http, BadRequestsGetReasons) {
    const std::string kMalformed =
        "malformed query: name=value pairs joined by '&', with '=', '&', '%' and '+' in values escaped";
    const std::map<std::string, std::string> refused = {
        {"/api/records?terminal=256", "terminal: a number from 0 to 255"},
        {"/api/records?terminal=1%20OR%201%3D1", "terminal: a number from 0 to 255"},
        {"/api/records?card=1'%20OR%20'1'%3D'1", "card: 1 to 6 letters or digits"},
        {"/api/records?card=1'%20OR%20'1'='1", kMalformed},
        {"/api/records?card=%27%3B--", "card: 1 to 6 letters or digits"},
        {"/api/records?line=a;DROP%20TABLE%20records", "line: letters, digits, '_', '-' and '.' only, 1 to 32 of them"},
        {"/api/records?type=5%20UNION%20SELECT", "type: payment (5), deposit (13) or subsidy (14)"},
        {"/api/records?from=yesterday", "from: a date YYYY-MM-DD or a time YYYY-MM-DD HH:MM"},
        {"/api/records?limit=-1", "limit: a number from 1 to 1000"},
        {"/api/records?limit=1e3", "limit: a number from 1 to 1000"},
        {"/api/records?order=id;DELETE", "unknown parameter 'order'"},
        {"/api/records?terminal=1&terminal=2", "parameter 'terminal' given more than once"},
        {"/api/records?terminal=1=2", kMalformed},
        {"/api/records?card=%zz", kMalformed},
        {"/api/records?card=1%", kMalformed},
        {"/api/records?card=%00", kMalformed},
        {"/api/records?=5", kMalformed},
        {"/api/records?card=" + std::string(5000, '1'), "parameter 'card' is too long (at most 64 characters)"},
        {"/api/records?from=2026-03-05&to=2026-03-01", "from is after to"},
        {"/api/totals", "by: day, hour, terminal, line or type"},
        {"/api/totals?by=card", "by: day, hour, terminal, line or type"},
        {"/api/totals?by=day;DROP", "by: day, hour, terminal, line or type"},
        {"/api/totals?by=day&limit=3", "unknown parameter 'limit'"},
        {"/api/rejected?card=1", "unknown parameter 'card'"},
        {"/api/terminals?x=1", "no parameters here"},
    };
    for (const auto& [path, why] : refused) {
        const HttpResult res = HttpGet(port, path, kToken);
        EXPECT_EQ(res.status, 400) << path;
        EXPECT_EQ(res.Header("Content-Type"), "application/json") << path;
        EXPECT_EQ(res.body, (json{{"error", why}}.dump())) << path;
    }
    // Over-long requests and unknown places: a short reason, no internals.
    const HttpResult huge = HttpGet(port, "/api/records?card=" + std::string(20000, 'A'), kToken);
    EXPECT_EQ(huge.status, 414);
    EXPECT_EQ(huge.body, "{\"error\":\"request line too long\"}");
    const HttpResult missing = HttpGet(port, "/api/records/../../etc/passwd", kToken);
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(missing.body, "{\"error\":\"no such resource\"}");
    EXPECT_EQ(HttpPost(port, "/api/records", kToken).status, 404);
    // Requests that are not HTTP at all.
    const std::string auth = "Authorization: Bearer " + kToken + "\r\n";
    for (const std::string& raw : {std::string("GARBAGE\r\n\r\n"), std::string("GET\r\n\r\n"),
                                   "GET /api/records?" + std::string(300, '%') + " HTTP/1.1\r\n" + auth + "\r\n",
                                   "GET /api/records?card=%C0%27 HTTP/1.1\r\n" + auth + "\r\n",
                                   "GET / HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n"}) {
        const std::string answer = RawHttp(port, raw);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400", 0), 0u) << answer.substr(0, 200);
        EXPECT_EQ(answer.find("httplib"), std::string::npos);
    }
    // Nothing was changed by any of it.
    EXPECT_EQ(Get("/api/records")["total"], seeded.rows.size());
    auto db = service::Open(dir / "talvod.db");
    EXPECT_EQ(AsInt(db->Query("SELECT COUNT(*) FROM records", {}).at(0).at(0)), static_cast<std::int64_t>(seeded.rows.size()));
}

}  // namespace
}  // namespace talvo::test

namespace talvo::test {
namespace {

// "YYYY-MM-DDTHH:MM:SS.mmmZ" as seconds since 1970.
double Epoch(const std::string& utc) {
    std::tm tm{};
    int ms = 0;
    std::sscanf(utc.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                &tm.tm_sec, &ms);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<double>(timegm(&tm)) + ms / 1000.0;
}

// /metrics as exporters are expected to look: every counter of each line
// from the start, a gauge per terminal; /healthz without the token when the
// configuration opens it, and nothing else.
TEST(HttpMetrics, PerTerminalGaugesAndOpenHealth) {
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    RawRecord r;
    a.Ok("record 1 seal " + r.Text());
    const std::string token = "metrics-token-0123456789";
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         "[http]\nport = 0\ntoken = \"" + token + "\"\nhealth_without_token = true\n"
                         "[jobs]\ncollect = \"1h\"\n",
                         {"[[line]]\nname = \"hall\"\ndevice = \"" + a.link() +
                          "\"\nbaud = 9600\necho_time_ms = 100\nwait_time_ms = 300\ntries = 1\n"
                          "[[line.terminal]]\nnumber = 1\nname = \"Till A\"\n"
                          "[[line.terminal]]\nnumber = 9\nname = \"Gone\"\n"}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    json till;
    ASSERT_TRUE(WaitFor([&] {
        const json all = json::parse(HttpGet(port, "/api/terminals", token).body, nullptr, false);
        if (!all.is_object()) return false;
        for (const json& t : all["terminals"]) {
            if (t["number"] == 1 && t["last_collection"].is_string()) till = t;
        }
        return till.is_object();
    })) << talvod.Log();
    std::string body;
    ASSERT_TRUE(WaitFor([&] {
        body = HttpGet(port, "/metrics", token).body;
        return body.find("talvod_terminal_up{line=\"hall\",terminal=\"9\",name=\"Gone\"} 0") != std::string::npos;
    })) << body;

    for (const char* present : {"talvod_terminal_up{line=\"hall\",terminal=\"1\",name=\"Till A\"} 1\n",
                                // Counters before their first event.
                                "talvod_batches_replayed_total{line=\"hall\"} 0\n",
                                "talvod_database_failures_total{line=\"hall\"} 0\n",
                                "talvod_records_stored_total{line=\"hall\"} 1\n",
                                "talvod_records_rejected_total{line=\"hall\"} 0\n",
                                "talvod_exchanges_total{line=\"hall\",job=\"status\"} ",
                                "# TYPE talvod_terminal_last_collection_timestamp_seconds gauge\n"}) {
        EXPECT_NE(body.find(present), std::string::npos) << present << "\n" << body;
    }
    // The last collection as the database has it; none for a terminal never collected.
    const std::string gauge = "talvod_terminal_last_collection_timestamp_seconds{line=\"hall\",terminal=\"1\",name=\"Till A\"} ";
    const std::size_t at = body.find(gauge);
    ASSERT_NE(at, std::string::npos) << body;
    EXPECT_NEAR(std::stod(body.substr(at + gauge.size())), Epoch(till["last_collection"]), 0.001) << body;
    EXPECT_EQ(body.find("talvod_terminal_last_collection_timestamp_seconds{line=\"hall\",terminal=\"9\""),
              std::string::npos) << body;

    const HttpResult health = HttpGet(port, "/healthz");
    EXPECT_EQ(health.status, 200) << health.body;
    EXPECT_EQ(HttpGet(port, "/metrics").status, 401);
    EXPECT_EQ(HttpGet(port, "/api/terminals").status, 401);
    EXPECT_EQ(HttpGet(port, "/healthz?x=1").status, 400);

    talvod.Signal(SIGTERM);
    talvod.Wait();
}

}  // namespace
}  // namespace talvo::test
