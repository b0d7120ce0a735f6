// A terminal driven through the line API on a line that is already open:
// results as error codes, money in cents.  The command-line tool runs it on
// a line of its own, the service on the line its worker holds; both say the
// same in the same words.  Collection is each side's own (a store file, the
// service's database), so CollectBatch and Ack are left to them.
#pragma once

#include <string>

#include "host_library.h"
#include "terminal.h"

namespace talvo::cli {

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

    // The library's code for the last command (TALVO_OK when it went through).
    int LastCode() const { return last_; }

protected:
    // 0 is success; otherwise the code's meaning.
    bool Check(int code);

    host::HostLibrary& lib_;
    talvo_line* line_;
    int terminal_;

private:
    int last_ = TALVO_OK;
};

}  // namespace talvo::cli
