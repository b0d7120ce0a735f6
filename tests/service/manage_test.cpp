// The site's terminals kept in a desired state by talvod, against software
// terminals on three lines: what the service pushed is read back from each
// software terminal's own state.  A lost card reaches every answering
// terminal; a silent terminal catches up; a restart loses no pending change;
// a replaced terminal is rewritten; refusals back off; stale edits and
// read-only tokens change nothing; every change is audited.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <sstream>

#include <memory>
#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using nlohmann::json;

std::string Config(const std::string& database, const std::vector<std::string>& lines, const std::string& jobs = "") {
    return ManagedConfig(database, lines, "collect = \"2s\"\n" + jobs);
}

class Manage : public ::testing::Test, protected ManagedService {};

TEST_F(Manage, LostCardReachesEveryTerminalAndIsAudited) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB"), c(dir / "ttyC");
    for (SimLine* s : {&a, &b, &c}) {
        s->Ok("add 1");
        s->Ok("add 2");
        s->Ok("add 3");
    }
    a.Ok("add 4 attendance");
    Start(Config(dir / "talvod.db", {LineBlock("north", a.link(), {"1", "2", "3", "4:attendance"}),
                                     LineBlock("south", b.link(), {"1", "2", "3"}),
                                     LineBlock("east", c.link(), {"1", "2", "3"})}));

    // A reader may look but not change; nothing it tried is kept.
    HttpResult r = Send("POST", "/api/cards/123456/block", {{"reason", "lost"}}, kReaderToken);
    EXPECT_EQ(r.status, 403) << r.body;
    r = Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}, kReaderToken);
    EXPECT_EQ(r.status, 403) << r.body;
    EXPECT_EQ(Send("POST", "/api/terminals/north/1/collect", json::object(), kReaderToken).status, 403);
    EXPECT_EQ(Send("POST", "/api/cards/123456/block", json::object(), "wrong-token-0123456789").status, 401);
    // What it tried is written down as refused.
    const json refused = Get("/api/audit")["audit"];
    ASSERT_EQ(refused.size(), 3u) << refused.dump();
    for (const json& row : refused) {
        EXPECT_EQ(row["who"], "office");
        EXPECT_EQ(row["outcome"].get<std::string>().rfind("refused 403", 0), 0u) << row.dump();
    }
    EXPECT_TRUE(Get("/api/desired")["items"].empty());

    r = Send("POST", "/api/cards/123456/block", {{"reason", "lost at lunch"}});
    ASSERT_EQ(r.status, 200) << r.body;
    for (SimLine* s : {&a, &b, &c}) {
        for (int t = 1; t <= 3; ++t) {
            EXPECT_TRUE(WaitFor([&] { return s->Holds(t, "123456"); }))
                << s->link() << " terminal " << t << " never got the card";
        }
    }
    EXPECT_EQ(a.Ok("get 4 blacklist"), "") << "an attendance terminal keeps no blacklist";
    EXPECT_TRUE(WaitFor([&] { return SyncState("east", 3, "blacklist") == "in_sync"; }));

    // The card's page: all nine payment terminals, from the start; applied
    // on each once its worker has written down what it pushed.
    json card = Get("/api/cards/123456");
    ASSERT_EQ(card["terminals"].size(), 9u) << card.dump();
    EXPECT_TRUE(WaitFor([&] {
        card = Get("/api/cards/123456");
        return std::all_of(card["terminals"].begin(), card["terminals"].end(),
                           [](const json& t) { return t["state"] == "applied"; });
    })) << card.dump();
    EXPECT_EQ(card["blocked"][0]["reason"], "lost at lunch");

    // Found again: off every terminal, its history kept.
    ASSERT_EQ(Send("POST", "/api/cards/123456/unblock", {{"reason", "found"}}).status, 200);
    for (SimLine* s : {&a, &b, &c}) {
        for (int t = 1; t <= 3; ++t) EXPECT_TRUE(WaitFor([&] { return !s->Holds(t, "123456"); }));
    }
    card = Get("/api/cards/123456");
    EXPECT_TRUE(card["blocked"].empty());
    ASSERT_EQ(card["history"].size(), 2u);
    EXPECT_EQ(card["history"][0]["action"], "unblock");
    EXPECT_EQ(card["history"][1]["action"], "block");

    const json audit = Get("/api/audit")["audit"];
    ASSERT_EQ(audit.size(), 5u) << audit.dump();
    EXPECT_EQ(audit[0]["action"], "unblock card");
    EXPECT_EQ(audit[1]["action"], "block card");
    EXPECT_EQ(audit[1]["who"], "admin");
    EXPECT_EQ(audit[1]["address"], "127.0.0.1");
}

