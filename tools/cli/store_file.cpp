#include "store_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace talvo::cli {
namespace fs = std::filesystem;
namespace {

constexpr char kSignature[9] = {'C', 'A', 'S', 'E', 'D', 'A', 'T', 'A', '\0'};

std::string Text(const unsigned char* at, std::size_t size) {
    std::size_t n = 0;
    while (n < size && at[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(at), n);
}

}  // namespace

float StoreFloat(const unsigned char* at) {
    const std::uint32_t bits = static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
                               static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

namespace {

bool SeekTo(std::FILE* f, std::int64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

// The header as the library reads it: the bytes present over an initial
// image of "CASEDATA", a zero byte and count 0, so that an empty file is a
// store with no records.  False when the file is not a store.
bool ReadHeader(const unsigned char* bytes, std::size_t got, std::int64_t& count) {
    unsigned char header[kStoreHeader] = {};
    std::memcpy(header, kSignature, sizeof kSignature);
    std::memcpy(header, bytes, got < kStoreHeader ? got : kStoreHeader);
    if (std::memcmp(header, kSignature, sizeof kSignature) != 0) return false;
    count = static_cast<std::int32_t>(static_cast<std::uint32_t>(header[12]) |
                                      static_cast<std::uint32_t>(header[13]) << 8 |
                                      static_cast<std::uint32_t>(header[14]) << 16 |
                                      static_cast<std::uint32_t>(header[15]) << 24);
    return true;
}

// Why a path that exists cannot be read as a file, or empty.
std::string NotAFile(const std::string& path, const fs::file_status& st) {
    if (fs::is_directory(st)) return path + ": is a directory, not a record store file";
    if (!fs::is_regular_file(st)) return path + ": is not a regular file";
    return {};
}

}  // namespace

StoredRecord DecodeStoreRecord(const unsigned char* b) {
    StoredRecord r;
    r.terminal = Text(b, 4);
    r.card = Text(b + 4, 7);
    r.type = Text(b + 11, 3);
    r.amount = StoreFloat(b + 16);
    r.date = Text(b + 20, 11);
    r.time = Text(b + 31, 6);
    r.second_amount = StoreFloat(b + 40);
    return r;
}

StoreReader::~StoreReader() {
    if (file_ != nullptr) std::fclose(file_);
}

bool StoreReader::Open(const std::string& path, std::string& problem) {
    path_ = path;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        problem = path + ": cannot be read (" +
                  (ec ? ec.message() : std::string("no such file")) + ")";
        return false;
    }
    problem = NotAFile(path, st);
    if (!problem.empty()) return false;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (ec) {
        problem = path + ": cannot be read (" + ec.message() + ")";
        return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
        problem = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    unsigned char header[kStoreHeader];
    const std::size_t got = std::fread(header, 1, sizeof header, file_);
    if (got < sizeof header && std::ferror(file_)) {
        problem = path + ": cannot be read (" + std::strerror(errno) + ")";
        return false;
    }
    if (!ReadHeader(header, got, count_)) {
        problem = path + ": not a record store (no CASEDATA header)";
        return false;
    }
    const auto records = static_cast<std::int64_t>(size > kStoreHeader ? (size - kStoreHeader) / kStoreRecord : 0);
    if (count_ < 0 || count_ > records) {
        problem = path + ": damaged record store (the header counts " + std::to_string(count_) +
                  " records, the file holds " + std::to_string(records) + ")";
        return false;
    }
    leftover_ = size > kStoreHeader ? static_cast<std::int64_t>(size - kStoreHeader) -
                                          count_ * static_cast<std::int64_t>(kStoreRecord)
                                    : 0;
    next_ = 0;
    have_ = used_ = 0;
    return true;
}

bool StoreReader::Seek(std::int64_t index, std::string& problem) {
    if (file_ == nullptr || index < 0 || index > count_ ||
        !SeekTo(file_, static_cast<std::int64_t>(kStoreHeader) + index * static_cast<std::int64_t>(kStoreRecord))) {
        problem = path_ + ": cannot be read at record " + std::to_string(index);
        return false;
    }
    next_ = index;
    have_ = used_ = 0;
    return true;
}

bool StoreReader::Next(StoredRecord& record, std::string& problem) {
    const unsigned char* raw = NextRaw(problem);
    if (raw == nullptr) return false;
    record = DecodeStoreRecord(raw);
    return true;
}

const unsigned char* StoreReader::NextRaw(std::string& problem) {
    problem.clear();
    if (file_ == nullptr || next_ >= count_) return nullptr;
    if (used_ == have_) {
        const std::int64_t left = count_ - next_;
        const std::size_t want = left < 1024 ? static_cast<std::size_t>(left) : 1024;
        have_ = std::fread(block_, kStoreRecord, want, file_);
        used_ = 0;
        if (have_ == 0) {
            problem = path_ + ": cannot be read at record " + std::to_string(next_) + " (" +
                      (std::ferror(file_) ? std::strerror(errno) : "the file was cut short") + ")";
            return nullptr;
        }
    }
    ++next_;
    return block_ + kStoreRecord * used_++;
}

std::int64_t StoreCount(const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return ec ? -1 : 0;
    StoreReader reader;
    std::string problem;
    return reader.Open(path, problem) ? reader.Count() : -1;
}

bool WithdrawStore(const std::string& path, std::int64_t expected, std::int64_t count, std::string& problem) {
    unsigned char header[kStoreHeader];
    unsigned char bytes[4];
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(count) >> (8 * i));
    std::int64_t now = -1;
#ifdef _WIN32
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        problem = path + ": cannot be opened to set its count back";
        return false;
    }
    DWORD got = 0;
    bool ok = ReadFile(h, header, sizeof header, &got, nullptr) && ReadHeader(header, got, now) && now == expected;
    if (ok) {
        LONG high = 0;
        DWORD wrote = 0;
        ok = SetFilePointer(h, 12, &high, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
             WriteFile(h, bytes, 4, &wrote, nullptr) && wrote == 4 && FlushFileBuffers(h);
    }
    CloseHandle(h);
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
        if (fd >= 0) ::close(fd);
        problem = path + ": cannot be opened to set its count back";
        return false;
    }
    const ssize_t got = ::pread(fd, header, sizeof header, 0);
    bool ok = got >= 0 && ReadHeader(header, static_cast<std::size_t>(got), now) && now == expected;
    if (ok) ok = ::pwrite(fd, bytes, 4, 12) == 4 && ::fsync(fd) == 0;
    ::close(fd);
#endif
    if (!ok) {
        problem = now != expected ? path + ": its count changed meanwhile and was left as it is"
                                  : path + ": its count could not be set back";
    }
    return ok;
}

bool CheckStoreUsable(const std::string& path, std::string& problem) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        problem = path + ": cannot be examined (" + ec.message() + ")";
        return false;
    }
    if (!fs::exists(st)) {
        fs::path folder = fs::path(path).parent_path();
        if (folder.empty()) folder = ".";
        if (!fs::is_directory(folder, ec)) {
            problem = path + ": cannot be created: the folder " + folder.string() + " does not exist";
            return false;
        }
#ifndef _WIN32
        if (access(folder.c_str(), W_OK | X_OK) != 0) {
            problem = path + ": cannot be created: the folder " + folder.string() + " is not writable";
            return false;
        }
#endif
        return true;
    }
    problem = NotAFile(path, st);
    if (!problem.empty()) return false;

    unsigned char header[kStoreHeader];
    std::size_t got = 0;
