// Lines claimed by one service each, on a real SQLite file and a real
// PostgreSQL server: a claim held by a live service is refused (and says
// whose it is), a silent holder's claim is taken over, and terminals the
// configuration no longer names show as "not configured".
#include <gtest/gtest.h>

#include <cstdlib>
#include <tuple>

#include "harness.h"
#include "manage/desired.h"
#include "db/ownership.h"
#include "db/store.h"

namespace talvo::test {
namespace {

using namespace service;

class Ownership : public BackendDatabase {
protected:
    std::string StateOf(const std::string& line, int number) {
        const Rows r = db->Query("SELECT state FROM terminals WHERE line = ? AND number = ?",
                                 {line, static_cast<std::int64_t>(number)});
        return r.empty() ? std::string() : AsText(r[0][0]);
    }
};

TEST_P(Ownership, OneServicePerLine) {
    EXPECT_TRUE(ClaimLine(*db, "hall", "pc1").ours);
    EXPECT_TRUE(ClaimLine(*db, "hall", "pc1").ours) << "a restart takes its own claim again";
    const Claim other = ClaimLine(*db, "hall", "pc2");
    EXPECT_FALSE(other.ours);
    EXPECT_EQ(other.holder, "pc1");
    EXPECT_NE(ClaimRefusal("hall", other).find("host 'pc1'"), std::string::npos) << ClaimRefusal("hall", other);
    EXPECT_TRUE(ClaimLine(*db, "bar", "pc2").ours) << "other names are free";

    // pc1 went silent a while ago: its line may be had.
    db->Query("UPDATE line_owners SET heartbeat_ms = heartbeat_ms - ? WHERE line = 'hall'",
              {static_cast<std::int64_t>(kClaimAliveMs + 1000)});
    const Claim taken = ClaimLine(*db, "hall", "pc2");
    EXPECT_TRUE(taken.ours);
    EXPECT_FALSE(ClaimLine(*db, "hall", "pc1").ours);
}

TEST_P(Ownership, TerminalsNoLongerConfigured) {
    TerminalState t;
    t.kind = "payment";
    t.state = "up";
    for (const auto& [line, number, host] : std::vector<std::tuple<std::string, int, std::string>>{
             {"north", 1, "pc1"}, {"north", 2, "pc1"}, {"south", 1, "pc1"}, {"west", 1, "pc2"}}) {
        t.line = line;
        t.number = number;
        t.name = line + std::to_string(number);
        SaveTerminal(*db, t, host);
    }
    ASSERT_TRUE(ClaimLine(*db, "north", "pc1").ours);
    ASSERT_TRUE(ClaimLine(*db, "south", "pc1").ours);
    ASSERT_TRUE(ClaimLine(*db, "west", "pc2").ours);

    for (int n : {1, 2}) SaveSync(*db, SyncRow{"north", n, "menu", "in_sync", "[100]", "", 0, "", "", ""});
    ReleaseOthers(*db, "pc1", {{"north", 1}, {"south", 1}});
    EXPECT_EQ(StateOf("north", 1), "up");
    EXPECT_EQ(StateOf("north", 2), "not configured");
    const std::vector<SyncRow> sync = ListSync(*db, "north");
    ASSERT_EQ(sync.size(), 1u) << "the sync state of a terminal no longer configured goes with it";
    EXPECT_EQ(sync[0].terminal, 1);
    EXPECT_EQ(StateOf("south", 1), "up");

    // The line north taken out: its terminals and its claim go; another
    // service's line stays as it is.
    ReleaseOthers(*db, "pc1", {{"south", 1}});
    EXPECT_EQ(StateOf("north", 1), "not configured");
    EXPECT_EQ(StateOf("west", 1), "up");
    EXPECT_TRUE(ClaimLine(*db, "north", "pc2").ours);
    EXPECT_FALSE(ClaimLine(*db, "west", "pc1").ours);
}

INSTANTIATE_TEST_SUITE_P(Backends, Ownership, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

}  // namespace
}  // namespace talvo::test