TEST_F(Manage, GroupsItemsAndRefusals) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("add 3 attendance");
    Start(Config(dir / "talvod.db", {LineBlock("hall", a.link(), {"1@canteen", "2", "3:attendance"})}));

    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50", "2.00"}}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/canteen/menu", {{"version", 0}, {"value", {"3.00"}}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/cmw", {{"version", 0}, {"value", "ABC"}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/zones", {{"version", 0}, {"value", {"07:00", "11:30"}}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/reasons", {{"version", 0}, {"value", {{"1", "SICK"}}}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/attend_zones", {{"version", 0}, {"value", {"07:00-09:00/01"}}}).status,
              200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/card_key", {{"version", 0}, {"value", "a1b2c3"}}).status, 200);

    // A stale edit is refused and changes nothing.
    HttpResult r = Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"9.99"}}});
    EXPECT_EQ(r.status, 409) << r.body;
    EXPECT_EQ(json::parse(r.body)["version"], 1);

    // Bad values, each with its reason.
    const std::vector<std::pair<std::string, json>> bad = {
        {"menu", {"10000.00"}},                     {"menu", {"1.005"}},
        {"menu", json::array({json::object()})},    {"menu", "1.50"},
        {"zones", {"25:00"}},                       {"zones", json::array()},
        {"cmw", "THIRTEEN-CHARS"},                  {"mdeb", "-1.00"},
        {"lock", "yes"},                            {"card_key", "XYZ123"},
        {"attend_zones", {"07:00-09:00"}},          {"reasons", {{"256", "X"}}},
        {"reasons", {{"1", "NINE-BYTES"}}},         {"subsidy", {{"entries", {"SHORT"}}}},
        {"subsidy", {{"rate", 1}}},
    };
    for (const auto& [item, value] : bad) {
        r = Send("PUT", "/api/desired/site/" + item, {{"version", item == "menu" ? 1 : 0}, {"value", value}});
        EXPECT_EQ(r.status, 400) << item << " " << value.dump() << ": " << r.body;
    }
    json many = json::array();
    for (int i = 0; i < 256; ++i) many.push_back("1.00");
    r = Send("PUT", "/api/desired/site/menu", {{"version", 1}, {"value", many}});
    EXPECT_EQ(r.status, 400);
    EXPECT_NE(r.body.find("at most 255"), std::string::npos) << r.body;
    EXPECT_EQ(Send("PUT", "/api/desired/nowhere/menu", {{"version", 0}, {"value", {"1.00"}}}).status, 404);
    EXPECT_EQ(Send("PUT", "/api/desired/site/colour", {{"version", 0}, {"value", "red"}}).status, 404);
    EXPECT_EQ(Send("PUT", "/api/desired/site/menu", {{"value", {"1.00"}}}).status, 400) << "no version";
    EXPECT_EQ(Send("POST", "/api/cards/12345/block", json::object()).status, 400);
    EXPECT_EQ(Send("POST", "/api/cards/123456/block", {{"reason", std::string(201, 'x')}}).status, 400);
    EXPECT_EQ(Send("POST", "/api/cards/123456/unblock", json::object()).status, 404) << "not blocked";

    // Each terminal gets its group's menu, or the site's.
    // (A state in sync may be one from before the last change was seen:
    // the terminals' contents are waited for.)
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "menu") == "in_sync" && SyncState("hall", 2, "menu") == "in_sync"; }));
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 1 menu").size() == 6u; })) << "one price for the canteen";
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 2 menu").size() == 12u; })) << "two prices for the site";
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 3, "reasons") == "in_sync"; }));
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 2 key") == "A1B2C3"; }));
    EXPECT_EQ(a.Ok("get 1 cmw"), "ABC000000000");
    EXPECT_EQ(a.Ok("get 3 reason1"), "5349434B0F0F0F0F");  // "SICK" and fillers
    EXPECT_EQ(a.Ok("get 3 azones").substr(0, 10), "0700090001");

    // The card key is never shown back, and its audit row keeps it secret.
    const json desired = Get("/api/desired");
    for (const json& i : desired["items"]) {
        if (i["item"] == "card_key") {
            EXPECT_EQ(i["value"], json({{"set", true}}));
        }
    }
    EXPECT_EQ(HttpGet(port, "/api/desired", kReaderToken).body.find("A1B2C3"), std::string::npos);
    EXPECT_EQ(HttpGet(port, "/api/audit", kReaderToken).body.find("A1B2C3"), std::string::npos);

    // A command that changes a terminal: an administrator's, and audited
    // (its card key never written down).  The key is kept by the service:
    // refused, with the way to change it.
    EXPECT_EQ(Send("POST", "/api/lines/hall/terminals/2/command", {{"op", "lock"}}, kReaderToken).status, 403);
    r = Send("POST", "/api/lines/hall/terminals/2/command", {{"op", "key set"}, {"key", "D4E5F6"}});
    EXPECT_EQ(r.status, 409) << r.body;
    EXPECT_NE(r.body.find("PUT /api/desired/site/card_key"), std::string::npos) << r.body;
    EXPECT_EQ(a.Ok("get 2 key"), "A1B2C3");
    const json audit = Get("/api/audit?limit=1")["audit"];
    ASSERT_EQ(audit.size(), 1u);
    EXPECT_EQ(audit[0]["action"], "command key set");
    EXPECT_EQ(audit[0]["outcome"].get<std::string>().rfind("refused 409", 0), 0u) << audit.dump();
    EXPECT_EQ(audit[0]["detail"].get<std::string>().find("D4E5F6"), std::string::npos) << audit.dump();

    // Released: the service stops keeping it, the terminal keeps what it has.
    EXPECT_EQ(Send("DELETE", "/api/desired/canteen/menu?version=1", json()).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Ok("get 1 menu").size() == 12u; })) << "the site's menu now applies";
}