#ifdef _WIN32
    // The library opens the store without sharing; so does this check.
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) {
            problem = path + ": is held by another program";
        } else if (code == ERROR_ACCESS_DENIED) {
            problem = path + ": cannot be written (access denied or read-only)";
        } else {
            problem = path + ": cannot be opened (error " + std::to_string(code) + ")";
        }
        return false;
    }
    DWORD read = 0;
    const BOOL ok = ReadFile(h, header, sizeof header, &read, nullptr);
    CloseHandle(h);
    if (!ok) {
        problem = path + ": cannot be read";
        return false;
    }
    got = read;
#else
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        if (e == EACCES || e == EPERM) {
            problem = path + ": cannot be written (permission denied)";
        } else if (e == EROFS) {
            problem = path + ": cannot be written (read-only file system)";
        } else {
            problem = path + ": cannot be opened (" + std::strerror(e) + ")";
        }
        return false;
    }
    // Every collection takes this lock for the whole batch.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        problem = path + ": is held by another program (a collection into it is running)";
        return false;
    }
    const ssize_t n = ::read(fd, header, sizeof header);
    ::flock(fd, LOCK_UN);
    ::close(fd);
    if (n < 0) {
        problem = path + ": cannot be read";
        return false;
    }
    got = static_cast<std::size_t>(n);
#endif
    std::int64_t count = 0;
    if (!ReadHeader(header, got, count)) {
        problem = path + ": not a record store (no CASEDATA header); it is left as it is";
        return false;
    }
    if (count < 0) {
        problem = path + ": damaged record store (negative record count)";
        return false;
    }
    return true;
}

}  // namespace talvo::cli
