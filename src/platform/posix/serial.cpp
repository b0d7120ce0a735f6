// Serial device on Linux: termios, modem-control ioctls and poll.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace talvo::platform::serial {
namespace {

thread_local long lastError = 0;
thread_local int lastErrno = 0;

// What the library knows of each open device, by descriptor: an entry is
// made when a device opens and cleared when it closes, so a descriptor
// number used again starts afresh.  Plain data in a table indexed by the
// descriptor (a device on a descriptor beyond it is simply not tracked:
// every switch is made), usable before and after the library's other
// static objects live.
struct DeviceState {
    bool open = false;
    bool pseudoTerminal = false;
    RtsLine rts;
    std::uint32_t modemCalls = 0;
};
constexpr int kTracked = 1024;
constinit std::mutex devicesLock;
constinit DeviceState devices[kTracked];

DeviceState* Find(int fd) {
    if (fd < 0 || fd >= kTracked || !devices[fd].open) return nullptr;
    return &devices[fd];
}

void Forget(int fd) {
    std::lock_guard<std::mutex> hold(devicesLock);
    if (fd >= 0 && fd < kTracked) devices[fd] = DeviceState{};
}

void Remember(int fd) {
    if (fd < 0 || fd >= kTracked) return;
    DeviceState d;
    d.open = true;
    // The slave side of a pseudo-terminal (character devices 136-143) has
    // no transmitter: its output is with the other side once written.
    struct stat st {};
    d.pseudoTerminal =
        ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    std::lock_guard<std::mutex> hold(devicesLock);
    devices[fd] = d;
}

// Codes the port-error message table understands (the 16-bit Windows
// communications errors); anything else is reported as the positive errno.
long MapOpenError(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return -1;  // no such device
        case EBUSY:
        case EWOULDBLOCK:
            return -10;  // held by another user
        case EACCES:
        case EPERM:
        case ENOTTY:
            return -3;  // cannot be opened
        default:
            return err;
    }
}

std::string DevicePath(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
        (name[2] == 'M' || name[2] == 'm')) {
        bool digits = true;
        for (std::size_t i = 3; i < name.size(); ++i) digits = digits && name[i] >= '0' && name[i] <= '9';
        if (digits) {
            long n = std::strtol(name.c_str() + 3, nullptr, 10);
            if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return "/dev/" + name;
}

struct SpeedEntry {
    std::uint32_t baud;
    speed_t code;
};
constexpr SpeedEntry kSpeeds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
    {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
    {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool SpeedCode(std::uint32_t baud, speed_t& code) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.baud == baud) {
            code = e.code;
            return true;
        }
    }
    return false;
}

// The mode command's short forms of the common rates.
std::uint32_t ModeBaud(std::uint32_t v) {
    switch (v) {
        case 11: return 110;
        case 15: return 150;
        case 30: return 300;
        case 60: return 600;
        case 12: return 1200;
        case 24: return 2400;
        case 48: return 4800;
        case 96: return 9600;
        case 19: return 19200;
        default: return v;
    }
}

bool ParseUnsigned(const std::string& s, std::uint32_t& out) {
    if (s.empty() || s.size() > 9) return false;
    std::uint32_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<std::uint32_t>(c - '0');
    }
    out = v;
    return true;
}

bool ParseParity(const std::string& s, char& out) {
    if (s.size() != 1) return false;
    char c = static_cast<char>(s[0] >= 'a' && s[0] <= 'z' ? s[0] - 32 : s[0]);
    if (std::strchr("NEOMS", c) == nullptr) return false;
    out = c;
    return true;
}

bool ParseStop(const std::string& s, std::uint8_t& out) {
    if (s == "1") out = 1;
    else if (s == "2") out = 2;
    else if (s == "1.5") out = 15;
    else return false;
    return true;
}

bool WaitFor(int fd, short events, int timeoutMs) {
    struct pollfd p {};
    p.fd = fd;
    p.events = events;
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & events) != 0;
}

}  // namespace

Handle Open(const std::string& name) {
    std::string path = DevicePath(name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastErrno = errno;
        lastError = MapOpenError(lastErrno);
        return kNoDevice;
    }
    if (!::isatty(fd)) {
        lastErrno = ENOTTY;
        lastError = MapOpenError(lastErrno);
        ::close(fd);
        return kNoDevice;
    }
    // Exclusive use: an advisory lock that every opener of this library
    // respects (root included), and the tty's own exclusive mode.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        lastErrno = EBUSY;
        lastError = MapOpenError(lastErrno);
        ::close(fd);
        return kNoDevice;
    }
    ::ioctl(fd, TIOCEXCL);
    Remember(fd);
    return fd;
}

