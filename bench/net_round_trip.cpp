// Round trip of InqStat over a network line against the floor: a raw
// loopback TCP socket that writes the same request and reads its reply from
// the same software terminal, with nothing else.  Blocks of each are taken
// in turn and the medians of all calls compared, as in round_trip.cpp.
// The terminal is a process of its own serving tcp:// or rfc2217:// (on
// the RFC 2217 line the raw loop sends the bytes as they are, without the
// Telnet negotiation); pin the whole run to one core:
//
//   taskset -c 1 build/linux/talvo-sim --listen tcp:127.0.0.1:0 --exec -- build/linux/talvo_bench_net_round_trip
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench_common.h"
#include "settings_file.h"
#include "sim_client.h"
#include "test_library.h"

namespace {

// The request InqStat(1) sends with ConvertP 2, and the length of the reply.
const std::string kRequest = std::string("\x02" "000110000000" "\x03" "42") + "\x33\x33";
constexpr unsigned kReplyLength = 16;

class RawSocket {
public:
    explicit RawSocket(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ok_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawSocket() {
        if (fd_ >= 0) close(fd_);
    }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    bool Ok() const { return ok_; }

    bool Exchange() {
        unsigned char reply[64];
        unsigned got = 0;
        if (send(fd_, kRequest.data(), kRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kRequest.size())) {
            return false;
        }
        while (got < kReplyLength) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
            const ssize_t n = recv(fd_, reply + got, sizeof reply - got, 0);
            if (n <= 0) return false;
            got += static_cast<unsigned>(n);
        }
        return got == kReplyLength;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

int Run(int argc, char** argv) {
    using namespace talvo::test;
    using talvo::bench::NowMs;
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    const int blocks = argc > 2 ? std::atoi(argv[2]) : 16;
    Sim& sim = Sim::Get();
    const std::string url = sim.PortName();
    const std::size_t colon = url.rfind(':');
    if (!sim.Available() || url.find("://") == std::string::npos || colon == std::string::npos) {
        std::fprintf(stderr, "no software terminal on a network line (run under talvo-sim --listen)\n");
        return 1;
    }
    const bool telnet = url.rfind("rfc2217://", 0) == 0;
    const int port = std::atoi(url.c_str() + colon + 1);
    SettingsFile settings;
    settings.Write({{"ComName", url}, {"BautRate", "9600"}, {"EchoTime", "150"}, {"WaitTime", "1000"},
                    {"ConvertP", "2"}, {"Repeat", "3"}});
    sim.Command("reset");
    sim.Command("add 1 consumption");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // see round_trip.cpp

    std::vector<double> raw;
    std::vector<double> lib;
    for (int b = 0; b < blocks; ++b) {
        {
            RawSocket line(port);
            if (!line.Ok()) {
                std::fprintf(stderr, "cannot connect to %s\n", url.c_str());
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
            HostLibrary library;
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
    using talvo::bench::Median;
    using talvo::bench::Percentile;
    std::printf("raw socket write+read: median %.1f us (p10 %.1f, p90 %.1f) over %zu exchanges\n", Median(raw) * 1e3,
                Percentile(raw, 0.1) * 1e3, Percentile(raw, 0.9) * 1e3, raw.size());
    std::printf("InqStat over %s: median %.1f us (p10 %.1f, p90 %.1f) over %zu calls\n", telnet ? "RFC 2217" : "TCP",
                Median(lib) * 1e3, Percentile(lib, 0.1) * 1e3, Percentile(lib, 0.9) * 1e3, lib.size());
    talvo::bench::Report(telnet ? "round_trip_rfc2217" : "round_trip_tcp", Median(lib) / Median(raw),
                         telnet ? 1.2 : 1.1, "x raw");
    return 0;
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
