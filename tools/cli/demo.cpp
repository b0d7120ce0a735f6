// talvo demo: starts a software terminal (talvo-sim) on a pseudo-terminal,
// points a private settings file at it and walks through every family,
// ending with a full collection and the record table.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo.h"
#include "host_library.h"
#include "legacy_terminal.h"
#include "private_settings.h"
#include "records.h"
#include "values.h"

namespace talvo::cli {
namespace {

// talvo-sim as a child process, beside talvo or else on PATH, with its
// control channel: stopped (SIGTERM) and waited for when it goes.
class SoftwareTerminal {
public:
    SoftwareTerminal() = default;
    SoftwareTerminal(const SoftwareTerminal&) = delete;
    SoftwareTerminal& operator=(const SoftwareTerminal&) = delete;
    ~SoftwareTerminal() {
        if (control_ >= 0) close(control_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
    }

    // Starts it with `arguments` and connects to its control channel; false
    // with the reason in `problem`.
    bool Start(std::vector<std::string> arguments, std::string& problem) {
        int out[2];
        if (pipe(out) != 0) return Failed("cannot make a pipe", problem);
        arguments.insert(arguments.begin(), "talvo-sim");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        const std::string beside = OwnDirectory() + "/talvo-sim";
        const pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {
            // It ends with the demo, however the demo ends (killed too).
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() != parent) _exit(1);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            signal(SIGPIPE, SIG_DFL);
            if (access(beside.c_str(), X_OK) == 0) execv(beside.c_str(), argv.data());
            execvp("talvo-sim", argv.data());
            _exit(127);
        }
        close(out[1]);
        if (pid_ < 0) {
            close(out[0]);
            return Failed("cannot start talvo-sim", problem);
        }
        // "device: PATH" and then "control: 127.0.0.1:PORT".
        FILE* said = fdopen(out[0], "r");
        char line[4200];
        int port = 0;
        while (said != nullptr && port == 0 && std::fgets(line, sizeof line, said) != nullptr) {
            std::string text(line);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            if (text.rfind("device: ", 0) == 0) device_ = text.substr(8);
            if (text.rfind("control: 127.0.0.1:", 0) == 0) port = std::atoi(text.c_str() + 19);
        }
        if (said != nullptr) std::fclose(said); else close(out[0]);
        if (port <= 0 || device_.empty()) {
            return Failed("talvo-sim did not start (it is installed with talvo, beside it: " + beside + ")", problem);
        }
        control_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (control_ < 0 || connect(control_, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            return Failed("cannot reach talvo-sim's control channel", problem);
        }
        return true;
    }

    const std::string& DevicePath() const { return device_; }

    // One command, one answer line ("ok ..." or "error: ...").
    std::string Control(const std::string& command) {
        const std::string sent = command + "\n";
        if (send(control_, sent.data(), sent.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(sent.size())) return "";
        std::string answer;
        char c = 0;
        while (recv(control_, &c, 1, 0) == 1 && c != '\n') answer += c;
        return answer;
    }

private:
    static bool Failed(const std::string& why, std::string& problem) {
        problem = why;
        return false;
    }
    static std::string OwnDirectory() {
        char self[4096];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return ".";
        std::string dir(self, static_cast<std::size_t>(n));
        return dir.substr(0, dir.rfind('/'));
    }

    pid_t pid_ = -1;
    int control_ = -1;
    std::string device_;
};

void Step(const char* text) { std::printf("\n== %s\n", text); }

void Show(const char* what, int ok) { std::printf("   %-44s %s\n", what, ok == 1 ? "ok" : "FAILED"); }

// Records as a terminal sends them: card, amount, type and month, day,
// time and a second amount; the check pair is added by the terminal.
std::string RecordText(int i) {
    const int month = 1 + i % 12;
    const bool refund = i % 5 == 0;  // type 05: a negative amount
    const char typeAndMonth = static_cast<char>('0' + (refund ? 0 : 2) + month / 10);
    char text[40];
    std::snprintf(text, sizeof text, "%06d%02d%02d%02d%c%c%02d%02d%02d%06d", 200000 + i * 13, (i * 37) % 100,
                  1 + (i * 7) % 99, i % 3, typeAndMonth, '0' + month % 10, 1 + i % 28, 7 + i % 12, (i * 11) % 60,
                  0);
    return text;
}

}  // namespace

int RunDemo(const std::string& libraryPath, const std::string& directory) {
    host::HostLibrary lib;
    std::string dir = directory;
    if (dir.empty()) {
        char pattern[] = "talvo-demo-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            std::fprintf(stderr, "talvo: cannot create a directory for the demo\n");
            return 1;
        }
        dir = pattern;
    }
    ::mkdir(dir.c_str(), 0755);
    if (chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "talvo: cannot use the directory %s\n", dir.c_str());
        return 1;
    }
    char cwd[4096];
    const std::string where = getcwd(cwd, sizeof cwd) != nullptr ? cwd : dir;

