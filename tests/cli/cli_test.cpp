// talvo as a user meets it, against the software terminal on a pty: wrong
// input never reaches the line, errors name their real cause, output can be
// trusted, store files are streamed, the help is complete.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/file.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "sim_server.h"

namespace talvo::test {
namespace {

const std::string kTalvo = TALVO_CLI_PATH;

// A 44-byte store record.
std::string StoreRecord(const char* card, const char* type, float amount, float second = 0) {
    std::string r(44, '\0');
    std::memcpy(&r[0], "001", 3);
    std::memcpy(&r[4], card, std::strlen(card));
    std::memcpy(&r[11], type, 2);
    std::memcpy(&r[16], &amount, 4);
    std::memcpy(&r[20], "2026/03/15", 10);
    std::memcpy(&r[31], "10:20", 5);
    std::memcpy(&r[40], &second, 4);
    return r;
}

std::string StoreHeader(std::int32_t count) {
    std::string h("CASEDATA\0\0\0\0", 12);
    h.append(reinterpret_cast<const char*>(&count), 4);
    return h;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class Cli : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new sim::Server();
        ASSERT_TRUE(server_->OpenLine("", "") && server_->Listen(0));
        serving_ = new std::thread([] { server_->Run(); });
    }
    static void TearDownTestSuite() {
        server_->Stop();
        serving_->join();
        delete serving_;
        delete server_;
    }
    void SetUp() override {
        ASSERT_EQ(Control("reset"), "ok");
        Control("add 1 consumption");
        Control("add 2 attendance");
        options_.env = {"TALVO_WINDIR=" + settings_.path(), "TMPDIR=" + settings_.path()};
    }

    static std::string Control(const std::string& command) { return server_->Control(command); }
    static std::string Frames() { return Control("frames"); }

    // talvo with the line options of the software terminal.
    Outcome Talvo(std::vector<std::string> args, RunOptions options = {}) {
        std::vector<std::string> argv = {kTalvo, "--port", server_->DevicePath(), "--echo-time", "60",
                                          "--wait-time", "300", "--repeat", "1"};
        argv.insert(argv.end(), args.begin(), args.end());
        options.env.insert(options.env.begin(), options_.env.begin(), options_.env.end());  // the caller's win
        return test::Run(argv, options);
    }
    // talvo as it stands, without line options.
    Outcome Plain(std::vector<std::string> args, RunOptions options = {}) {
        args.insert(args.begin(), kTalvo);
        options.env.insert(options.env.begin(), options_.env.begin(), options_.env.end());
        return test::Run(args, options);
    }

    TempDir settings_;
    TempDir dir_;
    RunOptions options_;
    static sim::Server* server_;
    static std::thread* serving_;
};

sim::Server* Cli::server_ = nullptr;
std::thread* Cli::serving_ = nullptr;

// One line on standard error, without "terminate called" or a signal.
void ExpectOneLine(const Outcome& o, const std::string& context) {
    EXPECT_TRUE(o.exited) << context << ": ended by signal " << o.status;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << context << ": " << o.err;
    EXPECT_EQ(o.err.find("terminate"), std::string::npos) << context << ": " << o.err;
}

TEST_F(Cli, EveryBadArgumentIsAUsageErrorNamingItAndNothingReachesTheLine) {
    std::vector<std::string> prices(256, "1.00");
    prices.insert(prices.begin(), {"menu", "set"});
    std::vector<std::string> zones(9, "08:00");
    zones.insert(zones.begin(), {"zones", "set"});
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        // card numbers
        {{"blacklist", "add", "12345", "6"}, "cards:"},
        {{"blacklist", "add", "12345a"}, "cards:"},
        {{"blacklist", "remove", "1234567"}, "card:"},
        {{"blacklist", "set", "0", "12345"}, "cards:"},
        // keys
        {{"key", "set", "12"}, "key:"},
        {{"key", "check", "12345G"}, "key:"},
        {{"key", "set", "1234567"}, "key:"},
        // amounts and prices
        {{"mdeb", "set", "nan"}, "amount:"},
        {{"mdeb", "set", "1.234"}, "amount:"},
        {{"mdeb", "set", "10000"}, "amount:"},
        {{"mdeb", "set", "-5"}, "amount:"},
        {{"mdeb", "set", "1e3"}, "amount:"},
        {{"subsidy", "max", "inf"}, "amount:"},
        {{"menu", "set", "3.50", "abc"}, "prices:"},
        {prices, "prices: at most 255"},
        // texts
        {{"cmw", "set", "ABCDEFGHIJKLM"}, "text:"},
        {{"subsidy", "time", ""}, "text:"},
        {{"subsidy", "add", "12345678901"}, "entries:"},
        {{"attend", "reason", "set", "3", "ABCDEFGHI"}, "text:"},
        // clock texts as real dates and times
        {{"clock", "set", "2026/13/45 99:99"}, "time:"},
        {{"clock", "set", "2026/02/29 10:00"}, "time:"},
        {{"clock", "set", "2026/01/01 24:00"}, "time:"},
        {{"clock", "set", "1999/12/31 10:00"}, "time:"},
        {{"attend", "clock", "set", "2026"}, "time:"},
        {{"attend", "clock", "set", "20260230101010"}, "time:"},
        {{"attend", "clock", "set", "2026/03/15 10:20:60"}, "time:"},
        // positions, numbers, time zones
        {{"blacklist", "read", "65536"}, "position:"},
        {{"blacklist", "set", "70000", "123456"}, "position:"},
        {{"subsidy", "add", "--position", "65536", "123456789012"}, "--position:"},
        {{"attend", "reason", "get", "256"}, "number:"},
        {{"zones", "set", "25:00"}, "zones:"},
        {zones, "zones: at most 8"},
        {{"attend", "zones", "set", "08:00-12:00"}, "zones:"},
        {{"legacy", "ack", "--count", "0"}, "--count:"},
        {{"legacy", "mdeb", "set", "nan"}, "amount:"},
        {{"legacy", "clock", "set", "2026/13/45 99:99"}, "time:"},
        // terminal numbers and line options, before or after the subcommand
        {{"-t", "256", "status"}, "--terminal:"},
        {{"status", "-t", "x"}, "--terminal:"},
        {{"-t", "1,1", "status"}, "--terminal:"},
        {{"-t", "1-3,2", "status"}, "--terminal:"},
        {{"-t", "3-1", "status"}, "--terminal:"},
        {{"-t", "1,,2", "status"}, "--terminal:"},
        {{"-t", "1,", "status"}, "--terminal:"},
        {{"-t", "250-256", "collect"}, "--terminal:"},
        {{"-t", "1,2", "decode", "00123450341232240930005000BB"}, "decode takes one terminal"},
        {{"status", "--baud", "1234"}, "--baud:"},
        {{"--format", "parity=X data=8 stop=1", "status"}, "--format:"},
        // --line names a service's line, never the line format
        {{"--line", "parity=N data=8 stop=1", "status"}, "--line"},
        {{"status", "--line", "canteen"}, "--line requires --service"},
        {{"status", "--repeat", "11"}, "--repeat:"},
        // records
        {{"decode", "0012"}, "raw:"},
        {{"decode", "00123450341232240930005X00BB"}, "raw:"},
    };
    for (const auto& [args, name] : cases) {
        std::string shown;
        for (const std::string& a : args) shown += a.size() > 20 ? a.substr(0, 20) + "... " : a + " ";
        const Outcome o = Talvo(args);
        EXPECT_TRUE(o.exited && o.status == 2) << shown << ": status " << o.status << ", " << o.err;
        EXPECT_NE(o.err.find("talvo: " + name), std::string::npos) << shown << ": " << o.err;
        EXPECT_TRUE(o.out.empty()) << shown << ": " << o.out;
    }
    EXPECT_EQ(Frames(), "ok") << "a refused argument reached the line";
    EXPECT_EQ(Control("get 1 mdeb"), "ok 000000");
}

