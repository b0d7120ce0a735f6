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

#include "inqstat_round_trip.h"
#include "settings_file.h"

namespace {

using talvo::bench::kInqStatReplyLength;
using talvo::bench::kInqStatRequest;

class RawSocket {
public:
    // The port of a URL "scheme://127.0.0.1:PORT".
    explicit RawSocket(const std::string& url) {
        const int port = std::atoi(url.c_str() + url.rfind(':') + 1);
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
        if (send(fd_, kInqStatRequest.data(), kInqStatRequest.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kInqStatRequest.size())) {
            return false;
        }
        while (got < kInqStatReplyLength) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
            const ssize_t n = recv(fd_, reply + got, sizeof reply - got, 0);
            if (n <= 0) return false;
            got += static_cast<unsigned>(n);
        }
        return got == kInqStatReplyLength;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
};

int Run(int argc, char** argv) {
    using namespace talvo::test;
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
    SettingsFile settings;
    settings.Write({{"ComName", url}, {"BautRate", "9600"}, {"EchoTime", "150"}, {"WaitTime", "1000"},
                    {"ConvertP", "2"}, {"Repeat", "3"}});
    sim.Command("reset");
    sim.Command("add 1 consumption");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // see round_trip.cpp

    return talvo::bench::CompareRoundTrips<RawSocket>(
        url, calls, blocks, "raw socket write+read:", telnet ? "InqStat over RFC 2217:" : "InqStat over TCP:",
        telnet ? "round_trip_rfc2217" : "round_trip_tcp", telnet ? 1.2 : 1.1);
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
