// Loading and unloading, the module state and the small exports.
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "line_fixture.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "temp_dir.h"
#endif

namespace talvo::test {
namespace {

using Module = LineTest;

TEST_F(Module, StateAfterLoad) {
    Reload();
    EXPECT_EQ(lib().GetError(), 0);
    EXPECT_EQ(lib().GetDisplayRecp(), 0);
    EXPECT_EQ(lib().GetDisplaySend(), 0);
}

TEST_F(Module, DisplaySwitchesKeepWhatTheHostPasses) {
    lib().SetDisplayRecp(5);
    lib().SetDisplaySend(-2);
    EXPECT_EQ(lib().GetDisplayRecp(), 5);
    EXPECT_EQ(lib().GetDisplaySend(), -2);
    lib().SetDisplayRecp(0);
    lib().SetDisplaySend(0);
    EXPECT_EQ(lib().GetDisplayRecp(), 0);
    EXPECT_EQ(lib().GetDisplaySend(), 0);
}

TEST_F(Module, IsFileExistIdentifiesTheLibrary) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(lib().IsFileExist(buffer), 0);
    EXPECT_EQ(std::memcmp(buffer, "It's me!\0", 9), 0);
    EXPECT_EQ(buffer[9], '#');
    EXPECT_EQ(lib().IsFileExist(nullptr), 0);
}

TEST_F(Module, SetFloatInStr) {
    char buffer[64];
    EXPECT_EQ(lib().SetFloatInStr(buffer, "%7.2f", 12.5f), 7);
    EXPECT_STREQ(buffer, "  12.50");
    EXPECT_EQ(lib().SetFloatInStr(buffer, "%.3e", 1234.0f), 10);
    EXPECT_STREQ(buffer, "1.234e+003");
    // Formats that would read or write memory never given are refused.
    for (const char* bad : {"%s", "%n", "%d", "%f%f", "%*f"}) {
        std::strcpy(buffer, "old");
        EXPECT_EQ(lib().SetFloatInStr(buffer, bad, 1.0f), -1) << bad;
        EXPECT_STREQ(buffer, "") << bad;
    }
}

TEST_F(Module, ErrorStaysUntilTheNextTransaction) {
    Settings({{"Repeat", "1"}});
    EXPECT_EQ(lib().InqStat(9), 0);
    EXPECT_EQ(lib().GetError(), -3);
    char buffer[16];
    lib().IsFileExist(buffer);
    lib().SetDisplayRecp(0);
    EXPECT_EQ(lib().GetError(), -3);
    EXPECT_EQ(lib().InqStat(1), 1);
    EXPECT_EQ(lib().GetError(), 0);
}

// TALVO_TRACE is read when the library loads: every request and its reply
// go to the file it named then, whatever the variable says later.
TEST_F(Module, TraceGoesWhereTheEnvironmentSaidAtLoad) {
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string stem = "talvo-trace-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const std::filesystem::path first = dir / (stem + "-1.log");
    const std::filesystem::path second = dir / (stem + "-2.log");
    auto lines = [](const std::filesystem::path& file) {
        std::vector<std::string> out;
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    };
    SetEnv("TALVO_TRACE", first.string().c_str());
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);
    SetEnv("TALVO_TRACE", second.string().c_str());
    EXPECT_EQ(lib().InqStat(1), 1);
    SetEnv("TALVO_TRACE", nullptr);
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);

    const auto one = lines(first);
    const bool secondMade = std::filesystem::exists(second);
    std::filesystem::remove(first);
    std::filesystem::remove(second);
    EXPECT_FALSE(secondMade);
    ASSERT_EQ(one.size(), 4u);
    EXPECT_NE(one[0].find(" send terminal=1 command=10 len=18 | 02 30 30 30 31 31 30"), std::string::npos) << one[0];
    EXPECT_NE(one[0].find("| .000110000000.4233"), std::string::npos) << one[0];
    EXPECT_NE(one[1].find(" recv terminal=1 command=10 len=16 | 02 "), std::string::npos) << one[1];
    EXPECT_NE(one[2].find(" send "), std::string::npos);
    EXPECT_NE(one[3].find(" recv "), std::string::npos);
}

// Loads with a port that does not exist.
TEST_F(Module, PortThatCannotBeOpened) {
    lib().Unload();
#ifdef _WIN32
    Settings({{"ComName", "COM9"}});
    unsigned long error = 0;
    EXPECT_FALSE(lib().Load(&error)) << "the load must be refused";
    EXPECT_EQ(error, 1114u);  // a DLL initialization routine failed
#else
    Settings({{"ComName", "/dev/talvo-no-such-device"}});
    // One English line names the device and the system's reason.
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(lib().Load());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "talvo: cannot open /dev/talvo-no-such-device: No such file or directory\n");
    EXPECT_EQ(lib().GetError(), -1);
    // Each command tries the device again, quietly.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(lib().GetError(), -1);
    EXPECT_TRUE(sim().Frames().empty());
#endif
    Settings({});
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);
}

// A mode text the port cannot take fails the load as an unopened port does.
TEST_F(Module, ModeTextThePortCannotTake) {
    lib().Unload();
    Settings({{"StatStr", "parity=X data=8 stop=1"}});
#ifdef _WIN32
    EXPECT_FALSE(lib().Load());
#else
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(lib().Load());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "talvo: cannot use baud=9600 \"parity=X data=8 stop=1\" on " + sim().PortName() +
                  ": Invalid argument\n");
    EXPECT_EQ(lib().GetError(), -1);
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_TRUE(sim().Frames().empty());
#endif
    Settings({});
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);
}

#ifndef _WIN32
// On Linux the port is held for exclusive use while loaded and released on
// unload.  (Under Wine a second open of a COM port succeeds, so this is
// checked natively only.)
bool Locked(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return true;
    bool locked = ::flock(fd, LOCK_EX | LOCK_NB) != 0;
    ::close(fd);
    return locked;
}

TEST_F(Module, PortIsHeldWhileLoadedAndReleasedOnUnload) {
    EXPECT_TRUE(Locked(sim().PortName()));
    lib().Unload();
    EXPECT_FALSE(Locked(sim().PortName()));
    Reload();
    EXPECT_TRUE(Locked(sim().PortName()));
}

TEST_F(Module, PortInUseByAnotherProgram) {
    lib().Unload();
    int fd = ::open(sim().PortName().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(lib().Load());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "talvo: cannot open " + sim().PortName() + ": in use by another program\n");
    EXPECT_EQ(lib().GetError(), -1);
    EXPECT_EQ(lib().InqStat(1), 0);
    ::close(fd);
    Reload();
    EXPECT_EQ(lib().InqStat(1), 1);
}

// A library loaded while its device was missing starts working when the
// device appears, without a reload.
TEST_F(Module, DeviceThatAppearsAfterTheLoad) {
    lib().Unload();
    TempDir dir("talvo-appear");
    const std::string link = dir / "ttyLATE";
    Settings({{"ComName", link}});
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(lib().Load());
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(lib().InqStat(1), 0);
    EXPECT_EQ(lib().GetError(), -1);
    ASSERT_EQ(::symlink(sim().PortName().c_str(), link.c_str()), 0);
    EXPECT_EQ(lib().InqStat(1), 1);
    lib().Unload();
    Settings({});
    Reload();
}
#endif

}  // namespace
}  // namespace talvo::test
