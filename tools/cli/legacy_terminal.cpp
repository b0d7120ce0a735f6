#include "legacy_terminal.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "store_file.h"

namespace talvo::cli {
namespace {

bool Digits(const char* at, std::size_t n, int& out) {
    out = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (at[i] < '0' || at[i] > '9') return false;
        out = out * 10 + (at[i] - '0');
    }
    return true;
}

// "hh:mm" at `at`.
bool SlotTime(const char* at, TimeOfDay& t) { return Digits(at, 2, t.hour) && at[2] == ':' && Digits(at + 3, 2, t.minute); }

void PutSlotTime(char* at, const TimeOfDay& t) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", t.hour % 100, t.minute % 100);
    std::memcpy(at, text, 5);
}

// The entries the library logged since `offset` in ErrRec.doc, one tab each.
int LoggedSince(std::uintmax_t offset) {
    std::ifstream log("ErrRec.doc", std::ios::binary);
    if (!log) return 0;
    log.seekg(static_cast<std::streamoff>(offset));
    int tabs = 0;
    char c;
    while (log.get(c)) tabs += c == '\t' ? 1 : 0;
    return tabs;
}

std::uintmax_t LogSize() {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size("ErrRec.doc", ec);
    return ec ? 0 : size;
}

}  // namespace

const char* ErrorMeaning(int code) {
    switch (code) {
        case 0: return "the terminal refused the command";
        case -1: return "the port is not open, or nothing could be written";
        case -2: return "no valid reply frame (partial write, damaged or cut-short reply)";
        case -3: return "no reply within the time limits";
        case -4: return "no exchange has run";
        case -6: return "the reply did not hold what it announced";
        default: return "unknown error";
    }
}

bool LegacyTerminal::CheckError() {
    const int code = lib_.GetError();
    if (code == 0) return true;
    return Fail("error " + std::to_string(code) + " (" + ErrorMeaning(code) + ")");
}

bool LegacyTerminal::Check(int result) {
    if (result == 1) return true;
    const int code = lib_.GetError();
    if (code == 0) return Fail("terminal " + std::to_string(terminal_) + " refused the command");
    return Fail("error " + std::to_string(code) + " (" + ErrorMeaning(code) + ")");
}

bool LegacyTerminal::Status() { return Check(lib_.InqStat(terminal_)); }
bool LegacyTerminal::ClearMemory() { return Check(lib_.ClearRAM(terminal_)); }

bool LegacyTerminal::CmwRead(std::string& text) {
    char buffer[16] = {};
    if (!Check(lib_.ReadCMW(terminal_, buffer))) return false;
    text = buffer;
    return true;
}

bool LegacyTerminal::CmwSet(const std::string& text) { return Check(lib_.Setcmw(terminal_, text.c_str())); }

bool LegacyTerminal::MdebRead(std::int32_t& cents) {
    float amount = 0;
    if (!Check(lib_.Readmdeb(terminal_, &amount))) return false;
    cents = static_cast<std::int32_t>(CentsOf(amount));
    return true;
}

bool LegacyTerminal::MdebSet(std::int32_t cents) {
    return Check(lib_.Setmdeb(terminal_, static_cast<float>(cents) / 100.0f));
}

bool LegacyTerminal::KeyCheck(const std::string& key) { return Check(lib_.CheckKey(terminal_, 0, 0, key.c_str())); }
bool LegacyTerminal::KeySet(const std::string& key) { return Check(lib_.SetKey(terminal_, 0, 0, key.c_str())); }

bool LegacyTerminal::KeyFlags(std::array<int, 4>& flags) {
    int f[4] = {};
    if (!Check(lib_.Inqkey(terminal_, f))) return false;
    for (int i = 0; i < 4; ++i) flags[i] = f[i];
    return true;
}

bool LegacyTerminal::BlacklistAdd(const std::vector<std::string>& cards) {
    return Check(lib_.AddHMD(terminal_, Joined(cards).c_str()));
}

bool LegacyTerminal::BlacklistRemove(const std::string& card) { return Check(lib_.ReduHMD(terminal_, card.c_str())); }

bool LegacyTerminal::BlacklistSet(unsigned position, const std::vector<std::string>& cards) {
    const std::string all = Joined(cards);
    return Check(lib_.SetHMD(terminal_, static_cast<int>(position), all.c_str(), static_cast<int>(cards.size())));
}