TEST_F(Cli, GoodArgumentsReachTheTerminalAsTyped) {
    EXPECT_EQ(Talvo({"blacklist", "add", "123456", "654321"}).status, 0);
    EXPECT_EQ(Control("get 1 blacklist"), "ok 123456654321");
    EXPECT_EQ(Talvo({"key", "set", "a1b2c3"}).status, 0);
    EXPECT_EQ(Control("get 1 key"), "ok A1B2C3");
    EXPECT_EQ(Talvo({"mdeb", "set", "0.29"}).status, 0);
    EXPECT_EQ(Control("get 1 mdeb"), "ok 290000");
    EXPECT_EQ(Talvo({"clock", "set", "2028-02-29 23:59"}).status, 0);
    EXPECT_EQ(Control("get 1 clock"), "ok 2802292359");
    EXPECT_EQ(Talvo({"-t", "2", "attend", "clock", "set", "2026/03/15 10:20:30"}).status, 0);
    EXPECT_EQ(Control("get 2 aclock"), "ok 20260315102030");
}

TEST_F(Cli, OptionsWorkBeforeAndAfterTheSubcommand) {
    Outcome before = Plain({"--port", server_->DevicePath(), "--echo-time", "60", "-t", "2", "status"});
    EXPECT_EQ(before.status, 0) << before.err;
    EXPECT_EQ(before.out, "terminal 2 answers and accepts commands\n");
    Outcome after = Plain({"status", "--port", server_->DevicePath(), "-t", "2", "--echo-time", "60"});
    EXPECT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(after.out, before.out);
    Outcome nested = Plain({"cmw", "get", "--port", server_->DevicePath(), "--echo-time", "60"});
    EXPECT_EQ(nested.status, 0) << nested.err;
    EXPECT_EQ(nested.out, "000000000000\n");
}

TEST_F(Cli, StatusSaysWhatItFoundAndNamesTheFailure) {
    Outcome silent = Talvo({"-t", "9", "status"});
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("talvo: status: the terminal did not answer within the time limits (error -3)"),
              std::string::npos)
        << silent.err;
    Control("fault 10 status NN");
    Outcome refused = Talvo({"status"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("terminal 1 refused"), std::string::npos) << refused.err;
}

TEST_F(Cli, AmountsHaveTwoDecimalsInEveryFormat) {
    const std::string store = dir_ / "store.dat";
    WriteFile(store, StoreHeader(3) + StoreRecord("000001", "13", 103.01f, 0.1f) +
                         StoreRecord("000002", "05", -0.0f) + StoreRecord("000003", "05", -12.5f, 7.0f));
    Outcome json = Plain({"records", "--json", store});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"amount\": 103.01,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"amount\": 0.00,"), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"second_amount\": 0.10}"), std::string::npos) << json.out;
    EXPECT_EQ(json.out.find("-0.00"), std::string::npos) << json.out;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["count"], 3);
    EXPECT_EQ(parsed["records"].size(), 3u);
    EXPECT_EQ(parsed["records"][2]["card"], "000003");
    // Numbers as numbers, types by name, ISO dates.
    EXPECT_EQ(parsed["records"][0]["terminal"], 1);
    EXPECT_EQ(parsed["records"][0]["type"], "deposit");
    EXPECT_EQ(parsed["records"][2]["type"], "payment");
    EXPECT_EQ(parsed["records"][0]["date"], "2026-03-15");
    EXPECT_EQ(parsed["records"][0]["time"], "10:20");
    EXPECT_NE(json.out.find("\"total\": 90.51,"), std::string::npos) << json.out;

    Outcome csv = Plain({"records", "--csv", store});
    // The date as the JSON form and the service's CSV write it.
    EXPECT_NE(csv.out.find("001,000001,13,103.01,2026-03-15,10:20,0.10\n"), std::string::npos) << csv.out;
    EXPECT_NE(csv.out.find("001,000002,05,0.00,"), std::string::npos) << csv.out;
    Outcome table = Plain({"records", store});
    EXPECT_NE(table.out.find("total: 3 records, 90.51"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("-0.00"), std::string::npos) << table.out;

    Outcome both = Plain({"records", "--csv", "--json", store});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--csv excludes --json"), std::string::npos) << both.err;
}