bool Close(Handle h) {
    if (h < 0) return false;
    int fd = static_cast<int>(h);
    Forget(fd);
    ::ioctl(fd, TIOCNXCL);
    if (::close(fd) != 0) {
        lastError = lastErrno = errno;
        return false;
    }
    return true;
}

bool SetQueues(Handle h, std::uint32_t, std::uint32_t) { return h >= 0; }

static bool ParseMode(const std::string& modeText, LineMode& mode) {
    LineMode m;
    std::string text = modeText;
    // Skip the device name ("COM2:") in front of the parameters.
    std::size_t eq = text.find('=');
    std::size_t colon = text.rfind(':', eq == std::string::npos ? text.size() : eq);
    if (colon != std::string::npos) text = text.substr(colon + 1);

    bool any = false;
    if (text.find('=') == std::string::npos) {
        // Old form: baud[,parity[,data[,stop]]]
        std::string fields[4];
        int n = 0;
        std::string cur;
        for (char c : text) {
            if (c == ' ' || c == '\t') continue;
            if (c == ',') {
                if (n >= 3) return false;
                fields[n++] = cur;
                cur.clear();
            } else {
                cur += c;
            }
        }
        fields[n++] = cur;
        std::uint32_t v = 0;
        if (!ParseUnsigned(fields[0], v)) return false;
        m.baud = ModeBaud(v);
        if (n > 1 && !fields[1].empty() && !ParseParity(fields[1], m.parity)) return false;
        if (n > 2 && !fields[2].empty()) {
            if (!ParseUnsigned(fields[2], v) || v < 5 || v > 8) return false;
            m.dataBits = static_cast<std::uint8_t>(v);
        }
        if (n > 3 && !fields[3].empty() && !ParseStop(fields[3], m.stopBits)) return false;
        any = true;
    } else {
        std::size_t i = 0;
        while (i < text.size()) {
            while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
            if (i >= text.size()) break;
            std::size_t end = i;
            while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
            std::string item = text.substr(i, end - i);
            i = end;
            std::size_t e = item.find('=');
            if (e == std::string::npos) return false;
            std::string key = item.substr(0, e);
            std::string value = item.substr(e + 1);
            for (char& c : key) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
            std::uint32_t v = 0;
            if (key == "baud") {
                if (!ParseUnsigned(value, v)) return false;
                m.baud = ModeBaud(v);
            } else if (key == "parity") {
                if (!ParseParity(value, m.parity)) return false;
            } else if (key == "data") {
                if (!ParseUnsigned(value, v) || v < 5 || v > 8) return false;
                m.dataBits = static_cast<std::uint8_t>(v);
            } else if (key == "stop") {
                if (!ParseStop(value, m.stopBits)) return false;
            } else if (key == "to" || key == "xon" || key == "odsr" || key == "octs" || key == "dtr" ||
                       key == "rts" || key == "idsr") {
                // Accepted by the mode syntax; the library does not use them.
            } else {
                return false;
            }
            any = true;
        }
    }
    if (!any) return false;
    m.valid = true;
    mode = m;
    return true;
}

bool BuildMode(const std::string& modeText, LineMode& mode) {
    if (ParseMode(modeText, mode)) return true;
    lastError = lastErrno = EINVAL;
    return false;
}

bool ApplyMode(Handle h, const LineMode& mode) {
    if (h < 0 || !mode.valid) return false;
    int fd = static_cast<int>(h);
    speed_t speed = B0;
    if (!SpeedCode(mode.baud, speed) || mode.stopBits == 15) {
        lastError = lastErrno = EINVAL;
        return false;
    }
    struct termios t {};
    if (::tcgetattr(fd, &t) != 0) {
        lastError = lastErrno = errno;
        return false;
    }
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    t.c_cflag &= ~CMSPAR;
#endif
    switch (mode.dataBits) {
        case 5: t.c_cflag |= CS5; break;
        case 6: t.c_cflag |= CS6; break;
        case 7: t.c_cflag |= CS7; break;
        default: t.c_cflag |= CS8; break;
    }
    switch (mode.parity) {
        case 'E': t.c_cflag |= PARENB; break;
        case 'O': t.c_cflag |= PARENB | PARODD; break;
#ifdef CMSPAR
        case 'M': t.c_cflag |= PARENB | PARODD | CMSPAR; break;
        case 'S': t.c_cflag |= PARENB | CMSPAR; break;
#endif
        default: break;
    }
    if (mode.stopBits == 2) t.c_cflag |= CSTOPB;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(fd, TCSANOW, &t) != 0) {
        lastError = lastErrno = errno;
        return false;
    }
    return true;
}

