// talvo-sim: the software terminal.  It stands in for the card terminals on
// a pseudo-terminal (or a serial device) so that the library, its tests and
// a host's own tests can run without hardware.
#include <pthread.h>
#include <signal.h>
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
  --listen tcp:HOST:PORT | rfc2217:HOST:PORT
                        serve the line over the network instead, as a
                        device server does: a raw byte stream, or Telnet
                        with the COM port control option (RFC 2217).  Port
                        0 picks a free one; "line: URL" and "port: N" are
                        printed.  The connection accepted last is the line.
  --control PORT        control channel on 127.0.0.1:PORT (default: a free
                        port, printed at start)
  --pace BAUD           pace replies at BAUD (10 bits a byte), as a real line
  --exec -- CMD...      run CMD with TALVO_SIM_CONTROL=127.0.0.1:PORT and
                        TALVO_SIM_DEVICE=PATH in its environment, then exit
                        with its exit status
  --version             print the version
  --help                this text

Control channel: one command a line, one answer a line: "ok ..." or, for a
command, fault or value it does not understand, "error: ..." (and then
nothing has changed).  For example with `nc 127.0.0.1 PORT`:
  add 2 attendance            serve terminal 2 as an attendance terminal
  remove 2                    stop serving it
  set 1 cmw ABCDEFGHIJKL      set state: cmw (12 characters), mdeb maxbt (6
  get 1 blacklist             digits), key (6 hex digits), flags (8 digits),
                              blacklist (groups of 6), menu (groups of 6
                              digits), subsidy (groups of 12), bttime (text),
                              clock (10 digits), aclock (14 digits; both empty:
                              the host's clock), zones (32 digits), azones (80
                              characters), reasonN (16 hex digits), blocked
                              (0/1), mark (0-65535), batch (records handed out
                              at most, 0-255), records (read; set 0 clears)
  record 1 seal 00123450341232240930005000   queue a record (26 characters,
                                             the check pair is added)
  record 1 damaged 00123450341232240930005000  the same with a bad check pair
  record 1 raw 00123450341232240930005000BB    28 characters as they stand
  record 1 sealhex 434C45415200...           26 bytes in hex, check pair added
  fault 10 silence times=2    next two requests with code 0x10 get no answer
  fault any split 3:20        next reply in 3 pieces 20 ms apart
                              kinds: silence, deaf (the request lost,
                              not carried out), delay MS, noise, long, stx (a stray
                              STX ahead), cutstart (a frame's start ahead), split P:MS,
                              badsum, lowersum, trailer, status XX, short N,
                              count N, payload TEXT, countpayload N,TEXT, mark N, wrongmark,
                              remark (0x37: a batch handed out before comes under
                              a new mark), close, foreign N (terminal N's reply
                              first), as N (N's reply instead);
                              skip=N lets N matching requests through first,
                              times=N applies it N times (0: every time)
  clearfaults                 forget the faults
  frames                      every request frame received, in hex
  clearframes                 forget them
  dropped                     request frames skipped as longer than 8192 bytes
  pace BAUD                   pace the line at BAUD (0: off)
  keep 1 111111222222         terminal 1 must hold these cards at every moment;
                              "missed" counts the requests after which one
                              was missing ("keep 1" stops watching)
  device                      the line's device path
  reopen                      a new line after a 'close' fault
  reset                       forget terminals, faults, frames and replies
                              not yet sent
  net drop                    (--listen) close the line's connection now
  net refuse on|off           stop listening (connections are refused) or
                              listen again on the same port
  net mute on|off             take connections and requests, never answer
  net cut N                   close the connection after N more reply bytes
  net keepbaud BAUD           RFC 2217: answer every baud rate with BAUD, as
                              a server that cannot set it (0: off)
  net connections             connections accepted so far
  net baud                    RFC 2217: the baud rate set last

SIGTERM or SIGINT stop it at once (with --exec: the command gets SIGTERM
too, and SIGKILL if it has not ended a second later).
)";

talvo::sim::Server* running = nullptr;
volatile sig_atomic_t stopping = 0;
volatile pid_t child = 0;

void OnSignal(int) {
    stopping = 1;
    if (running != nullptr) running->Stop();
    if (child > 0) kill(child, SIGTERM);
}

void Catch(int signal) {
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: waitpid returns on a signal
    sigaction(signal, &action, nullptr);
}

// Waits for the command of --exec; after a stop signal it has one second to
// end before it is killed.
int WaitForChild(pid_t pid) {
    int status = 0;
    for (;;) {
        if (stopping) {
            for (int i = 0; i < 100; ++i) {
                if (waitpid(pid, &status, WNOHANG) == pid) return status;
                usleep(10000);
            }
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return status;
        }
        if (waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return status;
    }
}

// A whole decimal number within [lo, hi], or a usage error.
int Whole(const std::string& option, const std::string& text, long lo, long hi) {
    char* end = nullptr;
    errno = 0;
    const long v = text.empty() ? -1 : std::strtol(text.c_str(), &end, 10);
    if (text.empty() || errno != 0 || *end != '\0' || v < lo || v > hi || text[0] == '-' || text[0] == '+') {
        std::fprintf(stderr, "talvo-sim: %s takes a number %ld-%ld, not '%s'\n", option.c_str(), lo, hi, text.c_str());
        std::exit(2);
    }
    return static_cast<int>(v);
}

std::string Generated(int i) {
    // Card numbers, amounts and dates that vary with i; types 13 and 05.
    char text[64];
    std::snprintf(text, sizeof text, "%06d%02d%02d%02d%c%c%02d%02d%02d%02d0000", 100000 + (i * 7) % 900000, i % 100, (i * 3) % 100,
                  i % 10, i % 4 == 0 ? '0' : '2', '1' + i % 9, 1 + i % 28, 8 + i % 10, (i * 11) % 60, i % 100);
    return text;
}

}  // namespace

// The command line's options.
struct Options {
    std::string link;
    std::string device;
    std::string listen;
    int control = 0;
    int pace = 0;
    std::vector<std::string> terminals;
    std::vector<std::string> records;
    std::vector<char*> exec;
};

// Reads the options; -1 to go on, otherwise the exit status (--help, a
// mistake).
int ReadOptions(int argc, char** argv, Options& o) {
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
        } else if (a == "--version") {
            std::printf("talvo-sim %s\n", TALVO_TOOL_VERSION);
            return 0;
        } else if (a == "--link") {
            o.link = value();
        } else if (a == "--device") {
            o.device = value();
        } else if (a == "--listen") {
            o.listen = value();
        } else if (a == "--control") {
            o.control = Whole(a, value(), 0, 65535);
        } else if (a == "--pace") {
            o.pace = Whole(a, value(), 0, 4000000);
        } else if (a == "--terminal") {
            o.terminals.push_back(value());
        } else if (a == "--records") {
            o.records.push_back(value());
        } else if (a == "--exec") {
            if (i + 1 < argc && std::strcmp(argv[i + 1], "--") == 0) ++i;
            for (++i; i < argc; ++i) o.exec.push_back(argv[i]);
            o.exec.push_back(nullptr);
        } else {
            std::fprintf(stderr, "talvo-sim: unknown option %s (see --help)\n", a.c_str());
            return 2;
        }
    }
    return -1;
}

