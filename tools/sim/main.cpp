// talvo-sim: the software terminal.  It stands in for the card terminals on
// a pseudo-terminal (or a serial device) so that the library, its tests and
// a host's own tests can run without hardware.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_server.h"

namespace {

const char* kUsage = R"(usage: talvo-sim [options] [--exec -- COMMAND [ARGS...]]

Plays card terminals on a pseudo-terminal.  Point the library's ComName at
the device path it prints (or at the --link path), then talk to the
terminals through the library as to real ones.

Options:
  --terminal N[:KIND]   serve terminal number N (0-255); KIND is consumption
                        (default) or attendance.  May be repeated.  Without
                        any, terminal 1 (consumption) is served.
  --records N:COUNT     queue COUNT generated transaction records on terminal N
  --link PATH           create a symbolic link PATH to the line's device, for
                        example a COM port in a Wine prefix:
                        $WINEPREFIX/dosdevices/com7
  --device PATH         serve on a real serial device instead of a new
                        pseudo-terminal
  --control PORT        control channel on 127.0.0.1:PORT (default: a free
                        port, printed at start)
  --pace BAUD           pace replies at BAUD (10 bits a byte), as a real line
  --exec -- CMD...      run CMD with TALVO_SIM_CONTROL=127.0.0.1:PORT and
                        TALVO_SIM_DEVICE=PATH in its environment, then exit
                        with its exit status
  --help                this text

Control channel: one command a line, one answer a line ("ok ..." or
"err ...").  For example with `nc 127.0.0.1 PORT`:
  add 2 attendance            serve terminal 2 as an attendance terminal
  set 1 cmw ABCDEFGHIJKL      set state (cmw mdeb key flags blacklist menu
  get 1 blacklist             subsidy maxbt bttime clock aclock zones azones
                              reasonN blocked mark records batch)
  record 1 seal 00123450341232240930005000   queue a record (check pair added)
  record 1 damaged 0012345034123224093000500 queue a record with a bad check
  record 1 sealhex 434C45415200...         the same, the 26 characters in hex
  fault 10 silence times=2    next two requests with code 0x10 get no answer
  fault any split 3:20        next reply in 3 pieces 20 ms apart
                              (kinds: silence delay MS, noise, long, split P:MS,
                              badsum, lowersum, status XX, short N, count N,
                              payload TEXT, mark N, wrongmark, close; skip=N)
  frames                      every request frame received, in hex
  reopen                      a new line after a 'close' fault
  reset                       forget terminals, faults and frames
)";

talvo::sim::Server* running = nullptr;

void OnSignal(int) {
    if (running != nullptr) running->Stop();
}

std::string Generated(int i) {
    // Card numbers, amounts and dates that vary with i; types 13 and 05.
    char text[64];
    std::snprintf(text, sizeof text, "%06d%02d%02d%02d%c%c%02d%02d%02d%02d0000", 100000 + (i * 7) % 900000, i % 100, (i * 3) % 100,
                  i % 10, i % 4 == 0 ? '0' : '2', '1' + i % 9, 1 + i % 28, 8 + i % 10, (i * 11) % 60, i % 100);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    std::string link;
    std::string device;
    int control = 0;
    int pace = 0;
    std::vector<std::string> terminals;
    std::vector<std::string> records;
    std::vector<char*> exec;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "talvo-sim: %s needs a value (see --help)\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--link") {
            link = value();
        } else if (a == "--device") {
            device = value();
        } else if (a == "--control") {
            control = std::atoi(value().c_str());
        } else if (a == "--pace") {
            pace = std::atoi(value().c_str());
        } else if (a == "--terminal") {
            terminals.push_back(value());
        } else if (a == "--records") {
            records.push_back(value());
        } else if (a == "--exec") {
            if (i + 1 < argc && std::strcmp(argv[i + 1], "--") == 0) ++i;
            for (++i; i < argc; ++i) exec.push_back(argv[i]);
            exec.push_back(nullptr);
        } else {
            std::fprintf(stderr, "talvo-sim: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }

    talvo::sim::Server server;
    if (!server.OpenLine(device, link)) {
        std::fprintf(stderr, "talvo-sim: cannot open the line%s%s\n", device.empty() ? "" : " ", device.c_str());
        return 1;
    }
    if (!server.Listen(control)) {
        std::fprintf(stderr, "talvo-sim: cannot listen on 127.0.0.1:%d\n", control);
        return 1;
    }
    if (terminals.empty()) terminals.push_back("1");
    for (const std::string& t : terminals) {
        std::size_t colon = t.find(':');
        std::string kind = colon == std::string::npos ? "consumption" : t.substr(colon + 1);
        std::string answer = server.Control("add " + t.substr(0, colon) + " " + kind);
        if (answer != "ok") {
            std::fprintf(stderr, "talvo-sim: --terminal %s: %s\n", t.c_str(), answer.c_str() + 4);
            return 2;
        }
    }
    for (const std::string& r : records) {
        int n = 0;
        int count = 0;
        if (std::sscanf(r.c_str(), "%d:%d", &n, &count) != 2) {
            std::fprintf(stderr, "talvo-sim: --records wants N:COUNT\n");
            return 2;
        }
        for (int i = 0; i < count; ++i) server.Control("record " + std::to_string(n) + " seal " + Generated(i));
    }
    if (pace > 0) server.Control("pace " + std::to_string(pace));

    std::printf("device: %s\n", server.DevicePath().c_str());
    if (!link.empty()) std::printf("link: %s\n", link.c_str());
    std::printf("control: 127.0.0.1:%d\n", server.ControlPort());
    std::fflush(stdout);

    running = &server;
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);

    if (exec.empty()) {
        server.Run();
        return 0;
    }
    std::thread serving([&server] { server.Run(); });
    pid_t child = fork();
    if (child == 0) {
        setenv("TALVO_SIM_CONTROL", ("127.0.0.1:" + std::to_string(server.ControlPort())).c_str(), 1);
        setenv("TALVO_SIM_DEVICE", (link.empty() ? server.DevicePath() : link).c_str(), 1);
        execvp(exec[0], exec.data());
        std::fprintf(stderr, "talvo-sim: cannot run %s\n", exec[0]);
        _exit(127);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    server.Stop();
    serving.join();
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
