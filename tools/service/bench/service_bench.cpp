// Figures for talvod, run by hand (never by the tests):
//
//   talvo_service_bench rate [RECORDS]   records/s into SQLite and PostgreSQL
//                                        against the same exchanges with no
//                                        storage; with TALVO_BENCH_TALVOD_BEFORE
//                                        naming another talvod, PostgreSQL's
//                                        rate of that one against this one,
//                                        in alternating runs
//   talvo_service_bench idle [SECONDS]   CPU share of talvod with ten silent
//                                        terminals and the default jobs
//   talvo_service_bench page [RECORDS]   the page's load time with a year of
//                                        records for 50 terminals against an
//                                        empty database, in alternating runs
//
// Everything runs on this machine: software terminals on ptys, a private
// PostgreSQL cluster (with fsync on), Chromium headless.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

#include "harness.h"
#include "store.h"
#include "talvo.h"

using namespace talvo::test;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Queue(SimLine& sim, int terminal, int n) {
    for (int i = 0; i < n; ++i) {
        RawRecord r;
        r.card = std::to_string(100000 + i % 800000);
        r.cents = 100 + i % 9000;
        r.month = 1 + i % 12;
        r.day = 1 + i % 28;
        sim.Ok("record " + std::to_string(terminal) + " seal " + r.Text());
    }
}

// Fetch and confirm with no storage between: the line's own speed.
double BareRate(int records) {
    TempDir dir;
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    Queue(sim, 1, records);
    talvo_line_options o;
    talvo_line_options_init(&o);
    const std::string device = sim.link();
    o.device = device.c_str();
    o.baud = 9600;
    o.echo_time_ms = 100;
    o.wait_time_ms = 300;
    o.tries = 2;
    talvo_line* line = nullptr;
    if (talvo_line_open(&o, &line) != TALVO_OK) return 0;
    const auto start = Clock::now();
    int done = 0;
    for (;;) {
        talvo_record out[TALVO_BATCH_MAX];
        size_t n = 0;
        talvo_batch batch{};
        if (talvo_records_fetch(line, 1, out, TALVO_BATCH_MAX, &n, &batch) != TALVO_OK) break;
        if (batch.count == 0) break;
        if (talvo_records_confirm(line, 1, &batch) != TALVO_OK) break;
        done += batch.count;
    }
    const double t = Seconds(start);
    talvo_line_close(line);
    std::printf("  no storage: %d records in %.2f s\n", done, t);
    return done / t;
}

// talvod collecting `records` records from three terminals of one line.
double ServiceRate(const std::string& database, int records, TempDir& dir) {
    SimLine sim(dir / "tty");
    for (int t = 1; t <= 3; ++t) {
        sim.Ok("add " + std::to_string(t));
        Queue(sim, t, records / 3);
    }
    WriteText(dir / "talvod.toml",
              ConfigText(database, "[http]\nport = 0\n[jobs]\ncollect = \"100ms\"\nstatus = \"1h\"\nclock_at_start = false\n",
                         {LineBlock("bench", sim.link(), {"1", "2", "3"})}));
    const int all = records / 3 * 3;
    auto held = [&] { return sim.Held(1) + sim.Held(2) + sim.Held(3); };
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    // From the first batch taken (the process started, the schema there)
    // to the last.
    WaitFor([&] { return held() < all; }, std::chrono::minutes(1));
    const auto start = Clock::now();
    const int first = all - held();
    WaitFor([&] { return held() == 0; }, std::chrono::minutes(10));
    const double t = Seconds(start);
    talvod.Signal(SIGTERM);
    talvod.Wait();
    std::printf("  %s: %d records in %.2f s\n", database.rfind("postgresql", 0) == 0 ? "PostgreSQL" : "SQLite",
                all - first, t);
    return (all - first) / t;
}

