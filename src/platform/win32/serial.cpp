// Serial device on Windows: the Win32 communications functions.
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

namespace talvo::platform::serial {
namespace {

HANDLE AsHandle(Handle h) { return reinterpret_cast<HANDLE>(h); }

// Wine's WaitCommEvent on a handle opened for plain blocking I/O can return
// before the event with the wait still pending; its late completion then
// writes into a stack frame that has gone and corrupts the process.  Under
// Wine the transmit-empty wait therefore drains the output instead, which
// Wine maps onto the host's tcdrain.
bool RunningOnWine() {
    static const bool wine = [] {
        HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
        return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return wine;
}

// COM10 and above open only through the device namespace; the prefix works
// for COM1 to COM9 as well.
std::string DevicePath(const std::string& name) {
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm')) {
        bool digits = true;
        for (std::size_t i = 3; i < name.size(); ++i) digits = digits && name[i] >= '0' && name[i] <= '9';
        if (digits) return "\\\\.\\" + name;
    }
    return name;
}

static_assert(sizeof(DCB) <= sizeof(LineMode{}.native), "device control block must fit");

}  // namespace

Handle Open(const std::string& name) {
    HANDLE h = ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoDevice;
    return reinterpret_cast<Handle>(h);
}

bool Close(Handle h) {
    // Disarm the transmit-empty event first, so that no wait for it stays
    // pending on a handle that is going away.
    if (!RunningOnWine()) ::SetCommMask(AsHandle(h), 0);
    return ::CloseHandle(AsHandle(h)) != FALSE;
}

bool SetQueues(Handle h, std::uint32_t inQueue, std::uint32_t outQueue) {
    return ::SetupComm(AsHandle(h), inQueue, outQueue) != FALSE;
}

bool BuildMode(const std::string& modeText, LineMode& mode) {
    DCB dcb;
    std::memcpy(&dcb, mode.native, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!::BuildCommDCBA(modeText.c_str(), &dcb)) return false;
    std::memcpy(mode.native, &dcb, sizeof dcb);
    mode.baud = dcb.BaudRate;
    mode.dataBits = dcb.ByteSize;
    mode.valid = true;
    return true;
}

bool ApplyMode(Handle h, const LineMode& mode) {
    DCB dcb;
    std::memcpy(&dcb, mode.native, sizeof dcb);
    return ::SetCommState(AsHandle(h), &dcb) != FALSE;
}

bool SetTimeouts(Handle h) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 1;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 1;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 10000;
    return ::SetCommTimeouts(AsHandle(h), &t) != FALSE;
}

void Purge(Handle h) {
    ::PurgeComm(AsHandle(h), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void SetRts(Handle h, bool raised) { ::EscapeCommFunction(AsHandle(h), raised ? SETRTS : CLRRTS); }

void ArmTransmitEmpty(Handle h) {
    if (!RunningOnWine()) ::SetCommMask(AsHandle(h), EV_TXEMPTY);
}

std::uint32_t Write(Handle h, const unsigned char* data, std::uint32_t count) {
    DWORD written = 0;
    if (!::WriteFile(AsHandle(h), data, count, &written, nullptr)) return 0;
    return written;
}

void WaitTransmitEmpty(Handle h) {
    if (RunningOnWine()) {
        ::FlushFileBuffers(AsHandle(h));
        return;
    }
    DWORD events = 0;
    ::WaitCommEvent(AsHandle(h), &events, nullptr);
}

std::uint32_t Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t) {
    DWORD got = 0;
    if (!::ReadFile(AsHandle(h), buffer, capacity, &got, nullptr)) return 0;
    return got;
}

long LastError() { return static_cast<long>(::GetLastError()); }

}  // namespace talvo::platform::serial