bool LegacyTerminal::BlacklistClear() { return Check(lib_.ClearHMD(terminal_)); }

bool LegacyTerminal::BlacklistRead(unsigned position, std::vector<std::string>& cards) {
    char* data = nullptr;
    int count = 0;
    if (!Check(lib_.ReadHMD(terminal_, static_cast<int>(position), &data, &count))) return false;
    cards.clear();
    for (int i = 0; i < count && data != nullptr; ++i) cards.emplace_back(data + 6 * i, 6);
    host::FreeHostBlock(data);
    return true;
}

bool LegacyTerminal::MenuSet(const std::vector<std::int32_t>& cents) {
    std::vector<float> prices;
    for (std::int32_t c : cents) prices.push_back(static_cast<float>(c) / 100.0f);
    return Check(lib_.Setmenu(terminal_, prices.data(), static_cast<int>(prices.size())));
}

bool LegacyTerminal::MenuRead(std::vector<std::int32_t>& cents) {
    float* prices = nullptr;
    int count = 0;
    cents.clear();
    if (lib_.ReadMenu(terminal_, &prices, &count) != 1) {
        // ReadMenu gives 0 for an empty menu too; the exchange then succeeded.
        return CheckError();
    }
    for (int i = 0; i < count; ++i) cents.push_back(static_cast<std::int32_t>(CentsOf(prices[i])));
    host::FreeHostBlock(prices);
    return true;
}

bool LegacyTerminal::MenuClear() { return Check(lib_.Clearmenu(terminal_)); }
bool LegacyTerminal::SubsidyClear() { return Check(lib_.ClearList(terminal_)); }

bool LegacyTerminal::SubsidyMax(std::int32_t cents) {
    return Check(lib_.SetMaxbt(terminal_, static_cast<double>(cents) / 100.0));
}

bool LegacyTerminal::SubsidyTime(const std::string& text) { return Check(lib_.SetBtTime(terminal_, text.c_str())); }

bool LegacyTerminal::SubsidyAdd(unsigned position, const std::vector<std::string>& entries) {
    return Check(lib_.AddBtList(terminal_, static_cast<int>(position), Joined(entries).c_str()));
}

bool LegacyTerminal::ClockRead(DateTime& when) {
    char text[16] = {};
    if (!Check(lib_.ReadMachTime(terminal_, text))) return false;
    // "yy/mm/dd*hh:mm"
    DateTime t;
    if (std::strlen(text) != 14 || !Digits(text, 2, t.year) || !Digits(text + 3, 2, t.month) ||
        !Digits(text + 6, 2, t.day) || !Digits(text + 9, 2, t.hour) || !Digits(text + 12, 2, t.minute)) {
        return Fail("the terminal's clock reads '" + std::string(text) + "', which is not a date and time");
    }
    t.year += 2000;
    when = t;
    return true;
}

bool LegacyTerminal::ClockSet(const DateTime& when) {
    return Check(lib_.SetMachTime(terminal_, FormatDateTime(when, false).c_str()));
}

bool LegacyTerminal::ZonesRead(Zones& zones) {
    char* block = nullptr;
    lib_.ReadTimeZone(terminal_, &block);
    const bool ok = CheckError();
    bool readable = true;
    std::string bad;
    for (int k = 0; ok && block != nullptr && k < kZones; ++k) {
        if (!SlotTime(block + 15 * k, zones[k])) {
            readable = false;
            bad = std::string(block + 15 * k, 5);
        }
    }
    host::FreeHostBlock(block);
    if (!ok) return false;
    if (!readable) return Fail("the terminal sent a time zone '" + bad + "', which is not a time of day");
    return true;
}

bool LegacyTerminal::ZonesSet(const Zones& zones) {
    char slots[15 * kZones] = {};
    for (int k = 0; k < kZones; ++k) PutSlotTime(slots + 15 * k, zones[k]);
    lib_.SetTimeZone(terminal_, slots);
    return CheckError();
}

bool LegacyTerminal::Lock() { return Check(lib_.BlockMach(terminal_)); }
bool LegacyTerminal::Unlock() { return Check(lib_.UnBlockMach(terminal_)); }

