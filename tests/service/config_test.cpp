// The configuration: what --check and the start refuse, with the line and
// the reason, and what a good file gives.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <stdlib.h>

#include <csignal>
#include <filesystem>

#include "config.h"
#include "db/report_schedule.h"
#include "db/database.h"
#include "harness.h"
#include "rogue_peer.h"

namespace talvo::test {
namespace {

using service::Config;
using service::LoadConfig;

const char* kLine = R"([[line]]
name = "hall"
device = "/dev/ttyS0"
[[line.terminal]]
number = 1
)";

class ConfigFile : public ::testing::Test {
protected:
    // Loads `text`; the errors joined by newlines ("" when it loads).
    std::string Errors(const std::string& text) {
        WriteText(dir / "talvod.toml", text);
        std::vector<std::string> errors;
        config = Config{};
        LoadConfig(dir / "talvod.toml", config, errors);
        std::string all;
        for (const std::string& e : errors) all += e + "\n";
        return all;
    }
    TempDir dir;
    Config config;
};

TEST_F(ConfigFile, ExampleAndDefaults) {
    std::vector<std::string> errors;
    ASSERT_TRUE(LoadConfig(std::string(TALVOD_SOURCE_DIR) + "/talvod.example.toml", config, errors))
        << (errors.empty() ? "" : errors[0]);
    ASSERT_EQ(config.lines.size(), 1u);
    EXPECT_EQ(config.lines[0].terminals.size(), 2u);
    EXPECT_EQ(config.lines[0].terminals[1].kind, "attendance");

    // Nothing but one line: every default, the database beside the file.
    EXPECT_EQ(Errors(kLine), "");
    EXPECT_EQ(config.database, dir / "talvod.db");
    EXPECT_EQ(config.http.listen, "127.0.0.1");
    EXPECT_EQ(config.jobs.collectMs, 60000);
    EXPECT_EQ(config.jobs.statusMs, 30000);
    EXPECT_EQ(config.jobs.clockMs, 86400000);
    EXPECT_TRUE(config.jobs.clockAtStart);
    EXPECT_EQ(config.lines[0].baud, 4800u);
    EXPECT_EQ(config.lines[0].terminals[0].kind, "payment");
    EXPECT_EQ(config.lines[0].terminals[0].name, "Terminal 1");

    EXPECT_EQ(Errors(std::string("database = \"postgresql://talvo@db/site\"\n[jobs]\ncollect = \"500ms\"\n"
                                 "status = 45\nclock = \"2h\"\n") + kLine),
              "");
    EXPECT_EQ(config.database, "postgresql://talvo@db/site");
    EXPECT_EQ(config.jobs.collectMs, 500);
    EXPECT_EQ(config.jobs.statusMs, 45000);
    EXPECT_EQ(config.jobs.clockMs, 7200000);
}

TEST_F(ConfigFile, RefusedWithLineAndReason) {
    const std::string file = dir / "talvod.toml";
    // A line without a device.
    EXPECT_EQ(Errors("[[line]]\nname = \"hall\"\n[[line.terminal]]\nnumber = 1\n"),
              file + ":1: line 'hall' has no device (device = \"/dev/ttyUSB0\", for example)\n");
    // The same terminal twice on a line.
    EXPECT_EQ(Errors(std::string(kLine) + "[[line.terminal]]\nnumber = 2\n[[line.terminal]]\nnumber = 1\n"),
              file + ":9: terminal 1 appears twice on line 'hall' (first at line 5)\n");
    // Unknown keys, at the top, in a table and in a terminal.
    EXPECT_EQ(Errors("colect = \"5s\"\n" + std::string(kLine) + "nmae = \"x\"\n"),
              file + ":1: unknown key 'colect'\n" + file + ":7: unknown key 'nmae' in [[line.terminal]]\n");
    EXPECT_EQ(Errors("[jobs]\ncolect = \"5s\"\n" + std::string(kLine)), file + ":2: unknown key 'colect' in [jobs]\n");
    // Bad intervals.
    for (const char* bad : {"\"5 s\"", "\"-5s\"", "\"0s\"", "\"5w\"", "\"\"", "0", "-3", "true", "\"50ms\""}) {
        EXPECT_EQ(Errors(std::string("[jobs]\ncollect = ") + bad + "\n" + kLine),
                  file + ":2: jobs.collect must be a duration from 100ms to 31d, such as \"500ms\", \"30s\", \"5m\", "
                         "\"2h\" or \"1d\"\n")
            << bad;
    }
    // A number in quotes has lost its unit: refused with the units there
    // are (a bare integer is seconds, as it always was).
    EXPECT_EQ(Errors(std::string("[jobs]\nstatus = \"60\"\n") + kLine),
              file + ":2: jobs.status = \"60\" has no unit: write it with one of ms, s, m, h or d, such as \"60s\"\n");
    // Every fault is reported, not just the first.
    const std::string many = Errors(
        "[http]\nlisten = \"0.0.0.0\"\n[[line]]\nname = \"a b\"\ndevice = \"/dev/x\"\nbaud = 1234\ntries = 11\n"
        "format = \"8N1\"\n[[line.terminal]]\nnumber = 256\n[[line.terminal]]\nnumber = 3\nkind = \"till\"\n");
    EXPECT_NE(many.find(":2: listening on 0.0.0.0 (beyond the loopback) requires a token in [http]"), std::string::npos)
        << many;
    EXPECT_NE(many.find(":4: line name 'a b'"), std::string::npos) << many;
    EXPECT_NE(many.find(":6: line 'a b': baud must be one of"), std::string::npos) << many;
    EXPECT_NE(many.find(":7: tries of line 1 must be a whole number from 1 to 10"), std::string::npos) << many;
    EXPECT_NE(many.find(":8: line 'a b': format must read"), std::string::npos) << many;
    EXPECT_NE(many.find(":10: number of a terminal must be a whole number from 0 to 255"), std::string::npos) << many;
    EXPECT_NE(many.find(":13: terminal 3: kind must be \"payment\" or \"attendance\""), std::string::npos) << many;
}

// What can never work is refused where it is written: a database that is
// a directory, a PostgreSQL target that does not parse, one device named
// by two lines in two spellings.
TEST_F(ConfigFile, NeverWorkingRefused) {
    const std::string file = dir / "talvod.toml";
    std::filesystem::create_directory(dir / "data");
    EXPECT_EQ(Errors("database = \"data\"\n" + std::string(kLine)),
              file + ":1: database: " + (dir / "data") + " is a directory, not a database file\n");
    for (const char* bad : {"postgresql://talvo@/db?host=/tmp&bogus=1", "postgresql://talvo@[::1/db",
                            "host=/tmp dbname='open"}) {
        EXPECT_NE(Errors("database = \"" + std::string(bad) + "\"\n" + kLine)
                      .find(file + ":1: database: the PostgreSQL target does not parse: "),
                  std::string::npos)
            << bad;
    }
    EXPECT_EQ(Errors("database = \"postgresql://talvo@/db?host=/tmp\"\n" + std::string(kLine)), "");

    auto twoLines = [](const std::string& first, const std::string& second) {
        return "[[line]]\nname = \"a\"\ndevice = \"" + first + "\"\n[[line.terminal]]\nnumber = 1\n" +
               "[[line]]\nname = \"b\"\ndevice = \"" + second + "\"\n[[line.terminal]]\nnumber = 1\n";
    };
    EXPECT_EQ(Errors(twoLines("ttyS0", "/dev/ttyS0")),
              file + ":8: device /dev/ttyS0 is the same as ttyS0 at line 3 (/dev/ttyS0): one device, one line\n");
    WriteText(dir / "ttyX", "");
    std::filesystem::create_symlink(dir / "ttyX", dir / "by-id");
    EXPECT_EQ(Errors(twoLines(dir / "by-id", dir / "ttyX")),
              file + ":8: device " + (dir / "ttyX") + " is the same as " + (dir / "by-id") + " at line 3 (" +
                  (dir / "ttyX") + "): one device, one line\n");
    EXPECT_EQ(Errors(twoLines("ttyS0", "ttyS1")), "");
}

TEST_F(ConfigFile, LinesAndFileFaults) {
    const std::string file = dir / "talvod.toml";
    EXPECT_EQ(Errors(""), file + ": no line configured ([[line]] with a device and terminals)\n");
    EXPECT_EQ(Errors("[[line]]\nname = \"a\"\ndevice = \"/dev/x\"\n"), file + ":1: line 'a' has no terminals ([[line.terminal]] with a number)\n");
    // Two lines on one device, two lines with one name.
    EXPECT_EQ(Errors(std::string(kLine) + kLine),
              file + ":7: a second line named 'hall' (the first is at line 1)\n" + file +
                  ":8: device /dev/ttyS0 is used by two lines (also at line 3)\n");
    // Not TOML at all: the parser's line.
    const std::string broken = Errors("database = \"x\"\n[[line]\n");
    EXPECT_EQ(broken.rfind(file + ":2: ", 0), 0u) << broken;
    // A missing file.
    std::vector<std::string> errors;
    EXPECT_FALSE(LoadConfig(dir / "none.toml", config, errors));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind(dir / "none.toml", 0), 0u);
    // A token beyond the loopback is enough; a short one is not.
    EXPECT_EQ(Errors(std::string("[http]\nlisten = \"0.0.0.0\"\ntoken = \"0123456789abcdef\"\n") + kLine), "");
    EXPECT_EQ(Errors(std::string("[http]\nlisten = \"127.0.0.1\"\ntoken = \"short\"\n") + kLine),
              file + ":3: token must be at least 16 characters long\n");
    EXPECT_EQ(Errors(std::string("[http]\nlisten = \"example.org\"\n") + kLine).find(":2: listen must be an IP address"),
              file.size());
    EXPECT_EQ(Errors(std::string("[http]\nhealth_without_token = true\n") + kLine), "");
    EXPECT_TRUE(config.http.healthWithoutToken);
    EXPECT_EQ(Errors(std::string("[http]\nhealth_without_token = \"yes\"\n") + kLine),
              file + ":2: health_without_token must be true or false\n");
    // The page's currency: a three-letter code, or none.
    EXPECT_EQ(Errors(std::string("[http]\ncurrency = \"CHF\"\n") + kLine), "");
    EXPECT_EQ(config.http.currency, "CHF");
    for (const char* bad : {"\"chf\"", "\"EURO\"", "\"€\"", "\"\"", "978"}) {
        const std::string refused = Errors(std::string("[http]\ncurrency = ") + bad + "\n" + kLine);
        EXPECT_EQ(refused.rfind(file + ":2: currency ", 0), 0u) << bad << ": " << refused;
    }
}