// The terminals and records the options ask for; 0, or the exit status.
int Populate(talvo::sim::Server& server, Options& o) {
    if (o.terminals.empty()) o.terminals.push_back("1");
    for (const std::string& t : o.terminals) {
        std::size_t colon = t.find(':');
        std::string kind = colon == std::string::npos ? "consumption" : t.substr(colon + 1);
        std::string answer = server.Control("add " + t.substr(0, colon) + " " + kind);
        if (answer != "ok") {
            std::fprintf(stderr, "talvo-sim: --terminal %s: %s\n", t.c_str(), answer.c_str());
            return 2;
        }
    }
    for (const std::string& r : o.records) {
        const std::size_t colon = r.find(':');
        if (colon == std::string::npos) {
            std::fprintf(stderr, "talvo-sim: --records wants N:COUNT, not %s\n", r.c_str());
            return 2;
        }
        const int n = Whole("--records", r.substr(0, colon), 0, 255);
        const int count = Whole("--records", r.substr(colon + 1), 0, 1000000);
        for (int i = 0; i < count; ++i) {
            const std::string answer = server.Control("record " + std::to_string(n) + " seal " + Generated(i));
            if (answer != "ok") {
                std::fprintf(stderr, "talvo-sim: --records %s: %s\n", r.c_str(), answer.c_str());
                return 2;
            }
        }
    }
    if (o.pace > 0) server.Control("pace " + std::to_string(o.pace));

    return 0;
}

// Serves while the program given with --exec runs; its exit status.
int RunChild(talvo::sim::Server& server, Options& o) {
    // The serving thread never takes the stop signals: they interrupt the
    // main thread's wait.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    std::thread serving([&server] { server.Run(); });
    const pid_t pid = fork();
    if (pid == 0) {
        pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        setenv("TALVO_SIM_CONTROL", ("127.0.0.1:" + std::to_string(server.ControlPort())).c_str(), 1);
        setenv("TALVO_SIM_DEVICE", (o.link.empty() ? server.DevicePath() : o.link).c_str(), 1);
        execvp(o.exec[0], o.exec.data());
        std::fprintf(stderr, "talvo-sim: cannot run %s\n", o.exec[0]);
        _exit(127);
    }
    child = pid;
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    if (stopping) kill(pid, SIGTERM);  // a signal that came before the child existed
    const int status = WaitForChild(pid);
    server.Stop();
    serving.join();
    if (stopping) return 128 + SIGTERM;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

int main(int argc, char** argv) {
    Options o;
    if (const int status = ReadOptions(argc, argv, o); status >= 0) return status;

    talvo::sim::Server server;
    if (!o.listen.empty()) {
        if (!o.device.empty() || !o.link.empty()) {
            std::fprintf(stderr, "talvo-sim: --listen serves no device or link\n");
            return 2;
        }
        std::string error;
        if (!server.ListenLine(o.listen, error)) {
            std::fprintf(stderr, "talvo-sim: %s\n", error.c_str());
            return 1;
        }
    } else if (!server.OpenLine(o.device, o.link)) {
        std::fprintf(stderr, "talvo-sim: cannot open the line%s%s\n", o.device.empty() ? "" : " ", o.device.c_str());
        return 1;
    }
    if (!server.Listen(o.control)) {
        std::fprintf(stderr, "talvo-sim: cannot listen on 127.0.0.1:%d\n", o.control);
        return 1;
    }
    if (const int status = Populate(server, o); status != 0) return status;

    // Stop signals are caught before anyone learns where to reach us.
    running = &server;
    Catch(SIGINT);
    Catch(SIGTERM);
    std::signal(SIGPIPE, SIG_IGN);

    std::printf("device: %s\n", server.DevicePath().c_str());
    if (!o.listen.empty()) {
        std::printf("line: %s\n", server.DevicePath().c_str());
        std::printf("port: %d\n", server.LinePort());
    }
    if (!o.link.empty()) std::printf("link: %s\n", o.link.c_str());
    std::printf("control: 127.0.0.1:%d\n", server.ControlPort());
    std::fflush(stdout);

    if (o.exec.empty()) {
        server.Run();
        return stopping ? 0 : 1;
    }
    return RunChild(server, o);
}