TEST_F(Cli, WithoutPortSaysWhichDeviceAndHowToNameOne) {
    if (access("/dev/ttyS1", F_OK) == 0) GTEST_SKIP() << "this machine has a /dev/ttyS1";
    const Outcome none = Plain({"status"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("cannot open COM2"), std::string::npos) << none.err;
    EXPECT_NE(none.err.find("no --port was given: COM2 is the device a new settings file (VELDA.INI) names (COM2 is "
                            "/dev/ttyS1 on Linux); name the terminals' device with --port, such as --port /dev/ttyUSB0"),
              std::string::npos)
        << none.err;
    // With --port, the device named is the one that failed: no such hint.
    const Outcome named = Plain({"--port", "/dev/talvo-none", "status"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.err.find("no --port"), std::string::npos) << named.err;
}

TEST_F(Cli, OddCardTextsKeepCsvAndJsonValid) {
    const std::string store = dir_ / "odd.dat";
    WriteFile(store, StoreHeader(2) + StoreRecord("1,2\"34", "13", 1.0f) + StoreRecord("\xB0\\\x01", "13", 2.0f));
    Outcome csv = Plain({"records", "--csv", store});
    EXPECT_NE(csv.out.find("001,\"1,2\"\"34\",13,1.00,"), std::string::npos) << csv.out;
    // A card a spreadsheet would run as a formula is neutralised, as the
    // service's CSV does it.
    const std::string formulas = dir_ / "formulas.dat";
    WriteFile(formulas, StoreHeader(4) + StoreRecord("=1+2", "13", 1.0f) + StoreRecord("-12345", "13", 1.0f) +
                            StoreRecord("@1,2", "13", 1.0f) + StoreRecord("+1", "05", -1.0f));
    const Outcome neutral = Plain({"records", "--csv", formulas});
    EXPECT_NE(neutral.out.find("\n001,'=1+2,13,1.00,"), std::string::npos) << neutral.out;
    EXPECT_NE(neutral.out.find("\n001,'-12345,13,"), std::string::npos) << neutral.out;
    EXPECT_NE(neutral.out.find("\n001,\"'@1,2\",13,"), std::string::npos) << neutral.out;
    EXPECT_NE(neutral.out.find("\n001,'+1,05,-1.00,"), std::string::npos) << neutral.out;
    EXPECT_EQ(nlohmann::json::parse(Plain({"records", "--json", formulas}).out)["records"][0]["card"], "=1+2");
    Outcome json = Plain({"records", "--json", store});
    ASSERT_EQ(json.status, 0);
    const nlohmann::json parsed = nlohmann::json::parse(json.out);  // throws on invalid JSON
    EXPECT_EQ(parsed["records"][0]["card"], "1,2\"34");
    // The byte 0xB0 read as the code point U+00B0.
    EXPECT_EQ(parsed["records"][1]["card"], "\xC2\xB0\\\x01");
}

TEST_F(Cli, RecordsTheLibraryCannotDecodeAreShownEmptyAndNamed) {
    const std::string store = dir_ / "odd-type.dat";
    WriteFile(store, StoreHeader(3) + StoreRecord("000001", "13", 1.0f) + StoreRecord("000002", "99", 5.0f) +
                         StoreRecord("000003", "14", 2.0f));
    const Outcome csv = Plain({"records", "--csv", store});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find("\n,,,0.00,,,0.00\n001,000003,14,2.00,"), std::string::npos) << csv.out;
    const Outcome json = Plain({"records", "--json", store});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json parsed = nlohmann::json::parse(json.out);
    EXPECT_EQ(parsed["records"][1]["card"], "");
    for (const char* field : {"terminal", "type", "date", "time"}) EXPECT_TRUE(parsed["records"][1][field].is_null()) << field;
    EXPECT_EQ(parsed["records"][2]["card"], "000003");
    EXPECT_NE(json.out.find("\"total\": 3.00,"), std::string::npos) << json.out;
    const Outcome table = Plain({"records", store});
    EXPECT_NE(table.out.find("total: 3 records, 3.00\n(1 record does not read as a transaction"), std::string::npos)
        << table.out;

    // The records are read through the library: without it, one line.
    RunOptions none;
    none.env = {"TALVO_LIBRARY=" + dir_ / "none.so"};
    const Outcome unloaded = Plain({"records", store}, none);
    EXPECT_EQ(unloaded.status, 1);
    ExpectOneLine(unloaded, "no library");
    EXPECT_NE(unloaded.err.find("talvo: records: the library cannot be loaded"), std::string::npos) << unloaded.err;
}

TEST_F(Cli, EveryStoreThatCannotBeShownIsOneLineAndStatusTwo) {
    WriteFile(dir_ / "foreign.txt", "someone's notes, not a store");
    WriteFile(dir_ / "cut.dat", StoreHeader(7) + StoreRecord("000001", "13", 1.0f));
    WriteFile(dir_ / "short.dat", "CASED");  // read over the header's image: a store without records
    mkfifo((dir_ / "fifo").c_str(), 0600);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {dir_.path(), "is a directory"},
        {dir_ / "none.dat", "cannot be read"},
        {dir_ / "foreign.txt", "not a record store"},
        {dir_ / "cut.dat", "damaged record store (the header counts 7 records, the file holds 1)"},
        {dir_ / "fifo", "is not a regular file"},
    };
    for (const auto& [path, problem] : cases) {
        const Outcome o = Plain({"records", path});
        EXPECT_EQ(o.status, 2) << path;
        ExpectOneLine(o, path);
        EXPECT_NE(o.err.find(problem), std::string::npos) << path << ": " << o.err;
    }
    const Outcome empty = Plain({"records", dir_ / "short.dat"});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_NE(empty.out.find("total: 0 records, 0.00"), std::string::npos);
}

