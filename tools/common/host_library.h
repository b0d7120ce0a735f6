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
#undef TALVO_DECLARE

private:
    void* handle_ = nullptr;
};

}  // namespace talvo::host
