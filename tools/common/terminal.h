// What the subcommands ask of a terminal, with checked values in and typed
// values out.  One implementation drives the line API (talvo and, on the
// line it holds, talvod), one the 43 exports as a host program does, one
// sends each command to a talvod service; the subcommands do not know which
// one they talk to.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "values.h"

namespace talvo::cli {

// One batch of a collection.
struct BatchResult {
    int received = 0;            // raw records the terminal handed over
    int stored = 0;              // of them stored (the others were damaged or unwanted)
    std::int64_t total_cents = 0;
};

class Terminal {
public:
    virtual ~Terminal() = default;

    // Every operation returns true when the terminal accepted; otherwise
    // Problem() says why in one line and ExitStatus() is 1 (the line or the
    // terminal) or 2 (a file that cannot be used).
    virtual bool Status() = 0;
    virtual bool ClearMemory() = 0;
    virtual bool CmwRead(std::string& text) = 0;
    virtual bool CmwSet(const std::string& text) = 0;
    virtual bool MdebRead(std::int32_t& cents) = 0;
    virtual bool MdebSet(std::int32_t cents) = 0;
    virtual bool KeyCheck(const std::string& key) = 0;
    virtual bool KeySet(const std::string& key) = 0;
    virtual bool KeyFlags(std::array<int, 4>& flags) = 0;
    virtual bool BlacklistAdd(const std::vector<std::string>& cards) = 0;
    virtual bool BlacklistRemove(const std::string& card) = 0;
    virtual bool BlacklistSet(unsigned position, const std::vector<std::string>& cards) = 0;
    virtual bool BlacklistClear() = 0;
    virtual bool BlacklistRead(unsigned position, std::vector<std::string>& cards) = 0;
    virtual bool MenuSet(const std::vector<std::int32_t>& cents) = 0;
    // An empty menu reads as no prices, not as a failure.
    virtual bool MenuRead(std::vector<std::int32_t>& cents) = 0;
    virtual bool MenuClear() = 0;
    virtual bool SubsidyClear() = 0;
    virtual bool SubsidyMax(std::int32_t cents) = 0;
    virtual bool SubsidyTime(const std::string& text) = 0;
    virtual bool SubsidyAdd(unsigned position, const std::vector<std::string>& entries) = 0;
    virtual bool ClockRead(DateTime& when) = 0;
    virtual bool ClockSet(const DateTime& when) = 0;
    virtual bool ZonesRead(Zones& zones) = 0;
    virtual bool ZonesSet(const Zones& zones) = 0;
    virtual bool Lock() = 0;
    virtual bool Unlock() = 0;
    virtual bool AttendZonesRead(AttendZones& zones) = 0;
    virtual bool AttendZonesSet(const AttendZones& zones) = 0;
    virtual bool ReasonRead(int number, std::string& text) = 0;
    virtual bool ReasonSet(int number, const std::string& text) = 0;
    virtual bool AttendClockRead(DateTime& when) = 0;
    virtual bool AttendClockSet(const DateTime& when) = 0;
    // Collects one batch into the store file, which has been checked.
    virtual bool CollectBatch(const std::string& store, BatchResult& result) = 0;
    // Has the terminal clear records nobody stores: `count` in, the number
    // asked for (where the interface takes one); out, the number cleared (or
    // asked for, where the terminal does not tell).
    virtual bool Ack(int& count, unsigned& mark) = 0;

    const std::string& Problem() const { return problem_; }
    int ExitStatus() const { return exit_; }

protected:
    bool Fail(const std::string& problem, int exit = 1) {
        problem_ = problem;
        exit_ = exit;
        return false;
    }

private:
    std::string problem_;
    int exit_ = 1;
};

}  // namespace talvo::cli
