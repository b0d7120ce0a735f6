// The terminal driven through the line API: a line opened with the options
// of the command line (no settings file), results as error codes, money in
// cents, records fetched, stored and only then confirmed.
#pragma once

#include <string>

#include "cli.h"
#include "host_library.h"
#include "terminal.h"

namespace talvo::cli {

// One open line; closed with the object.
class LineSession {
public:
    LineSession() = default;
    ~LineSession();
    LineSession(const LineSession&) = delete;
    LineSession& operator=(const LineSession&) = delete;

    // Loads the library (without letting it open the settings file's port)
    // and opens the line; false with a one-line problem.
    bool Start(const Globals& globals, std::string& problem);
    host::HostLibrary& Library() { return lib_; }
    talvo_line* Line() const { return line_; }

private:
    host::HostLibrary lib_;
    talvo_line* line_ = nullptr;
};

class LineTerminal : public Terminal {
public:
    LineTerminal(host::HostLibrary& lib, talvo_line* line, int terminal) : lib_(lib), line_(line), terminal_(terminal) {}

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
    bool CollectBatch(const std::string& store, BatchResult& result) override;
    bool Ack(int& count, unsigned& mark) override;

private:
    // 0 is success; otherwise the code's meaning.
    bool Check(int code);
    // One collection by the library into the store file; false only when
    // the library cannot collect.  Damaged and unwanted records are shown.
    bool CollectOnce(const std::string& store, talvo_collect_result& result, int& code);

    host::HostLibrary& lib_;
    talvo_line* line_;
    int terminal_;
};

}  // namespace talvo::cli
