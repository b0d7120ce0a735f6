// The command line of talvo: its options, subcommands and help texts, and
// the man page and bash completion made from the same texts.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "terminal.h"

namespace talvo::cli {

// The line and terminal options, before or after the subcommand.
struct Globals {
    std::string port;
    std::string line;
    std::uint32_t baud = 0;
    int echo_time = -1;
    int wait_time = -1;
    int repeat = 0;
    int filler = -1;
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
// Prints "talvo: ..." for a command line that cannot be run; returns 2.
int UsageError(CLI::App& app, const CLI::ParseError& e);
// Prints "talvo: WHAT: PROBLEM" and returns the terminal's exit status.
int Failed(const Invocation& run, const Terminal& t);

// The man page (roff) and the bash completion script of `app`.
std::string ManPage(CLI::App& app, const std::string& version);
std::string BashCompletion(CLI::App& app);

}  // namespace talvo::cli