// Users and their roles, groups and the read-back interval.
TEST_F(ConfigFile, UsersGroupsAndVerify) {
    const std::string file = dir / "talvod.toml";
    const std::string users =
        "[http]\ntoken = \"admin-token-0123456789\"\n"
        "[[http.user]]\nname = \"office\"\nrole = \"read\"\ntoken = \"office-token-0123456789\"\n"
        "[jobs]\nverify = \"10m\"\n";
    EXPECT_EQ(Errors(users + kLine + "group = \"canteen\"\n"), "");
    ASSERT_EQ(config.http.users.size(), 2u);
    EXPECT_EQ(config.http.users[0].name, "admin");
    EXPECT_EQ(config.http.users[0].role, "admin");
    EXPECT_EQ(config.http.users[1].name, "office");
    EXPECT_EQ(config.http.users[1].role, "read");
    EXPECT_EQ(config.jobs.verifyMs, 600000);
    EXPECT_EQ(config.lines[0].terminals[0].group, "canteen");

    // A read-only user is enough to listen beyond the loopback.
    EXPECT_EQ(Errors("[http]\nlisten = \"0.0.0.0\"\n[[http.user]]\nname = \"office\"\nrole = \"read\"\n"
                     "token = \"office-token-0123456789\"\n" + std::string(kLine)),
              "");
    const std::vector<std::pair<std::string, std::string>> bad = {
        {"[[http.user]]\nname = \"x\"\nrole = \"boss\"\ntoken = \"office-token-0123456789\"\n",
         "user 'x': role must be \"admin\" or \"read\""},
        {"[[http.user]]\nname = \"x\"\nrole = \"read\"\ntoken = \"short\"\n", "the token must be at least 16"},
        {"[[http.user]]\nname = \"x\"\nrole = \"read\"\n", "user 'x' has no token"},
        {"[[http.user]]\nrole = \"read\"\ntoken = \"office-token-0123456789\"\n", "a user needs a name"},
        {"token = \"admin-token-0123456789\"\n[[http.user]]\nname = \"x\"\nrole = \"read\"\n"
         "token = \"admin-token-0123456789\"\n",
         "user 'x' has the token of 'admin'"},
        {"[[http.user]]\nname = \"x\"\nrole = \"read\"\ntoken = \"office-token-0123456789\"\n"
         "[[http.user]]\nname = \"x\"\nrole = \"admin\"\ntoken = \"other-token-0123456789\"\n",
         "a second user named 'x'"},
    };
    for (const auto& [text, why] : bad) {
        const std::string errors = Errors("[http]\n" + text + kLine);
        EXPECT_NE(errors.find(why), std::string::npos) << text << errors;
    }
    EXPECT_NE(Errors(std::string(kLine) + "group = \"site\"\n").find("not \"site\""), std::string::npos);
    EXPECT_NE(Errors(std::string(kLine) + "group = \"a b\"\n").find("group 'a b'"), std::string::npos);
    EXPECT_NE(Errors("[jobs]\nverify = \"5ms\"\n" + std::string(kLine)).find("jobs.verify must be a duration"),
              std::string::npos);
}

