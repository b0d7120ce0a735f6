// The desired state as the one authority for what the terminals hold, on
// both databases: values read back and written back unchanged change
// nothing; concurrent writers of one version get one 200 and 409s; cards
// found on a terminal are adopted, never cleared away; commands through the
// service follow the desired state; a card's status names every terminal
// at once; changes take JSON only; refusals are audited with their outcome;
// wrong tokens are slowed down per address.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using nlohmann::json;

std::string Config(const std::string& database, const std::vector<std::string>& lines, const std::string& more = "") {
    return ManagedConfig(database, lines, "collect = \"1h\"\nclock_at_start = false\n" + more);
}

std::string TalvoPath() { return TALVO_CLI_PATH; }

class Authority : public ::testing::TestWithParam<std::string>, protected ManagedService {
protected:
    void SetUp() override {
        if (GetParam() == "postgres" &&
            (std::getenv("TALVO_TEST_NO_POSTGRES") != nullptr || Postgres::Get() == nullptr)) {
            GTEST_SKIP() << "no PostgreSQL server programs";
        }
        database = DatabaseFor(GetParam(), dir);
    }
    // `items` managed items (of all terminals) there, all in sync.  (Rows
    // are written as each item is first pushed: fewer rows are a change not
    // yet seen.)
    bool AllInSync(std::size_t items) {
        const json sync = Get("/api/sync");
        std::size_t n = 0;
        for (const json& t : sync["terminals"]) {
            for (const json& i : t["items"]) {
                if (i["state"] != "in_sync") return false;
                ++n;
            }
        }
        return n == items;
    }
    std::string database;
};

// What a payment terminal (1) and an attendance terminal (2) hold of
// every item the service keeps.
std::string Contents(SimLine& sim) {
    std::string all;
    for (const char* f : {"blacklist", "menu", "cmw", "mdeb", "key", "subsidy", "maxbt", "bttime", "zones"}) {
        all += std::string(f) + "=" + sim.Ok(std::string("get 1 ") + f) + "\n";
    }
    all += "lock=" + sim.Ok("get 1 blocked") + "\n";
    for (const char* f : {"azones", "reason1", "reason7"}) all += std::string(f) + "=" + sim.Ok(std::string("get 2 ") + f) + "\n";
    return all;
}

