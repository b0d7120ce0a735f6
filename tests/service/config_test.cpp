// The configuration: what --check and the start refuse, with the line and
// the reason, and what a good file gives.
#include <gtest/gtest.h>

#include <filesystem>

#include "config.h"
#include "harness.h"

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
}

TEST(Durations, Units) {
    std::int64_t ms = 0;
    EXPECT_TRUE(service::ParseDuration("750ms", ms));
    EXPECT_EQ(ms, 750);
    EXPECT_TRUE(service::ParseDuration("3d", ms));
    EXPECT_EQ(ms, 3 * 86400000LL);
    EXPECT_TRUE(service::ParseDuration("90", ms));
    EXPECT_EQ(ms, 90000);
    for (const char* bad : {"", "ms", "1.5s", "1 s", "5S", "9999999999s", "+5s"}) {
        EXPECT_FALSE(service::ParseDuration(bad, ms)) << bad;
    }
    EXPECT_TRUE(service::IsLoopback("127.0.0.1"));
    EXPECT_TRUE(service::IsLoopback("127.8.9.10"));
    EXPECT_TRUE(service::IsLoopback("::1"));
    EXPECT_FALSE(service::IsLoopback("0.0.0.0"));
    EXPECT_FALSE(service::IsLoopback("128.0.0.1"));
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
}

// Lines behind device servers: the URL's form is checked, not the server.
TEST_F(ConfigFile, DeviceUrlsAreCheckedForTheirForm) {
    const std::string file = dir / "talvod.toml";
    const std::vector<std::string> env = {"TALVO_WINDIR=" + dir.path()};
    auto withDevice = [](const std::string& device) {
        return "[[line]]\nname = \"hall\"\ndevice = \"" + device + "\"\n[[line.terminal]]\nnumber = 1\n";
    };
    std::string out;
    for (const char* good : {"rfc2217://127.0.0.1:4001", "tcp://[::1]:4001", "tcp://device-server.local:4001"}) {
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

}  // namespace
}  // namespace talvo::test