// A duration refused names examples: each of them is one the key takes.
TEST_F(ConfigFile, RefusedDurationsGiveExamplesTheyTake) {
    for (const char* key : {"verify", "clock", "collect", "status"}) {
        const std::string errors = Errors("[jobs]\n" + std::string(key) + " = \"1ms\"\n" + kLine);
        ASSERT_NE(errors.find("must be a duration"), std::string::npos) << errors;
        int examples = 0;
        for (std::size_t at = errors.find("such as"); (at = errors.find('"', at)) != std::string::npos; ++examples) {
            const std::size_t end = errors.find('"', at + 1);
            const std::string example = errors.substr(at + 1, end - at - 1);
            EXPECT_EQ(Errors("[jobs]\n" + std::string(key) + " = \"" + example + "\"\n" + kLine), "") << key << " = " << example;
            at = end + 1;
        }
        EXPECT_GE(examples, 3) << errors;
    }
}

TEST_F(ConfigFile, ForeignCards) {
    EXPECT_EQ(Errors(std::string(kLine)), "");
    EXPECT_TRUE(config.jobs.adoptForeignCards);
    EXPECT_EQ(Errors("[manage]\nforeign_cards = \"remove\"\n" + std::string(kLine)), "");
    EXPECT_FALSE(config.jobs.adoptForeignCards);
    EXPECT_NE(Errors("[manage]\nforeign_cards = \"keep\"\n" + std::string(kLine)).find("foreign_cards must be"),
              std::string::npos);
    EXPECT_NE(Errors("[manage]\nforeign = \"remove\"\n" + std::string(kLine)).find("foreign"), std::string::npos);
}

