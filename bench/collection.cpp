// Time of one full six-record collection against the software terminal
// with the line paced at 4800 baud, against the time the bytes alone take.
//
//   build/linux/talvo_bench_collection [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_common.h"
#include "test_library.h"
#include "settings_file.h"
#include "sim_client.h"

namespace {

int Run(int argc, char** argv) {
    using namespace talvo::test;
    const int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    const int baud = 4800;
    Sim& sim = Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const char* port = std::getenv("TALVO_SIM_COMNAME");
    SettingsFile settings;
    settings.Write({{"ComName", port != nullptr ? port : sim.PortName()}, {"BautRate", std::to_string(baud)}});
    HostLibrary lib;
    if (!lib.Load()) {
        std::fprintf(stderr, "the library did not load\n");
        return 1;
    }
    std::vector<double> ms;
    for (int r = 0; r < runs; ++r) {
        sim.Command("reset");
        sim.Command("add 1 consumption");
        sim.Command("pace " + std::to_string(baud));
        for (int i = 0; i < 6; ++i) sim.Command("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
        std::remove("talvo-bench.dat");
        int count = 0;
        float total = 0;
        const auto t0 = std::chrono::steady_clock::now();
        const int ok = lib.AutoReadJyzm(1, &count, &total, "talvo-bench.dat");
        const auto t1 = std::chrono::steady_clock::now();
        if (ok != 1 || count != 6) {
            std::fprintf(stderr, "collection failed: %d, count %d, error %d\n", ok, count, lib.GetError());
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::remove("talvo-bench.dat");
    std::sort(ms.begin(), ms.end());
    // Request 18 bytes (2 filler), reply 16 + 6 x 28, acknowledgement 18,
    // its reply 16; 10 bits a byte on the line.
    const int bytes = 18 + (16 + 6 * 28) + 18 + 16;
    const double lineMs = bytes * 10.0 * 1000.0 / baud;
    const double median = ms[ms.size() / 2];
    std::printf("six-record collection at %d baud over %d runs: median %.1f ms; the %d bytes alone take %.1f ms "
                "(ratio %.3f)\n",
                baud, runs, median, bytes, lineMs, median / lineMs);
    talvo::bench::Report("collection_4800", median / lineMs, 1.02, "x line time");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
