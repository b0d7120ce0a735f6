#include "win32/service.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>

namespace talvo::service::win32 {
namespace {

constexpr const char* kName = "talvod";
constexpr const char* kDisplayName = "talvo collection service";
constexpr const char* kDescription =
    "Collects the card terminals' records into the database exactly once and serves the page and API about them.";

// Requests not yet taken, in order, and the event that says there are some.
struct Requests {
    std::mutex lock;
    std::deque<Request> queue;
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    void Post(Request r) {
        {
            std::lock_guard<std::mutex> hold(lock);
            queue.push_back(r);
        }
        SetEvent(event);
    }
};
Requests& Pending() {
    static Requests* r = new Requests;  // alive for the console handler's thread
    return *r;
}

BOOL WINAPI OnConsole(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            Pending().Post(Request::kStop);
            return TRUE;
        default:
            return FALSE;
    }
}

// The service's state as the service control manager sees it.
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
std::mutex statusLock;
std::function<int()>* serviceBody = nullptr;
int serviceExit = 0;

void SetState(DWORD state, DWORD waitMs, DWORD exitCode = NO_ERROR) {
    std::lock_guard<std::mutex> hold(statusLock);
    if (statusHandle == nullptr) return;
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN | SERVICE_ACCEPT_PARAMCHANGE : 0;
    status.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    status.dwServiceSpecificExitCode = exitCode;
    status.dwWaitHint = waitMs;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) status.dwCheckPoint = 0;
    else ++status.dwCheckPoint;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
        case SERVICE_CONTROL_SHUTDOWN:
            Pending().Post(Request::kStop);
            return NO_ERROR;
        case SERVICE_CONTROL_PARAMCHANGE:
            Pending().Post(Request::kReload);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, LPSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExA(kName, OnControl, nullptr);
    if (statusHandle == nullptr) return;
    SetState(SERVICE_START_PENDING, 30000);
    serviceExit = (*serviceBody)();
    SetState(SERVICE_STOPPED, 0, static_cast<DWORD>(serviceExit));
}

std::string LastError(const char* what) {
    const DWORD e = GetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, e, 0, text,
                                   sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return std::string(what) + ": " + (s.empty() ? "error " + std::to_string(e) : s) + " (" + std::to_string(e) + ")";
}

struct ScHandle {
    SC_HANDLE h = nullptr;
    explicit ScHandle(SC_HANDLE handle) : h(handle) {}
    ~ScHandle() {
        if (h != nullptr) CloseServiceHandle(h);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
};

std::string ThisProgram() {
    char path[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

// The data folder with its access list: administrators and the system
// full control, the account the service runs as (LocalService) change; no
// one else.  Not inherited from %ProgramData% (where every user may read).
bool SecureFolder(const std::string& folder, std::string& problem) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        problem = "cannot create " + folder + ": " + ec.message();
        return false;
    }
    // Protected (P): nothing inherited; BA administrators, SY the system,
    // LS the LocalService account the service runs as (modify: 0x1301bf).
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::string text = "D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1301bf;;;LS)";
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        problem = LastError("the folder's access list");
        return false;
    }
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    const DWORD rc = SetNamedSecurityInfoA(const_cast<char*>(folder.c_str()), SE_FILE_OBJECT,
                                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                           nullptr, acl, nullptr);
    LocalFree(descriptor);
    if (rc != ERROR_SUCCESS) {
        SetLastError(rc);
        problem = LastError(("the access list of " + folder).c_str());
        return false;
    }
    return true;
}