TEST(Durations, Units) {
    std::int64_t ms = 0;
    EXPECT_TRUE(service::ParseDuration("750ms", ms));
    EXPECT_EQ(ms, 750);
    EXPECT_TRUE(service::ParseDuration("3d", ms));
    EXPECT_EQ(ms, 3 * 86400000LL);
    for (const char* bad : {"", "90", "ms", "1.5s", "1 s", "5S", "9999999999s", "+5s"}) {
        EXPECT_FALSE(service::ParseDuration(bad, ms)) << bad;
    }
    EXPECT_TRUE(service::IsLoopback("127.0.0.1"));
    EXPECT_TRUE(service::IsLoopback("127.8.9.10"));
    EXPECT_TRUE(service::IsLoopback("::1"));
    EXPECT_FALSE(service::IsLoopback("0.0.0.0"));
    EXPECT_FALSE(service::IsLoopback("128.0.0.1"));
}

// Secrets in files of their own: the token and PostgreSQL's password, read
// from a path beside the configuration, an absolute one or a credential that
// systemd hands the service.
TEST_F(ConfigFile, SecretsFromFiles) {
    const std::string file = dir / "talvod.toml";
    // The token file beside the configuration; its final line end dropped.
    WriteText(dir / "token", "0123456789abcdef-token\n");
    EXPECT_EQ(Errors(std::string("[http]\nlisten = \"0.0.0.0\"\ntoken_file = \"token\"\n") + kLine), "");
    EXPECT_EQ(config.http.token, "0123456789abcdef-token");
    EXPECT_EQ(config.http.tokenFile, dir / "token");
    WriteText(dir / "token", "0123456789abcdef\r\n");
    EXPECT_EQ(Errors(std::string("[http]\ntoken_file = \"") + (dir / "token") + "\"\n" + kLine), "");
    EXPECT_EQ(config.http.token, "0123456789abcdef");

    // What a token file must be, reported at the key's line.
    const auto refused = [&](const std::string& content) {
        WriteText(dir / "token", content);
        return Errors(std::string("[http]\ntoken_file = \"token\"\n") + kLine);
    };
    EXPECT_EQ(refused("short\n"), file + ":2: the token in " + (dir / "token") +
                                      " must be at least 16 characters long\n");
    EXPECT_EQ(refused(""), file + ":2: token_file in [http]: " + (dir / "token") + " is empty\n");
    EXPECT_EQ(refused("\n"), file + ":2: token_file in [http]: " + (dir / "token") + " is empty\n");
    EXPECT_EQ(refused("0123456789abcdef\nsecond line\n"),
              file + ":2: token_file in [http]: " + (dir / "token") + " must hold one line without control characters\n");
    EXPECT_EQ(refused(std::string(5000, 'x')),
              file + ":2: token_file in [http]: " + (dir / "token") + " is larger than 4096 bytes\n");
    EXPECT_EQ(Errors(std::string("[http]\ntoken_file = \"none\"\n") + kLine),
              file + ":2: token_file in [http]: " + (dir / "none") + " cannot be read: No such file or directory\n");
    std::filesystem::create_directory(dir / "folder");
    EXPECT_EQ(Errors(std::string("[http]\ntoken_file = \"folder\"\n") + kLine),
              file + ":2: token_file in [http]: " + (dir / "folder") + " is not a regular file\n");
    EXPECT_EQ(Errors(std::string("[http]\ntoken_file = \"\"\n") + kLine), file + ":2: token_file in [http] is empty\n");
    WriteText(dir / "token", "0123456789abcdef\n");
    EXPECT_EQ(Errors(std::string("[http]\ntoken = \"0123456789abcdef\"\ntoken_file = \"token\"\n") + kLine),
              file + ":3: [http] has token and token_file: give one of them\n");
    // Beyond the loopback a token file is as good as a token; a refused
    // one is not.
    EXPECT_NE(Errors(std::string("[http]\nlisten = \"0.0.0.0\"\ntoken_file = \"none\"\n") + kLine), "");
}