// Read, then written back unchanged: every item keeps its value, and the
// terminals hold what they held.  Amounts go out as they come in, and a
// bare number for an amount is refused with the reason.
TEST_P(Authority, ReadAndWriteBackChangesNothing) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2 attendance");
    Start(Config(database, {LineBlock("hall", a.link(), {"1", "2:attendance"})}));
    const std::vector<std::pair<std::string, json>> items = {
        {"menu", {"1.60", "2.10", "3.00"}},
        {"subsidy", {{"entries", {"AAAAAAAAAAAA", "BBBBBBBBBBBB"}}, {"max", "5.00"}, {"time", "11:30-13:30"}}},
        {"zones", {"07:00", "11:30"}},
        {"cmw", "ABC"},
        {"mdeb", "12.50"},
        {"lock", true},
        {"card_key", "a1b2c3"},
        {"attend_zones", {"07:00-09:00/01"}},
        {"reasons", {{"1", "SICK"}, {"7", "LATE"}}},
    };
    for (const auto& [item, value] : items) {
        const HttpResult r = Send("PUT", "/api/desired/site/" + item, {{"version", 0}, {"value", value}});
        ASSERT_EQ(r.status, 200) << item << ": " << r.body;
    }
    ASSERT_EQ(Send("POST", "/api/cards/123456/block", {{"reason", "lost"}}).status, 200);
    ASSERT_TRUE(WaitFor([&] { return a.Holds(1, "123456") && AllInSync(10); }))
        << Get("/api/sync").dump() << service->Log();
    const std::string before = Contents(a);

    const json desired = Get("/api/desired");
    for (const json& i : desired["items"]) {
        if (i["item"] == "menu") {
            EXPECT_EQ(i["value"], json({"1.60", "2.10", "3.00"}));
        } else if (i["item"] == "mdeb") {
            EXPECT_EQ(i["value"], "12.50");
        } else if (i["item"] == "subsidy") {
            EXPECT_EQ(i["value"]["max"], "5.00");
        }
    }
    ASSERT_EQ(desired["items"].size(), items.size());
    for (const json& i : desired["items"]) {
        const HttpResult r = Send("PUT", "/api/desired/site/" + i["item"].get<std::string>(),
                                  {{"version", i["version"]}, {"value", i["value"]}});
        EXPECT_EQ(r.status, 200) << i.dump() << ": " << r.body;
    }
    const json again = Get("/api/desired");
    for (std::size_t n = 0; n < again["items"].size(); ++n) {
        EXPECT_EQ(again["items"][n]["value"], desired["items"][n]["value"]);
        EXPECT_EQ(again["items"][n]["version"], desired["items"][n]["version"].get<int>() + 1);
    }
    // A change after the write-backs, to know the worker has seen them.
    ASSERT_EQ(Send("POST", "/api/cards/654321/block", {{"reason", "marker"}}).status, 200);
    ASSERT_TRUE(WaitFor([&] { return a.Holds(1, "654321") && AllInSync(10); }));
    ASSERT_EQ(Send("POST", "/api/cards/654321/unblock", json::object()).status, 200);
    ASSERT_TRUE(WaitFor([&] { return !a.Holds(1, "654321") && AllInSync(10); }));
    EXPECT_EQ(Contents(a), before);

    // Bare numbers: refused, with the reason; nothing changes.
    const json menu = again["items"];
    for (const auto& [item, value] : std::vector<std::pair<std::string, json>>{
             {"menu", {160, 210}}, {"mdeb", 12.5}, {"subsidy", {{"max", 5}}}, {"menu", {"1.60", 2}}}) {
        std::int64_t version = 0;
        for (const json& i : menu) {
            if (i["item"] == item) version = i["version"];
        }
        const HttpResult r = Send("PUT", "/api/desired/site/" + item, {{"version", version}, {"value", value}});
        EXPECT_EQ(r.status, 400) << item << " " << value.dump();
        EXPECT_NE(r.body.find("bare number"), std::string::npos) << r.body;
    }
    // The card key is never shown, nor kept in clear in the sync rows.
    EXPECT_EQ(HttpGet(port, "/api/desired", kReaderToken).body.find("A1B2C3"), std::string::npos);
    if (GetParam() == "sqlite") {
        auto db = service::Open(database);
        const auto rows = db->Query("SELECT applied FROM sync_state WHERE item = 'card_key'");
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_EQ(service::AsText(rows[0][0]).rfind("sha256:", 0), 0u) << service::AsText(rows[0][0]);
    }
}