TEST_F(Cli, StoreProblemsAreNamedAndNothingIsCollected) {
    for (int i = 0; i < 3; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    WriteFile(dir_ / "foreign.txt", "someone's notes, not a store");
    WriteFile(dir_ / "held.dat", StoreHeader(0));
    WriteFile(dir_ / "readonly.dat", StoreHeader(0));
    chmod((dir_ / "readonly.dat").c_str(), 0444);
    chmod(dir_.path().c_str(), 0755);
    const int holder = open((dir_ / "held.dat").c_str(), O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);

    struct Case {
        std::string store, problem;
        bool unprivileged = false;
    };
    const std::vector<Case> cases = {
        {dir_.path(), "is a directory"},
        {dir_ / "foreign.txt", "not a record store"},
        {dir_ / "held.dat", "is held by another program"},
        {dir_ / "readonly.dat", "cannot be written", true},
        {dir_ / "no-folder/store.dat", "cannot be created: the folder " + dir_ / "no-folder" + " does not exist"},
    };
    // Root writes anywhere: the read-only file is tried as nobody, where
    // nobody can run the tool from this build folder and reach this folder.
    RunOptions nobody;
    if (geteuid() == 0) nobody.uid = 65534;
    WriteFile(dir_ / "probe.dat", StoreHeader(0));
    chmod((dir_ / "probe.dat").c_str(), 0644);
    const bool unprivileged = Plain({"records", dir_ / "probe.dat"}, nobody).status == 0;
    for (const Case& c : cases) {
        if (c.unprivileged && !unprivileged) {
            std::printf("(skipped %s: user nobody cannot run %s on it)\n", c.store.c_str(), kTalvo.c_str());
            continue;
        }
        RunOptions run = c.unprivileged ? nobody : RunOptions{};
        const Outcome o = Talvo({"collect", "--store", c.store}, run);
        EXPECT_EQ(o.status, 2) << c.store << ": " << o.err;
        ExpectOneLine(o, c.store);
        EXPECT_NE(o.err.find("talvo: collect: " + c.store + ": " + c.problem), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("refused"), std::string::npos) << o.err;
    }
    close(holder);
    EXPECT_EQ(Frames(), "ok") << "nothing is sent while the store cannot take records";
    EXPECT_EQ(Control("get 1 records"), "ok 3");
    std::ifstream foreign(dir_ / "foreign.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(foreign), {}), "someone's notes, not a store");
}

TEST_F(Cli, CollectCountsDroppedRecordsAndTotalsToTheCent) {
    for (const char* card : {"000001", "000002", "000003"}) Control(std::string("record 1 seal ") + card + "01100032240930005000");
    Control("record 1 damaged 00000401100032240930005000");
    for (int i = 5; i < 12; ++i) Control("record 1 seal 00000" + std::to_string(i % 10) + "01100032240930005000");
    RunOptions run;
    run.cwd = dir_.path();
    const Outcome o = Talvo({"collect", "--all", "--store", "store.dat"}, run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("10 records stored in store.dat, total 100.10"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("1 damaged or unwanted record not stored"), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("not stored, damaged: its check pair does not match: 000004011000322409300050"),
              std::string::npos)
        << o.err;
    EXPECT_EQ(Control("get 1 records"), "ok 0");
}

TEST_F(Cli, CollectTakesEverythingUnlessOnce) {
    for (int i = 0; i < 8; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    RunOptions run;
    run.cwd = dir_.path();
    const Outcome once = Talvo({"collect", "--once", "--store", "store.dat"}, run);
    EXPECT_EQ(once.status, 0) << once.err;
    EXPECT_NE(once.out.find("6 records stored in store.dat"), std::string::npos) << once.out;
    EXPECT_NE(once.out.find("the terminal may hold more records"), std::string::npos) << once.out;
    EXPECT_EQ(Control("get 1 records"), "ok 2");
    for (int i = 0; i < 7; ++i) Control("record 1 seal 00001" + std::to_string(i) + "00100032240930005000");
    const Outcome all = Talvo({"collect", "--store", "store.dat"}, run);
    EXPECT_EQ(all.status, 0) << all.err;
    EXPECT_NE(all.out.find("9 records stored in store.dat"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("may hold more"), std::string::npos) << all.out;
    EXPECT_EQ(Control("get 1 records"), "ok 0");
}

// -t 1,3,9: each terminal in turn on the one line, in the order given,
// each output line named; one that fails stops none of the others, and the
// exit status says that one failed.
TEST_F(Cli, SeveralTerminalsInOneRun) {
    Control("add 3 consumption");
    for (int i = 0; i < 8; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    for (int i = 0; i < 2; ++i) Control("record 3 seal 00001" + std::to_string(i) + "00200032240930005000");
    RunOptions run;
    run.cwd = dir_.path();
    const Outcome collect = Talvo({"-t", "1,9,3", "collect", "--store", "store.dat"}, run);
    EXPECT_EQ(collect.status, 1) << collect.err;
    EXPECT_EQ(collect.out.rfind("terminal 1: 8 records stored in store.dat, total ", 0), 0u) << collect.out;
    EXPECT_NE(collect.out.find("\nterminal 3: 2 records stored in store.dat, total "), std::string::npos)
        << collect.out;
    EXPECT_EQ(std::count(collect.out.begin(), collect.out.end(), '\n'), 2) << collect.out;
    EXPECT_NE(collect.err.find("talvo: collect: terminal 9: the terminal did not answer"), std::string::npos)
        << collect.err;
    EXPECT_NE(collect.err.find("talvo: collect: 1 of 3 terminals failed (terminal 9)\n"), std::string::npos) << collect.err;
    EXPECT_EQ(Control("get 1 records"), "ok 0");
    EXPECT_EQ(Control("get 3 records"), "ok 0");
    const Outcome shown = Plain({"records", "--json", dir_ / "store.dat"});
    const nlohmann::json stored = nlohmann::json::parse(shown.out, nullptr, false);
    ASSERT_TRUE(stored.is_object()) << shown.out;
    EXPECT_EQ(stored["count"], 10);
    EXPECT_EQ(stored["records"][9]["terminal"], 3);
    // All well: exit status 0, and the order is the one given.
    const Outcome status = Talvo({"status", "-t", "3,1-2"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out,
              "terminal 3: answers and accepts commands\n"
              "terminal 1: answers and accepts commands\n"
              "terminal 2: answers and accepts commands\n");
    // A value for each, set and read; through the 43 exports as well.
    EXPECT_EQ(Talvo({"-t", "1,3", "cmw", "set", "BOTH"}).status, 0);
    EXPECT_EQ(Control("get 3 cmw"), Control("get 1 cmw"));
    const Outcome legacy = Talvo({"legacy", "-t", "3,9,1", "menu", "read"});
    EXPECT_EQ(legacy.status, 1);
    EXPECT_EQ(legacy.out, "terminal 3: the menu is empty\nterminal 1: the menu is empty\n");
    EXPECT_NE(legacy.err.find("talvo: legacy menu read: terminal 9: "), std::string::npos) << legacy.err;
    // A usage problem (a store that cannot be used) is still status 2.
    WriteFile(dir_ / "not-a-store.dat", "hello");
    EXPECT_EQ(Talvo({"-t", "1,3", "collect", "--store", "not-a-store.dat"}, run).status, 2);
}

TEST_F(Cli, AckAsksForYesAtAKeyboard) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    RunOptions keyboard;
    keyboard.stdin_path = ptsname(master);
    const Outcome asked = Talvo({"ack"}, keyboard);
    EXPECT_EQ(asked.status, 2);
    EXPECT_NE(asked.err.find("add --yes"), std::string::npos) << asked.err;
    EXPECT_EQ(Frames(), "ok");
    EXPECT_EQ(Talvo({"legacy", "ack"}, keyboard).status, 2);
    EXPECT_EQ(Frames(), "ok");
    const Outcome yes = Talvo({"ack", "--yes"}, keyboard);
    EXPECT_EQ(yes.status, 0) << yes.err;
    const Outcome legacyYes = Talvo({"legacy", "ack", "--yes", "--count", "2"}, keyboard);
    EXPECT_EQ(legacyYes.status, 0) << legacyYes.err;
    EXPECT_NE(Frames(), "ok");

    // clear-ram too: what it clears is gone.
    Control("clearframes");
    const Outcome clear = Talvo({"clear-ram"}, keyboard);
    EXPECT_EQ(clear.status, 2);
    EXPECT_NE(clear.err.find("add --yes"), std::string::npos) << clear.err;
    EXPECT_EQ(Talvo({"legacy", "clear-ram"}, keyboard).status, 2);
    EXPECT_EQ(Frames(), "ok");
    // Several: every one named, none cleared.
    const Outcome several = Talvo({"-t", "1-3,7", "clear-ram"}, keyboard);
    EXPECT_EQ(several.status, 2);
    EXPECT_NE(several.err.find("clears the memory of terminals 1-3 and 7; add --yes"), std::string::npos)
        << several.err;
    EXPECT_EQ(Frames(), "ok");
    EXPECT_EQ(Talvo({"clear-ram", "--yes"}, keyboard).status, 0);
    close(master);
    EXPECT_NE(Frames(), "ok");
    // A script (no keyboard) needs no --yes, as before.
    EXPECT_EQ(Talvo({"clear-ram"}).status, 0);
}

TEST_F(Cli, ClockTimesAsTwoWordsAndPortsThatAreFiles) {
    const Outcome two = Talvo({"clock", "set", "2026/12/07", "10:00"});
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_EQ(Control("get 1 clock"), "ok 2612071000");
    EXPECT_EQ(Talvo({"clock", "set", "2026-12-08 11:30"}).status, 0);
    EXPECT_EQ(Control("get 1 clock"), "ok 2612081130");
    EXPECT_EQ(Talvo({"attend", "clock", "set", "2026/12/07", "10:00:05", "-t", "2"}).status, 0);
    EXPECT_EQ(Control("get 2 aclock"), "ok 20261207100005");
    Control("clearframes");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"clock", "set", "2026/12/07", "25:00"},
                                               std::vector<std::string>{"clock", "set", "2026/12/07"},
                                               std::vector<std::string>{"clock", "set", "2026/12/07", "10:00", "x"}}) {
        const Outcome o = Talvo(bad);
        EXPECT_EQ(o.status, 2) << bad.back();
    }
    EXPECT_EQ(Frames(), "ok");

    // A regular file or a folder named as the port: said so, nothing opened.
    const std::string file = dir_ / "records.dat";
    WriteFile(file, "");
    const Outcome regular = Plain({"--port", file, "status"});
    EXPECT_EQ(regular.status, 2);
    EXPECT_NE(regular.err.find(file + " is a regular file, not a serial device"), std::string::npos) << regular.err;
    const Outcome folder = Plain({"status", "--port", dir_.path()});
    EXPECT_EQ(folder.status, 2);
    EXPECT_NE(folder.err.find("is a folder, not a serial device"), std::string::npos) << folder.err;
}

TEST_F(Cli, DbNeverMakesADatabase) {
    TempDir dir;
    const Outcome o = Plain({"db", "--database", dir / "none.sqlite", "records"});
    EXPECT_EQ(o.status, 2) << o.err;
    EXPECT_NE(o.err.find("none.sqlite"), std::string::npos) << o.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path())) << "a query made a file";
}

// `db` is talvod's and `demo` runs talvo-sim: a talvo installed without
// them says what is missing in one line, and the help of `db` still comes.
TEST_F(Cli, WithoutTalvodOrTalvoSimSaysWhatIsMissing) {
    TempDir alone;
    std::filesystem::copy_file(kTalvo, alone / "talvo");
    RunOptions run;
    run.env = {"PATH=" + alone.path()};
    run.cwd = alone.path();
    const Outcome db = test::Run({alone / "talvo", "db", "--database", alone / "none.db", "records"}, run);
    EXPECT_EQ(db.status, 1);
    ExpectOneLine(db, "db");
    EXPECT_NE(db.err.find("talvo: db: the database is queried by talvod, which is not installed (the talvod "
                          "package)"),
              std::string::npos)
        << db.err;
    EXPECT_TRUE(db.out.empty()) << db.out;
    const Outcome help = test::Run({alone / "talvo", "db", "--help"}, run);
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("runs talvod db, from the talvod package"), std::string::npos) << help.out;
    EXPECT_NE(help.out.find("records"), std::string::npos) << help.out;
    const Outcome demo = test::Run({alone / "talvo", "demo", "--dir", "d"}, run);
    EXPECT_EQ(demo.status, 1);
    EXPECT_NE(demo.err.find("talvo: demo: talvo-sim did not start"), std::string::npos) << demo.err;
    std::filesystem::remove_all(alone / "d");
    std::filesystem::remove(alone / "talvo");
}