TEST_F(ConfigFile, SecretsFromCredentials) {
    const std::string file = dir / "talvod.toml";
    const char* before = std::getenv("CREDENTIALS_DIRECTORY");
    const std::string saved = before != nullptr ? before : "";
    std::filesystem::create_directory(dir / "credentials");
    WriteText(dir / "credentials/token", "credential-token-0123\n");
    WriteText(dir / "credentials/db", "pg secret\n");
    const std::string keys = "database = \"postgresql://talvo@db.example/site\"\n"
                             "database_password_file = \"$CREDENTIALS_DIRECTORY/db\"\n"
                             "[http]\ntoken_file = \"${CREDENTIALS_DIRECTORY}/token\"\n";

    ::unsetenv("CREDENTIALS_DIRECTORY");
    const std::string unset = " names a credential, but CREDENTIALS_DIRECTORY is not set (systemd sets it for a "
                              "service with LoadCredential=)\n";
    EXPECT_EQ(Errors(keys + kLine), file + ":2: database_password_file" + unset + file + ":4: token_file in [http]" +
                                        unset);

    ::setenv("CREDENTIALS_DIRECTORY", (dir / "credentials").c_str(), 1);
    EXPECT_EQ(Errors(keys + kLine), "");
    EXPECT_EQ(config.http.token, "credential-token-0123");
    EXPECT_EQ(config.http.tokenFile, dir / "credentials/token");
    EXPECT_EQ(config.databasePasswordFile, dir / "credentials/db");
    if (before != nullptr) ::setenv("CREDENTIALS_DIRECTORY", saved.c_str(), 1);
    else ::unsetenv("CREDENTIALS_DIRECTORY");
}

