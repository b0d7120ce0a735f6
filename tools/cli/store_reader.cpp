#include "store_reader.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>

namespace talvo::cli {
namespace {

std::string Text(const unsigned char* at, std::size_t size) {
    std::size_t n = 0;
    while (n < size && at[n] != 0) ++n;
    return std::string(reinterpret_cast<const char*>(at), n);
}

float Float(const unsigned char* at) {
    std::uint32_t bits = static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
                         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

}  // namespace

StoredRecord FromBytes(const unsigned char* b) {
    StoredRecord r;
    r.terminal = Text(b, 4);
    r.card = Text(b + 4, 7);
    r.type = Text(b + 11, 3);
    r.amount = Float(b + 16);
    r.date = Text(b + 20, 11);
    r.time = Text(b + 31, 6);
    r.secondAmount = Float(b + 40);
    return r;
}

bool ReadStore(const std::string& path, Store& store, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = path + ": cannot be read (does it exist?)";
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() >= 9 && std::memcmp(bytes.data(), "CASEDATA\0", 9) != 0) {
        problem = path + ": not a record store (no CASEDATA header)";
        return false;
    }
    if (bytes.empty()) return true;  // an empty file is a store with no records
    if (bytes.size() < 16) {
        problem = path + ": damaged record store (header cut short at " + std::to_string(bytes.size()) + " bytes)";
        return false;
    }
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto count = static_cast<std::int32_t>(static_cast<std::uint32_t>(b[12]) | static_cast<std::uint32_t>(b[13]) << 8 |
                                                 static_cast<std::uint32_t>(b[14]) << 16 |
                                                 static_cast<std::uint32_t>(b[15]) << 24);
    const long long need = 16 + 44LL * count;
    if (count < 0 || need > static_cast<long long>(bytes.size())) {
        problem = path + ": damaged record store (the header counts " + std::to_string(count) +
                  " records, the file holds " + std::to_string((static_cast<long long>(bytes.size()) - 16) / 44) + ")";
        return false;
    }
    for (std::int32_t i = 0; i < count; ++i) store.records.push_back(FromBytes(b + 16 + 44 * i));
    store.leftover = static_cast<long>(static_cast<long long>(bytes.size()) - need);
    return true;
}

}  // namespace talvo::cli
