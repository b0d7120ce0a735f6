// Round-trip time of InqStat against the software terminal on a
// pseudo-terminal: the median and spread of many calls.
//
//   Linux:   build/linux/talvo_bench_round_trip [calls]
//   Windows: build/linux/talvo-sim --link $WINEPREFIX/dosdevices/com7 \
//              --exec -- wine build/win32/talvo_bench_round_trip.exe
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "test_library.h"
#include "settings_file.h"
#include "sim_client.h"

int main(int argc, char** argv) {
    using namespace talvo::test;
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    Sim& sim = Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const char* port = std::getenv("TALVO_SIM_COMNAME");
    SettingsFile settings;
    settings.Write({{"ComName", port != nullptr ? port : sim.PortName()}, {"BautRate", "4800"}, {"EchoTime", "150"}});
    sim.Command("reset");
    sim.Command("add 1 consumption");
    HostLibrary lib;
    if (!lib.Load()) {
        std::fprintf(stderr, "the library did not load\n");
        return 1;
    }
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        const int ok = lib.InqStat(1);
        const auto t1 = std::chrono::steady_clock::now();
        if (ok != 1) {
            std::fprintf(stderr, "InqStat failed: %d\n", lib.GetError());
            return 1;
        }
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&](double q) { return ms[static_cast<std::size_t>(q * static_cast<double>(ms.size() - 1))]; };
    std::printf("InqStat round trip over %d calls: median %.3f ms, p10 %.3f ms, p90 %.3f ms, max %.3f ms\n", calls,
                at(0.5), at(0.1), at(0.9), ms.back());
    return 0;
}
