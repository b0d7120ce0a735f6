// The command line of talvo: its options, subcommands and help texts, and
// the man page and bash completion made from the same texts.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "terminal.h"

namespace talvo::cli {

// The tool speaks the shared words of tools/common: values and terminals.
using namespace talvo::common;

// The line and terminal options, before or after the subcommand.
struct Globals {
    std::string port;
    std::string line;
    std::uint32_t baud = 0;
    int echo_time = -1;
    int wait_time = -1;
    int repeat = 0;
    int filler = -1;
    // The terminals of the run, in the order given (-t 1,2,5), and the one
    // a subcommand talks to now.
    std::vector<int> terminals{1};
    int terminal = 1;
    bool trace = false;
    // Through a service that holds the line (talvod): its address, its
    // token as given, and the line's name there (optional).
    std::string service;
    std::string token;
    std::string token_file;
    std::string service_line;
};

struct Arguments;

// What the command line asked for, every value checked.
struct Invocation {
    Globals globals;
    std::string what;     // the subcommand, for messages: "cmw set"
    bool legacy = false;  // through the 43 exports, not the line API
    // Checks made before the library is loaded (a store file that cannot
    // take records); false with a one-line problem, exit status 2.
    std::function<bool(std::string&)> before;
    // A subcommand that talks to a terminal, or one that does not.
    std::function<int(Terminal&)> on_terminal;
    std::function<int()> local;
    std::shared_ptr<Arguments> arguments;
};

void BuildCli(CLI::App& app, Invocation& run);
// The closing texts of the help: called once every subcommand is added,
// it gives the top help the terms and the exit status, and every
// subcommand's help a pointer to them.
void FinishHelp(CLI::App& app);
// The terms the help explains, and the exit status, for the man page.
extern const char* const kTerms;
extern const char* const kExitStatus;
// A subcommand's words below the program: "cmw set", "legacy attend zones".
std::string CommandPath(const CLI::App* sub);
// Prints "talvo: ..." for a command line that cannot be run; returns 2.
int UsageError(CLI::App& app, const CLI::ParseError& e);
// Prints "talvo: WHAT: PROBLEM" ("talvo: WHAT: terminal N: PROBLEM" when
// the run has several terminals) and returns the terminal's exit status.
int Failed(const Invocation& run, const Terminal& t);
// printf for a subcommand's output: with several terminals in the run,
// every line begins with "terminal N: ".
void Print(const char* format, ...)
#if defined(__MINGW32__)
    __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)))
#elif defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// Calls `one` for each terminal of the run in turn, with its number (the
// caller makes a Terminal for it and runs the subcommand); the exit status
// is the highest of them, and a failure does not stop the others.
int OnEachTerminal(Invocation& run, const std::function<int(int number)>& one);

// The man page (roff) and the bash completion script of `app`.
std::string ManPage(CLI::App& app, const std::string& version);
std::string BashCompletion(CLI::App& app);

}  // namespace talvo::cli
