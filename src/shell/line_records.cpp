// The line API's record batches: fetch, confirm, collect, and the
// conversion between its records and the store's.
#include <cstring>
#include <string>
#include <vector>

#include "records/collection.h"
#include "shell/line_face.h"
#include "shell/record_values.h"

using namespace talvo;
using namespace talvo::lineapi;

namespace {

bool SameBatch(const BatchImage& image, const talvo_batch& batch) {
    if (batch.count != image.count || batch.mark != image.mark || batch.count < 0 || batch.count > kBatchLimit) {
        return false;
    }
    for (int i = 0; i < batch.count; ++i) {
        if (std::memcmp(batch.raw[i], image.raw.data() + kRawRecordLength * static_cast<std::size_t>(i),
                        kRawRecordLength) != 0) {
            return false;
        }
    }
    return true;
}
}  // namespace

extern "C" {

TALVO_API int TALVO_CALL talvo_records_fetch(talvo_line* line, int terminal, talvo_record* out, std::size_t max,
                                             std::size_t* n, talvo_batch* batch) {
    if (n == nullptr || batch == nullptr || (out == nullptr && max > 0)) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        FetchedBatch fetched;
        FetchBatch(l, terminal, fetched);
        if (fetched.result != 0) return static_cast<int>(fetched.result);
        std::vector<talvo_record> records(fetched.kept.size());
        for (std::size_t i = 0; i < fetched.kept.size(); ++i) {
            if (ToRecord(fetched.kept[i], records[i]) != 0) return TALVO_E_INTERNAL;
        }
        *n = records.size();
        if (records.size() > max) return TALVO_E_BUFFER;
        talvo_batch b{};
        b.terminal = terminal;
        b.mark = fetched.image.mark;
        b.count = fetched.image.count;
        b.kept = static_cast<std::int32_t>(records.size());
        for (int i = 0; i < fetched.image.count; ++i) {
            b.status[i] = static_cast<std::int32_t>(fetched.status[i]);
            std::memcpy(b.raw[i], fetched.image.raw.data() + kRawRecordLength * static_cast<std::size_t>(i),
                        kRawRecordLength);
        }
        if (!records.empty()) std::memcpy(out, records.data(), sizeof(talvo_record) * records.size());
        *batch = b;
        if (fetched.image.count > 0) l.fetched[terminal] = fetched.image;
        else l.fetched.erase(terminal);
        return 0;
    });
}

TALVO_API int TALVO_CALL talvo_records_confirm(talvo_line* line, int terminal, const talvo_batch* batch) {
    if (batch == nullptr || batch->terminal != terminal) return batch == nullptr ? TALVO_E_INVALID : TALVO_E_BATCH;
    return OnTerminal(line, terminal, [&](Line& l) {
        auto it = l.fetched.find(terminal);
        if (it == l.fetched.end() || !SameBatch(it->second, *batch)) return TALVO_E_BATCH;
        std::int32_t result = 0;
        switch (ConfirmBatch(l, terminal, it->second, result)) {
            case ConfirmOutcome::kConfirmed:
                l.fetched.erase(terminal);
                return 0;
            case ConfirmOutcome::kKept:
                return TALVO_E_REFUSED;
            case ConfirmOutcome::kUncertain:
                // A refusal after several requests may follow one that the
                // terminal took: whether it cleared the batch is unknown.
                return result == TALVO_E_REFUSED ? TALVO_E_UNCONFIRMED : static_cast<int>(result);
        }
        return TALVO_E_INTERNAL;
    });
}

TALVO_API int TALVO_CALL talvo_records_collect(talvo_line* line, int terminal, const char* path, std::size_t* stored) {
    const std::size_t length = path != nullptr ? ::strnlen(path, kMaxPath + 1) : 0;
    if (length == 0 || length > kMaxPath) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        int count = 0;
        int received = 0;
        float total = 0.0f;
        const std::int32_t result = CollectBatch(l, terminal, std::string(path, length), count, total, received);
        if (stored != nullptr) *stored = result == 0 ? static_cast<std::size_t>(count) : 0;
        return static_cast<int>(result);
    });
}

TALVO_API int TALVO_CALL talvo_record_to_store(const talvo_record* record, void* store_record) {
    if (record == nullptr || store_record == nullptr) return TALVO_E_INVALID;
    TransactionRecord r;
    if (FromRecord(*record, r) != 0) return TALVO_E_INVALID;
    std::memcpy(store_record, &r, sizeof r);
    return 0;
}

TALVO_API int TALVO_CALL talvo_record_from_store(const void* store_record, talvo_record* record) {
    if (record == nullptr || store_record == nullptr) return TALVO_E_INVALID;
    TransactionRecord r;
    std::memcpy(&r, store_record, sizeof r);
    return ToRecord(r, *record);
}
}  // extern "C"
