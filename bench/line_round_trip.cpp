// Round trip of the line API's status command (talvo_status) against the
// floor: a raw write of the same request and a read of its reply on the
// same pseudo-terminal, with nothing else.  Blocks of each are taken in
// turn, interleaved, on one line opened for the run, and the medians of all
// calls are compared.  Pin the whole run to one core, the terminal
// included:
//
//   taskset -c 1 build/linux/talvo-sim --exec -- build/linux/talvo_bench_line_round_trip [calls] [blocks]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "inqstat_round_trip.h"

namespace {

using talvo::bench::kInqStatReplyLength;
using talvo::bench::kInqStatRequest;

// The line opened directly, set to the same line format: write the
// request, read until the reply is whole.
class RawLine {
public:
    explicit RawLine(const std::string& name) {
        fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawLine() {
        if (fd_ >= 0) close(fd_);
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;
    bool Ok() const { return fd_ >= 0; }

    bool Exchange() {
        unsigned char reply[64];
        unsigned got = 0;
        if (write(fd_, kInqStatRequest.data(), kInqStatRequest.size()) != static_cast<ssize_t>(kInqStatRequest.size())) {
            return false;
        }
        while (got < kInqStatReplyLength) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
            const ssize_t n = read(fd_, reply + got, sizeof reply - got);
            if (n <= 0) return false;
            got += static_cast<unsigned>(n);
        }
        return got == kInqStatReplyLength;
    }

private:
    int fd_ = -1;
};

int Run(int argc, char** argv) {
    using namespace talvo;
    using bench::NowMs;
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    const int blocks = argc > 2 ? std::atoi(argv[2]) : 16;
    test::Sim& sim = test::Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const std::string port = sim.PortName();
    sim.Command("reset");
    sim.Command("add 1 consumption");
    // A host of lines: loading opens no port of the settings file.
    setenv("TALVO_DEFER_PORT", "1", 1);
    test::HostLibrary library;
    if (!library.Load() || library.talvo_line_open == nullptr || library.talvo_line_options_init_size == nullptr) {
        std::fprintf(stderr, "the library did not load\n");
        return 1;
    }
    talvo_line_options o;
    library.talvo_line_options_init_size(&o, sizeof o);
    o.device = port.c_str();
    o.baud = 9600;
    o.echo_time_ms = 150;
    o.wait_time_ms = 1000;
    o.tries = 3;
    o.filler_bytes = 2;
    std::vector<double> raw;
    std::vector<double> lib;
    for (int b = 0; b < blocks; ++b) {
        {
            RawLine line(port);
            if (!line.Ok()) {
                std::fprintf(stderr, "cannot open %s\n", port.c_str());
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
            // The line is opened for the block (the raw loop needs the
            // device to itself in between).
            talvo_line* line = nullptr;
            if (library.talvo_line_open(&o, &line) != TALVO_OK) {
                std::fprintf(stderr, "talvo_line_open failed\n");
                return 1;
            }
            for (int i = 0; i < calls; ++i) {
                const double t0 = NowMs();
                const int rc = library.talvo_status(line, 1);
                lib.push_back(NowMs() - t0);
                if (rc != TALVO_OK) {
                    std::fprintf(stderr, "talvo_status failed: %d\n", rc);
                    library.talvo_line_close(line);
                    return 1;
                }
            }
            library.talvo_line_close(line);
        }
        sim.Command("clearframes");
    }
    std::printf("raw write+read: median %.1f us (p10 %.1f, p90 %.1f) over %zu exchanges\n", bench::Median(raw) * 1e3,
                bench::Percentile(raw, 0.1) * 1e3, bench::Percentile(raw, 0.9) * 1e3, raw.size());
    std::printf("talvo_status:   median %.1f us (p10 %.1f, p90 %.1f) over %zu calls\n", bench::Median(lib) * 1e3,
                bench::Percentile(lib, 0.1) * 1e3, bench::Percentile(lib, 0.9) * 1e3, lib.size());
    bench::Report("line_status_linux", bench::Median(lib) / bench::Median(raw), 1.0, "x raw");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
