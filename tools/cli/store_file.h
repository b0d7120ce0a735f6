// Record store files as the tool meets them.  The library reads, decodes
// and writes the records; what is here is what its reader does not say: why
// a file cannot be shown or take records (checked before anything is sent
// to a terminal), and how many bytes lie behind the counted records.
// Nothing here writes a file.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "host_library.h"

namespace talvo::cli {

// The records of a store file, a block at a time as the library decodes
// them: constant memory, whatever the file's size.
class StoreReader {
public:
    explicit StoreReader(host::HostLibrary& lib) : lib_(lib) {}
    ~StoreReader();
    StoreReader(const StoreReader&) = delete;
    StoreReader& operator=(const StoreReader&) = delete;

    // False with a one-line problem ("PATH: is a directory") when the file
    // is missing, not a regular file, unreadable, foreign or damaged, or
    // the library has no store reader.
    bool Open(const std::string& path, std::string& problem);
    std::int64_t Count() const { return count_; }
    // Bytes behind the counted records (left over from a withdrawn batch).
    std::int64_t Leftover() const { return leftover_; }
    // Moves to record `index` (0 to Count()).
    bool Seek(std::int64_t index, std::string& problem);
    // The next counted records, valid until the next call; empty at the end
    // (problem empty) or when the file cannot be read (problem set).  A
    // record the library could not decode comes as it hands it back: with
    // a type that is none of TALVO_RECORD_*.
    std::span<const talvo_record> Next(std::string& problem);

private:
    host::HostLibrary& lib_;
    talvo_store* store_ = nullptr;
    std::string path_;
    std::int64_t count_ = 0;
    std::int64_t leftover_ = 0;
    std::int64_t next_ = 0;
    talvo_record block_[1024];
};

// Whether a collection can append to the store file at `path`: a store or
// missing (its folder then takes a new file), readable and writable, and
// not held by another program.  False with a one-line problem otherwise.
bool CheckStoreUsable(const std::string& path, std::string& problem);

// The store's record count, 0 for a file that does not exist yet; -1 when
// it cannot be read.
std::int64_t StoreCount(host::HostLibrary& lib, const std::string& path);

}  // namespace talvo::cli
