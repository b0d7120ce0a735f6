// talvo through talvod: every subcommand the service runs gives the same
// standard output, problem and exit status as direct use on a line of its
// own; refusals (token, line, terminal, arguments sent by hand) touch no
// terminal; commands go ahead of a collection without losing its records;
// a line that stops refuses what is still queued.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <future>
#include <nlohmann/json.hpp>

#include "harness.h"

namespace talvo::test {
namespace {

using nlohmann::json;

const std::string kToken = "command-token-0123456789";
// No collection but the one at the start, no clock set.
const std::string kTokenAndQuietJobs =
    "[http]\nport = 0\ntoken = \"" + kToken + "\"\n[jobs]\ncollect = \"1h\"\nclock_at_start = false\n";

std::string TalvoPath() { return TALVO_CLI_PATH; }

struct Ran {
    int status = -1;
    std::string out, err;
};

// The first line of standard error: the problem as the tool says it.
std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Two software terminal lines alike: one the tool opens itself, one that
// talvod holds (line "hall": payment terminal 1, attendance terminal 2,
// and terminal 3, which nothing answers).
class Command : public ::testing::Test {
protected:
    void SetUp() override {
        for (SimLine* s : {&direct, &owned}) {
            s->Ok("add 1");
            s->Ok("add 2 attendance");
        }
        Start("[http]\nport = 0\ntoken = \"" + kToken + "\"\n");
        Settled();
    }
    void Start(const std::string& http, std::vector<std::string> lines = {}, std::vector<std::string> env = {}) {
        if (lines.empty()) lines = {LineBlock("hall", owned.link(), {"1", "2:attendance", "3"})};
        WriteText(dir / "talvod.toml",
                  ConfigText(dir / "talvod.db", http + "[jobs]\ncollect = \"1h\"\nclock_at_start = false\n", lines));
        // A log of its own for each start: the port is read from it.
        talvod = std::make_unique<Talvod>(dir / "talvod.toml", dir / ("talvod" + std::to_string(++starts) + ".log"),
                                          env);
        port = talvod->Port();
        ASSERT_GT(port, 0) << talvod->Log();
        url = "http://127.0.0.1:" + std::to_string(port);
    }
    // The collection at the start is over.
    void Settled() {
        ASSERT_TRUE(WaitFor([&] {
            return HttpGet(port, "/api/jobs", kToken).body.find("\"job\":\"collect\"") != std::string::npos;
        })) << talvod->Log();
    }
    void TearDown() override {
        if (talvod && talvod->Running()) {
            talvod->Signal(SIGTERM);
            talvod->Wait();
        }
    }

    Ran Talvo(std::vector<std::string> args, const std::vector<std::string>& env = {}) {
        args.insert(args.begin(), TalvoPath());
        Ran r;
        std::vector<std::string> all = env;
        all.push_back("TALVO_WINDIR=" + dir.path());
        r.status = RunProgram(args, r.out, r.err, all);
        return r;
    }
    // Direct use: the line options the service has for its line.
    Ran Direct(int terminal, const std::vector<std::string>& args) {
        std::vector<std::string> all = {"--port", direct.link(), "--baud", "9600", "--echo-time", "100",
                                        "--wait-time", "300", "--repeat", "2", "-t", std::to_string(terminal)};
        all.insert(all.end(), args.begin(), args.end());
        return Talvo(all);
    }
    Ran Service(int terminal, const std::vector<std::string>& args, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> all = {"--service", url, "--token", kToken, "-t", std::to_string(terminal)};
        all.insert(all.end(), extra.begin(), extra.end());
        all.insert(all.end(), args.begin(), args.end());
        return Talvo(all);
    }
    // A request sent by hand, as curl would.
    httplib::Result Post(const std::string& path, const std::string& body, const std::string& token = kToken) {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(30, 0);
        httplib::Headers h;
        if (!token.empty()) h.emplace("Authorization", "Bearer " + token);
        return c.Post(path, h, body, "application/json");
    }

