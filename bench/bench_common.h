// What the benchmarks share: medians, the process's CPU time, and the one
// line per figure that scripts/bench.sh collects.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/resource.h>
#endif

namespace talvo::bench {

inline double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

inline double Percentile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

inline double NowMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// User and system time of the whole process (every thread), in ms.
inline double ProcessCpuMs() {
#ifdef _WIN32
    // Under Wine the process's own Linux accounting is the one to trust
    // (GetProcessTimes there moves in coarse steps): /proc/self/stat of the
    // Wine process, seen through drive Z:, in ticks of 10 ms.
    if (FILE* f = std::fopen("Z:\\proc\\self\\stat", "r")) {
        char line[1024] = {};
        const bool got = std::fgets(line, sizeof line, f) != nullptr;
        std::fclose(f);
        const char* p = got ? std::strrchr(line, ')') : nullptr;
        unsigned long long utime = 0;
        unsigned long long stime = 0;
        if (p != nullptr && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime,
                                        &stime) == 2) {
            return static_cast<double>(utime + stime) * 10.0;
        }
    }
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    auto ms = [](const FILETIME& f) {
        return static_cast<double>(static_cast<unsigned long long>(f.dwHighDateTime) << 32 | f.dwLowDateTime) / 1e4;
    };
    return ms(kernel) + ms(user);
#else
    struct rusage u {};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
#endif
}

// The line scripts/bench.sh reads: a name, the measured figure and its goal
// (the figure must not exceed it).
inline void Report(const std::string& name, double value, double goal, const char* unit) {
    std::printf("RESULT %s %.4f %.4f %s\n", name.c_str(), value, goal, unit);
    std::fflush(stdout);
}

// Ends the benchmark with `status`, without the static destructors: the
// software terminal of the Linux benchmarks serves on a thread of its own
// until the very end.
[[noreturn]] inline void Finish(int status) {
    std::fflush(nullptr);
    std::_Exit(status);
}

}  // namespace talvo::bench
