#include "store_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
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

// The layout as far as the library's reader does not tell it: the header,
// to say why a file is refused before anything is sent, and the record's
// size, for the bytes behind the counted records.
constexpr std::size_t kStoreHeader = 16;
constexpr std::size_t kStoreRecord = 44;
constexpr char kSignature[9] = {'C', 'A', 'S', 'E', 'D', 'A', 'T', 'A', '\0'};

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

// Records that a file of `size` bytes holds behind its header.
std::int64_t RecordsIn(std::uintmax_t size) {
    return static_cast<std::int64_t>(size > kStoreHeader ? (size - kStoreHeader) / kStoreRecord : 0);
}

// Why a path that exists cannot be read as a file, or empty.
std::string NotAFile(const std::string& path, const fs::file_status& st) {
    if (fs::is_directory(st)) return path + ": is a directory, not a record store file";
    if (!fs::is_regular_file(st)) return path + ": is not a regular file";
    return {};
}

std::string CannotRead(const std::string& path, const std::string& why) {
    return path + ": cannot be read (" + why + ")";
}

struct CloseFile {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Why the library's reader refused the regular file at `path`, as its
// header tells; always false.
bool Refused(const host::HostLibrary& lib, const std::string& path, int code, std::string& problem) {
    const std::unique_ptr<std::FILE, CloseFile> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        problem = CannotRead(path, std::strerror(errno));
        return false;
    }
    unsigned char header[kStoreHeader];
    const std::size_t got = std::fread(header, 1, sizeof header, file.get());
    if (got < sizeof header && std::ferror(file.get())) {
        problem = CannotRead(path, std::strerror(errno));
        return false;
    }
    std::int64_t count = 0;
    if (!ReadHeader(header, got, count)) {
        problem = path + ": not a record store (no CASEDATA header)";
        return false;
    }
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && (count < 0 || count > RecordsIn(size))) {
        problem = path + ": damaged record store (the header counts " + std::to_string(count) +
                  " records, the file holds " + std::to_string(RecordsIn(size)) + ")";
        return false;
    }
    problem = CannotRead(path, ec ? ec.message() : std::string(lib.talvo_strerror(code)));
    return false;
}

}  // namespace

StoreReader::~StoreReader() {
    if (store_ != nullptr) lib_.talvo_store_close(store_);
}

bool StoreReader::Open(const std::string& path, std::string& problem) {
    if (store_ != nullptr) lib_.talvo_store_close(store_);
    store_ = nullptr;
    path_ = path;
    count_ = leftover_ = next_ = 0;
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) {
        problem = CannotRead(path, ec ? ec.message() : std::string("no such file"));
        return false;
    }
    // Before the library opens it: opening a FIFO would wait for a writer.
    problem = NotAFile(path, st);
    if (!problem.empty()) return false;
    if (lib_.talvo_store_open == nullptr || lib_.talvo_store_count == nullptr || lib_.talvo_store_read == nullptr ||
        lib_.talvo_store_close == nullptr || lib_.talvo_strerror == nullptr) {
        problem = CannotRead(path, "the library has no record store reader; it is older than the line API");
        return false;
    }
    const int rc = lib_.talvo_store_open(path.c_str(), &store_);
    if (rc != TALVO_OK) {
        store_ = nullptr;
        return Refused(lib_, path, rc, problem);
    }
    std::size_t count = 0;
    const int counted = lib_.talvo_store_count(store_, &count);
    if (counted != TALVO_OK) {
        problem = CannotRead(path, lib_.talvo_strerror(counted));
        return false;
    }
    count_ = static_cast<std::int64_t>(count);
    const std::uintmax_t size = fs::file_size(path, ec);
    if (!ec && size > kStoreHeader) {
        leftover_ = static_cast<std::int64_t>(size - kStoreHeader) - count_ * static_cast<std::int64_t>(kStoreRecord);
    }
    return true;
}

bool StoreReader::Seek(std::int64_t index, std::string& problem) {
    if (index < 0 || index > count_) {
        problem = path_ + ": cannot be read at record " + std::to_string(index);
        return false;
    }
    next_ = index;
    return true;
}

std::span<const talvo_record> StoreReader::Next(std::string& problem) {
    problem.clear();
    if (store_ == nullptr || next_ >= count_) return {};
    constexpr std::size_t kBlock = sizeof block_ / sizeof block_[0];
    const std::int64_t left = count_ - next_;
    const std::size_t want = left < static_cast<std::int64_t>(kBlock) ? static_cast<std::size_t>(left) : kBlock;
    std::size_t got = 0;
    const int rc = lib_.talvo_store_read(store_, static_cast<std::size_t>(next_), block_, want, &got);
    if (rc != TALVO_OK || got == 0) {
        problem = path_ + ": cannot be read at record " + std::to_string(next_) + " (" +
                  (rc != TALVO_OK ? lib_.talvo_strerror(rc) : "the file was cut short") + ")";
        return {};
    }
    next_ += static_cast<std::int64_t>(got);
    return {block_, got};
}

std::int64_t StoreCount(host::HostLibrary& lib, const std::string& path) {
    std::error_code ec;
    if (!fs::exists(path, ec)) return ec ? -1 : 0;
    StoreReader reader(lib);
    std::string problem;
    return reader.Open(path, problem) ? reader.Count() : -1;
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
