// The record store file: a 16-byte header ("CASEDATA", a zero byte, three
// reserved bytes, a 32-bit record count) followed by 44-byte records.  Only
// the counted records belong to the store; bytes behind them are left over
// from a withdrawn batch and are overwritten by the next one.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "records/transaction_record.h"

namespace talvo {

class RecordStoreFile {
public:
    static constexpr std::uint32_t kHeaderSize = 16;

    RecordStoreFile();
    ~RecordStoreFile();  // closes the file if it is open
    RecordStoreFile(const RecordStoreFile&) = delete;
    RecordStoreFile& operator=(const RecordStoreFile&) = delete;

    static bool StoreExists(const std::string& path);
    // Opens the store for a batch: the regular file at `path`, created when
    // missing and never truncated, for reading and writing without sharing
    // (false at once while another writer holds it).  A file that holds no
    // header yet and reads as a store without records (a new or empty file)
    // gets the header of count 0, flushed, before anything else is written:
    // of two collections that start on a new file, the second finds the
    // first one's records and appends behind them.
    bool OpenOrCreateStore(const std::string& path);
    // Opens an existing file for reading and writing, without sharing.
    bool OpenStore(const std::string& path);
    // Reads the header over a fresh image; false when it is not a store.
    bool ReadHeader();
    bool WriteHeader();
    // Writes `k` records behind the counted ones.
    bool AppendRecords(const TransactionRecord* records, std::uint32_t k);
    // Flushes what was written to stable storage.
    bool Flush();
    // Sets the count back to `count` and writes and flushes the header: the
    // records behind it are withdrawn from the store.
    bool Withdraw(std::int32_t count);
    void CloseStore();

    // True when `count` records fit a file of `size` bytes.
    static bool CountFits(std::int64_t count, std::int64_t size);

    std::int32_t Count() const { return count_; }
    void SetCount(std::int32_t count) { count_ = count; }
    bool IsOpen() const { return file_ != platform::file::kNoFile; }

private:
    void ResetImage();

    platform::file::Handle file_ = platform::file::kNoFile;
    unsigned char signature_[12];
    std::int32_t count_ = 0;
};

// Reads the records of a store without taking it from its writer.
class RecordStoreReader {
public:
    RecordStoreReader() = default;
    ~RecordStoreReader() { Close(); }
    RecordStoreReader(const RecordStoreReader&) = delete;
    RecordStoreReader& operator=(const RecordStoreReader&) = delete;

    // False when the file cannot be read, is not a store, or counts more
    // records than it holds.
    bool Open(const std::string& path);
    std::size_t Count() const { return count_; }
    // Reads up to `max` records from `index` on; returns the number read.
    std::size_t Read(std::size_t index, TransactionRecord* out, std::size_t max);
    void Close();

private:
    platform::file::Handle file_ = platform::file::kNoFile;
    std::size_t count_ = 0;
};

}  // namespace talvo