// A running service takes a new token from its file at SIGHUP; a token file
// broken meanwhile is refused and the token in force kept.
TEST_F(ConfigFile, TokenFileReadAgainOnReload) {
    SimLine line(dir / "tty");
    const std::string tokenA = "first-token-0123456789", tokenB = "second-token-0123456789";
    WriteText(dir / "token", tokenA + "\n");
    WriteText(dir / "talvod.toml", ConfigText(dir / "talvod.db", "[http]\nport = 0\ntoken_file = \"token\"\n",
                                              {LineBlock("hall", line.link(), {"1"})}));
    Talvod talvod(dir / "talvod.toml", dir / "talvod.log", {"TALVO_WINDIR=" + dir.path()});
    const int port = talvod.Port();
    ASSERT_NE(port, 0) << talvod.Log();
    EXPECT_EQ(HttpGet(port, "/api/terminals", tokenA).status, 200);
    EXPECT_EQ(HttpGet(port, "/api/terminals", tokenB).status, 401);

    WriteText(dir / "token", tokenB + "\n");
    talvod.Signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return HttpGet(port, "/api/terminals", tokenB).status == 200; })) << talvod.Log();
    EXPECT_EQ(HttpGet(port, "/api/terminals", tokenA).status, 401);

    WriteText(dir / "token", "short\n");
    talvod.Signal(SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return talvod.Count("reload-refused") > 0; })) << talvod.Log();
    EXPECT_EQ(HttpGet(port, "/api/terminals", tokenB).status, 200);
    EXPECT_NE(talvod.Log().find("must be at least 16 characters long"), std::string::npos) << talvod.Log();

    talvod.Signal(SIGTERM);
    const int status = talvod.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << talvod.Log();
}

// The password joins the connection target as libpq reads it, whatever
// characters it holds, and never shows in a description of the target.
TEST_F(ConfigFile, DatabasePasswordFile) {
    const std::string file = dir / "talvod.toml";
    const std::string secret = "p@ss w'o\\rd&x=%?";
    WriteText(dir / "db-password", secret + "\n");
    const auto passwordOf = [](const std::string& target) {
        char* error = nullptr;
        PQconninfoOption* options = PQconninfoParse(target.c_str(), &error);
        std::string password = "(not parsed)";
        if (options == nullptr) {
            if (error != nullptr) password = error;
            PQfreemem(error);
            return password;
        }
        for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
            if (std::string(o->keyword) == "password") password = o->val != nullptr ? o->val : "(none)";
        }
        PQconninfoFree(options);
        return password;
    };
    for (const std::string target : {"postgresql://talvo@db.example/site", "postgresql://talvo@db.example/site?sslmode=require",
                                     "host=db.example dbname=site user=talvo"}) {
        ASSERT_EQ(Errors("database = \"" + target + "\"\ndatabase_password_file = \"db-password\"\n" + kLine), "")
            << target;
        EXPECT_EQ(passwordOf(config.database), secret) << config.database;
        EXPECT_EQ(config.database.rfind(target, 0), 0u) << config.database;
        const char* joint = target.find("://") == std::string::npos ? " " : target.find('?') == std::string::npos ? "?" : "&";
        EXPECT_EQ(service::Describe(config.database), target + joint + "password=***");
    }
    EXPECT_EQ(passwordOf(config.database + " sslmode=require"), secret);
    EXPECT_EQ(Errors("database_password_file = \"db-password\"\n" + std::string(kLine)),
              file + ":1: database_password_file is for a PostgreSQL database (database = \"postgresql://...\")\n");
}

