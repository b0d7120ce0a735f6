// The line API's store files: read records of a store, append records.
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "records/collection.h"
#include "records/record_store.h"
#include "shell/line_face.h"
#include "shell/record_values.h"

using namespace talvo;
using namespace talvo::lineapi;

struct talvo_store {
    RecordStoreReader reader;
    // Records as stored, a block at a time (one seek and one read each),
    // kept from one read to the next.
    static constexpr std::size_t kBlock = 1024;
    std::vector<TransactionRecord> block;
};

extern "C" {

TALVO_API int TALVO_CALL talvo_store_open(const char* path, talvo_store** store) {
    if (store == nullptr) return TALVO_E_INVALID;
    *store = nullptr;
    const std::size_t length = path != nullptr ? ::strnlen(path, kMaxPath + 1) : 0;
    if (length == 0 || length > kMaxPath) return TALVO_E_INVALID;
    try {
        auto opened = std::make_unique<talvo_store>();
        if (!opened->reader.Open(std::string(path, length))) return TALVO_E_STORE;
        *store = opened.release();
        return 0;
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_store_close(talvo_store* store) {
    if (store == nullptr) return TALVO_E_CLOSED;
    delete store;
    return 0;
}

TALVO_API int TALVO_CALL talvo_store_count(talvo_store* store, std::size_t* count) {
    if (store == nullptr) return TALVO_E_CLOSED;
    if (count == nullptr) return TALVO_E_INVALID;
    *count = store->reader.Count();
    return 0;
}

TALVO_API int TALVO_CALL talvo_store_read(talvo_store* store, std::size_t index, talvo_record* out, std::size_t max,
                                         std::size_t* n) {
    if (store == nullptr) return TALVO_E_CLOSED;
    if (n == nullptr || (out == nullptr && max > 0)) return TALVO_E_INVALID;
    try {
        constexpr std::size_t kBlock = talvo_store::kBlock;
        std::vector<TransactionRecord>& block = store->block;
        if (block.size() < kBlock && block.size() < max) block.resize(max < kBlock ? max : kBlock);
        std::size_t done = 0;
        while (done < max) {
            const std::size_t want = max - done < block.size() ? max - done : block.size();
            const std::size_t got = store->reader.Read(index + done, block.data(), want);
            for (std::size_t i = 0; i < got; ++i) {
                // A record that does not read as a transaction comes back
                // all zero (type 0), in its place.
                if (ToRecord(block[i], out[done + i]) != 0) out[done + i] = talvo_record{};
            }
            done += got;
            if (got < want) break;
        }
        *n = done;
        return 0;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_store_append(const char* path, const talvo_record* records, std::size_t n) {
    const std::size_t length = path != nullptr ? ::strnlen(path, kMaxPath + 1) : 0;
    if (length == 0 || length > kMaxPath || (records == nullptr && n > 0) || n > 1000000) return TALVO_E_INVALID;
    try {
        std::vector<TransactionRecord> converted(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (FromRecord(records[i], converted[i]) != 0) return TALVO_E_INVALID;
        }
        return AppendToStore(std::string(path, length), converted) ? 0 : TALVO_E_STORE;
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

}  // extern "C"

