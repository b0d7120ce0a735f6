// The records feed (GET /api/records?after=SEQ): a consumer that keeps the
// last number it took gets every record exactly once, in commit order,
// while several lines commit at the same time, on SQLite and PostgreSQL;
// and the example consumer of the README does the same from its state file.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using nlohmann::json;

const char* kJobs = "[http]\nport = 0\n[jobs]\ncollect = \"100ms\"\nstatus = \"10s\"\nclock_at_start = false\n";
constexpr int kLines = 4;
constexpr int kTerminals = 2;

class Feed : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (GetParam()) {
            Postgres* pg = Postgres::Get();
            if (pg == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
            database = pg->NewDatabase();
        } else {
            database = dir / "talvod.db";
        }
        std::vector<std::string> blocks;
        for (int l = 0; l < kLines; ++l) {
            sims.push_back(std::make_unique<SimLine>(dir / ("tty" + std::to_string(l))));
            std::vector<std::string> terminals;
            for (int t = 1; t <= kTerminals; ++t) {
                sims.back()->Ok("add " + std::to_string(t));
                terminals.push_back(std::to_string(t));
            }
            blocks.push_back(LineBlock("line" + std::to_string(l), sims.back()->link(), terminals));
        }
        WriteText(dir / "talvod.toml", ConfigText(database, kJobs, blocks));
    }

    // Queues `n` records on every terminal, small batches at a time, so
    // that the lines' commits overlap.
    int Queue(int rounds) {
        int queued = 0;
        for (int round = 0; round < rounds; ++round) {
            for (auto& sim : sims) {
                for (int t = 1; t <= kTerminals; ++t) {
                    for (int k = 0; k < 3; ++k) {
                        RawRecord r;
                        r.card = std::to_string(100000 + queued);
                        r.cents = 100 + queued % 900;
                        sim->Ok("record " + std::to_string(t) + " seal " + r.Text());
                        ++queued;
                    }
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        return queued;
    }

    TempDir dir;
    std::string database;
    std::vector<std::unique_ptr<SimLine>> sims;
};

TEST_P(Feed, EveryRecordOnceInCommitOrderDuringCollection) {
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();

    // The consumer reads while the lines collect and commit.
    std::atomic<bool> fed{false};
    std::atomic<int> expected{0};
    std::vector<std::int64_t> seqs, ids;
    std::set<std::string> cards;
    std::string problem;
    std::thread consumer([&] {
        std::int64_t after = 0;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (std::chrono::steady_clock::now() < limit) {
            const HttpResult r = HttpGet(port, "/api/records?after=" + std::to_string(after) + "&limit=37");
            const json page = json::parse(r.body, nullptr, false);
            if (r.status != 200 || page.is_discarded()) {
                problem = "status " + std::to_string(r.status) + ": " + r.body;
                return;
            }
            for (const json& record : page["records"]) {
                seqs.push_back(record["seq"].get<std::int64_t>());
                ids.push_back(record["id"].get<std::int64_t>());
                cards.insert(record["card"].get<std::string>());
            }
            if (page["next"].get<std::int64_t>() < after) problem = "the cursor went back";
            after = page["next"].get<std::int64_t>();
            if (fed && static_cast<int>(ids.size()) >= expected && !page["more"].get<bool>()) return;
            if (!page["more"].get<bool>()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        problem = "the consumer did not catch up";
    });
    expected = Queue(40);
    fed = true;
    const bool collected = WaitFor(
        [&] {
            for (auto& sim : sims) {
                for (int t = 1; t <= kTerminals; ++t) {
                    if (sim->Held(t) != 0) return false;
                }
            }
            return true;
        },
        std::chrono::seconds(90));
    consumer.join();
    ASSERT_TRUE(collected) << talvod.Log();
    ASSERT_EQ(problem, "");

    EXPECT_EQ(static_cast<int>(ids.size()), expected.load());
    EXPECT_EQ(static_cast<int>(std::set<std::int64_t>(ids.begin(), ids.end()).size()), expected.load());
    EXPECT_EQ(static_cast<int>(cards.size()), expected.load());
    for (std::size_t i = 1; i < seqs.size(); ++i) ASSERT_LT(seqs[i - 1], seqs[i]) << "at " << i;
    // Numbered without gaps: a consumer can tell that nothing is missing.
    EXPECT_EQ(seqs.back() - seqs.front() + 1, static_cast<std::int64_t>(seqs.size()));

    // The database has the same records, and nothing above the last number.
    const HttpResult all = HttpGet(port, "/api/records?limit=1");
    EXPECT_EQ(json::parse(all.body)["total"].get<int>(), expected.load());
    const json end = json::parse(HttpGet(port, "/api/records?after=" + std::to_string(seqs.back())).body);
    EXPECT_TRUE(end["records"].empty());
    EXPECT_EQ(end["next"].get<std::int64_t>(), seqs.back());
    EXPECT_FALSE(end["more"].get<bool>());
}

INSTANTIATE_TEST_SUITE_P(Databases, Feed, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "PostgreSQL" : "SQLite"; });

// The README's consumer: every record once across two runs, the second
// taking only what came after the first.
TEST(FeedConsumer, ExampleTakesEachRecordOnceAcrossRuns) {
    TempDir dir;
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", kJobs, {LineBlock("hall", sim.link(), {"1"})}));
    auto queue = [&](int first, int n) {
        for (int i = 0; i < n; ++i) {
            RawRecord r;
            r.card = std::to_string(first + i);
            sim.Ok("record 1 seal " + r.Text());
        }
    };
    queue(200000, 25);
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) == 0; })) << talvod.Log();

    const std::string script = std::string(TALVO_EXAMPLES_DIR) + "/feed_consumer.py";
    const std::vector<std::string> run = {"python3", script, "--url", "http://127.0.0.1:" + std::to_string(port),
                                          "--state", dir / "feed.state", "--limit", "10"};
    auto cardsOf = [](const std::string& out) {
        std::vector<std::string> cards;
        std::istringstream lines(out);
        for (std::string line; std::getline(lines, line);) cards.push_back(json::parse(line)["card"]);
        return cards;
    };
    std::string out;
    ASSERT_EQ(RunProgram(run, out), 0) << out;
    std::vector<std::string> first = cardsOf(out);
    ASSERT_EQ(first.size(), 25u);
    EXPECT_EQ(first.front(), "200000");
    EXPECT_EQ(first.back(), "200024");

    queue(300000, 7);
    ASSERT_TRUE(WaitFor([&] { return sim.Held(1) == 0; })) << talvod.Log();
    ASSERT_EQ(RunProgram(run, out), 0) << out;
    const std::vector<std::string> second = cardsOf(out);
    ASSERT_EQ(second.size(), 7u);
    EXPECT_EQ(second.front(), "300000");
    // Nothing new: nothing printed, the state kept.
    ASSERT_EQ(RunProgram(run, out), 0) << out;
    EXPECT_EQ(out, "");
    const json all = json::parse(HttpGet(port, "/api/records?after=0&limit=1000").body);
    ASSERT_EQ(all["records"].size(), 32u);
    EXPECT_EQ(ReadText(dir / "feed.state"), std::to_string(all["next"].get<std::int64_t>()) + "\n");

    // The cursor's refusals.
    EXPECT_EQ(HttpGet(port, "/api/records?after=5&offset=10").status, 400);
    EXPECT_EQ(HttpGet(port, "/api/records?after=-1").status, 400);
    EXPECT_EQ(HttpGet(port, "/api/records?after=x").status, 400);
}

}  // namespace
}  // namespace talvo::test