// The program: --check says what is wrong and fails; the start refuses the
// same file before it touches anything.
TEST_F(ConfigFile, CheckAndStartRefuse) {
    const std::string file = dir / "talvod.toml";
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path()};
    WriteText(file, "[[line]]\nname = \"hall\"\n[[line.terminal]]\nnumber = 1\n");
    std::string out;
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 1);
    EXPECT_NE(out.find(file + ":1: line 'hall' has no device"), std::string::npos) << out;
    EXPECT_EQ(RunProgram({TalvodPath(), file}, out, env), 2);
    EXPECT_NE(out.find(file + ":1: line 'hall' has no device"), std::string::npos) << out;
    EXPECT_FALSE(std::filesystem::exists(dir / "talvod.db"));

    WriteText(file, std::string("database = \"nowhere/x.db\"\n") + kLine);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 1);
    EXPECT_NE(out.find("does not exist"), std::string::npos) << out;

    WriteText(file, kLine);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0);
    EXPECT_NE(out.find(file + ": ok (1 lines, 1 terminals"), std::string::npos) << out;
    EXPECT_EQ(RunProgram({TalvodPath(), "--bogus", file}, out, env), 2);
    EXPECT_EQ(RunProgram({TalvodPath(), "--version"}, out, env), 0);
    EXPECT_EQ(out.rfind("talvod 1.", 0), 0u) << out;

    // A token file that cannot be read: --check and the start say which.
    WriteText(file, std::string("[http]\ntoken_file = \"token\"\n") + kLine);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 1);
    EXPECT_NE(out.find(file + ":2: token_file in [http]: " + (dir / "token") + " cannot be read"), std::string::npos)
        << out;
    EXPECT_EQ(RunProgram({TalvodPath(), file}, out, env), 2);
    WriteText(dir / "token", "0123456789abcdef\n");
    ::chmod((dir / "token").c_str(), 0600);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_EQ(out.find("warning: every user"), std::string::npos) << out;
    // Secrets every user can read are pointed out, but not refused.
    ::chmod((dir / "token").c_str(), 0644);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_NE(out.find(file + ": warning: every user can read the secret in " + (dir / "token")), std::string::npos)
        << out;
    WriteText(file, std::string("[http]\ntoken = \"0123456789abcdef\"\n") + kLine);
    ::chmod(file.c_str(), 0644);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_NE(out.find(file + ": warning: it holds the token and every user can read it"), std::string::npos) << out;
    ::chmod(file.c_str(), 0640);
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_EQ(out.find("warning: it holds the token"), std::string::npos) << out;
}

// Lines behind device servers: the URL's form is checked, not the server.
TEST_F(ConfigFile, DeviceUrlsAreCheckedForTheirForm) {
    const std::string file = dir / "talvod.toml";
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path()};
    auto withDevice = [](const std::string& device) {
        return "[[line]]\nname = \"hall\"\ndevice = \"" + device + "\"\n[[line.terminal]]\nnumber = 1\n";
    };
    std::string out;
    for (const char* good : {"rfc2217://127.0.0.1:4001", "tcp://[::1]:4001", "tcp://localhost:4001"}) {
        WriteText(file, withDevice(good));
        EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << good << ": " << out;
    }
    const std::pair<const char*, const char*> bad[] = {{"tcp://127.0.0.1:70000", "out of range"},
                                                       {"ftp://127.0.0.1:4001", "unknown scheme"},
                                                       {"rfc2217://127.0.0.1", "the port is missing"}};
    for (const auto& [device, why] : bad) {
        WriteText(file, withDevice(device));
        EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 1) << device;
        EXPECT_NE(out.find("line 'hall': "), std::string::npos) << out;
        EXPECT_NE(out.find(why), std::string::npos) << out;
    }
}

