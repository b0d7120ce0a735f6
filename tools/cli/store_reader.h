// Reads a record store file for display; never writes it.
#pragma once

#include <string>
#include <vector>

namespace talvo::cli {

struct StoredRecord {
    std::string terminal, card, type, date, time;
    float amount = 0;
    float secondAmount = 0;
};

struct Store {
    std::vector<StoredRecord> records;
    long leftover = 0;  // bytes behind the counted records (a withdrawn batch)
};

// False with a one-line reason when the file is missing, foreign or damaged.
bool ReadStore(const std::string& path, Store& store, std::string& problem);

// One raw record decoded by the library's layout (44 bytes).
StoredRecord FromBytes(const unsigned char* bytes);

}  // namespace talvo::cli
