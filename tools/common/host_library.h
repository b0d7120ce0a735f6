// The library loaded at run time, as a host program loads it, with every
// export looked up by name.  Used by the command-line tool and the tests.
#pragma once

#include <cstddef>
#include <string>

#include "talvo.h"

namespace talvo::host {

#define TALVO_EXPORTS(X) \
    X(InqStat) X(AddHMD) X(CheckKey) X(ClearHMD) X(Clearjyzm) \
    X(Clearmenu) X(ClearRAM) X(Inqkey) X(ReadCMW) X(ReadHMD) \
    X(Readmdeb) X(ReduHMD) X(Setcmw) X(SetHMD) X(SetKey) \
    X(Setmdeb) X(Setmenu) X(ReadMenu) X(GetError) X(SetFloatInStr) \
    X(AutoReadJyzm) X(IsFileExist) X(SetDisplayRecp) X(SetDisplaySend) X(GetDisplayRecp) \
    X(GetDisplaySend) X(ReadTimeZone) X(SetTimeZone) X(ReadMachTime) X(SetMachTime) \
    X(BlockMach) X(UnBlockMach) X(SetAttendTimeZone) X(ReadAttendTimeZone) X(SperateJyzmTxt) \
    X(SetAttendReason) X(ReadAttendReason) X(SetAttendTime) X(ReadAttendTime) X(ClearList) \
    X(SetMaxbt) X(SetBtTime) X(AddBtList)

// The line API, looked up the same way.
#define TALVO_LINE_EXPORTS(X) \
    X(talvo_strerror) X(talvo_version) X(talvo_version_number) X(talvo_line_options_init) \
    X(talvo_line_open) X(talvo_line_close) X(talvo_line_last_error) X(talvo_line_set_trace) \
    X(talvo_status) X(talvo_clear_memory) X(talvo_cmw_read) X(talvo_cmw_set) \
    X(talvo_mdeb_read) X(talvo_mdeb_set) X(talvo_key_check) X(talvo_key_set) \
    X(talvo_key_flags) X(talvo_blacklist_add) X(talvo_blacklist_remove) X(talvo_blacklist_set) \
    X(talvo_blacklist_clear) X(talvo_blacklist_read) X(talvo_menu_set) X(talvo_menu_read) \
    X(talvo_menu_clear) X(talvo_subsidy_clear) X(talvo_subsidy_set_max) X(talvo_subsidy_set_time) \
    X(talvo_subsidy_add) X(talvo_clock_read) X(talvo_clock_set) X(talvo_zones_read) \
    X(talvo_zones_set) X(talvo_lock) X(talvo_unlock) X(talvo_attend_zones_read) \
    X(talvo_attend_zones_set) X(talvo_attend_reason_set) X(talvo_attend_reason_read) X(talvo_attend_clock_read) \
    X(talvo_attend_clock_set) X(talvo_records_fetch) X(talvo_records_confirm) X(talvo_records_collect) \
    X(talvo_record_to_store) X(talvo_record_from_store) X(talvo_store_open) X(talvo_store_close) \
    X(talvo_store_count) X(talvo_store_read) X(talvo_store_append) X(talvo_line_error_text) \
    X(talvo_records_collect_into) X(talvo_batch_same) X(talvo_device_check) \
    X(talvo_line_options_init_size)

// Releases a block the library handed to the host, the host's way: on
// Windows GlobalUnlock and GlobalFree of its handle, elsewhere free().
void FreeHostBlock(void* block);
// The block's size where the platform can tell; 0 elsewhere.
std::size_t HostBlockSize(void* block);

class HostLibrary {
public:
    HostLibrary() = default;
    ~HostLibrary() { Unload(); }
    HostLibrary(const HostLibrary&) = delete;
    HostLibrary& operator=(const HostLibrary&) = delete;

    // Loads the library from `path`; false when the platform refused the
    // load.  `error` receives GetLastError on Windows, 1 elsewhere, and
    // `message` a readable reason.
    bool Load(const std::string& path, unsigned long* error = nullptr, std::string* message = nullptr);
    void Unload();
    bool Loaded() const { return handle_ != nullptr; }
    void* Symbol(const char* name) const;
    void* Ordinal(int ordinal) const;  // Windows only; null elsewhere

#define TALVO_DECLARE(name) decltype(&::name) name = nullptr;
    TALVO_EXPORTS(TALVO_DECLARE)
    TALVO_LINE_EXPORTS(TALVO_DECLARE)
#undef TALVO_DECLARE

private:
    void* handle_ = nullptr;
};

}  // namespace talvo::host