// `talvo db` is `talvod db` run in its place: what talvod writes and its
// exit status come through as they are, in talvo's name.
TEST_F(Cli, DbPassesTalvodsOutputAndStatusThrough) {
    if (!std::filesystem::exists(std::filesystem::path(kTalvo).parent_path() / "talvod")) {
        GTEST_SKIP() << "built without talvod";
    }
    TempDir dir;
    WriteFile(dir / "garbage.db", std::string(4096, 'x'));
    const Outcome broken = Plain({"db", "--database", dir / "garbage.db", "terminals"});
    EXPECT_EQ(broken.status, 1) << broken.err;
    EXPECT_EQ(broken.err.rfind("talvo: database " + (dir / "garbage.db") + ": ", 0), 0u) << broken.err;
    const Outcome filter = Plain({"db", "--database", dir / "garbage.db", "records", "--type", "gift"});
    EXPECT_EQ(filter.status, 2) << filter.err;
    ExpectOneLine(filter, "bad filter");
    EXPECT_EQ(filter.err.rfind("talvo: type: ", 0), 0u) << filter.err;
    // A usage error is talvo's own, before talvod runs.
    const Outcome usage = Plain({"db", "totals", "--by", "week"});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("(see talvo db totals --help)"), std::string::npos) << usage.err;
}

