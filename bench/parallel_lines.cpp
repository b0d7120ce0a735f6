// Two lines driven from two threads against two software terminals that
// answer at the pace of a real 9600-baud line: the time both take together
// against the time one line takes alone.  Lines do not wait for each other,
// so the ratio should stay near 1 (2 if they were serialized).
//
//   build/linux/talvo_bench_parallel_lines [calls per line]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench_common.h"
#include "sim_client.h"
#include "test_library.h"

namespace {

using namespace talvo;

talvo_line* OpenLine(test::HostLibrary& lib, const std::string& device) {
    talvo_line_options o;
    lib.talvo_line_options_init(&o);
    o.device = device.c_str();
    o.baud = 9600;
    o.echo_time_ms = 60;
    o.wait_time_ms = 250;
    talvo_line* line = nullptr;
    return lib.talvo_line_open(&o, &line) == TALVO_OK ? line : nullptr;
}

int Run(test::HostLibrary& lib, talvo_line* line, int calls) {
    int failures = 0;
    for (int i = 0; i < calls; ++i) failures += lib.talvo_cmw_set(line, 1, "PARALLEL") != TALVO_OK;
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::atoi(argv[1]) : 40;
    test::Sim& first = test::Sim::Get();
    test::Sim* second = test::Sim::Another();
    if (!first.Available() || second == nullptr || !second->Available()) {
        std::fprintf(stderr, "parallel_lines: no software terminals\n");
        return 1;
    }
    for (test::Sim* sim : {&first, second}) {
        sim->Command("reset");
        sim->Command("add 1 consumption");
        sim->Command("pace 9600");
    }
#ifndef _WIN32
    setenv("TALVO_DEFER_PORT", "1", 1);
#endif
    test::HostLibrary lib;
    if (!lib.Load()) return 1;
    talvo_line* a = OpenLine(lib, first.PortName());
    talvo_line* b = OpenLine(lib, second->PortName());
    if (a == nullptr || b == nullptr) {
        std::fprintf(stderr, "parallel_lines: a line does not open\n");
        return 1;
    }

    int failures = 0;
    double t0 = bench::NowMs();
    failures += Run(lib, a, calls);
    const double alone = bench::NowMs() - t0;

    int failuresB = 0;
    t0 = bench::NowMs();
    std::thread other([&] { failuresB = Run(lib, b, calls); });
    failures += Run(lib, a, calls);
    other.join();
    const double together = bench::NowMs() - t0;
    failures += failuresB;

    std::printf("parallel lines: %d calls per line, one line %.1f ms, two lines at once %.1f ms, %d failures\n", calls,
                alone, together, failures);
    bench::Report("parallel_lines_ratio", together / alone, 1.2, "x");
    lib.talvo_line_close(a);
    lib.talvo_line_close(b);
    return failures == 0 ? 0 : 1;
}
