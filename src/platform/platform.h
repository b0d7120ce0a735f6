// Operating-system operations used by the portable core.
//
// Each group below is one narrow interface with one implementation per
// platform (src/platform/win32 and src/platform/posix).  The core includes
// this header only; it never sees a system header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace talvo::platform {

// ---------------------------------------------------------------------------
// Settings file in the private-profile format (sections, key=value lines).
namespace profile {
// The directory that holds the settings file, without a trailing separator.
// On Windows the Windows directory; elsewhere a per-user configuration
// directory (see the posix implementation).
std::string WindowsDirectory();
// The separator placed between the directory and the file name.
char PathSeparator();
bool FileExists(const std::string& path);
// Reads a text key; `def` when the key is missing.  At most `capacity - 1`
// characters are returned, as the Win32 reader does for a buffer of that size.
std::string ReadString(const std::string& section, const std::string& key, const std::string& def,
                       const std::string& path, std::size_t capacity);
// Reads an integer key as the Win32 reader does (unsigned 32-bit result).
std::uint32_t ReadInt(const std::string& section, const std::string& key, std::uint32_t def,
                      const std::string& path);
// Creates the file, the section or the key as needed; keeps every other line.
bool WriteString(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& path);
// The whole file in one open and one read, as text in the platform's own
// encoding: a file with a UTF-8 or UTF-16 byte-order mark is converted (to
// the ANSI code page on Windows, to UTF-8 elsewhere) and loses the mark.
// False when the file does not exist; a file that exists but cannot be read
// gives an empty text.
bool ReadWhole(const std::string& path, std::string& text);

// What a file looked like without opening it: its identity, size and times.
struct FileStamp {
    std::uint64_t identity[2] = {0, 0};
    std::uint64_t size = 0;
    std::uint64_t times[2] = {0, 0};
    bool operator==(const FileStamp&) const = default;
};
// Takes the stamp of a file that a stamp can vouch for: two equal stamps
// then mean the same content.  False when the file is missing, when it was
// changed in the last two seconds (file times may be as coarse as that), or
// when it lies on a network file system, whose clients may cache a file's
// attributes while it changes on the server.
bool Stamp(const std::string& path, FileStamp& stamp);
// Gives back what the stamps keep between calls (a descriptor held on the
// file, where the platform holds one); the library's unload step calls it.
void ReleaseStamps();
}  // namespace profile

// ---------------------------------------------------------------------------
// The serial device.  A handle is an opaque integer; kNoDevice means none.
namespace serial {
using Handle = std::intptr_t;
inline constexpr Handle kNoDevice = -1;

// Line parameters built from a mode text ("COM2: baud=4800 parity=N ...").
struct LineMode {
    std::uint32_t baud = 0;
    char parity = 'N';        // N, E, O, M, S
    std::uint8_t dataBits = 8;
    std::uint8_t stopBits = 1;  // 1 or 2 (15 means 1.5)
    bool valid = false;
    // Room for the platform's own device control block, filled by BuildMode.
    alignas(8) unsigned char native[96] = {};
};

// Opens the device for exclusive use.  Returns kNoDevice on failure.
Handle Open(const std::string& name);
bool Close(Handle h);
bool SetQueues(Handle h, std::uint32_t inQueue, std::uint32_t outQueue);
bool BuildMode(const std::string& modeText, LineMode& mode);
bool ApplyMode(Handle h, const LineMode& mode);
// Read time-outs for Read below; a write gives up after 10 seconds.
bool SetTimeouts(Handle h);
void Purge(Handle h);
// Switches RTS.  A switch to the state the line is in already is not made
// again, and a device that refused modem control (a pseudo-terminal) is not
// asked again until it is opened anew.
void SetRts(Handle h, bool raised);
void ArmTransmitEmpty(Handle h);
// Writes all bytes or as many as the write time-out allows; 0 on failure.
std::uint32_t Write(Handle h, const unsigned char* data, std::uint32_t count);
// Blocks until the output queue has left the transmitter.
void WaitTransmitEmpty(Handle h);
// Reads at most `capacity` bytes: waits in the driver up to `waitMs` for
// the first byte and returns as soon as bytes have come, with all that have.
std::uint32_t Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs);
// The platform's code of the last failed call.
long LastError();
// What kind of failure the last failed call was, and the system's own words
// for it ("No such file or directory").  Asked right after the failure.
enum class Failure { kOther, kMissing, kBusy, kAccess };
Failure LastFailure();
std::string LastFailureText();
// Modem-control calls made on the device since it was opened.
std::uint32_t ModemControlCalls(Handle h);

// What is known of a device's RTS line, kept per open device by SetRts.
class RtsLine {
public:
    // Whether a switch to `raised` would change anything.
    bool Needs(bool raised) const { return state_ != kRefused && state_ != (raised ? kRaised : kLowered); }
    void Switched(bool raised) { state_ = raised ? kRaised : kLowered; }
    // The device has no modem control: no switch is needed ever again.
    void Refused() { state_ = kRefused; }
    // A switch failed for another reason: the state is unknown again.
    void Failed() { state_ = kUnknown; }

private:
    enum State : unsigned char { kUnknown, kRaised, kLowered, kRefused };
    State state_ = kUnknown;
};
}  // namespace serial