// Writers of one version at once: exactly one 200 per version, the others
// 409 (never 503); blocks of one card at once all hold.
TEST_P(Authority, ConcurrentWritersOneWinnerPerVersion) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    Start(Config(database, {LineBlock("hall", a.link(), {"1"})}));
    for (int round = 0; round < 12; ++round) {
        const int writers = 2 + round % 5;
        std::vector<std::thread> threads;
        std::vector<int> status(writers, 0);
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([&, w] {
                const std::string price = std::to_string(1 + w) + ".00";
                status[w] = Send("PUT", "/api/desired/site/menu", {{"version", round}, {"value", {price}}}).status;
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(std::count(status.begin(), status.end(), 200), 1) << "round " << round;
        EXPECT_EQ(std::count(status.begin(), status.end(), 409), writers - 1) << "round " << round;
    }
    EXPECT_EQ(Get("/api/desired")["items"][0]["version"], 12);

    // Six administrators block the same card: all 200, one block.
    std::vector<std::thread> threads;
    std::vector<int> status(6, 0);
    for (int w = 0; w < 6; ++w) {
        threads.emplace_back([&, w] { status[w] = Send("POST", "/api/cards/246810/block", {{"reason", "lost"}}).status; });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(status.begin(), status.end(), 200), 6);
    EXPECT_EQ(Get("/api/cards/246810")["history"].size(), 1u);
    // Blocks decided on one version of the list: one goes through.
    const std::int64_t version = Get("/api/desired")["blacklists"]["site"]["version"];
    threads.clear();
    for (int w = 0; w < 5; ++w) {
        threads.emplace_back([&, w] {
            status[w] = Send("POST", "/api/cards/" + std::to_string(300000 + w) + "/block", {{"version", version}}).status;
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(std::count(status.begin(), status.begin() + 5, 200), 1);
    EXPECT_EQ(std::count(status.begin(), status.begin() + 5, 409), 4);
    // Every refusal is in the audit table with its outcome.
    int refused = 0;
    const json audit = Get("/api/audit?limit=1000");
    for (const json& row : audit["audit"]) {
        if (row["outcome"].get<std::string>().rfind("refused 409", 0) == 0) ++refused;
    }
    int expected = 4;
    for (int round = 0; round < 12; ++round) expected += 1 + round % 5;
    EXPECT_EQ(refused, expected) << Get("/api/audit?limit=3").dump();

    if (GetParam() != "postgres") return;
    // The server restarted under pooled connections: the first change goes
    // through on a fresh one.
    Postgres::Get()->Crash();
    Postgres::Get()->Start();
    const HttpResult r = Send("POST", "/api/cards/135790/block", {{"reason", "after the restart"}});
    EXPECT_EQ(r.status, 200) << r.body;
}

// Cards a terminal held before the service managed it, or got behind its
// back, are adopted and reach the other terminals; only an unblock takes
// one off.  A card's status lists every terminal from the start.
TEST_P(Authority, FoundCardsAreAdoptedNotRemoved) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    a.Ok("set 1 blacklist 111111222222");  // terminal 3 is away
    Start(Config(database, {LineBlock("hall", a.link(), {"1", "2", "3"})}, "verify = \"1s\"\n"));
    ASSERT_EQ(Send("POST", "/api/cards/333333/block", {{"reason", "lost"}}).status, 200);
    // At once: all three terminals, the silent one pending.
    json card = Get("/api/cards/333333");
    ASSERT_EQ(card["terminals"].size(), 3u) << card.dump();

    const std::vector<std::string> all = {"111111", "222222", "333333"};
    EXPECT_TRUE(WaitFor([&] { return a.Blacklist(1) == all && a.Blacklist(2) == all; }))
        << "terminal 1: " << a.Ok("get 1 blacklist") << " terminal 2: " << a.Ok("get 2 blacklist");
    card = Get("/api/cards/111111");
    ASSERT_EQ(card["blocked"].size(), 1u) << card.dump();
    EXPECT_EQ(card["blocked"][0]["reason"], "found on hall/1");
    EXPECT_EQ(card["blocked"][0]["scope"], "site");
    EXPECT_TRUE(WaitFor([&] {
        card = Get("/api/cards/333333");
        return std::all_of(card["terminals"].begin(), card["terminals"].end(), [](const json& t) {
            return t["state"] == (t["terminal"] == 3 ? "pending" : "applied");
        });
    })) << card.dump();

    // A card added behind the service's back: kept and spread.
    a.Ok("set 2 blacklist 111111222222333333444444");
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "444444"); }));
    EXPECT_TRUE(a.Holds(2, "444444"));
    bool audited = false;
    const json audit = Get("/api/audit");
    for (const json& row : audit["audit"]) {
        if (row["action"] == "adopt cards" && row["detail"] == "site: 444444 (found on hall/2)") audited = true;
    }
    EXPECT_TRUE(audited) << Get("/api/audit").dump() << service->Log();

    // An unblock takes it off, and it is not adopted again.
    ASSERT_EQ(Send("POST", "/api/cards/111111/unblock", {{"reason", "found"}}).status, 200);
    EXPECT_TRUE(WaitFor([&] { return !a.Holds(1, "111111") && !a.Holds(2, "111111"); }));
    EXPECT_TRUE(WaitFor([&] { return SyncState("hall", 1, "blacklist") == "in_sync"; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // two verifies
    EXPECT_FALSE(a.Holds(1, "111111"));
    EXPECT_TRUE(Get("/api/cards/111111")["blocked"].empty());

    a.Ok("add 3");
    EXPECT_TRUE(WaitFor([&] { return a.Blacklist(3) == std::vector<std::string>{"222222", "333333", "444444"}; }));
}

// foreign_cards = "remove": the service's list is the whole list.
TEST_P(Authority, ForeignCardsRemovedWhenConfigured) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("set 1 blacklist 111111");
    Start(Config(database, {LineBlock("hall", a.link(), {"1"})}, "[manage]\nforeign_cards = \"remove\"\n"));
    ASSERT_EQ(Send("POST", "/api/cards/333333/block", json::object()).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Blacklist(1) == std::vector<std::string>{"333333"}; }));
    EXPECT_TRUE(Get("/api/cards/111111")["blocked"].empty());
}

