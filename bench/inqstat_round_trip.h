// What the round-trip benchmarks share: the bytes of InqStat(1) and the
// measuring loop that sets the library against a raw exchange of the same
// bytes on the same line.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "bench_common.h"
#include "sim_client.h"
#include "test_library.h"

namespace talvo::bench {

// The request InqStat(1) sends with ConvertP 2, and the length of the reply.
inline const std::string kInqStatRequest = std::string("\x02" "000110000000" "\x03" "42") + "\x33\x33";
constexpr unsigned kInqStatReplyLength = 16;

// Blocks of each in turn: `calls` raw exchanges on a `Raw` built from
// `target` (with Ok() and Exchange()), then `calls` InqStat(1) through the
// library, loaded for its blocks only (it holds the device while loaded).
// The medians of all calls are printed under the two labels and compared
// against `goal` as the figure `name`.  0, or 1 when something failed.
template <class Raw>
int CompareRoundTrips(const std::string& target, int calls, int blocks, const char* rawLabel, const char* libLabel,
                      const char* name, double goal) {
    test::Sim& sim = test::Sim::Get();
    std::vector<double> raw;
    std::vector<double> lib;
    for (int b = 0; b < blocks; ++b) {
        {
            Raw line(target);
            if (!line.Ok()) {
                std::fprintf(stderr, "cannot reach %s\n", target.c_str());
                return 1;
            }
            for (int i = 0; i < calls; ++i) {
                const double t0 = NowMs();
                if (!line.Exchange()) {
                    std::fprintf(stderr, "raw exchange failed\n");
                    return 1;
                }
                raw.push_back(NowMs() - t0);
            }
        }
        {
            test::HostLibrary library;
            if (!library.Load()) {
                std::fprintf(stderr, "the library did not load\n");
                return 1;
            }
            for (int i = 0; i < calls; ++i) {
                const double t0 = NowMs();
                const int ok = library.InqStat(1);
                lib.push_back(NowMs() - t0);
                if (ok != 1) {
                    std::fprintf(stderr, "InqStat failed: %d\n", library.GetError());
                    return 1;
                }
            }
        }
        sim.Command("clearframes");
    }
    std::printf("%s median %.1f us (p10 %.1f, p90 %.1f) over %zu exchanges\n", rawLabel, Median(raw) * 1e3,
                Percentile(raw, 0.1) * 1e3, Percentile(raw, 0.9) * 1e3, raw.size());
    std::printf("%s median %.1f us (p10 %.1f, p90 %.1f) over %zu calls\n", libLabel, Median(lib) * 1e3,
                Percentile(lib, 0.1) * 1e3, Percentile(lib, 0.9) * 1e3, lib.size());
    Report(name, Median(lib) / Median(raw), goal, "x raw");
    return 0;
}

}  // namespace talvo::bench