int Rate(int records) {
    std::printf("records per second, %d records, no pacing on the line\n", records);
    const double bare = BareRate(records);
    TempDir a;
    const double sqlite = ServiceRate(a / "bench.db", records, a);
    setenv("TALVO_PG_FSYNC", "on", 0);  // unless set: TALVO_PG_FSYNC=off measures without the disk
    double pg = 0;
    Postgres* p = Postgres::Get();
    if (p != nullptr) {
        TempDir b;
        pg = ServiceRate(p->NewDatabase(), records, b);
    }
    std::printf("fetch+confirm only: %.0f records/s\n", bare);
    std::printf("talvod into SQLite (WAL, synchronous=FULL): %.0f records/s, %.2f of the bare rate\n", sqlite, sqlite / bare);
    if (pg > 0) {
        std::printf("talvod into PostgreSQL 15 (fsync %s): %.0f records/s, %.2f of the bare rate\n",
                    std::getenv("TALVO_PG_FSYNC"), pg, pg / bare);
    }

    // Another build of talvod against this one on PostgreSQL, in turns.
    const char* before = std::getenv("TALVO_BENCH_TALVOD_BEFORE");
    if (before == nullptr || p == nullptr) return 0;
    const std::string self = TalvodPath();
    double sumBefore = 0, sumAfter = 0;
    const int rounds = 3;
    for (int round = 0; round < rounds; ++round) {
        for (const std::string& binary : {std::string(before), self}) {
            setenv("TALVO_BENCH_TALVOD", binary.c_str(), 1);
            TempDir b;
            std::printf("  %s, round %d\n", binary == self ? "this talvod" : "the other talvod", round + 1);
            (binary == self ? sumAfter : sumBefore) += ServiceRate(p->NewDatabase(), records, b);
        }
    }
    unsetenv("TALVO_BENCH_TALVOD");
    std::printf("PostgreSQL, %d alternating runs each: the other talvod %.0f records/s, this one %.0f records/s:"
                " %.2fx\n", rounds, sumBefore / rounds, sumAfter / rounds, sumAfter / sumBefore);
    std::fprintf(stderr, "RESULT pg_rate_other_over_this %.4f 0.5000 ratio (goal: this one at least 2x)\n",
                 sumBefore / sumAfter);
    return 0;
}

long CpuTicks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> f; ++i) {
        if (i == 14) utime = std::stol(f);
        if (i == 15) {
            stime = std::stol(f);
            break;
        }
    }
    return utime + stime;
}

