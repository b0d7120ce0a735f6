// talvod.exe as a Windows program: the requests that stop it or make it
// read its configuration again (Ctrl+C in a console, the service control
// manager's stop, shutdown and parameter change), its registration as the
// service "talvod", and its folder under %ProgramData%.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace talvo::service::win32 {

enum class Request { kStop, kReload };

// Takes Ctrl+C, Ctrl+Break and the console's close as a stop, from now on.
void TakeConsoleRequests();

// The next request; waits for it.
Request WaitForRequest();

// Runs `body` as the service talvod under the service control manager
// (StartServiceCtrlDispatcher): `body` reports through ReportRunning and
// returns the exit code.  Returns -1 when this process was not started by
// the service control manager.
int RunAsService(const std::function<int()>& body);
// Tells the service control manager the service runs (accepting stop,
// shutdown and parameter change) or is stopping (`waitMs` the time asked
// for).  Nothing outside RunAsService.
void ReportRunning();
void ReportStopping(unsigned waitMs);

// %ProgramData%\talvod (C:\ProgramData\talvod when the variable is unset).
std::string DataFolder();
// The configuration the service runs with: DataFolder()\talvod.toml.
std::string DefaultConfig();

// `talvod service install|remove|start|stop [CONFIG]`: the exit status,
// with what happened on stdout and errors on stderr.
int ServiceCommand(const std::vector<std::string>& args);

}  // namespace talvo::service::win32
