// Record store files as the tool meets them: read one record at a time
// (constant memory, whatever the file's size), and checked before a
// collection so that a file that cannot take a batch is named as the cause
// before anything is sent to a terminal.  Reading never writes the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace talvo::cli {

constexpr std::size_t kStoreHeader = 16;
constexpr std::size_t kStoreRecord = 44;

struct StoredRecord {
    std::string terminal, card, type, date, time;
    float amount = 0;
    float second_amount = 0;
};

// A little-endian float of a record.
float StoreFloat(const unsigned char* at);
// One 44-byte record as the library lays it out.
StoredRecord DecodeStoreRecord(const unsigned char* bytes);

class StoreReader {
public:
    StoreReader() = default;
    ~StoreReader();
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    // False with a one-line problem ("PATH: is a directory") when the file
    // is missing, not a regular file, unreadable, foreign or damaged.
    bool Open(const std::string& path, std::string& problem);
    std::int64_t Count() const { return count_; }
    // Bytes behind the counted records (left over from a withdrawn batch).
    std::int64_t Leftover() const { return leftover_; }
    // Moves to record `index` (0 to Count()).
    bool Seek(std::int64_t index, std::string& problem);
    // The next counted record; false at the end (problem empty) or when the
    // file cannot be read (problem set).
    bool Next(StoredRecord& record, std::string& problem);
    // The same as its 44 bytes, valid until the next call; null at the end
    // or on a failure.
    const unsigned char* NextRaw(std::string& problem);

private:
    std::FILE* file_ = nullptr;
    std::string path_;
    std::int64_t count_ = 0;
    std::int64_t leftover_ = 0;
    std::int64_t next_ = 0;
    unsigned char block_[kStoreRecord * 1024];
    std::size_t have_ = 0;  // records in block_
    std::size_t used_ = 0;  // of them handed out
};

// Whether a collection can append to the store file at `path`: a store or
// missing (its folder then takes a new file), readable and writable, and
// not held by another program.  False with a one-line problem otherwise.
bool CheckStoreUsable(const std::string& path, std::string& problem);

// The store's record count, 0 for a file that does not exist yet; -1 when
// it cannot be read.
std::int64_t StoreCount(const std::string& path);

// Sets the store's count back from `expected` to `count`, for a batch the
// terminal did not confirm, and flushes it.  False, with nothing changed,
// when the count is no longer `expected` (another collection appended
// meanwhile) or the file cannot be written.
bool WithdrawStore(const std::string& path, std::int64_t expected, std::int64_t count, std::string& problem);

}  // namespace talvo::cli