int Idle(int seconds) {
    TempDir dir;
    SimLine sim(dir / "tty");  // serves no terminal: all ten are silent
    std::vector<std::string> ten;
    for (int t = 1; t <= 10; ++t) ten.push_back(std::to_string(t));
    WriteText(dir / "talvod.toml", ConfigText(dir / "idle.db", "[http]\nport = 0\n", {LineBlock("idle", sim.link(), ten)}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    talvod.Port();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const long before = CpuTicks(talvod.pid());
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const long used = CpuTicks(talvod.pid()) - before;
    const double t = Seconds(start);
    const double share = used / static_cast<double>(sysconf(_SC_CLK_TCK)) / t;
    std::printf("idle, ten silent terminals, default jobs (collect 60 s, status 30 s, back-off 5 s to 10 min):\n"
                "  %ld ticks of CPU in %.0f s: %.4f %% of one core; %d requests sent to the line\n",
                used, t, share * 100, sim.RequestsFor(1) + sim.RequestsFor(2) + sim.RequestsFor(3) + sim.RequestsFor(4) +
                                          sim.RequestsFor(5) + sim.RequestsFor(6) + sim.RequestsFor(7) +
                                          sim.RequestsFor(8) + sim.RequestsFor(9) + sim.RequestsFor(10));
    talvod.Signal(SIGTERM);
    talvod.Wait();
    return 0;
}

// A year of records (the last 365 days up to today) for 50 terminals on
// two lines, written straight into a SQLite file, with their day totals.
void Fill(const std::string& path, int records) {
    auto db = talvo::service::Open(path);
    talvo::service::Migrate(*db);
    // Written without a flush at each commit and with the records' indexes
    // made afterwards (in one sorted pass each): minutes instead of an hour.
    db->Exec("PRAGMA synchronous=OFF");
    db->Exec("PRAGMA cache_size=-262144");
    std::vector<std::string> indexes;
    for (const auto& r : db->Query("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND tbl_name = 'records'"
                                   " AND sql IS NOT NULL")) {
        indexes.push_back(talvo::service::AsText(r[1]));
        db->Exec("DROP INDEX " + talvo::service::AsText(r[0]));
    }
    constexpr int kDays = 365;
    const int perDay = records / kDays / 50;
    const std::time_t now = std::time(nullptr);
    std::int64_t batchId = 0;
    for (int d = kDays - 1; d >= 0; --d) {
        const std::time_t when = now - d * 86400;
        std::tm tm{};
        localtime_r(&when, &tm);
        char day[32];
        std::snprintf(day, sizeof day, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
        talvo::service::Transaction tx(*db);
        for (int terminal = 0; terminal < 50; ++terminal) {
            const std::string line = terminal < 25 ? "hall" : "yard";
            for (int i = 0; i < perDay; i += 6) {
                ++batchId;
                db->Query("INSERT INTO batches (id, line, terminal, mark, raw, records, rejected, stored_at, host)"
                          " VALUES (?, ?, ?, ?, 'x', 6, 0, '2026-01-01T00:00:00Z', 'bench')",
                          {batchId, line, static_cast<std::int64_t>(terminal % 25 + 1), batchId % 65536});
                std::string sql = "INSERT INTO records (batch_id, position, line, terminal, card, type, amount_cents,"
                                  " second_amount_cents, at, day) VALUES ";
                std::vector<talvo::service::Value> params;
                for (int k = 0; k < 6 && i + k < perDay; ++k) {
                    const int n = i + k;
                    char at[48];
                    std::snprintf(at, sizeof at, "%s %02d:%02d", day, 6 + n * 14 / perDay, n % 60);
                    sql += k == 0 ? "(?, ?, ?, ?, ?, ?, ?, 0, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, 0, ?, ?)";
                    const bool deposit = n % 10 == 0;
                    params.insert(params.end(), {batchId, static_cast<std::int64_t>(k), line,
                                                 static_cast<std::int64_t>(terminal % 25 + 1), std::to_string(100000 + n),
                                                 static_cast<std::int64_t>(deposit ? 13 : 5),
                                                 static_cast<std::int64_t>(deposit ? 5000 : -(150 + n % 700)),
                                                 std::string(at), std::string(day)});
                }
                db->Query(sql, params);
            }
        }
        tx.Commit();
    }
    for (const std::string& sql : indexes) db->Exec(sql);
    talvo::service::Transaction tx(*db);
    db->Exec("DELETE FROM day_totals");
    db->Exec("INSERT INTO day_totals (day, line, terminal, type, records, sum_cents)"
             " SELECT day, line, terminal, type, COUNT(*), SUM(amount_cents) FROM records GROUP BY day, line, terminal, type");
    db->Exec("DELETE FROM hour_totals");
    db->Exec("INSERT INTO hour_totals (day, hour, line, terminal, type, records, sum_cents)"
             " SELECT day, substr(at, 12, 2), line, terminal, type, COUNT(*), SUM(amount_cents) FROM records"
             " GROUP BY day, substr(at, 12, 2), line, terminal, type");
    tx.Commit();
}

std::string Chromium() { return "/usr/bin/chromium"; }

std::string Today() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char today[32];
    std::snprintf(today, sizeof today, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return today;
}

// The requests the page makes when it loads.
std::vector<std::string> PageRequests() {
    const std::string today = Today();
    const std::string first = today.substr(0, 8) + "01";
    return {"/api/site",
            "/api/terminals",
            "/api/jobs",
            "/api/totals?by=hour&day=" + today,
            "/api/totals?by=day&from=" + first + "&to=" + today,
            "/api/records?limit=25&offset=0",
            "/api/rejected?limit=10",
            "/api/totals?by=terminal&from=" + today + "&to=" + today};
}

// One run of Chromium until the page's data is in: its wall time in ms,
// negative when the page was not filled in.
double LoadOnce(int port, TempDir& dir) {
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string dom;
    const auto start = Clock::now();
    // The virtual time budget stays under the page's refresh interval, so
    // that one load is measured and not several refreshes.
    RunProgram({Chromium(), "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--user-data-dir=" + (dir / "profile"), "--virtual-time-budget=5000", "--dump-dom", url},
               dom, {"HOME=" + dir.path(), "TMPDIR=" + dir.path()});
    const double ms = Seconds(start) * 1000;
    return dom.find("data-loaded=\"1\"") != std::string::npos ? ms : -ms;
}

// Every request of the page once, in order: the time of each in ms.
std::vector<double> RequestsOnce(int port) {
    std::vector<double> out;
    for (const std::string& p : PageRequests()) {
        const auto start = Clock::now();
        const HttpResult r = HttpGet(port, p);
        out.push_back(Seconds(start) * 1000);
        if (r.status != 200) std::printf("    %s: status %d\n", p.c_str(), r.status);
    }
    return out;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// An empty database and one of `records` records, each behind a talvod of
// its own, measured in turns: the page's requests (the sum of each one's
// median over the rounds) and Chromium's run to the filled-in page.
int Page(int records) {
    TempDir dir;
    struct Side {
        std::string label;
        std::unique_ptr<Talvod> talvod;
        int port = 0;
        std::vector<std::vector<double>> requests;  // per request, per round
        std::vector<double> browser;
        int complete = 0;
    };
    std::vector<Side> sides(2);
    for (int i = 0; i < 2; ++i) {
        const int n = i == 0 ? 0 : records;
        const std::string db = dir / ("page" + std::to_string(n) + ".db");
        const auto start = Clock::now();
        Fill(db, n);
        if (n > 0) std::printf("  %d records written in %.0f s\n", n, Seconds(start));
        const std::string config = dir / ("talvod" + std::to_string(i) + ".toml");
        WriteText(config, ConfigText(db, "[http]\nport = 0\n", {LineBlock("hall", dir / "no-such-device", {"1"})}));
        sides[i].label = n == 0 ? "empty database" : std::to_string(n) + " records, 50 terminals";
        sides[i].talvod = std::make_unique<Talvod>(config, dir / ("talvod" + std::to_string(i) + ".log"));
        sides[i].port = sides[i].talvod->Port();
        sides[i].requests.resize(PageRequests().size());
        RequestsOnce(sides[i].port);  // the first reads bring the file into the cache
    }
    const int rounds = 7;
    for (int round = 0; round < rounds; ++round) {
        for (Side& s : sides) {
            const std::vector<double> ms = RequestsOnce(s.port);
            for (std::size_t k = 0; k < ms.size(); ++k) s.requests[k].push_back(ms[k]);
        }
    }
    for (int round = 0; round < 5; ++round) {
        for (Side& s : sides) {
            const double ms = LoadOnce(s.port, dir);
            s.browser.push_back(ms < 0 ? -ms : ms);
            s.complete += ms > 0 ? 1 : 0;
        }
    }
    std::vector<double> sums;
    std::vector<double> browsers;
    for (Side& s : sides) {
        std::printf("  %s:\n", s.label.c_str());
        double sum = 0;
        for (std::size_t k = 0; k < s.requests.size(); ++k) {
            const double m = Median(s.requests[k]);
            sum += m;
            std::printf("    %-50s %7.2f ms\n", PageRequests()[k].c_str(), m);
        }
        std::printf("    the page's requests together: %.2f ms (medians of %d); Chromium to the filled-in page %.0f ms"
                    " (median of 5, %d of 5 complete)\n",
                    sum, rounds, Median(s.browser), s.complete);
        sums.push_back(sum);
        browsers.push_back(Median(s.browser));
        s.talvod->Signal(SIGTERM);
        s.talvod->Wait();
    }
    std::printf("%d records against an empty database: page in Chromium %.3fx, the page's requests %.3fx\n", records,
                browsers[1] / browsers[0], sums[1] / sums[0]);
    std::fprintf(stderr, "RESULT page_fill_ratio %.4f 1.1000 x an empty database's\n", browsers[1] / browsers[0]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    const int n = argc > 2 ? std::atoi(argv[2]) : 0;
    if (what == "rate") return Rate(n > 0 ? n : 3000);
    if (what == "idle") return Idle(n > 0 ? n : 60);
    if (what == "page") return Page(n > 0 ? n : 15'000'000);
    std::fprintf(stderr, "usage: talvo_service_bench rate [RECORDS] | idle [SECONDS] | page [RECORDS]\n");
    return 2;
}