bool LegacyTerminal::AttendZonesRead(AttendZones& zones) {
    char* block = nullptr;
    lib_.ReadAttendTimeZone(terminal_, &block);
    const bool ok = CheckError();
    bool readable = true;
    for (int k = 0; ok && block != nullptr && k < kZones; ++k) {
        const char* slot = block + 15 * k;
        readable = readable && SlotTime(slot, zones[k].start) && SlotTime(slot + 6, zones[k].end);
        zones[k].code = std::string(slot + 12, 2);
    }
    host::FreeHostBlock(block);
    if (!ok) return false;
    if (!readable) return Fail("the terminal sent an attendance zone that does not read as times of day");
    return true;
}

bool LegacyTerminal::AttendZonesSet(const AttendZones& zones) {
    char slots[15 * kZones] = {};
    for (int k = 0; k < kZones; ++k) {
        char* slot = slots + 15 * k;
        PutSlotTime(slot, zones[k].start);
        PutSlotTime(slot + 6, zones[k].end);
        slot[12] = zones[k].code.size() > 0 ? zones[k].code[0] : '0';
        slot[13] = zones[k].code.size() > 1 ? zones[k].code[1] : '0';
    }
    lib_.SetAttendTimeZone(terminal_, slots);
    return CheckError();
}

bool LegacyTerminal::ReasonRead(int number, std::string& text) {
    char buffer[16] = {};
    if (!Check(lib_.ReadAttendReason(terminal_, number, buffer))) return false;
    text = buffer;
    return true;
}

bool LegacyTerminal::ReasonSet(int number, const std::string& text) {
    char bytes[8];
    std::memset(bytes, 0x0F, sizeof bytes);  // 0x0F ends a shorter reason
    std::memcpy(bytes, text.data(), text.size() < 8 ? text.size() : 8);
    return Check(lib_.SetAttendReason(terminal_, number, bytes));
}

bool LegacyTerminal::AttendClockRead(DateTime& when) {
    char text[16] = {};
    if (!Check(lib_.ReadAttendTime(terminal_, text))) return false;
    DateTime t;
    if (!Digits(text, 4, t.year) || !Digits(text + 4, 2, t.month) || !Digits(text + 6, 2, t.day) ||
        !Digits(text + 8, 2, t.hour) || !Digits(text + 10, 2, t.minute) || !Digits(text + 12, 2, t.second)) {
        return Fail("the terminal's clock reads '" + std::string(text, 14) + "', which is not a date and time");
    }
    when = t;
    return true;
}

bool LegacyTerminal::AttendClockSet(const DateTime& when) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", when.year, when.month, when.day, when.hour,
                  when.minute, when.second);
    return Check(lib_.SetAttendTime(terminal_, text));
}

bool LegacyTerminal::CollectBatch(const std::string& store, BatchResult& result) {
    const std::int64_t before = StoreCount(lib_, store);
    const std::uintmax_t logged = LogSize();
    int count = 0;
    float total = 0;
    if (lib_.AutoReadJyzm(terminal_, &count, &total, store.c_str()) != 1) {
        if (lib_.GetError() != 0) return Check(0);
        // The exchange went well: the store refused the batch, or the
        // terminal refused or did not confirm it.
        std::string problem;
        if (!CheckStoreUsable(store, problem)) return Fail(problem, 2);
        return Fail("terminal " + std::to_string(terminal_) +
                    " refused the collection or did not confirm the batch; the batch stays on the terminal");
    }
    result.stored = count;
    result.received = count + LoggedSince(logged);
    // The total from the records as stored, to the cent; the sum of the
    // library's floats when they cannot be read back.
    result.total_cents = CentsOf(total);
    StoreReader reader(lib_);
    std::string problem;
    if (count > 0 && before >= 0 && reader.Open(store, problem) && reader.Seek(before, problem)) {
        std::int64_t cents = 0;
        for (auto block = reader.Next(problem); !block.empty(); block = reader.Next(problem)) {
            for (const talvo_record& r : block) cents += r.amount_cents;
        }
        if (problem.empty()) result.total_cents = cents;
    }
    return true;
}

bool LegacyTerminal::Ack(int& count, unsigned& mark) {
    unsigned short m = 0;
    if (!Check(lib_.Clearjyzm(terminal_, count, &m))) return false;
    mark = m;
    return true;
}

}  // namespace talvo::cli
