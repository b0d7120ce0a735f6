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

// --service URL: "http://host:port" (or https, or with a path the service is
// reached under); empty `problem` when good.
std::string CheckServiceUrl(const std::string& url);
// --line NAME: a line name as a service's configuration has it.
std::string CheckLineName(const std::string& name);

class ServiceTerminal final : public Terminal {
public:
    // The token comes from --token, --token-file or TALVOD_TOKEN.
    ServiceTerminal(const Globals& globals, std::string token);

    bool Status() override;
    bool ClearMemory() override;
    bool CmwRead(std::string& text) override;
    bool CmwSet(const std::string& text) override;
    bool MdebRead(std::int32_t& cents) override;
    bool MdebSet(std::int32_t cents) override;
    bool KeyCheck(const std::string& key) override;
    bool KeySet(const std::string& key) override;
    bool KeyFlags(std::array<int, 4>& flags) override;
    bool BlacklistAdd(const std::vector<std::string>& cards) override;
    bool BlacklistRemove(const std::string& card) override;
    bool BlacklistSet(unsigned position, const std::vector<std::string>& cards) override;
    bool BlacklistClear() override;
    bool BlacklistRead(unsigned position, std::vector<std::string>& cards) override;
    bool MenuSet(const std::vector<std::int32_t>& cents) override;
    bool MenuRead(std::vector<std::int32_t>& cents) override;
    bool MenuClear() override;
    bool SubsidyClear() override;
    bool SubsidyMax(std::int32_t cents) override;
    bool SubsidyTime(const std::string& text) override;
    bool SubsidyAdd(unsigned position, const std::vector<std::string>& entries) override;
    bool ClockRead(DateTime& when) override;
    bool ClockSet(const DateTime& when) override;
    bool ZonesRead(Zones& zones) override;
    bool ZonesSet(const Zones& zones) override;
    bool Lock() override;
    bool Unlock() override;
    bool AttendZonesRead(AttendZones& zones) override;
    bool AttendZonesSet(const AttendZones& zones) override;
    bool ReasonRead(int number, std::string& text) override;
    bool ReasonSet(int number, const std::string& text) override;
    bool AttendClockRead(DateTime& when) override;
    bool AttendClockSet(const DateTime& when) override;
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
