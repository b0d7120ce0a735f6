// The terminal driven through the 43 exports, as a host program drives it:
// the library loaded with a settings file, results read with GetError().
#pragma once

#include "host_library.h"
#include "terminal.h"

namespace talvo::cli {

// The meaning of a GetError code, for messages.
const char* ErrorMeaning(int code);

class LegacyTerminal : public Terminal {
public:
    LegacyTerminal(host::HostLibrary& lib, int terminal) : lib_(lib), terminal_(terminal) {}

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
    // 1 from an export is success; otherwise the reason from GetError().
    bool Check(int result);
    // For the exports that always return 1: GetError() tells.
    bool CheckError();

    host::HostLibrary& lib_;
    int terminal_;
};

}  // namespace talvo::cli
