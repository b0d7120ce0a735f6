#include "line_terminal.h"

#include <cstring>

namespace talvo::common {
namespace {

talvo_datetime ToFields(const DateTime& w) { return {w.year, w.month, w.day, w.hour, w.minute, w.second}; }
DateTime FromFields(const talvo_datetime& w) { return {w.year, w.month, w.day, w.hour, w.minute, w.second}; }

}  // namespace

bool LineTerminal::Check(int code) {
    last_ = code;
    if (code == TALVO_OK) return true;
    if (code == TALVO_E_REFUSED) return Fail("terminal " + std::to_string(terminal_) + " refused the command");
    std::string problem = std::string(lib_.talvo_strerror(code)) + " (error " + std::to_string(code) + ")";
    // What the line's device or connection said of it (a device server that
    // closed the connection, one that sends without pause), where it did.
    char why[512] = {};
    if (lib_.talvo_line_error_text != nullptr && lib_.talvo_line_error_text(line_, why, sizeof why) == TALVO_OK &&
        why[0] != '\0') {
        problem += "\n  " + std::string(why);
    }
    return Fail(problem);
}

bool LineTerminal::Status() { return Check(lib_.talvo_status(line_, terminal_)); }
bool LineTerminal::ClearMemory() { return Check(lib_.talvo_clear_memory(line_, terminal_)); }

bool LineTerminal::CmwRead(std::string& text) {
    char buffer[16] = {};
    if (!Check(lib_.talvo_cmw_read(line_, terminal_, buffer, sizeof buffer))) return false;
    text = buffer;
    return true;
}

bool LineTerminal::CmwSet(const std::string& text) { return Check(lib_.talvo_cmw_set(line_, terminal_, text.c_str())); }
bool LineTerminal::MdebRead(std::int32_t& cents) { return Check(lib_.talvo_mdeb_read(line_, terminal_, &cents)); }
bool LineTerminal::MdebSet(std::int32_t cents) { return Check(lib_.talvo_mdeb_set(line_, terminal_, cents)); }
bool LineTerminal::KeyCheck(const std::string& key) { return Check(lib_.talvo_key_check(line_, terminal_, key.c_str())); }
bool LineTerminal::KeySet(const std::string& key) { return Check(lib_.talvo_key_set(line_, terminal_, key.c_str())); }

bool LineTerminal::KeyFlags(std::array<int, 4>& flags) {
    std::int32_t f[4] = {};
    if (!Check(lib_.talvo_key_flags(line_, terminal_, f, 4))) return false;
    for (int i = 0; i < 4; ++i) flags[i] = f[i];
    return true;
}

bool LineTerminal::BlacklistAdd(const std::vector<std::string>& cards) {
    return Check(lib_.talvo_blacklist_add(line_, terminal_, Joined(cards).c_str(), cards.size()));
}

bool LineTerminal::BlacklistRemove(const std::string& card) {
    return Check(lib_.talvo_blacklist_remove(line_, terminal_, card.c_str()));
}

bool LineTerminal::BlacklistSet(unsigned position, const std::vector<std::string>& cards) {
    return Check(lib_.talvo_blacklist_set(line_, terminal_, position, Joined(cards).c_str(), cards.size()));
}

bool LineTerminal::BlacklistClear() { return Check(lib_.talvo_blacklist_clear(line_, terminal_)); }

bool LineTerminal::BlacklistRead(unsigned position, std::vector<std::string>& cards) {
    char buffer[6 * 32];
    std::size_t count = 0;
    if (!Check(lib_.talvo_blacklist_read(line_, terminal_, position, buffer, 32, &count))) return false;
    cards.clear();
    for (std::size_t i = 0; i < count; ++i) cards.emplace_back(buffer + 6 * i, 6);
    return true;
}

bool LineTerminal::MenuSet(const std::vector<std::int32_t>& cents) {
    return Check(lib_.talvo_menu_set(line_, terminal_, cents.data(), cents.size()));
}

bool LineTerminal::MenuRead(std::vector<std::int32_t>& cents) {
    std::int32_t buffer[255];
    std::size_t count = 0;
    if (!Check(lib_.talvo_menu_read(line_, terminal_, buffer, 255, &count))) return false;
    cents.assign(buffer, buffer + count);
    return true;
}

bool LineTerminal::MenuClear() { return Check(lib_.talvo_menu_clear(line_, terminal_)); }
bool LineTerminal::SubsidyClear() { return Check(lib_.talvo_subsidy_clear(line_, terminal_)); }
bool LineTerminal::SubsidyMax(std::int32_t cents) { return Check(lib_.talvo_subsidy_set_max(line_, terminal_, cents)); }

bool LineTerminal::SubsidyTime(const std::string& text) {
    return Check(lib_.talvo_subsidy_set_time(line_, terminal_, text.c_str()));
}

bool LineTerminal::SubsidyAdd(unsigned position, const std::vector<std::string>& entries) {
    return Check(lib_.talvo_subsidy_add(line_, terminal_, position, Joined(entries).c_str(), entries.size()));
}

bool LineTerminal::ReadClock(ClockReader read, DateTime& when) {
    talvo_datetime w{};
    if (!Check(read(line_, terminal_, &w))) return false;
    when = FromFields(w);
    return true;
}

bool LineTerminal::SetClock(ClockWriter write, const DateTime& when) {
    const talvo_datetime w = ToFields(when);
    return Check(write(line_, terminal_, &w));
}

bool LineTerminal::ClockRead(DateTime& when) { return ReadClock(lib_.talvo_clock_read, when); }
bool LineTerminal::ClockSet(const DateTime& when) { return SetClock(lib_.talvo_clock_set, when); }

bool LineTerminal::ZonesRead(Zones& zones) {
    talvo_time_of_day z[TALVO_ZONES] = {};
    if (!Check(lib_.talvo_zones_read(line_, terminal_, z, TALVO_ZONES))) return false;
    for (int k = 0; k < kZones; ++k) zones[k] = {z[k].hour, z[k].minute};
    return true;
}

bool LineTerminal::ZonesSet(const Zones& zones) {
    talvo_time_of_day z[TALVO_ZONES];
    for (int k = 0; k < kZones; ++k) z[k] = {zones[k].hour, zones[k].minute};
    return Check(lib_.talvo_zones_set(line_, terminal_, z, TALVO_ZONES));
}

bool LineTerminal::Lock() { return Check(lib_.talvo_lock(line_, terminal_)); }
bool LineTerminal::Unlock() { return Check(lib_.talvo_unlock(line_, terminal_)); }

bool LineTerminal::AttendZonesRead(AttendZones& zones) {
    talvo_attend_zone z[TALVO_ZONES] = {};
    if (!Check(lib_.talvo_attend_zones_read(line_, terminal_, z, TALVO_ZONES))) return false;
    for (int k = 0; k < kZones; ++k) {
        zones[k].start = {z[k].start.hour, z[k].start.minute};
        zones[k].end = {z[k].end.hour, z[k].end.minute};
        zones[k].code = std::string(z[k].code, ::strnlen(z[k].code, sizeof z[k].code));
    }
    return true;
}

bool LineTerminal::AttendZonesSet(const AttendZones& zones) {
    talvo_attend_zone z[TALVO_ZONES] = {};
    for (int k = 0; k < kZones; ++k) {
        z[k].start = {zones[k].start.hour, zones[k].start.minute};
        z[k].end = {zones[k].end.hour, zones[k].end.minute};
        std::memcpy(z[k].code, zones[k].code.data(), zones[k].code.size() < 2 ? zones[k].code.size() : 2);
    }
    return Check(lib_.talvo_attend_zones_set(line_, terminal_, z, TALVO_ZONES));
}

bool LineTerminal::ReasonRead(int number, std::string& text) {
    char buffer[16] = {};
    if (!Check(lib_.talvo_attend_reason_read(line_, terminal_, number, buffer, sizeof buffer))) return false;
    text = buffer;
    return true;
}

bool LineTerminal::ReasonSet(int number, const std::string& text) {
    return Check(lib_.talvo_attend_reason_set(line_, terminal_, number, text.c_str()));
}

bool LineTerminal::AttendClockRead(DateTime& when) { return ReadClock(lib_.talvo_attend_clock_read, when); }
bool LineTerminal::AttendClockSet(const DateTime& when) { return SetClock(lib_.talvo_attend_clock_set, when); }

}  // namespace talvo::common