    TempDir dir;
    SimLine direct{dir / "ttyD"};
    SimLine owned{dir / "ttyS"};
    std::unique_ptr<Talvod> talvod;
    int port = 0;
    int starts = 0;
    std::string url;
};

struct Case {
    int terminal;
    std::vector<std::string> args;
};

// Every subcommand the service runs, in an order whose reads see what the
// sets before them wrote; run alike on both lines.
const std::vector<Case> kCases = {
    // A payment terminal.
    {1, {"status"}},
    {1, {"cmw", "set", "ABC123"}},
    {1, {"cmw", "get"}},
    {1, {"mdeb", "set", "12.5"}},
    {1, {"mdeb", "get"}},
    {1, {"key", "set", "0a1b2c"}},
    {1, {"key", "check", "0A1B2C"}},
    {1, {"key", "check", "111111"}},  // not its key: refused, exit 1
    {1, {"key", "flags"}},
    {1, {"blacklist", "add", "123456", "234567", "345678"}},
    {1, {"blacklist", "remove", "234567"}},
    {1, {"blacklist", "read"}},
    {1, {"blacklist", "set", "5", "111111", "222222"}},
    {1, {"blacklist", "read", "4"}},
    {1, {"blacklist", "clear"}},
    {1, {"blacklist", "read"}},
    {1, {"menu", "set", "1.00", "2.5", "9999.99", "0"}},
    {1, {"menu", "read"}},
    {1, {"menu", "clear"}},
    {1, {"menu", "read"}},
    {1, {"subsidy", "clear"}},
    {1, {"subsidy", "max", "5.00"}},
    {1, {"subsidy", "time", "0800120013001700"}},
    {1, {"subsidy", "add", "AAAAAAAAAAAA", "BBBBBBBBBBBB"}},
    {1, {"subsidy", "add", "--position", "3", "CCCCCCCCCCCC"}},
    {1, {"clock", "set", "2026/03/15", "10:20"}},
    {1, {"clock", "get"}},
    {1, {"zones", "set", "06:00", "11:30", "23:59"}},
    {1, {"zones", "get"}},
    {1, {"lock"}},
    {1, {"unlock"}},
    // An attendance terminal.
    {2, {"attend", "zones", "set", "08:00-12:00/AB", "13:00-17:30/C1"}},
    {2, {"attend", "zones", "get"}},
    {2, {"attend", "reason", "set", "3", "Lunch"}},
    {2, {"attend", "reason", "get", "3"}},
    {2, {"attend", "clock", "set", "2026/03/15", "10:20:30"}},
    {2, {"attend", "clock", "get"}},
    {2, {"status"}},
    // A terminal that does not answer: the same problem, the same status.
    {3, {"status"}},
    {3, {"blacklist", "add", "123456"}},
    {3, {"menu", "read"}},
    // Last, as it clears what the others wrote.
    {1, {"clear-ram", "--yes"}},
    {1, {"cmw", "get"}},
};

std::string Joined(const Case& c) {
    std::string s = "-t " + std::to_string(c.terminal);
    for (const std::string& a : c.args) s += " " + a;
    return s;
}

TEST_F(Command, EverySubcommandAsInDirectUse) {
    int failures = 0;
    for (const Case& c : kCases) {
        const Ran d = Direct(c.terminal, c.args);
        const Ran s = Service(c.terminal, c.args);
        EXPECT_EQ(s.status, d.status) << Joined(c) << "\ndirect: " << d.out << d.err << "\nservice: " << s.out << s.err;
        if (c.args == std::vector<std::string>{"attend", "clock", "get"}) {
            // The terminal's clock runs on from the time set: the seconds
            // read are those since, on either path.
            EXPECT_EQ(s.out.substr(0, 16), d.out.substr(0, 16)) << Joined(c);
            EXPECT_EQ(d.out.substr(0, 16), "2026/03/15 10:20") << Joined(c);
        } else {
            EXPECT_EQ(s.out, d.out) << Joined(c);
        }
        EXPECT_EQ(FirstLine(s.err), FirstLine(d.err)) << Joined(c);
        if (d.status != 0) ++failures;
    }
    // The cases that fail on purpose: a wrong key and the silent terminal.
    EXPECT_EQ(failures, 4);
    // And the terminals hold the same.
    for (const char* field : {"cmw", "mdeb", "key", "blacklist", "menu", "subsidy", "maxbt", "bttime", "zones"}) {
        EXPECT_EQ(owned.Ok(std::string("get 1 ") + field), direct.Ok(std::string("get 1 ") + field)) << field;
    }
    for (const char* field : {"azones", "aclock", "reason3"}) {
        EXPECT_EQ(owned.Ok(std::string("get 2 ") + field), direct.Ok(std::string("get 2 ") + field)) << field;
    }
}

// Without the token, with a wrong one, on a line or terminal the service
// does not have: one line each, exit 1, and nothing reaches a terminal.
TEST_F(Command, RefusalsTouchNoTerminal) {
    const int before = owned.RequestsFor(1);
    const Ran none = Talvo({"--service", url, "blacklist", "add", "123456"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "talvo: blacklist add: the service at " + url +
                            " needs a token (--token, --token-file or TALVOD_TOKEN)\n");
    const Ran wrong = Talvo({"--service", url, "--token", "not-the-token", "blacklist", "add", "123456"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_EQ(wrong.err, "talvo: blacklist add: the service at " + url + " did not accept the token\n");
    const Ran line = Service(1, {"status"}, {"--line", "yard"});
    EXPECT_EQ(line.status, 1);
    EXPECT_EQ(line.err, "talvo: status: no terminal 1 on a line 'yard' of this service\n");
    const Ran terminal = Service(9, {"status"});
    EXPECT_EQ(terminal.status, 1);
    EXPECT_EQ(terminal.err, "talvo: status: no line of this service has terminal 9\n");
    EXPECT_EQ(owned.RequestsFor(1), before);

    // The token from a file and from the environment.
    WriteText(dir / "token", kToken + "\n");
    EXPECT_EQ(Talvo({"--service", url, "--token-file", dir / "token", "status"}).status, 0);
    EXPECT_EQ(Talvo({"--service", url, "status"}, {"TALVOD_TOKEN=" + kToken}).status, 0);
    WriteText(dir / "empty", "\n");
    const Ran empty = Talvo({"--service", url, "--token-file", dir / "empty", "status"});
    EXPECT_EQ(empty.status, 2);
    EXPECT_NE(empty.err.find("no token on its first line"), std::string::npos) << empty.err;

    // No service there at all.
    talvod->Signal(SIGTERM);
    talvod->Wait();
    const Ran gone = Service(1, {"status"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "talvo: status: no service answers at " + url +
                            " (the connection was refused or the host cannot be reached)\n");
}

// What cannot go through a service is a usage error, before anything is sent.
TEST_F(Command, UsageErrors) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"--service", url, "--port", direct.link(), "status"},
                                               {"--service", url, "--baud", "9600", "status"},
                                               {"--service", url, "--trace", "status"},
                                               {"--service", url, "legacy", "status"},
                                               {"--service", url, "ack", "--yes"},
                                               {"--service", url, "collect", "--store", dir / "x.dat"},
                                               {"--service", "ftp://127.0.0.1", "status"},
                                               {"--service", url, "--line", "no such", "status"},
                                               {"--token", kToken, "status"},
                                               {"--service", url, "blacklist", "add", "12345"},
                                               // A text JSON cannot carry.
                                               {"--service", url, "-t", "2", "attend", "reason", "set", "1",
                                                "Caf\xe9"}}) {
        const Ran r = Talvo(args);
        EXPECT_EQ(r.status, 2) << args[args.size() - 1] << ": " << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(talvod->Count("command-asked"), 0) << talvod->Log();
}

// Arguments sent by hand are checked by the service as the tool checks
// them: a 400 with the reason and exit status 2, and the line untouched.
TEST_F(Command, ServiceChecksEveryArgument) {
    const int before = owned.RequestsFor(1);
    const std::string path = "/api/lines/hall/terminals/1/command";
    std::string many = "[";
    for (int i = 0; i < 256; ++i) many += std::string(i == 0 ? "" : ",") + "\"1.00\"";
    many += "]";
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"not json", "not JSON"},
        {"[]", "JSON object"},
        {R"({})", "op: missing"},
        {R"({"op":"format"})", "no op 'format'"},
        {R"({"op":"ack"})", "not run through the service"},
        {R"({"op":"status","cards":["123456"]})", "status takes no argument 'cards'"},
        {R"({"op":"blacklist add","cards":["12345"]})", "cards: '12345'"},
        {R"({"op":"blacklist add","cards":[]})", "cards: a list"},
        {R"({"op":"blacklist add","cards":"123456"})", "cards: a list"},
        {R"({"op":"blacklist set","position":65536,"cards":["123456"]})", "position: a whole number from 0 to 65535"},
        {R"({"op":"blacklist read","position":-1})", "position"},
        {R"({"op":"mdeb set","amount":"10000.00"})", "amount: "},
        {R"({"op":"mdeb set","amount":12.5})", "amount: a text"},
        {R"({"op":"menu set","prices":)" + many + "}", "at most 255"},
        {R"({"op":"key set","key":"12345G"})", "key: "},
        {R"({"op":"cmw set","text":"has blank"})", "text: "},
        {R"({"op":"clock set","time":"2026/02/30 10:00"})", "time: "},
        {R"({"op":"zones set","zones":["24:00"]})", "zones: "},
        {R"({"op":"zones set","zones":["01:00","01:00","01:00","01:00","01:00","01:00","01:00","01:00","01:00"]})",
         "at most 8"},
        {R"({"op":"attend reason set","number":256,"text":"x"})", "number: "},
        {R"({"op":"attend reason set","number":1,"text":"123456789"})", "text: "},
        {R"({"op":"subsidy add","entries":["short"]})", "entries: "},
    };
    for (const auto& [body, reason] : bad) {
        const auto r = Post(path, body);
        ASSERT_TRUE(r) << body;
        EXPECT_EQ(r->status, 400) << body << ": " << r->body;
        const json answer = json::parse(r->body, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << r->body;
        EXPECT_NE(answer.value("error", "").find(reason), std::string::npos) << body << ": " << r->body;
        EXPECT_EQ(answer.value("exit", 0), 2) << body;
    }
    EXPECT_EQ(Post("/api/lines/hall/terminals/256/command", R"({"op":"status"})")->status, 400);
    EXPECT_EQ(owned.RequestsFor(1), before);

    // A good request by hand: the values as JSON.
    owned.Ok("set 1 cmw ABCDEFGHIJKL");
    const auto good = Post("/api/terminals/1/command", R"({"op":"cmw get"})");
    ASSERT_TRUE(good);
    EXPECT_EQ(good->status, 200) << good->body;
    const json answer = json::parse(good->body);
    EXPECT_EQ(answer["ok"], true);
    EXPECT_EQ(answer["line"], "hall");
    EXPECT_EQ(answer["values"]["text"], "ABCDEFGHIJKL");
    // A refusal by the terminal is an answer, not an HTTP failure.
    const auto refused = Post(path, R"({"op":"key check","key":"FFFFFF"})");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 200);
    EXPECT_EQ(json::parse(refused->body)["problem"], "terminal 1 refused the command");
    // A text a terminal keeps that is not UTF-8 is answered all the same.
    owned.Ok("set 2 reason5 436166E900000000");  // "Caf" and the byte E9
    const auto odd = Post("/api/lines/hall/terminals/2/command", R"({"op":"attend reason get","number":5})");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->status, 200) << odd->body;
    EXPECT_EQ(json::parse(odd->body)["values"]["text"], "Caf\xef\xbf\xbd");
}

