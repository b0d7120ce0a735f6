// Clock, messages, host memory, files, the module lock and the environment
// on Linux.
#include "platform/platform.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace talvo::platform {

namespace clock {
std::uint32_t Ticks() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

LocalTime Now() {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    time_t t = ts.tv_sec;
    struct tm lt {};
    ::localtime_r(&t, &lt);
    return LocalTime{lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday, lt.tm_hour, lt.tm_min, lt.tm_sec,
                     static_cast<int>(ts.tv_nsec / 1000000)};
}
}  // namespace clock

namespace message {
void ShowError(const Text& caption, const Text& text) {
    std::fprintf(stderr, "%s: %s\n", caption.utf8, text.utf8);
    std::fflush(stderr);
}

void ShowPortFailure(const Text&, const Text*, const std::string& line) {
    std::fprintf(stderr, "talvo: %s\n", line.c_str());
    std::fflush(stderr);
}

void ShowPlain(const Text& prefix, const std::string& text) {
    std::fprintf(stderr, "talvo: %s%s\n", prefix.utf8, text.c_str());
    std::fflush(stderr);
}
}  // namespace message

namespace memory {
void* AllocateForHost(std::size_t size, bool zeroFill) {
    if (size == 0) size = 1;
    return zeroFill ? std::calloc(1, size) : std::malloc(size);
}

void FreeHostBlock(void* block) { std::free(block); }
}  // namespace memory

namespace file {
namespace {
Handle LockOrClose(int fd) {
    if (fd < 0) return kNoFile;
    // Without sharing: an exclusive lock that every collection respects.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return kNoFile;
    }
    return fd;
}

// Opens `path` without blocking and keeps it only when it is a regular
// file, made blocking again.  An ordinary open of a FIFO waits for the other
// end and one of a terminal may wait for its carrier; what already stands
// there as something else is not opened at all (opening a device can act on
// it), and what was opened is checked again, as it may have been replaced
// in between.
int OpenRegular(const std::string& path, int flags, mode_t mode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return -1;
    const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    const int status = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fcntl(fd, F_GETFL) : -1;
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
}  // namespace

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

Handle OpenExisting(const std::string& path) {
    return LockOrClose(::open(path.c_str(), O_RDWR | O_CLOEXEC));
}

Handle OpenOrCreate(const std::string& path) {
    // O_CREAT without O_TRUNC: a file another writer created a moment ago
    // keeps what it wrote.  The lock is taken on the descriptor the open gave.
    return LockOrClose(OpenRegular(path, O_RDWR | O_CREAT, 0644));
}

Handle OpenRead(const std::string& path) {
    const int fd = OpenRegular(path, O_RDONLY, 0);
    return fd < 0 ? kNoFile : fd;
}

std::int64_t Size(Handle h) {
    struct stat st {};
    if (h < 0 || ::fstat(static_cast<int>(h), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool Seek(Handle h, std::int64_t offset) {
    return h >= 0 && ::lseek(static_cast<int>(h), static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool SeekEnd(Handle h) { return h >= 0 && ::lseek(static_cast<int>(h), 0, SEEK_END) >= 0; }

long Read(Handle h, void* buffer, std::size_t count) {
    if (h < 0) return -1;
    std::size_t done = 0;
    while (done < count) {
        ssize_t r = ::read(static_cast<int>(h), static_cast<char*>(buffer) + done, count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    return static_cast<long>(done);
}

bool Write(Handle h, const void* data, std::size_t count) {
    if (h < 0) return false;
    std::size_t done = 0;
    while (done < count) {
        ssize_t r = ::write(static_cast<int>(h), static_cast<const char*>(data) + done, count - done);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<std::size_t>(r);
    }
    return true;
}

bool Flush(Handle h) { return h >= 0 && ::fsync(static_cast<int>(h)) == 0; }

void Close(Handle h) {
    if (h >= 0) ::close(static_cast<int>(h));
}
}  // namespace file

namespace lock {
namespace {
pthread_mutex_t moduleLock = PTHREAD_MUTEX_INITIALIZER;
}
void Acquire() { ::pthread_mutex_lock(&moduleLock); }
void Release() { ::pthread_mutex_unlock(&moduleLock); }
}  // namespace lock

namespace env {
std::string Get(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string();
}
}  // namespace env

}  // namespace talvo::platform