TEST_F(Manage, SilentTerminalCatchesUpAndRestartLosesNothing) {
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    b.Ok("add 1");
    const std::string config =
        Config(dir / "talvod.db", {LineBlock("north", a.link(), {"1"}), LineBlock("south", b.link(), {"1"})});
    Start(config);
    b.Ok("fault any silence times=0");
    ASSERT_EQ(Send("POST", "/api/cards/222222/block", {{"reason", "stolen"}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "222222"); }));
    EXPECT_TRUE(WaitFor([&] { return SyncState("south", 1, "blacklist") == "pending"; }));
    EXPECT_FALSE(b.Holds(1, "222222"));

    // Changed, not yet pushed, and the service killed: the next one pushes it.
    ASSERT_EQ(Send("POST", "/api/cards/333333/block", {{"reason", "lost"}}).status, 200);
    service->Signal(SIGKILL);
    service->Wait();
    service.reset();
    b.Ok("clearfaults");
    Start(config);
    EXPECT_TRUE(WaitFor([&] { return b.Holds(1, "222222") && b.Holds(1, "333333"); }));
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "333333"); }));
    EXPECT_TRUE(WaitFor([&] { return SyncState("south", 1, "blacklist") == "in_sync"; }));
}

TEST_F(Manage, ReplacedTerminalIsRewrittenAndRefusalsBackOff) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    Start(Config(dir / "talvod.db", {LineBlock("hall", a.link(), {"1", "2"})}, "verify = \"1s\"\n"));
    for (const char* card : {"111111", "222222", "333333"}) {
        ASSERT_EQ(Send("POST", std::string("/api/cards/") + card + "/block", json::object()).status, 200);
    }
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "333333") && a.Holds(2, "333333"); }));

    // Terminal 1 replaced by a new one with nothing on it: the read-back
    // finds it out and the list and the menu are written again.
    a.Ok("remove 1");
    a.Ok("add 1");
    EXPECT_TRUE(WaitFor([&] {
        return a.Holds(1, "111111") && a.Holds(1, "222222") && a.Holds(1, "333333") && a.Ok("get 1 menu").size() == 6;
    }));

    // Terminal 2 refuses every menu: failed with the reason, tried again
    // after a back-off that grows, never in a loop.
    a.Ok("fault 26 status XX times=0");
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 1}, {"value", {"2.50"}}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 2, "menu") == "failed"; }));
    const int before = a.RequestsFor(2);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // Its status once a second, and the menu after 0.5, 1, 2 s: a loop
    // would be hundreds.
    EXPECT_LE(a.RequestsFor(2) - before, 20);
    const json sync = Get("/api/sync");
    for (const json& t : sync["terminals"]) {
        if (t["terminal"] != 2) continue;
        EXPECT_EQ(t["badge"], "failed");
    }
    a.Ok("clearfaults");
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "menu") == "in_sync" && SyncState("hall", 2, "menu") == "in_sync"; }));
    EXPECT_EQ(a.Ok("get 2 menu"), a.Ok("get 1 menu"));
}

