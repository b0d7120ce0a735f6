// Serial device on Windows: the Win32 communications functions.
#include <windows.h>

#include <cstring>
#include <cstdint>

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

// What the library knows of each open device, by handle: an entry is made
// when a device opens and cleared when it closes, so a handle value used
// again starts afresh.  Plain data in a small table (a device that finds it
// full is simply not tracked: every switch is made, every time-out set),
// usable before and after the library's other static objects live.
struct DeviceState {
    HANDLE h = nullptr;  // null: a free entry
    RtsLine rts;
    std::uint32_t modemCalls = 0;
    DWORD readTimeout = 0;  // the total read time-out set last; 0: not known
};
constexpr std::size_t kTracked = 64;
constinit DeviceState devices[kTracked];

// Holds the one lock of the table (a slim reader/writer lock, constant-
// initialized) while it lives.
SRWLOCK devicesLock = SRWLOCK_INIT;
class Hold {
public:
    Hold() { ::AcquireSRWLockExclusive(&devicesLock); }
    ~Hold() { ::ReleaseSRWLockExclusive(&devicesLock); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
};

// Handles are multiples of four: the entries are searched from one that
// the handle picks.
std::size_t FirstEntry(HANDLE h) { return (reinterpret_cast<std::uintptr_t>(h) >> 2) % kTracked; }

DeviceState* Find(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    for (std::size_t i = 0, at = FirstEntry(h); i < kTracked; ++i, at = (at + 1) % kTracked) {
        if (devices[at].h == h) return &devices[at];
    }
    return nullptr;
}

void Forget(HANDLE h) {
    const Hold hold;
    if (DeviceState* d = Find(h)) *d = DeviceState{};
}

void Remember(HANDLE h) {
    Forget(h);
    const Hold hold;
    for (std::size_t i = 0, at = FirstEntry(h); i < kTracked; ++i, at = (at + 1) % kTracked) {
        if (devices[at].h == nullptr) {
            devices[at].h = h;
            return;
        }
    }
}

// Read time-outs that end a read when its bytes have come or `totalMs` has
// passed; a write gives up after 10 seconds.
bool SetReadTimeout(HANDLE h, DWORD totalMs) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = 0;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = totalMs;
    t.WriteTotalTimeoutMultiplier = 0;
    t.WriteTotalTimeoutConstant = 10000;
    const bool ok = ::SetCommTimeouts(h, &t) != FALSE;
    const Hold hold;
    if (DeviceState* d = Find(h)) d->readTimeout = ok ? totalMs : 0;
    return ok;
}

}  // namespace

Handle Open(const std::string& name) {
    HANDLE h = ::CreateFileA(DevicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return kNoDevice;
    Remember(h);
    return reinterpret_cast<Handle>(h);
}

bool Close(Handle h) {
    // Disarm the transmit-empty event first, so that no wait for it stays
    // pending on a handle that is going away.
    if (!RunningOnWine()) ::SetCommMask(AsHandle(h), 0);
    Forget(AsHandle(h));
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

bool SetTimeouts(Handle h) { return SetReadTimeout(AsHandle(h), 1); }

void Purge(Handle h) {
    ::PurgeComm(AsHandle(h), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
}

void SetRts(Handle h, bool raised) {
    const Hold hold;
    DeviceState* d = Find(AsHandle(h));
    if (d != nullptr && !d->rts.Needs(raised)) return;
    const BOOL ok = ::EscapeCommFunction(AsHandle(h), raised ? SETRTS : CLRRTS);
    if (d == nullptr) return;
    ++d->modemCalls;
    // A port without modem control (Wine's on a pseudo-terminal, some
    // virtual ports) refuses; that is no failure of the line, and it is not
    // asked again.
    if (ok) {
        d->rts.Switched(raised);
        return;
    }
    const DWORD error = ::GetLastError();
    if (error == ERROR_NOT_SUPPORTED || error == ERROR_INVALID_FUNCTION || error == ERROR_INVALID_PARAMETER) {
        d->rts.Refused();
    } else {
        d->rts.Failed();
    }
}

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
        // A port that refused modem control under Wine is a pseudo-terminal:
        // it has no transmitter to drain.
        {
            const Hold hold;
            const DeviceState* d = Find(AsHandle(h));
            if (d != nullptr && !d->rts.Needs(true) && !d->rts.Needs(false)) return;
        }
        ::FlushFileBuffers(AsHandle(h));
        return;
    }
    DWORD events = 0;
    ::WaitCommEvent(AsHandle(h), &events, nullptr);
}

std::uint32_t Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) {
    if (capacity == 0) {
        // A full buffer takes nothing more; let the caller's time run out.
        ::Sleep(waitMs);
        return 0;
    }
    const HANDLE port = AsHandle(h);
    // The driver waits for the first byte: a read of one byte ends as soon
    // as it has come, or when the time-out passes.  The time-out in force is
    // kept when it is no longer than asked and shorter by less than a step
    // of the tick counter (which makes the time left jump by such steps): a
    // read that ends that little early is followed by one for the rest.
    const DWORD wait = waitMs == 0 ? 1 : (waitMs > 60000 ? 60000 : waitMs);
    bool current = false;
    {
        const Hold hold;
        const DeviceState* d = Find(port);
        current = d != nullptr && d->readTimeout != 0 && d->readTimeout <= wait && wait - d->readTimeout < 16;
    }
    if (!current) SetReadTimeout(port, wait);
    DWORD got = 0;
    if (!::ReadFile(port, buffer, 1, &got, nullptr) || got == 0) return 0;
    // Then whatever else has arrived, which a read takes at once.
    DWORD errors = 0;
    COMSTAT status{};
    if (capacity > 1 && ::ClearCommError(port, &errors, &status) && status.cbInQue > 0) {
        DWORD more = 0;
        const DWORD room = capacity - 1;
        if (::ReadFile(port, buffer + 1, status.cbInQue < room ? status.cbInQue : room, &more, nullptr)) got += more;
    }
    return got;
}

long LastError() { return static_cast<long>(::GetLastError()); }

Failure LastFailure() {
    switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return Failure::kMissing;
        // A COM port that another program holds answers "access denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return Failure::kBusy;
        default:
            return Failure::kOther;
    }
}

std::string LastFailureText() {
    const DWORD code = ::GetLastError();
    char buffer[256];
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                               MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    while (n > 0 && (buffer[n - 1] == '\r' || buffer[n - 1] == '\n' || buffer[n - 1] == '.')) --n;
    return n > 0 ? std::string(buffer, n) : "error " + std::to_string(code);
}

std::uint32_t ModemControlCalls(Handle h) {
    const Hold hold;
    const DeviceState* d = Find(AsHandle(h));
    return d != nullptr ? d->modemCalls : 0;
}

}  // namespace talvo::platform::serial
