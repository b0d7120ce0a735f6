// The record store file: whatever a file holds, the reader takes its
// counted records or refuses it, and an append lands behind the counted
// records of a store (and leaves a file that is not one alone).
#include <cstring>
#include <unistd.h>
#include <vector>

#include "fuzz_check.h"
#include "records/collection.h"
#include "records/record_store.h"

using namespace talvo;

namespace {

std::vector<TransactionRecord> ReadAll(const std::string& path, bool& opened) {
    RecordStoreReader reader;
    std::vector<TransactionRecord> records;
    opened = reader.Open(path);
    if (!opened) return records;
    records.resize(reader.Count());
    std::size_t got = 0;
    while (got < records.size()) {
        const std::size_t n = reader.Read(got, records.data() + got, records.size() - got);
        FUZZ_CHECK(n > 0);
        got += n;
    }
    TransactionRecord beyond;
    FUZZ_CHECK(reader.Read(records.size(), &beyond, 1) == 0);
    return records;
}

std::string Contents(int fd) {
    std::string bytes;
    char block[4096];
    for (off_t at = 0;;) {
        const ssize_t n = pread(fd, block, sizeof block, at);
        FUZZ_CHECK(n >= 0);
        if (n == 0) break;
        bytes.append(block, static_cast<std::size_t>(n));
        at += n;
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 64 * 1024) return 0;
    static fuzz::MemoryFile file;
    file.Write(data, size);

    bool store = false;
    const std::vector<TransactionRecord> before = ReadAll(file.Path(), store);
    if (store) {
        // The counted records lie inside the file, each where it is.
        FUZZ_CHECK(RecordStoreFile::kHeaderSize + before.size() * sizeof(TransactionRecord) <= size ||
                   before.empty());
        for (std::size_t i = 0; i < before.size(); ++i) {
            FUZZ_CHECK(std::memcmp(&before[i], data + RecordStoreFile::kHeaderSize + i * sizeof(TransactionRecord),
                                   sizeof(TransactionRecord)) == 0);
        }
    }

    // Two records of the input's own bytes appended.
    std::vector<TransactionRecord> added(2);
    for (std::size_t i = 0; i < sizeof(TransactionRecord) * added.size(); ++i) {
        reinterpret_cast<unsigned char*>(added.data())[i] = size == 0 ? 0 : data[i % size];
    }
    const bool appended = AppendToStore(file.Path(), added);
    bool after = false;
    const std::vector<TransactionRecord> now = ReadAll(file.Path(), after);
    if (appended) {
        // The old records, then the new ones: nothing counted is lost.
        FUZZ_CHECK(after && now.size() == before.size() + added.size());
        FUZZ_CHECK(before.empty() ||
                   std::memcmp(now.data(), before.data(), before.size() * sizeof(TransactionRecord)) == 0);
        FUZZ_CHECK(std::memcmp(now.data() + before.size(), added.data(), added.size() * sizeof(TransactionRecord)) == 0);
    } else {
        // Refused: a file that is no store keeps its bytes.
        FUZZ_CHECK(!store);
        const std::string bytes = Contents(file.Descriptor());
        FUZZ_CHECK(bytes.size() == size && (size == 0 || std::memcmp(bytes.data(), data, size) == 0));
    }
    return 0;
}