// Commands through the service on a terminal whose items it keeps: a card
// added is a block, the rest is refused with the way to do it; an item it
// does not keep passes as before.
TEST_P(Authority, CommandsFollowTheDesiredState) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    a.Ok("add 2");
    Start(Config(database, {LineBlock("hall", a.link(), {"1", "2"})}));
    ASSERT_EQ(Send("POST", "/api/cards/100001/block", json::object()).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}).status, 200);
    ASSERT_TRUE(WaitFor([&] {
        return a.Holds(2, "100001") && AllInSync(4);
    }));
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    auto talvo = [&](std::vector<std::string> args, std::string& out, std::string& err) {
        args.insert(args.begin(), {TalvoPath(), "--service", url, "--token", kAdminToken});
        return RunProgram(args, out, err, {});
    };
    std::string out, err;
    const std::string menu = a.Ok("get 1 menu");
    EXPECT_EQ(talvo({"-t", "1", "blacklist", "add", "555001"}, out, err), 0) << err;
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "555001") && a.Holds(2, "555001"); }));
    EXPECT_EQ(Get("/api/cards/555001")["blocked"][0]["by"], "admin");
    // Another card blocked through the page keeps it.
    ASSERT_EQ(Send("POST", "/api/cards/100002/block", json::object()).status, 200);
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "100002"); }));
    EXPECT_TRUE(a.Holds(1, "555001"));

    for (const std::vector<std::string>& refused :
         {std::vector<std::string>{"blacklist", "remove", "555001"}, {"blacklist", "clear"},
          {"blacklist", "set", "0", "999999"}, {"menu", "set", "9.99"}}) {
        EXPECT_EQ(talvo([&] {
                      auto v = refused;
                      v.insert(v.begin(), {"-t", "1"});
                      return v;
                  }(),
                        out, err),
                  1)
            << refused[0] << " " << refused[1];
        EXPECT_NE(err.find(refused[0] == "menu" ? "PUT /api/desired/site/menu" : "card unblock"), std::string::npos)
            << err;
    }
    EXPECT_TRUE(a.Holds(1, "555001"));
    EXPECT_EQ(a.Ok("get 1 menu"), menu);
    // Not kept by the service: passes.
    EXPECT_EQ(talvo({"-t", "1", "cmw", "set", "XYZ"}, out, err), 0) << err;
    EXPECT_EQ(a.Ok("get 1 cmw"), "XYZ000000000");

    // The card commands.
    EXPECT_EQ(talvo({"card", "block", "777001", "777002", "--reason", "stolen"}, out, err), 0) << err;
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "777002") && a.Holds(2, "777001"); }));
    EXPECT_TRUE(WaitFor([&] { return AllInSync(4); }));
    EXPECT_EQ(talvo({"card", "show", "777001"}, out, err), 0) << err;
    EXPECT_NE(out.find("777001 blocked for site: stolen by admin"), std::string::npos) << out;
    EXPECT_NE(out.find("hall/1 hall 1: applied"), std::string::npos) << out;
    EXPECT_EQ(talvo({"card", "unblock", "777001"}, out, err), 0) << err;
    EXPECT_TRUE(WaitFor([&] { return !a.Holds(1, "777001") && !a.Holds(2, "777001"); }));
    EXPECT_EQ(talvo({"card", "unblock", "777001"}, out, err), 1);
    EXPECT_NE(err.find("not blocked"), std::string::npos) << err;
    EXPECT_EQ(talvo({"card", "block", "12345"}, out, err), 2);
    EXPECT_EQ(RunProgram({TalvoPath(), "card", "show", "777001"}, out, err, {}), 2);
    EXPECT_NE(err.find("--service"), std::string::npos) << err;
}