// The processes whose working folder is `dir`.
std::vector<int> ProcessesIn(const std::string& dir) {
    std::vector<int> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::error_code e;
        if (std::filesystem::read_symlink(entry.path() / "cwd", e) == dir) found.push_back(std::stoi(name));
    }
    return found;
}

// The software terminal of `demo` runs in the demo's folder as its child:
// it goes with the demo however the demo ends, killed too.
TEST_F(Cli, DemoKilledLeavesNoSoftwareTerminalRunning) {
    TempDir dir;
    const std::string demo = dir / "demo";
    std::filesystem::create_directory(demo);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0) _exit(126);
        setenv("TMPDIR", dir.path().c_str(), 1);
        setenv("TALVO_WINDIR", dir.path().c_str(), 1);
        execl(kTalvo.c_str(), "talvo", "demo", "--dir", demo.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    const std::string where = std::filesystem::canonical(demo);
    // Two processes in the folder: the demo and its software terminal.
    const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (ProcessesIn(where).size() < 2 && std::chrono::steady_clock::now() < guard) usleep(10000);
    const std::vector<int> started = ProcessesIn(where);
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(started.size(), 2u) << "the demo's software terminal never started";
    while (!ProcessesIn(where).empty() && std::chrono::steady_clock::now() < guard) usleep(10000);
    EXPECT_TRUE(ProcessesIn(where).empty()) << "a software terminal outlived the demo";
}