// A device server is asked for a connection, not looked for as a file: a
// listening one passes without a word, one that refuses or closes a new
// connection at once is named with the reason.
TEST_F(ConfigFile, DeviceServersAreAskedForAConnection) {
    const std::string file = dir / "talvod.toml";
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path()};
    auto withDevice = [](const std::string& device) {
        return "[[line]]\nname = \"hall\"\ndevice = \"" + device + "\"\n[[line.terminal]]\nnumber = 1\n";
    };
    std::string out;
    int gone = 0;
    {
        RoguePeer listening(RoguePeer::Mode::kFlood);
        for (const char* scheme : {"tcp", "rfc2217"}) {
            WriteText(file, withDevice(listening.Url(scheme)));
            EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
            EXPECT_EQ(out.find("warning"), std::string::npos) << out;
        }
        EXPECT_EQ(listening.Accepted(), 2);
        gone = listening.Port();
    }
    WriteText(file, withDevice("tcp://127.0.0.1:" + std::to_string(gone)));
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_NE(out.find("warning: line 'hall': cannot connect to tcp://127.0.0.1:" + std::to_string(gone) +
                       ": Connection refused"),
              std::string::npos)
        << out;

    RoguePeer busy(RoguePeer::Mode::kBusy, "Port's device already in use\r\n");
    WriteText(file, withDevice(busy.Url("rfc2217")));
    EXPECT_EQ(RunProgram({TalvodPath(), "--check", file}, out, env), 0) << out;
    EXPECT_NE(out.find("closed a new connection at once after it said \"Port's device already in use\": another "
                       "client may hold the port"),
              std::string::npos)
        << out;
}

// [reports]: a folder and a time of day, both or neither; the day due is
// none before the time, today or yesterday after it.
TEST_F(ConfigFile, ReportsFolderAndTimeOfDay) {
    ASSERT_EQ(Errors("[reports]\nfolder = \"out\"\nat = \"06:00\"\nday = \"yesterday\"\nformats = [\"csv\"]\n" +
                     std::string(kLine)),
              "");
    EXPECT_EQ(config.reports.folder, std::string(dir / "out"));
    EXPECT_EQ(config.reports.atMinute, 360);
    EXPECT_TRUE(config.reports.csv);
    EXPECT_FALSE(config.reports.html);
    std::tm tm{};
    tm.tm_year = 126, tm.tm_mon = 2, tm.tm_mday = 1, tm.tm_hour = 5, tm.tm_min = 59;
    EXPECT_FALSE(service::DueReportDay(config.reports, tm));
    tm.tm_hour = 6, tm.tm_min = 0;
    EXPECT_EQ(service::DueReportDay(config.reports, tm).value_or(""), "2026-02-28");
    config.reports.yesterday = false;
    EXPECT_EQ(service::DueReportDay(config.reports, tm).value_or(""), "2026-03-01");

    const std::string file = std::string(dir / "talvod.toml");
    EXPECT_NE(Errors("[reports]\nfolder = \"out\"\n" + std::string(kLine)).find("needs both folder and at"),
              std::string::npos);
    for (const char* bad : {"\"24:00\"", "\"6:00\"", "\"06:60\"", "\"noon\""}) {
        EXPECT_NE(Errors(std::string("[reports]\nfolder = \"out\"\nat = ") + bad + "\n" + kLine)
                      .find("at in [reports] must be a local time HH:MM"),
                  std::string::npos)
            << bad;
    }
    EXPECT_NE(Errors("[reports]\nfolder = \"out\"\nat = \"06:00\"\nformats = [\"pdf\"]\n" + std::string(kLine))
                  .find("formats in [reports]"),
              std::string::npos);
}

}  // namespace
}  // namespace talvo::test