// Without a token in the configuration, reads run and changes are refused.
TEST(CommandWithoutToken, ReadsOnly) {
    TempDir dir;
    SimLine sim(dir / "tty");
    sim.Ok("add 1");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db", "[http]\nport = 0\n[jobs]\ncollect = \"1h\"\nclock_at_start = false\n",
                         {LineBlock("hall", sim.link(), {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    const std::string url = "http://127.0.0.1:" + std::to_string(port);
    std::string out, err;
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path(), "TALVOD_TOKEN="};
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "--service", url, "cmw", "get"}, out, err, env), 0) << err;
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "--service", url, "cmw", "set", "X"}, out, err, env), 1);
    EXPECT_EQ(err, "talvo: cmw set: changes need an administrator's token in the configuration ([http] token)\n");
    // Nor is the card key guessed at without one.
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "--service", url, "key", "check", "123456"}, out, err, env), 1);
    EXPECT_NE(sim.Ok("get 1 cmw").rfind("X", 0), 0u);
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// A line whose device is gone: the service's reason, exit status 1.
TEST(CommandLineGone, TheDevicesProblem) {
    TempDir dir;
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         kTokenAndQuietJobs,
                         {LineBlock("hall", dir / "no-such-tty", {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    std::string out, err;
    EXPECT_EQ(RunProgram({TALVO_CLI_PATH, "--service", "http://127.0.0.1:" + std::to_string(port), "--token", kToken,
                          "menu", "read"},
                         out, err, {"TALVO_WINDIR=" + dir.path()}),
              1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.rfind("talvo: menu read: ", 0), 0u) << err;
    EXPECT_NE(err.find("no-such-tty"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// A terminal on two lines of the service: named by --line, or refused with
// both names.
TEST(CommandTwoLines, LineNamedWhenTheTerminalIsOnBoth) {
    TempDir dir;
    SimLine a(dir / "ttyA"), b(dir / "ttyB");
    a.Ok("add 1");
    b.Ok("add 1");
    b.Ok("add 4");
    WriteText(dir / "talvod.toml",
              ConfigText(dir / "talvod.db",
                         kTokenAndQuietJobs,
                         {LineBlock("east", a.link(), {"1"}), LineBlock("west", b.link(), {"1", "4"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log");
    const int port = talvod.Port();
    ASSERT_GT(port, 0) << talvod.Log();
    const std::vector<std::string> base = {TALVO_CLI_PATH, "--service", "http://127.0.0.1:" + std::to_string(port),
                                           "--token", kToken};
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path()};
    auto run = [&](std::vector<std::string> args, std::string& out, std::string& err) {
        args.insert(args.begin(), base.begin(), base.end());
        return RunProgram(args, out, err, env);
    };
    std::string out, err;
    EXPECT_EQ(run({"blacklist", "add", "654321"}, out, err), 1);
    EXPECT_EQ(err, "talvo: blacklist add: terminal 1 is on more than one line of this service (east, west): name "
                   "the line (--line NAME)\n");
    EXPECT_EQ(run({"--line", "west", "blacklist", "add", "654321"}, out, err), 0) << err;
    EXPECT_EQ(b.Ok("get 1 blacklist"), "654321");
    EXPECT_EQ(a.Ok("get 1 blacklist"), "");
    // A terminal on one line only needs no name.
    EXPECT_EQ(run({"-t", "4", "cmw", "set", "ONLYWEST"}, out, err), 0) << err;
    EXPECT_EQ(b.Ok("get 4 cmw").substr(0, 8), "ONLYWEST");
    talvod.Signal(SIGTERM);
    talvod.Wait();
}

// `collect` through the service stores into its database; what it says.
TEST_F(Command, CollectStoresIntoTheService) {
    for (int i = 0; i < 8; ++i) {
        RawRecord r;
        r.card = std::to_string(300000 + i);
        owned.Ok("record 1 seal " + r.Text());
    }
    RawRecord damaged;
    owned.Ok("record 1 damaged " + damaged.Text());
    const Ran r = Service(1, {"collect"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "8 records stored by the service (line hall, terminal 1)\n"
                     "1 damaged or unwanted record stored as rejected\n");
    EXPECT_EQ(owned.Held(1), 0);
    const HttpResult records = HttpGet(port, "/api/records?line=hall&terminal=1", kToken);
    EXPECT_EQ(json::parse(records.body)["total"], 8) << records.body;
    // Nothing there: none stored, and a silent terminal says why.
    EXPECT_EQ(Service(1, {"collect"}).out, "0 records stored by the service (line hall, terminal 1)\n");
    const Ran silent = Service(3, {"collect"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_EQ(silent.err.rfind("talvo: collect: ", 0), 0u) << silent.err;
}

// -t 1,2,3 through the service: each terminal's lines named, in the order
// given, as in direct use; the silent one fails alone and sets the status.
TEST_F(Command, SeveralTerminalsAsInDirectUse) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-t", "1,2,3", "status"}, std::vector<std::string>{"-t", "3,1", "menu", "read"},
          std::vector<std::string>{"-t", "1-2", "status"}}) {
        std::vector<std::string> own = {"--port", direct.link(), "--baud", "9600", "--echo-time", "100",
                                        "--wait-time", "300", "--repeat", "2"};
        own.insert(own.end(), args.begin(), args.end());
        std::vector<std::string> through = {"--service", url, "--token", kToken};
        through.insert(through.end(), args.begin(), args.end());
        const Ran d = Talvo(own);
        const Ran s = Talvo(through);
        EXPECT_EQ(s.status, d.status) << args[1] << "\n" << d.err << s.err;
        EXPECT_EQ(s.out, d.out) << args[1];
        const bool failed = d.err.find("terminals failed (terminal 3)\n") != std::string::npos;
        EXPECT_EQ(s.err.find("terminals failed (terminal 3)\n") != std::string::npos, failed) << args[1] << s.err;
        EXPECT_EQ(failed, args[1] != "1-2") << args[1] << d.err;
    }
    for (int i = 0; i < 3; ++i) {
        RawRecord r;
        r.card = std::to_string(500000 + i);
        owned.Ok("record 1 seal " + r.Text());
    }
    const Ran r = Talvo({"--service", url, "--token", kToken, "-t", "3,1", "collect"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, "terminal 1: 3 records stored by the service (line hall)\n");
    EXPECT_EQ(r.err.rfind("talvo: collect: terminal 3: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("talvo: collect: 1 of 2 terminals failed (terminal 3)\n"), std::string::npos) << r.err;
    EXPECT_EQ(owned.Held(1), 0);
}

// A command asked for while a long collection runs (the one at the start)
// goes ahead of the collection's remaining batches, and every record is still stored once.
TEST_F(Command, CommandsGoAheadOfACollection) {
    talvod->Signal(SIGTERM);
    talvod->Wait();
    constexpr int kRecords = 120;
    for (int i = 0; i < kRecords; ++i) {
        RawRecord r;
        r.card = std::to_string(400000 + i);
        owned.Ok("record 1 seal " + r.Text());
    }
    owned.Ok("pace 9600");
    std::string block = LineBlock("hall", owned.link(), {"1", "2:attendance", "3"});
    block.replace(block.find("wait_time_ms = 300"), 18, "wait_time_ms = 3000");
    Start("[http]\nport = 0\ntoken = \"" + kToken + "\"\n", {block});
    // The collection at the start is under way.
    ASSERT_TRUE(WaitFor([&] { return owned.Held(1) < kRecords; }));
    const Ran r = Service(2, {"attend", "reason", "get", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GT(owned.Held(1), 0) << "the command waited for the whole collection";
    ASSERT_TRUE(WaitFor([&] {
        const json all = json::parse(HttpGet(port, "/api/records?line=hall&terminal=1&limit=1", kToken).body,
                                     nullptr, false);
        return all.is_object() && all["total"] == kRecords;
    })) << talvod->Log();
    EXPECT_EQ(owned.Held(1), 0);
}

// A command still queued when its line stops is refused as such: the
// worker is held in a confirmation while the command waits.
TEST_F(Command, QueuedCommandRefusedWhenTheLineStops) {
    talvod->Signal(SIGTERM);
    talvod->Wait();
    for (int i = 0; i < 12; ++i) {
        RawRecord r;
        r.card = std::to_string(500000 + i);
        owned.Ok("record 1 seal " + r.Text());
    }
    const std::string gate = dir / "go";
    Start("[http]\nport = 0\ntoken = \"" + kToken + "\"\n", {}, ConfirmGate("hold=" + gate));
    // The collection at the start committed its first batch and waits to
    // confirm it.
    ASSERT_TRUE(WaitFor([&] {
        const json all = json::parse(HttpGet(port, "/api/records?limit=1", kToken).body, nullptr, false);
        return all.is_object() && all["total"] == 6;
    })) << talvod->Log();
    auto command = std::async(std::launch::async, [&] { return Service(2, {"status"}); });
    ASSERT_TRUE(WaitFor([&] { return talvod->Count("command-asked") == 1; })) << talvod->Log();
    talvod->Signal(SIGTERM);
    WriteText(gate, "");
    const Ran r = command.get();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "talvo: status: line hall is stopping\n");
    EXPECT_EQ(talvod->Wait(), 0);
    // The batch in hand was confirmed; the rest stays on the terminal.
    EXPECT_EQ(owned.Held(1), 6);
}

}  // namespace
}  // namespace talvo::test
