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

// The raw records of a host's batch; false for a count outside 0 to 6.
bool ToImage(const talvo_batch& batch, BatchImage& image) {
    if (batch.count < 0 || batch.count > kBatchLimit) return false;
    image.mark = static_cast<std::uint16_t>(batch.mark);
    image.count = batch.count;
    image.raw.clear();
    for (int i = 0; i < batch.count; ++i) image.raw.append(batch.raw[i], kRawRecordLength);
    return true;
}

// The batch last fetched, as the host hands it back to be confirmed: the
// same batch under the same mark (the confirmation carries the mark).
bool FetchedAgain(const BatchImage& fetched, std::int32_t terminal, const talvo_batch& batch) {
    BatchImage image;
    return ToImage(batch, image) && SameBatch(terminal, fetched, batch.terminal, image) && batch.mark == fetched.mark;
}

// A fetched batch as the host sees it: the batch and its kept records.
int ToHost(const FetchedBatch& fetched, std::int32_t terminal, talvo_batch& batch, std::vector<talvo_record>& records) {
    records.assign(fetched.kept.size(), talvo_record{});
    for (std::size_t i = 0; i < fetched.kept.size(); ++i) {
        if (ToRecord(fetched.kept[i], records[i]) != 0) return TALVO_E_INTERNAL;
    }
    batch = talvo_batch{};
    batch.terminal = terminal;
    batch.mark = fetched.image.mark;
    batch.count = fetched.image.count;
    batch.kept = static_cast<std::int32_t>(records.size());
    for (int i = 0; i < fetched.image.count; ++i) {
        batch.status[i] = static_cast<std::int32_t>(fetched.status[i]);
        std::memcpy(batch.raw[i], fetched.image.raw.data() + kRawRecordLength * static_cast<std::size_t>(i),
                    kRawRecordLength);
    }
    return 0;
}

// The host's storage callback as a collection's sink.
class HostSink final : public BatchSink {
public:
    HostSink(talvo_collect_fn fn, void* user, std::int32_t terminal) : fn_(fn), user_(user), terminal_(terminal) {}

    bool Store(const FetchedBatch& fetched) override {
        if (ToHost(fetched, terminal_, batch_, records_) != 0) {
            broken_ = true;
            return false;
        }
        return Call(TALVO_COLLECT_STORE);
    }
    bool Withdraw(const FetchedBatch&) override { return Call(TALVO_COLLECT_WITHDRAW); }
    // A kept record that would not convert (never expected).
    bool Broken() const { return broken_; }

private:
    bool Call(int action) {
        return fn_(user_, action, &batch_, records_.empty() ? nullptr : records_.data(), records_.size()) == 0;
    }

    talvo_collect_fn fn_;
    void* user_;
    std::int32_t terminal_;
    talvo_batch batch_{};
    std::vector<talvo_record> records_;
    bool broken_ = false;
};

// A path argument: 1 to kMaxPath characters.
bool ValidPath(const char* path) {
    if (path == nullptr) return false;
    const std::size_t length = ::strnlen(path, kMaxPath + 1);
    return length > 0 && length <= kMaxPath;
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
        std::vector<talvo_record> records;
        talvo_batch b{};
        if (ToHost(fetched, terminal, b, records) != 0) return TALVO_E_INTERNAL;
        *n = records.size();
        if (records.size() > max) return TALVO_E_BUFFER;
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
        if (it == l.fetched.end() || !FetchedAgain(it->second, terminal, *batch)) return TALVO_E_BATCH;
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
    if (!ValidPath(path)) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        Collected out;
        CollectToStore(l, terminal, path, std::string(), out);
        if (stored != nullptr) *stored = out.result == 0 && out.stored ? out.batch.kept.size() : 0;
        return static_cast<int>(out.result);
    });
}

TALVO_API int TALVO_CALL talvo_records_collect_into(talvo_line* line, int terminal, const talvo_collect_args* args,
                                                    talvo_collect_result* result) {
    if (args == nullptr || result == nullptr || args->size != sizeof(talvo_collect_args)) return TALVO_E_INVALID;
    if ((args->store == nullptr) == (args->path == nullptr)) return TALVO_E_INVALID;
    if (args->path != nullptr && !ValidPath(args->path)) return TALVO_E_INVALID;
    if (args->log_path != nullptr && !ValidPath(args->log_path)) return TALVO_E_INVALID;
    return OnTerminal(line, terminal, [&](Line& l) {
        const std::string log = args->log_path != nullptr ? args->log_path : "";
        Collected out;
        bool broken = false;
        if (args->store != nullptr) {
            HostSink sink(args->store, args->user, terminal);
            Collect(l, terminal, sink, log, out);
            broken = sink.Broken();
        } else {
            CollectToStore(l, terminal, args->path, log, out);
        }
        talvo_collect_result r{};
        std::vector<talvo_record> records;
        if (ToHost(out.batch, terminal, r.batch, records) != 0) broken = true;
        r.rejected = out.batch.image.count - static_cast<std::int32_t>(records.size());
        // Stored and confirmed, or stored and perhaps still on the terminal.
        if (out.stored || (out.pending && !out.replayed)) {
            r.stored = static_cast<std::int32_t>(records.size());
            for (const talvo_record& record : records) r.total_cents += record.amount_cents;
        }
        r.replayed = out.replayed ? 1 : 0;
        r.unconfirmed = out.pending ? 1 : 0;
        *result = r;
        return broken ? TALVO_E_INTERNAL : static_cast<int>(out.result);
    });
}

TALVO_API int TALVO_CALL talvo_batch_same(const talvo_batch* a, const talvo_batch* b) {
    return Guarded(TALVO_E_INTERNAL, [&] {
        BatchImage x, y;
        if (a == nullptr || b == nullptr || !ToImage(*a, x) || !ToImage(*b, y)) return TALVO_E_INVALID;
        return SameBatch(a->terminal, x, b->terminal, y) ? 1 : 0;
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
