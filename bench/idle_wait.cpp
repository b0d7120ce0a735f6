// CPU spent by a host that waits on a silent terminal: InqStat called again
// and again for the given time while the terminal never answers, so that the
// library spends nearly all of it waiting for a first byte.  Prints the
// process's CPU time as a share of one core; under Wine the Wine server's
// share is added by scripts/bench.sh.
//
//   build/linux/talvo_bench_idle_wait [seconds]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_common.h"
#include "settings_file.h"
#include "sim_client.h"
#include "test_library.h"

namespace {

int Run(int argc, char** argv) {
    using namespace talvo::test;
    using talvo::bench::NowMs;
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    Sim& sim = Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const char* comName = std::getenv("TALVO_SIM_COMNAME");
    SettingsFile settings;
    settings.Write({{"ComName", comName != nullptr ? comName : sim.PortName()}, {"BautRate", "4800"},
                    {"EchoTime", "150"}, {"WaitTime", "1000"}, {"Repeat", "3"}});
    sim.Command("reset");
    sim.Command("add 1 consumption");
    sim.Command("fault any silence times=0");
    HostLibrary lib;
    if (!lib.Load()) {
        std::fprintf(stderr, "the library did not load\n");
        return 1;
    }
    const double wall0 = NowMs();
    const double cpu0 = talvo::bench::ProcessCpuMs();
    int calls = 0;
    while (NowMs() - wall0 < seconds * 1000.0) {
        if (lib.InqStat(1) != 0 || lib.GetError() != -3) {
            std::fprintf(stderr, "the terminal answered: %d\n", lib.GetError());
            return 1;
        }
        ++calls;
    }
    const double wall = NowMs() - wall0;
    const double cpu = talvo::bench::ProcessCpuMs() - cpu0;
    sim.Command("clearframes");
    std::printf("waited %.1f s on a silent terminal (%d commands of 3 tries): host CPU %.1f ms\n", wall / 1e3, calls,
                cpu);
    std::printf("WALL_MS %.1f\n", wall);
#ifdef _WIN32
    const char* name = "idle_cpu_wine_host";
#else
    const char* name = "idle_cpu_linux";
#endif
    talvo::bench::Report(name, 100.0 * cpu / wall, 1.0, "% of a core");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
