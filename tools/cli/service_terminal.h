// A terminal on a line that a talvod service holds: each command goes to the
// service's interface, which runs it on its line in its own queue and
// answers with what was read, or the problem in the words the tool uses in
// direct use.  The subcommands print it as they print a line's answers.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "cli.h"
#include "terminal.h"


namespace talvo::cli {

// The tool speaks the shared words of tools/common: values and terminals.
using namespace talvo::common;

// --service URL: "http://host:port" (or https, or with a path the service is
// reached under); empty `problem` when good.
std::string CheckServiceUrl(const std::string& url);
// --line NAME: a line name as a service's configuration has it.
std::string CheckLineName(const std::string& name);

class ServiceTerminal final : public Terminal {
public:
    // The token comes from --token, --token-file or TALVOD_TOKEN.
    ServiceTerminal(const Globals& globals, std::string token);

    TALVO_TERMINAL_OVERRIDES
    // Records go into the service's store: `collect` runs CollectNow, and
    // `ack` is not run through a service.
    bool CollectBatch(const std::string& store, BatchResult& result) override;
    bool Ack(int& count, unsigned& mark) override;

    // The service collects the terminal into its database: the records and
    // rejected raw records it stored, and the line it is on.
    bool CollectNow(int& records, int& rejected, std::string& line);

private:
    // Sends {"op": op, arguments...} and keeps the answer in `answer_`.
    bool Run(const std::string& op, nlohmann::json arguments = nlohmann::json::object());
    const nlohmann::json& Values() const;
    // The payment and the attendance clock, read and set alike.
    bool ReadClock(const char* op, DateTime& when);
    bool SetClock(const char* op, const DateTime& when, bool seconds);

    std::string url_;
    std::string token_;
    std::string line_;
    int terminal_;
    nlohmann::json answer_;  // the last answer
};

// `collect` through a service: prints what the service stored.
int CollectThroughService(const Invocation& run, Terminal& t);

// The token for --service: --token, the first line of --token-file, or
// $TALVOD_TOKEN; false with a one-line problem.
bool ServiceToken(const Globals& g, std::string& token, std::string& problem);

// `card block|unblock CARD... [--reason R] [--scope S]` and `card show
// CARD`: the cards the service keeps blocked on its terminals (with
// --service only).
void AddCardCommand(CLI::App& app, Invocation& run);

}  // namespace talvo::cli