// A command that changes a managed item's contents, not refused (clear-ram
// empties the terminal): the item is read back at once, not at the next
// verify, and written again.
TEST_P(Authority, ChangingCommandIsReadBackAtOnce) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    Start(Config(database, {LineBlock("hall", a.link(), {"1"})}));  // verify: an hour
    ASSERT_EQ(Send("POST", "/api/cards/100001/block", json::object()).status, 200);
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}).status, 200);
    ASSERT_TRUE(WaitFor([&] { return a.Holds(1, "100001") && AllInSync(2); }));
    const std::string menu = a.Ok("get 1 menu");
    ASSERT_NE(menu, "");
    const HttpResult r = Send("POST", "/api/lines/hall/terminals/1/command", {{"op", "clear-ram"}});
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_TRUE(WaitFor([&] { return a.Holds(1, "100001") && a.Ok("get 1 menu") == menu; })) << service->Log();
    const json audit = Get("/api/audit?limit=1")["audit"];
    EXPECT_EQ(audit[0]["action"], "command clear-ram");
    EXPECT_EQ(audit[0]["outcome"], "done");
}

// Changes take JSON only; refusals are written down with their outcome.
TEST_P(Authority, ChangesTakeJsonAndRefusalsAreAudited) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    Start(Config(database, {LineBlock("hall", a.link(), {"1@canteen"})}));
    httplib::Client c("127.0.0.1", port);
    const httplib::Headers auth{{"Authorization", "Bearer " + kAdminToken}};
    auto form = c.Post("/api/cards/123456/block", auth,
                       "--x\r\nContent-Disposition: form-data; name=\"scope\"\r\n\r\ncanteen\r\n--x--\r\n",
                       "multipart/form-data; boundary=x");
    ASSERT_TRUE(form);
    EXPECT_EQ(form->status, 415) << form->body;
    auto urlencoded = c.Put("/api/desired/site/menu", auth, "version=0&value=1.50", "application/x-www-form-urlencoded");
    ASSERT_TRUE(urlencoded);
    EXPECT_EQ(urlencoded->status, 415);
    auto text = c.Post("/api/lines/hall/terminals/1/command", auth, "{\"op\":\"lock\"}", "text/plain");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->status, 415);
    EXPECT_TRUE(Get("/api/cards")["cards"].empty());
    auto withCharset = c.Post("/api/cards/123456/block", auth, "{\"scope\":\"canteen\"}", "application/json; charset=utf-8");
    ASSERT_TRUE(withCharset);
    EXPECT_EQ(withCharset->status, 200) << withCharset->body;

    // A stale edit and a reader's try: refused, and audited as such.
    ASSERT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"1.50"}}}).status, 200);
    EXPECT_EQ(Send("PUT", "/api/desired/site/menu", {{"version", 0}, {"value", {"2.50"}}}).status, 409);
    EXPECT_EQ(Send("POST", "/api/cards/222222/block", json::object(), kReaderToken).status, 403);
    const json audit = Get("/api/audit")["audit"];
    ASSERT_EQ(audit.size(), 4u) << audit.dump();
    EXPECT_EQ(audit[0]["who"], "office");
    EXPECT_EQ(audit[0]["outcome"].get<std::string>().rfind("refused 403", 0), 0u) << audit[0].dump();
    EXPECT_EQ(audit[1]["action"], "set menu");
    EXPECT_EQ(audit[1]["outcome"].get<std::string>().rfind("refused 409", 0), 0u) << audit[1].dump();
    EXPECT_EQ(audit[2]["outcome"], "done");
    EXPECT_EQ(audit[3]["action"], "block card");
    EXPECT_EQ(audit[3]["detail"], "canteen: 123456");
}

