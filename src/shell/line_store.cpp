// The line API's store files: read records of a store, append records.
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "records/collection.h"
#include "records/record_store.h"
#include "shell/handle_registry.h"
#include "shell/line_face.h"
#include "shell/record_values.h"

using namespace talvo;
using namespace talvo::lineapi;

namespace {

// One open store.  Its calls run one at a time under `mutex`; `closed` is
// set under it by the close, so a call that found the store just before the
// close finds it closed.
struct StoreEntry {
    std::mutex mutex;
    bool closed = false;
    RecordStoreReader reader;
    // Records as stored, a block at a time (one seek and one read each),
    // kept from one read to the next.
    static constexpr std::size_t kBlock = 1024;
    std::vector<TransactionRecord> block;
};

using StoreRegistry = HandleRegistry<StoreEntry, talvo_store>;

StoreRegistry& Stores() {
    static StoreRegistry registry;
    return registry;
}

// Runs `body(store)` under the store's lock.  No exception leaves.
template <class Body>
int OnStore(talvo_store* handle, Body&& body) noexcept {
    try {
        std::shared_ptr<StoreEntry> store = Stores().Find(handle);
        if (!store) return TALVO_E_CLOSED;
        std::lock_guard<std::mutex> lock(store->mutex);
        if (store->closed) return TALVO_E_CLOSED;
        return body(*store);
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

}  // namespace

extern "C" {

TALVO_API int TALVO_CALL talvo_store_open(const char* path, talvo_store** store) {
    if (store == nullptr) return TALVO_E_INVALID;
    *store = nullptr;
    const std::size_t length = path != nullptr ? ::strnlen(path, kMaxPath + 1) : 0;
    if (length == 0 || length > kMaxPath) return TALVO_E_INVALID;
    try {
        auto opened = std::make_shared<StoreEntry>();
        // A regular file only, opened without blocking (see file::OpenRead).
        if (!opened->reader.Open(std::string(path, length))) return TALVO_E_STORE;
        *store = reinterpret_cast<talvo_store*>(Stores().Add(std::move(opened)));
        return 0;
    } catch (const std::bad_alloc&) {
        return TALVO_E_NO_MEMORY;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_store_close(talvo_store* store) {
    try {
        std::shared_ptr<StoreEntry> entry = Stores().Remove(store);
        if (!entry) return TALVO_E_CLOSED;
        // Waits for a call under way on the store; the memory goes with the
        // last call that still holds it.
        std::lock_guard<std::mutex> lock(entry->mutex);
        entry->closed = true;
        entry->reader.Close();
        return 0;
    } catch (...) {
        return TALVO_E_INTERNAL;
    }
}

TALVO_API int TALVO_CALL talvo_store_count(talvo_store* store, std::size_t* count) {
    return OnStore(store, [&](StoreEntry& s) {
        if (count == nullptr) return TALVO_E_INVALID;
        *count = s.reader.Count();
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_store_read(talvo_store* store, std::size_t index, talvo_record* out, std::size_t max,
                                         std::size_t* n) {
    return OnStore(store, [&](StoreEntry& s) {
        if (n == nullptr || (out == nullptr && max > 0)) return TALVO_E_INVALID;
        constexpr std::size_t kBlock = StoreEntry::kBlock;
        std::vector<TransactionRecord>& block = s.block;
        if (block.size() < kBlock && block.size() < max) block.resize(max < kBlock ? max : kBlock);
        std::size_t done = 0;
        while (done < max) {
            const std::size_t want = max - done < block.size() ? max - done : block.size();
            const std::size_t got = s.reader.Read(index + done, block.data(), want);
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
    });
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
