// One six-record batch collected into a store that holds a million records,
// against the same batch collected into an empty store: appending must not
// grow with the store.  Each run starts from the same store (its count set
// back and its size restored, outside the timing) and the two stores take
// turns.  Run it in the folder that should hold the stores (about 44 MB).
//
//   build/linux/talvo_bench_store_append [runs] [records]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "bench_common.h"
#include "settings_file.h"
#include "sim_client.h"
#include "test_library.h"

namespace {

constexpr std::size_t kHeader = 16;
constexpr std::size_t kRecord = 44;

std::string Header(std::uint32_t count) {
    std::string h("CASEDATA\0\0\0\0", 12);
    for (int i = 0; i < 4; ++i) h += static_cast<char>((count >> (8 * i)) & 0xFF);
    return h;
}

// Writes a store of `count` records (a plausible record repeated), flushed
// to disk so that the timed runs do not pay for it.
bool MakeStore(const std::string& path, std::uint32_t count) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << Header(count);
        std::string record(kRecord, '\0');
        const char text[] = "1234560012503224093000500000";
        for (std::size_t i = 0; i < sizeof text - 1 && i < kRecord; ++i) record[i] = text[i];
        std::string chunk;
        for (int i = 0; i < 1000; ++i) chunk += record;
        for (std::uint32_t left = count; left > 0;) {
            const std::uint32_t n = left < 1000 ? left : 1000;
            out.write(chunk.data(), static_cast<std::streamsize>(n * kRecord));
            left -= n;
        }
        if (!out) return false;
    }
    return true;
}

// Sets the count back and cuts off what the last run appended.
bool Restore(const std::string& path, std::uint32_t count) {
#ifdef _WIN32
    (void)path;
    (void)count;
    return false;
#else
    const int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) return false;
    const std::string h = Header(count);
    const bool ok = pwrite(fd, h.data(), h.size(), 0) == static_cast<ssize_t>(h.size()) &&
                    ftruncate(fd, static_cast<off_t>(kHeader + count * kRecord)) == 0 && fsync(fd) == 0;
    close(fd);
    return ok;
#endif
}

}  // namespace

namespace {

int Run(int argc, char** argv) {
    using namespace talvo::test;
    using talvo::bench::NowMs;
    const int runs = argc > 1 ? std::atoi(argv[1]) : 15;
    const auto big = static_cast<std::uint32_t>(argc > 2 ? std::atol(argv[2]) : 1000000);
    Sim& sim = Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const char* comName = std::getenv("TALVO_SIM_COMNAME");
    SettingsFile settings;
    settings.Write({{"ComName", comName != nullptr ? comName : sim.PortName()}, {"BautRate", "9600"},
                    {"EchoTime", "150"}});
    const std::string emptyStore = "talvo-bench-empty.dat";
    const std::string bigStore = "talvo-bench-big.dat";
    if (!MakeStore(emptyStore, 0) || !MakeStore(bigStore, big)) {
        std::fprintf(stderr, "cannot write the stores here\n");
        return 1;
    }
#ifndef _WIN32
    sync();
#endif
    HostLibrary lib;
    if (!lib.Load()) {
        std::fprintf(stderr, "the library did not load\n");
        return 1;
    }
    std::vector<double> emptyMs;
    std::vector<double> bigMs;
    int status = 0;
    for (int r = 0; r < runs * 2 && status == 0; ++r) {
        const bool toBig = r % 2 == 1;
        const std::string& path = toBig ? bigStore : emptyStore;
        const std::uint32_t before = toBig ? big : 0;
        if (!Restore(path, before)) {
            std::fprintf(stderr, "cannot reset %s\n", path.c_str());
            status = 1;
            break;
        }
        sim.Command("reset");
        sim.Command("add 1 consumption");
        for (int i = 0; i < 6; ++i) sim.Command("record 1 seal 00000" + std::to_string(i) + "00100032240930005000");
        int count = 0;
        float total = 0;
        const double t0 = NowMs();
        const int ok = lib.AutoReadJyzm(1, &count, &total, path.c_str());
        const double ms = NowMs() - t0;
        if (ok != 1 || count != 6) {
            std::fprintf(stderr, "collection failed: %d, count %d, error %d\n", ok, count, lib.GetError());
            status = 1;
        }
        (toBig ? bigMs : emptyMs).push_back(ms);
    }
    std::remove(emptyStore.c_str());
    std::remove(bigStore.c_str());
    if (status != 0) return status;
    using talvo::bench::Median;
    std::printf("six records collected into an empty store: median %.2f ms; into a store of %u records: %.2f ms\n",
                Median(emptyMs), big, Median(bigMs));
    talvo::bench::Report("append_million", Median(bigMs) / Median(emptyMs), 1.1, "x empty store");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
