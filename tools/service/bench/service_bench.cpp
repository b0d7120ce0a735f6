// Figures for talvod, run by hand (never by the tests):
//
//   talvo_service_bench rate [RECORDS [TERMINALS]]
//                                        records/s into SQLite and PostgreSQL
//                                        from one line of TERMINALS (3)
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
//   talvo_service_bench block [ROUNDS]   a card blocked through the HTTP API
//                                        until all 30 terminals of three paced
//                                        lines hold it, against the line time
//                                        of one line's ten adds
//
// Everything runs on this machine: software terminals on ptys, a private
// PostgreSQL cluster (with fsync on), Chromium headless.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "harness.h"
#include "db/queries.h"
#include "db/store.h"
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

// talvod collecting `records` records from `terminals` terminals of one
// line.
double ServiceRate(const std::string& database, int records, int terminals, TempDir& dir) {
    SimLine sim(dir / "tty");
    std::vector<std::string> numbers;
    for (int t = 1; t <= terminals; ++t) {
        sim.Ok("add " + std::to_string(t));
        Queue(sim, t, records / terminals);
        numbers.push_back(std::to_string(t));
    }
    WriteText(dir / "talvod.toml",
              ConfigText(database, "[http]\nport = 0\n[jobs]\ncollect = \"100ms\"\nstatus = \"1h\"\nclock_at_start = false\n",
                         {LineBlock("bench", sim.link(), numbers)}));
    const int all = records / terminals * terminals;
    auto held = [&] {
        int n = 0;
        for (int t = 1; t <= terminals; ++t) n += sim.Held(t);
        return n;
    };
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

int Rate(int records, int terminals) {
    std::printf("records per second, %d records from %d terminals of one line, no pacing on the line\n", records,
                terminals);
    const double bare = BareRate(records);
    TempDir a;
    const double sqlite = ServiceRate(a / "bench.db", records, terminals, a);
    setenv("TALVO_PG_FSYNC", "on", 0);  // unless set: TALVO_PG_FSYNC=off measures without the disk
    double pg = 0;
    Postgres* p = Postgres::Get();
    if (p != nullptr) {
        TempDir b;
        pg = ServiceRate(p->NewDatabase(), records, terminals, b);
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
            (binary == self ? sumAfter : sumBefore) += ServiceRate(p->NewDatabase(), records, terminals, b);
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
    std::int64_t batchId = 0, seq = 0;
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
                                  " second_amount_cents, at, day, seq) VALUES ";
                std::vector<talvo::service::Value> params;
                for (int k = 0; k < 6 && i + k < perDay; ++k) {
                    const int n = i + k;
                    char at[48];
                    std::snprintf(at, sizeof at, "%s %02d:%02d", day, 6 + n * 14 / perDay, n % 60);
                    sql += k == 0 ? "(?, ?, ?, ?, ?, ?, ?, 0, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, 0, ?, ?, ?)";
                    const bool deposit = n % 10 == 0;
                    params.insert(params.end(), {batchId, static_cast<std::int64_t>(k), line,
                                                 static_cast<std::int64_t>(terminal % 25 + 1), std::to_string(100000 + n),
                                                 static_cast<std::int64_t>(deposit ? 13 : 5),
                                                 static_cast<std::int64_t>(deposit ? 5000 : -(150 + n % 700)),
                                                 std::string(at), std::string(day), ++seq});
                }
                db->Query(sql, params);
            }
        }
        tx.Commit();
    }
    for (const std::string& sql : indexes) db->Exec(sql);
    talvo::service::Transaction tx(*db);
    db->Query("UPDATE record_sequence SET last = ?", {seq});
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

