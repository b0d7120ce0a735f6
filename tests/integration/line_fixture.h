// Tests that load the library as a host does and drive it against the
// software terminal on a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "test_library.h"
#include "settings_file.h"
#include "sim_client.h"

namespace talvo::test {

// Sets (or, with null, removes) a variable of this process's environment, as
// the library sees it.
void SetEnv(const char* name, const char* value);

// Settings for quick tests: short time limits at a fast line.
inline std::map<std::string, std::string> FastSettings(const std::string& port) {
    return {{"ComName", port}, {"BautRate", "9600"}, {"EchoTime", "60"}, {"WaitTime", "250"},
            {"ConvertP", "2"}, {"Repeat", "3"}};
}

// The library stays loaded for a whole suite; every test starts from a
// terminal 1 (consumption) and 2 (attendance) in their initial state.
class LineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        settings_ = std::make_unique<SettingsFile>();
        lib_ = std::make_unique<HostLibrary>();
        if (!Sim::Get().Available()) return;
        settings_->Write(FastSettings(Sim::Get().PortName()));
        loadError_ = 0;
        lib_->Load(&loadError_);
    }
    static void TearDownTestSuite() {
        lib_.reset();
        settings_.reset();
    }
    void SetUp() override {
        if (!Sim::Get().Available()) GTEST_SKIP() << "no software terminal (set TALVO_SIM_CONTROL)";
        ASSERT_TRUE(lib_->Loaded()) << "the library did not load on " << Sim::Get().PortName() << ", error "
                                    << loadError_;
        sim().Ok("reset");
        sim().Ok("add 1 consumption");
        sim().Ok("add 2 attendance");
        Settings({});
    }

    // Rewrites the settings file with the quick settings and `changes`.
    void Settings(const std::map<std::string, std::string>& changes) {
        auto keys = FastSettings(Sim::Get().PortName());
        for (const auto& [k, v] : changes) keys[k] = v;
        settings_->Write(keys);
    }
    // Unloads and loads the library again (after the port was lost).
    void Reload() {
        lib_->Unload();
        ASSERT_TRUE(lib_->Load());
    }

    static Sim& sim() { return Sim::Get(); }
    HostLibrary& lib() { return *lib_; }

    // The one request frame the terminal received since the reset.
    std::string OnlyFrame() {
        auto frames = sim().Frames();
        EXPECT_EQ(frames.size(), 1u);
        return frames.empty() ? std::string() : frames.back();
    }

    static std::unique_ptr<SettingsFile> settings_;
    static std::unique_ptr<HostLibrary> lib_;
    static unsigned long loadError_;
};

// Request frame as the terminal must receive it, STX through checksum.
std::string Request(int terminal, int command, int argHigh, int argLow, int count, const std::string& payload = "");

}  // namespace talvo::test
