// Preloaded into talvod (LD_PRELOAD) by the tests that must stop the service
// between a batch's commit and its confirmation, so that the program under
// test is the one that ships, with nothing in it for tests.  It stands in
// for the library's talvo_records_confirm, which talvod calls only once a
// batch is committed, and then calls the real one.
//
//   TALVO_CONFIRM_GATE=kill=N    SIGKILL the process at its N-th confirmation
//   TALVO_CONFIRM_GATE=pause=MS  wait MS before each confirmation
//   TALVO_CONFIRM_GATE=hold=PATH each confirmation waits until PATH exists
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "talvo.h"

namespace {

using Confirm = int (*)(talvo_line*, int, const talvo_batch*);

struct Gate {
    int killAt = 0;
    int pauseMs = 0;
    const char* hold = nullptr;
    Gate() {
        const char* v = std::getenv("TALVO_CONFIRM_GATE");
        if (v == nullptr) return;
        if (std::strncmp(v, "kill=", 5) == 0) killAt = std::atoi(v + 5);
        if (std::strncmp(v, "pause=", 6) == 0) pauseMs = std::atoi(v + 6);
        if (std::strncmp(v, "hold=", 5) == 0) hold = v + 5;
    }
};

std::atomic<int> confirmations{0};

}  // namespace

extern "C" TALVO_API int TALVO_CALL talvo_records_confirm(talvo_line* line, int terminal, const talvo_batch* batch) {
    static const Gate gate;
    static const auto real = reinterpret_cast<Confirm>(dlsym(RTLD_NEXT, "talvo_records_confirm"));
    if (real == nullptr) abort();
    const int n = ++confirmations;
    if (gate.killAt > 0 && n >= gate.killAt) kill(getpid(), SIGKILL);
    if (gate.pauseMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(gate.pauseMs));
    while (gate.hold != nullptr && access(gate.hold, F_OK) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return real(line, terminal, batch);
}