// The requests the page makes when it loads.
std::vector<std::string> PageRequests() {
    const std::string today = talvo::service::LocalToday();
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


// ---- A lost card to every terminal ----------------------------------------------

constexpr int kBlockBaud = 9600;
constexpr int kPerLine = 10;
const std::string kBenchAdmin = "bench-admin-token-0123456789";

double Ms(Clock::time_point from, Clock::time_point to) { return std::chrono::duration<double, std::milli>(to - from).count(); }

struct Spread {
    double median = 0, min = 0, max = 0;
};

Spread Of(std::vector<double> v) {
    Spread s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.min = v.front();
    s.max = v.back();
    return s;
}

// Whether the software terminal itself holds `card` (its control channel,
// served by a thread of this process: nothing goes over the line).
bool HoldsCard(SimLine& sim, int terminal, const std::string& card) {
    const std::string answer = sim.Command("get " + std::to_string(terminal) + " blacklist");
    if (answer.rfind("ok", 0) != 0) return false;
    for (std::size_t at = 3; at + 6 <= answer.size(); at += 6) {
        if (answer.compare(at, 6, card) == 0) return true;
    }
    return false;
}

// A line's terminals 1..10 on a software terminal line paced at the baud.
void PacedTerminals(SimLine& sim) {
    for (int t = 1; t <= kPerLine; ++t) sim.Ok("add " + std::to_string(t));
    sim.Ok("pace " + std::to_string(kBlockBaud));
}

talvo_line* OpenPaced(const std::string& device) {
    // The same settings as LineBlock gives talvod's lines.
    talvo_line_options o;
    talvo_line_options_init(&o);
    o.device = device.c_str();
    o.baud = kBlockBaud;
    o.echo_time_ms = 100;
    o.wait_time_ms = 300;
    o.tries = 2;
    talvo_line* line = nullptr;
    return talvo_line_open(&o, &line) == TALVO_OK ? line : nullptr;
}

// The reference: what the service's push of one line is made of, ten
// blacklist adds of one card, one to each terminal, through the line API.
// Also when the tenth terminal took the card in: a software terminal holds
// it as soon as the request is in, before its paced answer, so that is when
// the last request went out, after nine exchanges.  False when one failed.
bool PushLineTime(talvo_line* line, const std::string& card, double& exchanges, double& held) {
    const auto start = Clock::now();
    for (int t = 1; t <= kPerLine; ++t) {
        if (t == kPerLine) held = Ms(start, Clock::now());
        if (talvo_blacklist_add(line, t, card.c_str(), 1) != TALVO_OK) return false;
    }
    exchanges = Ms(start, Clock::now());
    return true;
}

// One collection turn of a terminal holding one full batch, through the
// line API: fetch, confirm, and the fetch that finds nothing more.
double TurnLineTime(SimLine& sim, talvo_line* line, int round) {
    for (int i = 0; i < TALVO_BATCH_MAX; ++i) {
        RawRecord r;
        r.card = std::to_string(200000 + round);
        r.cents = 100 + i;
        sim.Ok("record 1 seal " + r.Text());
    }
    const auto start = Clock::now();
    talvo_record out[TALVO_BATCH_MAX];
    std::size_t n = 0;
    talvo_batch batch{};
    if (talvo_records_fetch(line, 1, out, TALVO_BATCH_MAX, &n, &batch) != TALVO_OK || batch.count != TALVO_BATCH_MAX) {
        return -1;
    }
    if (talvo_records_confirm(line, 1, &batch) != TALVO_OK) return -1;
    talvo_batch empty{};
    if (talvo_records_fetch(line, 1, out, TALVO_BATCH_MAX, &n, &empty) != TALVO_OK || empty.count != 0) return -1;
    return Ms(start, Clock::now());
}

// One scenario read top to bottom, and long for it: the feeder, the
// rounds and the figures share the lines, the service and the samples, and
// pulled apart they would pass a dozen references between them.
int Block(int rounds) {
    TempDir dir;
    const std::array<std::string, 3> names = {"north", "south", "east"};
    std::vector<std::unique_ptr<SimLine>> sims;
    std::vector<std::string> blocks;
    std::vector<std::string> terminals;
    for (int t = 1; t <= kPerLine; ++t) terminals.push_back(std::to_string(t));
    for (const std::string& name : names) {
        sims.push_back(std::make_unique<SimLine>(dir / ("tty-" + name)));
        PacedTerminals(*sims.back());
        blocks.push_back(LineBlock(name, sims.back()->link(), terminals));
    }
    // The reference line: a fourth software terminal line of the same kind,
    // driven by this process.
    SimLine reference(dir / "tty-reference");
    PacedTerminals(reference);
    talvo_line* line = OpenPaced(reference.link());
    if (line == nullptr) {
        std::fprintf(stderr, "block: the reference line does not open\n");
        return 1;
    }

    // Sales keep coming: a record every two seconds on each terminal, so that
    // every collection turn finds records (one batch: a turn is the line time
    // of one batch at most, see TurnLineTime).
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding; ++i) {
            for (auto& sim : sims) {
                for (int t = 1; t <= kPerLine; ++t) {
                    RawRecord r;
                    r.card = std::to_string(100000 + i % 800000);
                    r.cents = 100 + i % 9000;
                    r.minute = i % 60;
                    sim->Command("record " + std::to_string(t) + " seal " + r.Text());
                }
            }
            for (int k = 0; k < 100 && feeding; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    const std::string database = dir / "block.db";
    WriteText(dir / "talvod.toml",
              ConfigText(database,
                         "[http]\nport = 0\ntoken = \"" + kBenchAdmin +
                             "\"\n[jobs]\ncollect = \"2s\"\nstatus = \"10s\"\nclock_at_start = false\n",
                         {blocks[0], blocks[1], blocks[2]}));
    int status = 0;
    {
        Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
        const int port = talvod.Port();
        auto block = [&](const std::string& card) {
            return HttpSend(port, "POST", "/api/cards/" + card + "/block", R"({"reason":"bench"})", kBenchAdmin);
        };
        auto everywhere = [&](const std::string& card) {
            for (auto& sim : sims) {
                for (int t = 1; t <= kPerLine; ++t) {
                    if (!HoldsCard(*sim, t, card)) return false;
                }
            }
            return true;
        };
        // Warm-up: the first read-backs and the records queued so far.
        if (port == 0 || block("699999").status != 200 ||
            !WaitFor([&] { return everywhere("699999"); }, std::chrono::seconds(60))) {
            std::fprintf(stderr, "block: talvod did not push the first card\n%s", talvod.Log().c_str());
            status = 1;
        }
        std::this_thread::sleep_for(std::chrono::seconds(5));

        std::vector<double> toAll, first, lines, push, pushHeld, turn, post;
        std::mt19937 random(19);
        std::uniform_int_distribution<int> phase(0, 3000);
        auto service = [&](const std::string& card) {
            const auto start = Clock::now();
            const HttpResult r = block(card);
            const auto answered = Clock::now();
            if (r.status != 200) {
                std::fprintf(stderr, "block: %s refused: %d %s\n", card.c_str(), r.status, r.body.c_str());
                return false;
            }
            std::vector<std::pair<std::size_t, int>> waiting;  // a line's index and a terminal
            for (std::size_t l = 0; l < sims.size(); ++l) {
                for (int t = 1; t <= kPerLine; ++t) waiting.emplace_back(l, t);
            }
            // When each line's first terminal held the card: the wait before
            // its pushes began.
            std::vector<std::optional<Clock::time_point>> began(sims.size()), ended(sims.size());
            for (;;) {
                std::erase_if(waiting, [&](const auto& w) {
                    if (!HoldsCard(*sims[w.first], w.second, card)) return false;
                    const auto now = Clock::now();
                    if (!began[w.first]) began[w.first] = now;
                    ended[w.first] = now;
                    return true;
                });
                const auto now = Clock::now();
                if (waiting.empty()) {
                    toAll.push_back(Ms(start, now));
                    break;
                }
                if (now - start > std::chrono::seconds(60)) {
                    std::fprintf(stderr, "block: %s on %zu terminals after a minute\n", card.c_str(),
                                 sims.size() * kPerLine - waiting.size());
                    return false;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            first.push_back(Ms(start, **std::max_element(began.begin(), began.end())));
            double longest = 0;
            for (std::size_t l = 0; l < sims.size(); ++l) longest = std::max(longest, Ms(*began[l], *ended[l]));
            lines.push_back(longest);
            post.push_back(Ms(start, answered));
            return true;
        };
        auto referenceRound = [&](const std::string& card, int round) {
            double p = 0, h = 0;
            const bool pushed = PushLineTime(line, card, p, h);
            const double t = TurnLineTime(reference, line, round);
            if (!pushed || t < 0) {
                std::fprintf(stderr, "block: the reference line failed\n");
                return false;
            }
            push.push_back(p);
            pushHeld.push_back(h);
            turn.push_back(t);
            return true;
        };
        // Records a collection turn found, on average, as talvod recorded
        // its turns: looked at after every round.
        std::unique_ptr<talvo::service::Connection> db;
        double perTurn = 0;  // records a turn found, on average
        auto noteTurns = [&] {
            try {
                if (!db) db = talvo::service::Open(database);
                const auto records = db->Query("SELECT COUNT(*) FROM records");
                const auto runs = db->Query("SELECT SUM(runs) FROM job_runs WHERE job = 'collect'");
                if (records[0][0] && runs[0][0] && std::atof(runs[0][0]->c_str()) > 0) {
                    perTurn = std::atof(records[0][0]->c_str()) / (std::atof(runs[0][0]->c_str()) * kPerLine);
                }
            } catch (const talvo::service::DbError& e) {
                std::fprintf(stderr, "block: %s\n", e.what());
            }
        };
        for (int round = 0; status == 0 && round < rounds; ++round) {
            const std::string card = std::to_string(700000 + round);
            // Blocks land at any point of the line's cycle.
            std::this_thread::sleep_for(std::chrono::milliseconds(phase(random)));
            const bool ok = round % 2 == 0 ? referenceRound(card, round) && service(card)
                                           : service(card) && referenceRound(card, round);
            if (!ok) status = 1;
            noteTurns();
        }
        db.reset();
        // Add requests the software terminals received: one a terminal a
        // round, unless an answer was lost and the request sent again.
        int adds = 0;
        for (auto& sim : sims) {
            std::istringstream frames(sim->Command("frames"));
            for (std::string hex; frames >> hex;) {
                // The command code: bytes 6 and 7 of a request.
                if (hex.size() >= 14 && hex.compare(10, 4, "3243") == 0) ++adds;
            }
        }

        talvod.Signal(SIGTERM);
        talvod.Wait();
        // Whatever went wrong in talvod meanwhile is shown with the figures.
        std::istringstream log(talvod.Log());
        int shown = 0;
        for (std::string entry; std::getline(log, entry);) {
            if ((entry.find(" warning ") != std::string::npos || entry.find(" error ") != std::string::npos) &&
                shown++ < 10) {
                std::printf("  talvod: %s\n", entry.c_str());
            }
        }

        if (status == 0) {
            const Spread all = Of(toAll), ref = Of(push), held = Of(pushHeld), lineTurn = Of(turn),
                         lastLine = Of(first), http = Of(post), line9 = Of(lines);
            // The goal like for like: both figures end when a software
            // terminal took the card in (the stricter of the two readings).
            const double goal = 1.2 * held.median + lineTurn.median;
            std::printf("a card blocked through the HTTP API until all %zu terminals hold it: 3 lines x %d terminals"
                        " paced at %d baud,\n  collect every 2 s, a record every 2 s on each terminal; %d rounds,"
                        " interleaved with the reference\n",
                        sims.size() * kPerLine, kPerLine, kBlockBaud, rounds);
            std::printf("  block to all %zu: median %.0f ms (min %.0f, max %.0f); the HTTP answer after %.0f ms"
                        " (median);\n  the last of the three lines held it on its first terminal after median %.0f ms"
                        " (min %.0f, max %.0f)\n",
                        sims.size() * kPerLine, all.median, all.min, all.max, http.median, lastLine.median,
                        lastLine.min, lastLine.max);
            std::printf("  the slowest line from its first to its tenth terminal: median %.0f ms (min %.0f, max %.0f);"
                        " %d add\n  requests received, %d of them sent again\n",
                        line9.median, line9.min, line9.max, adds,
                        adds - rounds * kPerLine * static_cast<int>(sims.size()));
            std::printf("  reference, one line's %d adds through the line API: median %.0f ms (min %.0f, max %.0f);"
                        " ratio %.2f;\n  its tenth terminal held the card after %.0f ms (its request in, the answer"
                        " still to come): ratio like for like %.2f\n",
                        kPerLine, ref.median, ref.min, ref.max, all.median / ref.median, held.median,
                        all.median / held.median);
            std::printf("  one collection turn (a full %d-record batch, its confirmation, the empty fetch) through the"
                        " line API: median %.0f ms;\n  talvod's turns found %.1f records on average\n",
                        TALVO_BATCH_MAX, lineTurn.median, perTurn);
            std::printf("  goal, like for like: 1.2 x %.0f + %.0f = %.0f ms: median %s, max %s\n", held.median,
                        lineTurn.median, goal, all.median <= goal ? "within" : "ABOVE",
                        all.max <= goal ? "within" : "ABOVE");
            std::printf("RESULT block_card %.4f 1.0000 x (1.2 x the pushes' line time + one turn)\n", all.median / goal);
        }
    }
    feeding = false;
    feeder.join();
    talvo_line_close(line);
    return status;
}

}  // namespace

// The feed on PostgreSQL: `records` records stored as talvod stores them
// (batches of 255 from 8 terminals of two lines), then taken by one
// consumer over HTTP as the README's consumer does (after=SEQ, 1000 a
// request): records per second, while talvod runs.
int FeedRate(int records) {
    Postgres* pg = Postgres::Get();
    if (pg == nullptr) {
        std::fprintf(stderr, "feed: no PostgreSQL server programs\n");
        return 1;
    }
    TempDir dir;
    const std::string database = pg->NewDatabase();
    {
        auto db = talvo::service::Open(database);
        talvo::service::Migrate(*db);
        int stored = 0;
        for (int round = 0; stored < records; ++round) {
            std::vector<talvo::service::Batch> batches;
            for (int t = 0; t < 8 && stored < records; ++t) {
                talvo::service::Batch b;
                b.line = t < 4 ? "hall" : "yard";
                b.terminal = t % 4 + 1;
                b.mark = round % 65536;
                b.raw = "bench";
                for (int k = 0; k < 255 && stored < records; ++k, ++stored) {
                    talvo::service::Record r;
                    r.terminal = b.terminal;
                    r.card = std::to_string(100000 + stored % 900000);
                    r.type = 5;
                    r.amountCents = -(150 + stored % 700);
                    r.year = 2026, r.month = 12, r.day = 1 + stored % 28, r.hour = 12, r.minute = stored % 60;
                    b.records.push_back(r);
                }
                batches.push_back(std::move(b));
            }
            talvo::service::StoreBatches(*db, batches, "bench",
                                         std::vector<talvo::service::RepeatCheck>(batches.size()));
        }
    }
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(database, "[http]\nport = 0\n[jobs]\ncollect = \"60s\"\n", {LineBlock("hall", sim.link(), {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    if (port == 0) {
        std::fprintf(stderr, "feed: talvod did not start\n%s", talvod.Log().c_str());
        return 1;
    }
    std::int64_t after = 0, taken = 0;
    const auto start = Clock::now();
    for (bool more = true; more;) {
        const HttpResult r = HttpGet(port, "/api/records?after=" + std::to_string(after) + "&limit=1000");
        const auto page = nlohmann::json::parse(r.body, nullptr, false);
        if (r.status != 200 || page.is_discarded()) {
            std::fprintf(stderr, "feed: %d %s\n", r.status, r.body.c_str());
            return 1;
        }
        taken += static_cast<std::int64_t>(page["records"].size());
        after = page["next"].get<std::int64_t>();
        more = page["more"].get<bool>();
    }
    const double t = Seconds(start);
    talvod.Signal(SIGTERM);
    talvod.Wait();
    std::printf("the feed on PostgreSQL: %lld of %d records taken by one consumer (1000 a request) in %.2f s:"
                " %.0f records/s\n", static_cast<long long>(taken), records, t, taken / t);
    return taken == records ? 0 : 1;
}

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    const int n = argc > 2 ? std::atoi(argv[2]) : 0;
    if (what == "rate") {
        const int terminals = argc > 3 ? std::atoi(argv[3]) : 3;
        return Rate(n > 0 ? n : 3000, terminals > 0 && terminals <= 32 ? terminals : 3);
    }
    if (what == "idle") return Idle(n > 0 ? n : 60);
    if (what == "page") return Page(n > 0 ? n : 15'000'000);
    if (what == "block") return Block(n > 0 ? n : 20);
    if (what == "feed") return FeedRate(n > 0 ? n : 200'000);
    std::fprintf(stderr, "usage: talvo_service_bench rate [RECORDS [TERMINALS]] | idle [SECONDS] | page [RECORDS] |"
                         " block [ROUNDS] | feed [RECORDS]\n");
    return 2;
}