bool SetTimeouts(Handle h) { return h >= 0; }

void Purge(Handle h) {
    if (h >= 0) ::tcflush(static_cast<int>(h), TCIOFLUSH);
}

void SetRts(Handle h, bool raised) {
    if (h < 0) return;
    const int fd = static_cast<int>(h);
    std::lock_guard<std::mutex> hold(devicesLock);
    DeviceState* d = Find(fd);
    if (d != nullptr && !d->rts.Needs(raised)) return;
    int bits = TIOCM_RTS;
    const int r = ::ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits);
    if (d == nullptr) return;
    ++d->modemCalls;
    // A pseudo-terminal refuses modem control (ENOTTY); that is no failure
    // of the line, as on Win32, and it is not asked again.
    if (r == 0) d->rts.Switched(raised);
    else if (errno == ENOTTY || errno == EINVAL) d->rts.Refused();
    else d->rts.Failed();
}

void ArmTransmitEmpty(Handle) {}

std::uint32_t Write(Handle h, const unsigned char* data, std::uint32_t count) {
    if (h < 0) return 0;
    int fd = static_cast<int>(h);
    std::uint32_t written = 0;
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (written < count) {
        ssize_t r = ::write(fd, data + written, count - written);
        if (r > 0) {
            written += static_cast<std::uint32_t>(r);
            continue;
        }
        if (r < 0 && errno != EAGAIN && errno != EINTR) {
            lastError = lastErrno = errno;
            break;
        }
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= 10000) break;  // the write time-out
        WaitFor(fd, POLLOUT, static_cast<int>(10000 - elapsed));
    }
    return written;
}

void WaitTransmitEmpty(Handle h) {
    if (h < 0) return;
    const int fd = static_cast<int>(h);
    {
        std::lock_guard<std::mutex> hold(devicesLock);
        const DeviceState* d = Find(fd);
        if (d != nullptr && d->pseudoTerminal) return;  // nothing to wait for
    }
    ::tcdrain(fd);
}

std::uint32_t Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs) {
    if (h < 0) return 0;
    int fd = static_cast<int>(h);
    auto pause = [](std::uint32_t ms) {
        struct timespec ts {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        ::nanosleep(&ts, nullptr);
    };
    if (capacity == 0) {
        // A full buffer takes nothing more; let the caller's time run out.
        pause(waitMs);
        return 0;
    }
    // The reply is awaited in poll, then taken with one read: the bytes are
    // never there before the wait (the request has only just gone out).
    struct pollfd p {};
    p.fd = fd;
    p.events = POLLIN;
    int pr;
    do {
        pr = ::poll(&p, 1, static_cast<int>(waitMs > 60000 ? 60000 : waitMs));
    } while (pr < 0 && errno == EINTR);
    if (pr <= 0) return 0;
    ssize_t r = -1;
    if ((p.revents & POLLIN) != 0) {
        do {
            r = ::read(fd, buffer, capacity);
        } while (r < 0 && errno == EINTR);
    }
    if (r > 0) return static_cast<std::uint32_t>(r);
    if (r < 0 && errno == EAGAIN) return 0;
    // Hang-up or an error without data (the other end closed): wait as a
    // silent line would rather than spinning on it.
    pause(waitMs > 20 ? 20 : waitMs);
    return 0;
}

long LastError() { return lastError; }

Failure LastFailure() {
    switch (lastErrno) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case ENOTDIR:
            return Failure::kMissing;
        case EBUSY:
        case EWOULDBLOCK:
            return Failure::kBusy;
        case EACCES:
        case EPERM:
            return Failure::kAccess;
        default:
            return Failure::kOther;
    }
}

std::string LastFailureText() {
    if (lastErrno == ENOTTY) return "not a serial device";
    if (lastErrno == EBUSY || lastErrno == EWOULDBLOCK) return "in use by another program";
    char buffer[256];
    // The GNU strerror_r returns its text, which may not be in the buffer.
    return ::strerror_r(lastErrno, buffer, sizeof buffer);
}

std::uint32_t ModemControlCalls(Handle h) {
    std::lock_guard<std::mutex> hold(devicesLock);
    const DeviceState* d = Find(static_cast<int>(h));
    return d != nullptr ? d->modemCalls : 0;
}

}  // namespace talvo::platform::serial
