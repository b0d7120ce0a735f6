// talvo: the command-line host.  Every argument is checked against what the
// terminal takes while the command line is read, before the library is
// loaded, so that a wrong one never reaches the line.  Then the library is
// loaded as any host loads it and the subcommand runs on a line opened with
// the line API, or, under `talvo legacy`, through the 43 exports.
#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "cli.h"
#ifndef _WIN32
#include "db_commands.h"
#include "db_forward.h"
#endif
#include "legacy_terminal.h"
#include "line_session.h"
#include "library.h"
#include "private_settings.h"
#ifdef TALVO_WITH_SERVICE_CLIENT
#include "service_terminal.h"
#endif

namespace talvo::cli {
namespace {

// `talvo legacy ...`: the 43 exports as a host drives them; the line options
// go into a private settings file for the run.
class LegacySession {
public:
    explicit LegacySession(const Globals& g) : g_(g) {}

    bool Start(std::string& problem) {
        std::map<std::string, std::string> keys;
        if (!g_.port.empty()) keys["ComName"] = g_.port;
        if (g_.baud > 0) keys["BautRate"] = std::to_string(g_.baud);
        if (g_.echo_time >= 0) keys["EchoTime"] = std::to_string(g_.echo_time);
        if (g_.wait_time >= 0) keys["WaitTime"] = std::to_string(g_.wait_time);
        if (g_.repeat > 0) keys["Repeat"] = std::to_string(g_.repeat);
        if (g_.filler >= 0) keys["ConvertP"] = std::to_string(g_.filler);
        if (!g_.line.empty()) keys["StatStr"] = g_.line;
        if (!keys.empty()) {
            // Keys not given take the library's defaults for a new file.
            keys.emplace("EchoTime", "150");
            if (!settings_.Write(keys, problem)) return false;
        }
        if (g_.trace) SetEnv("TALVO_TRACE", "-");
        return lib_.Load(LibraryPath(), nullptr, &problem);
    }
    host::HostLibrary& Library() { return lib_; }

private:
    const Globals& g_;
    PrivateSettings settings_;
    host::HostLibrary lib_;
};


int RunOnTerminal(Invocation& run) {
    std::string problem;
#ifdef TALVO_WITH_SERVICE_CLIENT
    if (!run.globals.service.empty()) {
        // The service's line, its store and its library: nothing here is
        // loaded or opened.
        std::string token;
        if (!ServiceToken(run.globals, token, problem)) {
            std::fprintf(stderr, "talvo: %s: %s\n", run.what.c_str(), problem.c_str());
            return 2;
        }
        return OnEachTerminal(run, [&run, &token](int) {
            ServiceTerminal terminal(run.globals, token);
            return run.on_terminal(terminal);
        });
    }
#endif
    if (run.before && !run.before(problem)) {
        std::fprintf(stderr, "talvo: %s: %s\n", run.what.c_str(), problem.c_str());
        return 2;
    }
    if (run.legacy) {
        LegacySession session(run.globals);
        if (!session.Start(problem)) {
            std::fprintf(stderr, "talvo: %s\n", problem.c_str());
            return 1;
        }
        return OnEachTerminal(run, [&run, &session](int number) {
            LegacyTerminal terminal(session.Library(), number);
            return run.on_terminal(terminal);
        });
    }
    LineSession session;
    if (!session.Start(run.globals, problem)) {
        std::fprintf(stderr, "talvo: %s\n", problem.c_str());
        return 1;
    }
    // Several terminals (-t 1,2,5) one after the other on the one line.
    return OnEachTerminal(run, [&run, &session](int number) {
        CollectingLineTerminal terminal(session.Library(), session.Line(), number);
        return run.on_terminal(terminal);
    });
}

}  // namespace
}  // namespace talvo::cli

int main(int argc, char** argv) {
    using namespace talvo::cli;
#ifndef _WIN32
    // A reader that goes away makes a write fail, not the tool die.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    try {
        Invocation run;
        CLI::App app{"talvo: drive card-payment and attendance terminals through the talvo library", "talvo"};
        BuildCli(app, run);
#ifndef _WIN32
        bool db = false;
        talvo::common::AddDbCommands(app, kDbDescription, std::make_shared<talvo::common::DbQuery>(),
                                     [&db] { db = true; }, true);
#endif
        FinishHelp(app);
        try {
            app.parse(argc, argv);
        } catch (const CLI::Success& e) {
            return app.exit(e);  // help, or done already (--version)
        } catch (const CLI::ParseError& e) {
            return UsageError(app, e);
        }
#ifndef _WIN32
        // The database is talvod's: it needs neither the library nor a line.
        if (db) return RunTalvodDb(argc, argv);
#endif
        if (run.local) return run.local();
        if (!run.on_terminal) return UsageError(app, CLI::ParseError("no subcommand to run", 2));
        return RunOnTerminal(run);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "talvo: %s\n", e.what());
        return 1;
    } catch (...) {
        std::fprintf(stderr, "talvo: an unexpected failure\n");
        return 1;
    }
}
