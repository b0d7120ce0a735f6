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

namespace talvo::common {

// The commands every way of reaching a terminal carries out alike, as
// X(name, (parameters)): the interface declares them from this list and
// each implementation overrides them with TALVO_TERMINAL_OVERRIDES.  An
// empty menu reads as no prices (MenuRead), not as a failure.
#define TALVO_TERMINAL_COMMANDS(X) \
    X(Status, ()) \
    X(ClearMemory, ()) \
    X(CmwRead, (std::string& text)) \
    X(CmwSet, (const std::string& text)) \
    X(MdebRead, (std::int32_t& cents)) \
    X(MdebSet, (std::int32_t cents)) \
    X(KeyCheck, (const std::string& key)) \
    X(KeySet, (const std::string& key)) \
    X(KeyFlags, (std::array<int, 4>& flags)) \
    X(BlacklistAdd, (const std::vector<std::string>& cards)) \
    X(BlacklistRemove, (const std::string& card)) \
    X(BlacklistSet, (unsigned position, const std::vector<std::string>& cards)) \
    X(BlacklistClear, ()) \
    X(BlacklistRead, (unsigned position, std::vector<std::string>& cards)) \
    X(MenuSet, (const std::vector<std::int32_t>& cents)) \
    X(MenuRead, (std::vector<std::int32_t>& cents)) \
    X(MenuClear, ()) \
    X(SubsidyClear, ()) \
    X(SubsidyMax, (std::int32_t cents)) \
    X(SubsidyTime, (const std::string& text)) \
    X(SubsidyAdd, (unsigned position, const std::vector<std::string>& entries)) \
    X(ClockRead, (DateTime& when)) \
    X(ClockSet, (const DateTime& when)) \
    X(ZonesRead, (Zones& zones)) \
    X(ZonesSet, (const Zones& zones)) \
    X(Lock, ()) \
    X(Unlock, ()) \
    X(AttendZonesRead, (AttendZones& zones)) \
    X(AttendZonesSet, (const AttendZones& zones)) \
    X(ReasonRead, (int number, std::string& text)) \
    X(ReasonSet, (int number, const std::string& text)) \
    X(AttendClockRead, (DateTime& when)) \
    X(AttendClockSet, (const DateTime& when))

#define TALVO_TERMINAL_PURE(name, parameters) virtual bool name parameters = 0;
#define TALVO_TERMINAL_OVERRIDE(name, parameters) bool name parameters override;
#define TALVO_TERMINAL_OVERRIDES TALVO_TERMINAL_COMMANDS(TALVO_TERMINAL_OVERRIDE)

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
    TALVO_TERMINAL_COMMANDS(TALVO_TERMINAL_PURE)
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

}  // namespace talvo::common