int Install(const std::string& config) {
    std::string problem;
    if (!SecureFolder(DataFolder(), problem)) {
        std::fprintf(stderr, "talvod: %s\n", problem.c_str());
        return 1;
    }
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (manager.h == nullptr) {
        std::fprintf(stderr, "talvod: %s\n", LastError("the service control manager").c_str());
        return 1;
    }
    const std::string command = "\"" + ThisProgram() + "\" --service \"" + config + "\"";
    // Started at boot, as the low-privilege LocalService account.
    ScHandle service(CreateServiceA(manager.h, kName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr,
                                    "Tcpip\0\0", "NT AUTHORITY\\LocalService", nullptr));
    if (service.h == nullptr) {
        std::fprintf(stderr, "talvod: %s\n", LastError("installing the service").c_str());
        return 1;
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(service.h, SERVICE_CONFIG_DESCRIPTION, &description);
    // Restarted after a crash: 5 s, 5 s, then 30 s; the count starts again
    // after a day without one.
    SC_ACTION actions[3] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 3600;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    if (!ChangeServiceConfig2A(service.h, SERVICE_CONFIG_FAILURE_ACTIONS, &failure)) {
        std::fprintf(stderr, "talvod: warning: %s\n", LastError("the restart after a crash").c_str());
    }
    // A stop or shutdown may take the exchange in hand: the service asks
    // for its time through its wait hints.
    SERVICE_PRESHUTDOWN_INFO preshutdown{30000};
    ChangeServiceConfig2A(service.h, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
    std::printf("talvod: service installed (%s)\n", command.c_str());
    return 0;
}

int Remove() {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(manager.h != nullptr ? OpenServiceA(manager.h, kName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS)
                                          : nullptr);
    if (service.h == nullptr) {
        std::fprintf(stderr, "talvod: %s\n", LastError("the service talvod").c_str());
        return 1;
    }
    SERVICE_STATUS s{};
    ControlService(service.h, SERVICE_CONTROL_STOP, &s);
    if (!DeleteService(service.h)) {
        std::fprintf(stderr, "talvod: %s\n", LastError("removing the service").c_str());
        return 1;
    }
    std::printf("talvod: service removed (the data in %s is kept)\n", DataFolder().c_str());
    return 0;
}

// Starts or stops the service and waits until it runs or has stopped.
int Control(bool start) {
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(manager.h != nullptr
                         ? OpenServiceA(manager.h, kName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                         : nullptr);
    if (service.h == nullptr) {
        std::fprintf(stderr, "talvod: %s\n", LastError("the service talvod").c_str());
        return 1;
    }
    SERVICE_STATUS s{};
    if (start ? !StartServiceA(service.h, 0, nullptr) : !ControlService(service.h, SERVICE_CONTROL_STOP, &s)) {
        const DWORD e = GetLastError();
        if (!(start && e == ERROR_SERVICE_ALREADY_RUNNING) && !(!start && e == ERROR_SERVICE_NOT_ACTIVE)) {
            std::fprintf(stderr, "talvod: %s\n", LastError(start ? "starting the service" : "stopping the service").c_str());
            return 1;
        }
    }
    const DWORD goal = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    for (int waited = 0; waited < 120000; waited += 100) {
        if (!QueryServiceStatus(service.h, &s)) break;
        if (s.dwCurrentState == goal) {
            std::printf("talvod: service %s\n", start ? "running" : "stopped");
            return 0;
        }
        if (start && s.dwCurrentState == SERVICE_STOPPED) {
            std::fprintf(stderr, "talvod: the service stopped at once (exit %lu): see %s\\talvod.log\n",
                         s.dwServiceSpecificExitCode, DataFolder().c_str());
            return 1;
        }
        Sleep(100);
    }
    std::fprintf(stderr, "talvod: the service did not %s in time\n", start ? "start" : "stop");
    return 1;
}

}  // namespace

void TakeConsoleRequests() { SetConsoleCtrlHandler(OnConsole, TRUE); }

Request WaitForRequest() {
    Requests& r = Pending();
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(r.lock);
            if (!r.queue.empty()) {
                const Request next = r.queue.front();
                r.queue.pop_front();
                return next;
            }
        }
        WaitForSingleObject(r.event, INFINITE);
    }
}

int RunAsService(const std::function<int()>& body) {
    std::function<int()> run = body;
    serviceBody = &run;
    char name[] = "talvod";
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        serviceBody = nullptr;
        return -1;
    }
    serviceBody = nullptr;
    return serviceExit;
}

void ReportRunning() { SetState(SERVICE_RUNNING, 0); }
void ReportStopping(unsigned waitMs) { SetState(SERVICE_STOP_PENDING, waitMs); }

std::string DataFolder() {
    char value[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("ProgramData", value, sizeof value);
    const std::string base = n > 0 && n < sizeof value ? std::string(value, n) : "C:\\ProgramData";
    return base + "\\talvod";
}

std::string DefaultConfig() { return DataFolder() + "\\talvod.toml"; }

int ServiceCommand(const std::vector<std::string>& args) {
    const std::string what = args.empty() ? "" : args[0];
    if (what == "install" && args.size() <= 2) {
        std::string config = args.size() == 2 ? args[1] : DefaultConfig();
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(config, ec);
        if (!ec) config = absolute.string();
        return Install(config);
    }
    if (args.size() == 1 && what == "remove") return Remove();
    if (args.size() == 1 && what == "start") return Control(true);
    if (args.size() == 1 && what == "stop") return Control(false);
    std::fprintf(stderr, "usage: talvod service install [CONFIG] | remove | start | stop\n");
    return 2;
}

}  // namespace talvo::service::win32