// ---------------------------------------------------------------------------
// TCP connections to a device server.  A handle is an opaque integer;
// kNoSocket means none.  Sockets are non-blocking: every wait below has its
// own limit.
namespace net {
using Handle = std::intptr_t;
inline constexpr Handle kNoSocket = -1;

// Why a connection was not made: the host did not resolve, or no address
// took the connection in time (refused, unreachable, silent).
enum class Failure { kNone, kResolve, kConnect };

// Resolves `host` (a name, an IPv4 address or an IPv6 address without
// brackets) and connects to its addresses in turn until one answers, all
// within `limitMs`.  The connection has no send delay (a request leaves as
// one segment), keepalive probes and a limit on unacknowledged data, so
// that a device server that went away is noticed within seconds.  On
// failure kNoSocket, with `failure` and `reason` (the system's words) set.
Handle Connect(const std::string& host, std::uint16_t port, std::uint32_t limitMs, Failure& failure,
               std::string& reason);
void Close(Handle h);
// Writes all bytes, waiting up to `limitMs` for room; false when the
// connection failed or the limit ran out (`reason` says which).
bool WriteAll(Handle h, const unsigned char* data, std::uint32_t count, std::uint32_t limitMs, std::string& reason);
// Reads at most `capacity` bytes, waiting up to `waitMs` for the first of
// them: the number read, 0 when none came, -1 when the peer closed the
// connection or it failed (`reason` says which).
long Read(Handle h, unsigned char* buffer, std::uint32_t capacity, std::uint32_t waitMs, std::string& reason);
}  // namespace net

// ---------------------------------------------------------------------------
// Time.
namespace clock {
// Millisecond tick counter; differences are taken modulo 2^32.
std::uint32_t Ticks();

struct LocalTime {
    int year, month, day, hour, minute, second, millisecond;  // month 1-12
};
LocalTime Now();
}  // namespace clock

// ---------------------------------------------------------------------------
// Messages to the user: modal boxes on Windows, lines on standard error
// elsewhere.  Texts are given in both encodings; each platform picks its own.
namespace message {
struct Text {
    const char* utf8;
    const char* gbk;
};
// Error box: caption, stop icon, OK button.
void ShowError(const Text& caption, const Text& text);
// A serial port set-up failure: on Windows the error box with `text` (none
// when it is null); elsewhere the one English line `line` on standard error.
void ShowPortFailure(const Text& caption, const Text* text, const std::string& line);
// Diagnostic box: default caption, OK button, no icon.  `text` is plain ASCII
// apart from the prefix, which is given in both encodings.
void ShowPlain(const Text& prefix, const std::string& text);
}  // namespace message

// ---------------------------------------------------------------------------
// Memory handed to the host: movable global memory on Windows (the host
// frees it with GlobalHandle, GlobalUnlock, GlobalFree), malloc elsewhere.
namespace memory {
void* AllocateForHost(std::size_t size, bool zeroFill);
void FreeHostBlock(void* block);
}  // namespace memory

// ---------------------------------------------------------------------------
// Files: the record store file and the bad-record log.
namespace file {
using Handle = std::intptr_t;
inline constexpr Handle kNoFile = -1;
// The longest path a host may pass: paths are measured no further than
// any system takes them.
inline constexpr std::size_t kMaxPath = 4096;

bool Exists(const std::string& path);
// Opens an existing file for reading and writing, without sharing.
Handle OpenExisting(const std::string& path);
// Opens a regular file for reading and writing, creating it empty when it
// is missing; an existing file is never truncated.  Without sharing: the
// open fails at once while another writer holds the file (share mode 0 on
// Windows, an exclusive lock taken with the open elsewhere), so two writers
// that race to create it take it one after the other and the second finds
// what the first wrote.  Anything that is not a regular file (a folder, a
// FIFO, a device) is refused without blocking.
Handle OpenOrCreate(const std::string& path);
// Opens an existing regular file for reading only, shared with its writer.
// Anything else (a FIFO, a device, a folder) is refused without blocking.
Handle OpenRead(const std::string& path);
// The file's size in bytes; -1 on failure.
std::int64_t Size(Handle h);
bool Seek(Handle h, std::int64_t offset);
bool SeekEnd(Handle h);
// Reads up to `count` bytes; returns the number read, -1 on failure.
long Read(Handle h, void* buffer, std::size_t count);
// Writes all bytes; false when fewer could be written.
bool Write(Handle h, const void* data, std::size_t count);
// Flushes written data to stable storage.
bool Flush(Handle h);
void Close(Handle h);
}  // namespace file

// ---------------------------------------------------------------------------
// One module-wide lock, held by every export that uses the port.
namespace lock {
void Acquire();
void Release();
}  // namespace lock

// ---------------------------------------------------------------------------
// Environment (trace file name and the like).
namespace env {
std::string Get(const char* name);
}  // namespace env

}  // namespace talvo::platform