    Step("a software terminal on a pseudo-terminal");
    SoftwareTerminal server;
    std::string problem;
    if (!server.Start({"--terminal", "1:consumption", "--terminal", "2:attendance"}, problem)) {
        std::fprintf(stderr, "talvo: demo: %s\n", problem.c_str());
        return 1;
    }
    int queued = 0;
    for (int i = 0; i < 30; ++i, ++queued) server.Control("record 1 seal " + RecordText(i));
    for (int i = 30; i < 33; ++i, ++queued) server.Control("record 1 damaged " + RecordText(i));
    server.Control("record 1 seal a00001" + RecordText(40).substr(6));
    server.Control("record 1 seal 9999A9" + RecordText(41).substr(6));
    queued += 2;
    std::printf("   device %s: consumption terminal 1 with %d records (3 damaged, 2 unwanted),\n"
                "   attendance terminal 2\n",
                server.DevicePath().c_str(), queued);

    PrivateSettings settings;
    if (!settings.Write({{"ComName", server.DevicePath()}, {"BautRate", "9600"}, {"EchoTime", "60"}}, problem) ||
        !lib.Load(libraryPath, nullptr, &problem)) {
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 1;
    }
    std::printf("   settings for this run in %s/VELDA.INI; library %s\n", settings.Directory().c_str(),
                libraryPath.c_str());

    Step("status and clock");
    Show("InqStat(1): terminal 1 answers", lib.InqStat(1));
    const std::string now = FormatDateTime(Now(), false);
    Show(("SetMachTime(1, \"" + now + "\")").c_str(), lib.SetMachTime(1, now.c_str()));
    char clock[16] = {};
    Show("ReadMachTime(1)", lib.ReadMachTime(1, clock));
    std::printf("   terminal clock: %s\n", clock);

    Step("price menu");
    const float prices[] = {3.5f, 12.0f, 8.75f};
    Show("Setmenu(1, {3.50, 12.00, 8.75})", lib.Setmenu(1, prices, 3));
    float* back = nullptr;
    int count = 0;
    Show("ReadMenu(1)", lib.ReadMenu(1, &back, &count));
    for (int i = 0; i < count; ++i) std::printf("   price %d: %s\n", i + 1, FormatCents(CentsOf(back[i])).c_str());
    std::free(back);

    Step("blacklist");
    Show("AddHMD(1, \"123456654321\")", lib.AddHMD(1, "123456654321"));
    char* entries = nullptr;
    Show("ReadHMD(1, 0)", lib.ReadHMD(1, 0, &entries, &count));
    for (int i = 0; i < count; ++i) std::printf("   entry %d: %.6s\n", i, entries + 6 * i);
    std::free(entries);

    Step("attendance time zones on terminal 2");
    char slots[120] = {};
    const char slot[15] = {'0', '8', ':', '0', '0', 0, '1', '2', ':', '0', '0', 0, '0', '1', 0};
    std::memcpy(slots, slot, sizeof slot);
    lib.SetAttendTimeZone(2, slots);
    Show("SetAttendTimeZone(2, 08:00-12:00 code 01)", lib.GetError() == 0 ? 1 : 0);
    char* zones = nullptr;
    lib.ReadAttendTimeZone(2, &zones);
    Show("ReadAttendTimeZone(2)", lib.GetError() == 0 ? 1 : 0);
    if (zones != nullptr) {
        std::printf("   zone 1: %s-%s code %s\n", zones, zones + 6, zones + 12);
        std::free(zones);
    }

    Step("collecting every record into records.dat");
    int stored = 0;
    std::int64_t sum = 0;  // cents
    // Until the terminal holds none (or its control channel is gone).
    for (int batch = 1;; ++batch) {
        const std::string held = server.Control("get 1 records");
        if (held.rfind("ok ", 0) != 0 || held == "ok 0") break;
        float total = 0;
        if (lib.AutoReadJyzm(1, &count, &total, "records.dat") != 1) {
            std::printf("   batch %d failed: error %d (%s)\n", batch, lib.GetError(), ErrorMeaning(lib.GetError()));
            break;
        }
        stored += count;
        sum += CentsOf(total);
        std::printf("   batch %d: %d stored, running total %s\n", batch, count, FormatCents(sum).c_str());
    }
    std::printf("   %d records stored; the damaged and unwanted ones are logged in ErrRec.doc\n", stored);

    Step("the record store");
    const int shown = PrintRecords(lib, "records.dat", RecordsFormat::kTable);
    lib.Unload();
    std::printf("\nThe store file records.dat and the log ErrRec.doc are in %s\n", where.c_str());
    return shown;
}

}  // namespace talvo::cli
