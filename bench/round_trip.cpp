// Round trip of InqStat against a terminal that answers at once, against the
// floor: a raw write of the same request and a read of its reply on the same
// line, with nothing else.  Blocks of each are taken in turn (the library is
// loaded for its blocks only, as it holds the device while loaded) and the
// medians of all calls are compared.  Pin the whole run to one core, the
// terminal included, and run the terminal as a process of its own, as a
// real terminal is a device of its own.
//
//   Linux:   taskset -c 1 build/linux/talvo-sim --exec -- build/linux/talvo_bench_round_trip [calls] [blocks]
//   Windows: the same under Wine, with talvo-sim linked to COM7 and a
//            wineserver pinned to the same core (scripts/bench.sh does it)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "inqstat_round_trip.h"
#include "settings_file.h"

namespace {

using namespace talvo;

using bench::kInqStatReplyLength;
using bench::kInqStatRequest;

// The line opened directly, set to the same line format, and one exchange:
// write the request, read until the reply is whole.
class RawLine {
public:
    explicit RawLine(const std::string& name) {
#ifdef _WIN32
        std::string path = name.rfind("COM", 0) == 0 ? "\\\\.\\" + name : name;
        h_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h_ == INVALID_HANDLE_VALUE) return;
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        BuildCommDCBA((name + ": baud=9600 parity=N data=8 stop=1").c_str(), &dcb);
        SetCommState(h_, &dcb);
        // A read ends when the bytes asked for have come.
        COMMTIMEOUTS t{0, 0, 1000, 0, 10000};
        SetCommTimeouts(h_, &t);
        ok_ = true;
#else
        fd_ = open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(fd_, TCSANOW, &t);
        ok_ = true;
#endif
    }
    ~RawLine() {
#ifdef _WIN32
        if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
#else
        if (fd_ >= 0) close(fd_);
#endif
    }
    RawLine(const RawLine&) = delete;
    RawLine& operator=(const RawLine&) = delete;
    bool Ok() const { return ok_; }

    bool Exchange() {
        unsigned char reply[64];
        unsigned got = 0;
#ifdef _WIN32
        DWORD n = 0;
        if (!WriteFile(h_, kInqStatRequest.data(), static_cast<DWORD>(kInqStatRequest.size()), &n, nullptr)) return false;
        while (got < kInqStatReplyLength) {
            if (!ReadFile(h_, reply + got, kInqStatReplyLength - got, &n, nullptr) || n == 0) return false;
            got += n;
        }
#else
        if (write(fd_, kInqStatRequest.data(), kInqStatRequest.size()) != static_cast<ssize_t>(kInqStatRequest.size())) return false;
        while (got < kInqStatReplyLength) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) return false;
            const ssize_t n = read(fd_, reply + got, sizeof reply - got);
            if (n <= 0) return false;
            got += static_cast<unsigned>(n);
        }
#endif
        return got == kInqStatReplyLength;
    }

private:
#ifdef _WIN32
    HANDLE h_ = INVALID_HANDLE_VALUE;
#else
    int fd_ = -1;
#endif
    bool ok_ = false;
};

}  // namespace

namespace {

int Run(int argc, char** argv) {
    using namespace talvo::test;
    const int calls = argc > 1 ? std::atoi(argv[1]) : 500;
    const int blocks = argc > 2 ? std::atoi(argv[2]) : 16;
    Sim& sim = Sim::Get();
    if (!sim.Available()) {
        std::fprintf(stderr, "no software terminal\n");
        return 1;
    }
    const char* comName = std::getenv("TALVO_SIM_COMNAME");
    const std::string port = comName != nullptr ? comName : sim.PortName();
    SettingsFile settings;
    settings.Write({{"ComName", port}, {"BautRate", "9600"}, {"EchoTime", "150"}, {"WaitTime", "1000"},
                    {"ConvertP", "2"}, {"Repeat", "3"}});
    sim.Command("reset");
    sim.Command("add 1 consumption");
    // A host's settings file is old: let this one settle, so that the
    // library reads it as it reads a host's (see profile::Stamp).
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));

#ifdef _WIN32
    const char* name = "round_trip_wine";
    const double goal = 1.5;
#else
    const char* name = "round_trip_linux";
    const double goal = 1.3;
#endif
    return talvo::bench::CompareRoundTrips<RawLine>(port, calls, blocks, "raw write+read:", "InqStat:       ", name,
                                                     goal);
}

}  // namespace

int main(int argc, char** argv) { talvo::bench::Finish(Run(argc, argv)); }
