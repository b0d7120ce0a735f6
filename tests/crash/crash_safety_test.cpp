// A collection stopped dead at each of its steps - the host process killed
// after the records are written, after the header, after the flush, after
// the acknowledgement - must leave a store whose count never covers bytes
// that were not written, and every batch the terminal cleared must be in it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "records/collection.h"
#include "settings_file.h"
#include "shell/module_state.h"
#include "sim_client.h"
#include "talvo.h"

namespace talvo {
namespace {

const char* kStore = "talvo-crash.dat";
CollectionStep stopAt;

void StopHere(CollectionStep step) {
    if (step == stopAt) _exit(77);  // as abrupt as a power cut gets here
}

std::string ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CrashSafety : public ::testing::TestWithParam<CollectionStep> {
protected:
    void SetUp() override {
        if (!test::Sim::Get().Available()) GTEST_SKIP() << "no software terminal";
        settings_.Write({{"ComName", test::Sim::Get().PortName()}, {"EchoTime", "60"}, {"BautRate", "9600"}});
        sim().Ok("reset");
        sim().Ok("add 1 consumption");
        for (const char* card : {"000001", "000002", "000003"}) {
            sim().Ok(std::string("record 1 seal ") + card + "00100032240930005000");
        }
        std::remove(kStore);
    }
    void TearDown() override { std::remove(kStore); }
    static test::Sim& sim() { return test::Sim::Get(); }

    // Runs one collection in a child process that dies at `step`.
    int CollectAndDieAt(CollectionStep step) {
        stopAt = step;
        pid_t child = fork();
        if (child == 0) {
            if (Attach() == 0) _exit(2);
            SetCollectionObserver(&StopHere);
            int count = 0;
            float total = 0;
            AutoReadJyzm(1, &count, &total, kStore);
            _exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // A normal collection in a child process, as the host's next run.
    int CollectNormally() {
        pid_t child = fork();
        if (child == 0) {
            if (Attach() == 0) _exit(2);
            int count = 0;
            float total = 0;
            const int result = AutoReadJyzm(1, &count, &total, kStore);
            Detach();
            _exit(result == 1 ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void ExpectConsistentStore(int expectedAtLeast) {
        const std::string f = ReadFile(kStore);
        ASSERT_GE(f.size(), 16u);
        EXPECT_EQ(f.substr(0, 9), std::string("CASEDATA\0", 9));
        std::int32_t count;
        std::memcpy(&count, f.data() + 12, 4);
        EXPECT_GE(count, expectedAtLeast);
        EXPECT_LE(16u + 44u * static_cast<std::size_t>(count), f.size()) << "count covers unwritten bytes";
        for (std::int32_t i = 0; i < count; ++i) {
            const std::string card = f.substr(16 + 44 * static_cast<std::size_t>(i) + 4, 6);
            EXPECT_EQ(card.substr(0, 5), "00000") << "record " << i << " is not a record";
        }
    }

    test::SettingsFile settings_;
};

TEST_P(CrashSafety, StoreStaysConsistentAndClearedBatchesAreStored) {
    ASSERT_EQ(CollectAndDieAt(GetParam()), 77) << "the step was not reached";
    const bool cleared = sim().Ok("get 1 records") == "0";
    if (cleared) {
        ExpectConsistentStore(3);
    } else if (std::ifstream(kStore).good()) {
        ExpectConsistentStore(0);
    }
    // The host's next run collects whatever the terminal still holds.
    ASSERT_EQ(CollectNormally(), 0);
    EXPECT_EQ(sim().Ok("get 1 records"), "0");
    ExpectConsistentStore(3);
}

std::string StepName(const ::testing::TestParamInfo<CollectionStep>& step) {
    static const char* const kNames[] = {"AfterRecords", "AfterHeader", "AfterFlush", "AfterAck"};
    return kNames[static_cast<int>(step.param)];
}

INSTANTIATE_TEST_SUITE_P(EachStep, CrashSafety,
                         ::testing::Values(CollectionStep::kRecordsWritten, CollectionStep::kHeaderWritten,
                                           CollectionStep::kFlushed, CollectionStep::kAcknowledged),
                         StepName);

}  // namespace
}  // namespace talvo