// The blocked cards, paged, newest first, with their total.
TEST_P(Authority, CardsArePagedWithTheirTotal) {
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    Start(Config(database, {LineBlock("hall", a.link(), {"1"})}));
    {
        auto db = service::Open(database);
        service::Transaction tx(*db);
        for (int i = 0; i < 1200; ++i) {
            char at[32];
            std::snprintf(at, sizeof at, "2026-01-01T%02d:%02d:%02d.000Z", i / 3600, i / 60 % 60, i % 60);
            db->Query("INSERT INTO blocked_cards (scope, card, blocked, reason, by_name, at) VALUES ('site', ?, 1, '', 'x', ?)",
                      {std::to_string(500000 + i), std::string(at)});
        }
        tx.Commit();
    }
    const json first = Get("/api/cards?limit=500");
    EXPECT_EQ(first["total"], 1200);
    ASSERT_EQ(first["cards"].size(), 500u);
    EXPECT_EQ(first["cards"][0]["card"], "501199") << "newest first";
    const json last = Get("/api/cards?limit=500&offset=1000");
    ASSERT_EQ(last["cards"].size(), 200u);
    EXPECT_EQ(last["cards"][199]["card"], "500000");
    const json found = Get("/api/cards?q=50119");
    EXPECT_EQ(found["total"], 10);
    EXPECT_EQ(HttpGet(port, "/api/cards?limit=0", kReaderToken).status, 400);
    EXPECT_EQ(HttpGet(port, "/api/cards?page=2", kReaderToken).status, 400);
}

INSTANTIATE_TEST_SUITE_P(Backends, Authority, ::testing::Values("sqlite", "postgres"),
                         [](const auto& p) { return p.param; });

// A GET from a given loopback source address; the status (0: no answer).
int StatusFrom(const std::string& source, int port, const std::string& path, const std::string& token) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return 0;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    int status = 0;
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) {
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                    (token.empty() ? "" : "Authorization: Bearer " + token + "\r\n") + "\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            char head[64] = {};
            if (recv(fd, head, sizeof head - 1, 0) > 12) status = std::atoi(head + 9);
        }
    }
    close(fd);
    return status;
}

// Wrong tokens from one address: 401 for a few, then 429 for anything that
// needs a token, logged; the page's files and other addresses are served.
TEST(HttpTokenGuessing, SlowedDownPerAddressAndLogged) {
    TempDir dir;
    SimLine a(dir / "ttyA");
    a.Ok("add 1");
    WriteText(dir / "talvod.toml", Config(dir / "talvod.db", {LineBlock("hall", a.link(), {"1"})}));
    Talvod service(dir / "talvod.toml", dir / "talvod.log");
    const int port = service.Port();
    ASSERT_NE(port, 0) << service.Log();
    std::vector<int> statuses;
    for (int i = 0; i < 40; ++i) statuses.push_back(StatusFrom("127.0.0.2", port, "/api/terminals", "guess-" + std::to_string(i)));
    // (A try comes back every few seconds: a slow run may see one more 401.)
    EXPECT_EQ(std::count(statuses.begin(), statuses.begin() + 10, 401), 10);
    EXPECT_GE(std::count(statuses.begin() + 10, statuses.end(), 429), 28);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 401) + std::count(statuses.begin(), statuses.end(), 429), 40);
    // Even the right token waits now from that address, or guessing would
    // go on at full speed.
    EXPECT_EQ(StatusFrom("127.0.0.2", port, "/api/terminals", kReaderToken), 429);
    EXPECT_EQ(StatusFrom("127.0.0.2", port, "/", ""), 200);
    EXPECT_EQ(StatusFrom("127.0.0.3", port, "/api/terminals", kReaderToken), 200);
    EXPECT_EQ(StatusFrom("127.0.0.1", port, "/api/terminals", kReaderToken), 200);
    EXPECT_EQ(service.Count("token-refused"), 2) << service.Log();
    EXPECT_NE(service.Log().find("127.0.0.2"), std::string::npos);
    // Its tries come back with time.
    EXPECT_TRUE(WaitFor([&] { return StatusFrom("127.0.0.2", port, "/api/terminals", kReaderToken) == 200; }));
    service.Signal(SIGTERM);
    service.Wait();
}

}  // namespace
}  // namespace talvo::test