TEST_F(Cli, DecodeNeedsNoTerminal) {
    // The user's settings name a device that is not there: a library that
    // opened its port at load would say so on standard error.
    TempDir settings;
    const std::string ini = "[CommParam]\r\nComName=/dev/talvo-none\r\n";
    WriteFile(settings / "VELDA.INI", ini);
    RunOptions run;
    run.env = {"TALVO_WINDIR=" + settings.path()};
    const Outcome o = Plain({"-t", "5", "decode", "00123450341232240930005000BB"}, run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(o.err.empty()) << o.err;
    EXPECT_NE(o.out.find("terminal 005  card 001234  type 13  amount 1234.50"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("check ok"), std::string::npos) << o.out;
    std::ifstream kept(settings / "VELDA.INI", std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), ini) << "the user's settings were changed";
    const Outcome damaged = Plain({"decode", "00123450341232240930005000BC"}, run);
    EXPECT_NE(damaged.out.find("check WRONG"), std::string::npos) << damaged.out;
    EXPECT_EQ(Frames(), "ok");
}

TEST_F(Cli, RecordsStreamAMillionRecordsInConstantMemory) {
    constexpr int kRecords = 1000000;
    const std::string big = dir_ / "big.dat";
    const std::string small = dir_ / "small.dat";
    {
        const std::string record = StoreRecord("123456", "13", 12.34f);
        std::string block;
        for (int i = 0; i < 1000; ++i) block += record;
        std::ofstream out(big, std::ios::binary);
        out << StoreHeader(kRecords);
        for (int i = 0; i < kRecords / 1000; ++i) out << block;
        WriteFile(small, StoreHeader(1000) + block);
    }
    RunOptions counted;
    counted.keep_stdout = false;
    const Outcome few = Plain({"records", "--csv", small}, counted);
    const Outcome many = Plain({"records", "--csv", big}, counted);
    ASSERT_EQ(many.status, 0) << many.err;
    EXPECT_EQ(many.out_lines, static_cast<std::size_t>(kRecords) + 1);
    // The file is 44 MB; its records held in memory would take far more.
    EXPECT_LT(many.peak_kib, few.peak_kib + 8 * 1024) << "peak " << many.peak_kib << " KiB against "
                                                      << few.peak_kib << " KiB for 1000 records";
    const Outcome table = Plain({"records", big}, counted);
    EXPECT_EQ(table.status, 0);
    EXPECT_LT(table.peak_kib, few.peak_kib + 8 * 1024);
    const Outcome json = Plain({"records", "--json", big}, counted);
    EXPECT_EQ(json.status, 0);
    EXPECT_LT(json.peak_kib, few.peak_kib + 8 * 1024);

    RunOptions gone;
    gone.close_stdout_early = true;
    const Outcome cut = Plain({"records", "--csv", big}, gone);
    EXPECT_TRUE(cut.exited) << "ended by signal " << cut.status;
    EXPECT_EQ(cut.status, 1);
}

TEST_F(Cli, LineOptionsNeedNoPrivateSettingsFile) {
    TempDir tmp;
    RunOptions run;
    run.env = {"TMPDIR=" + tmp.path()};
    const Outcome o = Talvo({"status"}, run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "a private settings file was written";
    // The 43 exports read their settings file: one for the run, removed after it.
    const Outcome legacy = Talvo({"legacy", "status"}, run);
    EXPECT_EQ(legacy.status, 0) << legacy.err;
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the private settings file stayed";
}

TEST_F(Cli, UnconfirmedBatchIsTakenOutOfTheStoreAndComesBackOnce) {
    for (int i = 0; i < 3; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    RunOptions run;
    run.cwd = dir_.path();
    for (const std::vector<std::string>& via : {std::vector<std::string>{}, std::vector<std::string>{"legacy"}}) {
        const std::string store = via.empty() ? "line.dat" : "legacy.dat";
        auto collect = via;
        collect.insert(collect.end(), {"collect", "--store", store});
        Control("fault 47 status NN");
        const Outcome refused = Talvo(collect, run);
        EXPECT_EQ(refused.status, 1) << refused.err;
        if (via.empty()) {
            EXPECT_NE(refused.err.find("taken out of the store again"), std::string::npos) << refused.err;
        }
        EXPECT_EQ(Control("get 1 records"), "ok 3");
        const Outcome stored = Talvo(collect, run);
        EXPECT_EQ(stored.status, 0) << stored.err;
        EXPECT_NE(stored.out.find("3 records stored"), std::string::npos) << stored.out;
        const Outcome shown = Plain({"records", dir_ / store});
        EXPECT_NE(shown.out.find("total: 3 records, 30.00"), std::string::npos) << shown.out;
        for (int i = 0; i < 3; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    }
}

// A confirmation without a clear answer is settled in the same run: the
// terminal hands the batch again (here under a new mark) and the library
// confirms it without storing it twice.
TEST_F(Cli, UnansweredConfirmationIsSettledInTheSameRun) {
    for (int i = 0; i < 2; ++i) Control("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
    Control("fault 47 wrongmark");
    Control("fault 37 remark skip=1");
    RunOptions run;
    run.cwd = dir_.path();
    const Outcome o = Talvo({"collect", "--store", "store.dat"}, run);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.out.find("2 records stored in store.dat, total 20.00"), std::string::npos) << o.out;
    EXPECT_EQ(Control("get 1 records"), "ok 0");
    const Outcome shown = Plain({"records", dir_ / "store.dat"});
    EXPECT_NE(shown.out.find("total: 2 records, 20.00"), std::string::npos) << shown.out;
}

TEST_F(Cli, VersionNamesToolAndLibrary) {
    const Outcome o = Plain({"--version"});
    EXPECT_EQ(o.status, 0);
    EXPECT_NE(o.out.find("talvo "), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\nlibrary: "), std::string::npos) << o.out;
    EXPECT_EQ(o.out.find("cannot be loaded"), std::string::npos) << o.out;
    EXPECT_TRUE(o.err.empty()) << o.err;
}

TEST_F(Cli, HelpDescribesEveryArgumentAndTheTerms) {
    const Outcome man = Plain({"--man-page"});
    ASSERT_EQ(man.status, 0);
    // Every argument's entry (.TP, its name, its text) has a text.
    std::size_t at = 0;
    int entries = 0;
    while ((at = man.out.find(".TP\n", at)) != std::string::npos) {
        const std::size_t name = at + 4;
        const std::size_t text = man.out.find('\n', name) + 1;
        const std::size_t end = man.out.find('\n', text);
        EXPECT_GT(end, text) << "no description for " << man.out.substr(name, text - name);
        EXPECT_NE(man.out[text], '.') << "no description for " << man.out.substr(name, text - name);
        ++entries;
        at = text;
    }
    EXPECT_GE(entries, 40);
    for (const char* term : {"CMW", "mdeb", "key flags", "Type 05", "13 a deposit", "14 a subsidy",
                             "Attendance terminals keep no records"}) {
        EXPECT_NE(man.out.find(term), std::string::npos) << term;
        EXPECT_NE(Plain({"--help"}).out.find(term), std::string::npos) << term;
    }

    // The completion script completes subcommands at each level.
    const std::string script = dir_ / "talvo.bash";
    WriteFile(script, Plain({"--bash-completion"}).out);
    auto complete = [&](const std::string& words, int cword) {
        const std::string line = "source " + script + "; COMP_WORDS=(" + words + "); COMP_CWORD=" +
                                 std::to_string(cword) + "; _talvo; echo \"${COMPREPLY[*]}\"";
        return test::Run({"/bin/bash", "-c", line}).out;
    };
    EXPECT_EQ(complete("talvo cm", 1), "cmw\n");
    EXPECT_EQ(complete("talvo cmw ''", 2).substr(0, 8), "get set ");
    EXPECT_EQ(complete("talvo -t 2 attend zones s", 5), "set\n");
}

TEST_F(Cli, ManPageSectionsAndShortSubcommandHelp) {
    const Outcome man = Plain({"--man-page"});
    ASSERT_EQ(man.status, 0);
    std::vector<std::string> sections;
    for (std::size_t at = 0; (at = man.out.find("\n.SH ", at)) != std::string::npos; ++at) {
        sections.push_back(man.out.substr(at + 5, man.out.find('\n', at + 1) - at - 5));
    }
    EXPECT_EQ(sections, (std::vector<std::string>{"NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "COMMANDS", "EXIT STATUS",
                                                  "ENVIRONMENT", "FILES", "EXAMPLES", "NOTES", "SEE ALSO"}));
    for (const char* text : {"TALVO_LIBRARY", "TALVO_TRACE", "talvo\\-records.dat", "ErrRec.doc",
                             "/etc/talvod/talvod.toml", "0 success", "clock set now"}) {
        EXPECT_NE(man.out.find(text), std::string::npos) << text;
    }

    // The terms and the exit status once, in the top help.
    const Outcome top = Plain({"--help"});
    EXPECT_NE(top.out.find("Terms:"), std::string::npos);
    EXPECT_NE(top.out.find("Exit status: 0 success"), std::string::npos);
    EXPECT_NE(top.out.find("default COM2"), std::string::npos);  // the port used without --port
    for (const std::vector<std::string>& sub : {std::vector<std::string>{"cmw", "get", "--help"},
                                               std::vector<std::string>{"collect", "--help"},
                                               std::vector<std::string>{"legacy", "status", "--help"},
                                               std::vector<std::string>{"db", "totals", "--help"}}) {
        const Outcome o = Plain(sub);
        EXPECT_EQ(o.status, 0) << sub[0];
        EXPECT_EQ(o.out.find("Terms:"), std::string::npos) << sub[0] << ":\n" << o.out;
        EXPECT_NE(o.out.find("Terms and exit status: talvo --help."), std::string::npos) << sub[0] << ":\n" << o.out;
    }
}

TEST_F(Cli, CompletionOffersSerialDevicesChoicesAndFiles) {
    const std::string script = dir_ / "talvo.bash";
    WriteFile(script, Plain({"--bash-completion"}).out);
    // A /dev of its own: serial devices beside consoles that are none.
    const std::filesystem::path dev = std::filesystem::path(dir_.path()) / "dev";
    std::filesystem::create_directories(dev / "serial" / "by-id");
    for (const char* name : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM0", "tty0", "tty63", "console", "serial/by-id/usb-FTDI_A1-if00"}) {
        WriteFile((dev / name).string(), "");
    }
    WriteFile(dir_ / "site.toml", "");
    auto complete = [&](const std::string& words, int cword) {
        const std::string line = "source " + script + "; _talvo_dev=" + dev.string() + "; cd " + dir_.path() +
                                 "; COMP_WORDS=(" + words + "); COMP_CWORD=" + std::to_string(cword) +
                                 "; _talvo; echo \"${COMPREPLY[*]}\"";
        return test::Run({"/bin/bash", "-c", line}).out;
    };
    const std::string d = dev.string();
    EXPECT_EQ(complete("talvo --port ''", 2), d + "/ttyS0 " + d + "/ttyS1 " + d + "/ttyUSB0 " + d + "/ttyACM0 " + d +
                                                  "/serial/by-id/usb-FTDI_A1-if00\n");
    EXPECT_EQ(complete("talvo status --port " + d + "/ttyU", 3), d + "/ttyUSB0\n");
    // Any other path, such as a pseudo-terminal's, by file name.
    EXPECT_EQ(complete("talvo --port sit", 2), "site.toml\n");
    EXPECT_EQ(complete("talvo db totals --by ''", 4), "day hour terminal line type\n");
    EXPECT_EQ(complete("talvo db totals --by t", 4), "terminal type\n");
    EXPECT_EQ(complete("talvo db --config si", 3), "site.toml\n");
}

}  // namespace
}  // namespace talvo::test