// A terminal that accepts a menu but reads back another one is failed,
// not in sync, and written again once it holds what it is sent.
TEST_F(Manage, OtherContentsThanPushedIsAFailure) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    Start(Config(dir / "talvod.db", {LineBlock("hall", a.link(), {"1"})}));
    a.Ok("fault 36 payload 500900 times=0");  // every menu read says 9.00
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "menu") == "failed"; }));
    const json sync = Get("/api/sync");
    EXPECT_EQ(sync["terminals"][0]["items"][0]["error"], "the terminal holds other contents than were pushed")
        << sync.dump();
    a.Ok("clearfaults");
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "menu") == "in_sync"; }));
}

// A terminal handing over a long backlog does not hold a lost card back:
// the card goes out between two of its batches.
TEST_F(Manage, LostCardGoesBetweenTheBatchesOfABacklog) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("pace 9600");
    for (int i = 0; i < 240; ++i) {
        RawRecord r;
        r.card = std::to_string(300000 + i);
        a.Ok("record 1 seal " + r.Text());
    }
    Start(Config(dir / "talvod.db", {LineBlock("hall", a.link(), {"1", "2"})}));
    ASSERT_TRUE(WaitFor([&] { return a.Held(1) < 230; }));
    ASSERT_EQ(Send("POST", "/api/cards/666666/block", {{"reason", "lost"}}).status, 200);
    ASSERT_TRUE(WaitFor([&] { return a.Holds(1, "666666") && a.Holds(2, "666666"); }));
    EXPECT_GT(a.Held(1), 0) << "the card waited for the whole backlog";
    EXPECT_TRUE(WaitFor([&] { return a.Held(1) == 0; }, std::chrono::seconds(60))) << "collection went on";
}

// Several terminals handing over backlogs, collected together: a lost card
// cuts the round of fetches short instead of waiting for every terminal's
// batch (at most the fetch under way and one begun before the card came).
TEST_F(Manage, LostCardCutsARoundOfBatchesShort) {
    SimLine a(dir / "ttyA");
    std::vector<std::string> numbers;
    for (int t = 1; t <= 6; ++t) {
        a.Ok("add " + std::to_string(t));
        numbers.push_back(std::to_string(t));
        for (int i = 0; i < 30; ++i) {
            RawRecord r;
            r.card = std::to_string(400000 + t * 100 + i);
            a.Ok("record " + std::to_string(t) + " seal " + r.Text());
        }
    }
    a.Ok("pace 9600");
    Start(Config(dir / "talvod.db", {LineBlock("hall", a.link(), numbers)}));
    auto held = [&] {
        int n = 0;
        for (int t = 1; t <= 6; ++t) n += a.Held(t);
        return n;
    };
    auto codes = [&] { return a.Codes(); };
    // The card comes while a round's first batch is being fetched (the
    // terminals' counts fall only with the confirmations that end a round).
    ASSERT_TRUE(WaitFor([&] { return held() < 170; }));
    a.Ok("clearframes");
    ASSERT_TRUE(WaitFor([&] { return !codes().empty(); }));
    a.Ok("clearframes");
    ASSERT_TRUE(WaitFor([&] {
        const auto c = codes();
        return !c.empty() && c.back() == "37";
    }));
    ASSERT_EQ(Send("POST", "/api/cards/777777/block", {{"reason", "lost"}}).status, 200);
    ASSERT_TRUE(WaitFor([&] {
        for (int t = 1; t <= 6; ++t) {
            if (!a.Holds(t, "777777")) return false;
        }
        return true;
    }));
    // Batches asked for (code 37) from the one under way when the card came
    // to the first request of the push.
    int fetches = 0;
    std::string seen;
    for (const std::string& code : codes()) {
        seen += code + " ";
        if (code == "37") ++fetches;
        else if (code != "47" && code != "10") break;
    }
    EXPECT_LE(fetches, 2) << "requests: " << seen;
    EXPECT_GT(held(), 0) << "the card waited for the whole backlog";
    EXPECT_TRUE(WaitFor([&] { return held() == 0; }, std::chrono::seconds(60))) << "collection went on";
}

// On PostgreSQL, the server stopped: changes are refused and nothing half
// done is kept or pushed; when it is back, a change goes through and out.
TEST_F(Manage, DatabaseAwayRefusesChanges) {
    Postgres* pg = std::getenv("TALVO_TEST_NO_POSTGRES") != nullptr ? nullptr : Postgres::Get();
    if (pg == nullptr) GTEST_SKIP() << "no PostgreSQL server programs";
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2 attendance");
    Start(Config(pg->NewDatabase(), {LineBlock("hall", a.link(), {"1", "2:attendance"})}));
    ASSERT_EQ(Send("POST", "/api/cards/444444/block", {{"reason", "lost"}}).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/reasons", {{"version", 0}, {"value", {{"7", "LATE"}}}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "444444") && SyncState("hall", 2, "reasons") == "in_sync"; }));

    pg->Crash();
    HttpResult r = Send("POST", "/api/cards/555555/block", {{"reason", "lost"}});
    EXPECT_EQ(r.status, 503) << r.body;
    EXPECT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.00"}}}).status, 503);
    EXPECT_EQ(HttpGet(port, "/api/sync", kReaderToken).status, 503);
    pg->Start();

    EXPECT_TRUE(WaitFor([&] { return HttpGet(port, "/api/sync", kReaderToken).status == 200; }));
    EXPECT_FALSE(a.Holds(1, "555555"));
    EXPECT_EQ(Get("/api/audit")["audit"].size(), 2u) << "the refused changes left no trace";
    ASSERT_EQ(Send("POST", "/api/cards/555555/block", {{"reason", "lost"}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "555555") && a.Holds(1, "444444"); }));
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "blacklist") == "in_sync"; }));
}

}  // namespace
}  // namespace talvo::test
