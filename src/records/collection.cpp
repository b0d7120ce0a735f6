#include "records/collection.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "commands/families.h"
#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "records/record_store.h"
#include "talvo.h"

namespace talvo {
namespace {

CollectionObserver observer = nullptr;

void Reached(CollectionStep step) {
    if (observer != nullptr) observer(step);
}

class RecordReadCommand : public TerminalCommand {
public:
    explicit RecordReadCommand(Line& line) : TerminalCommand(line, family::kReadRecords) {}

    // A reply that carries records must carry exactly as many as its count
    // announces; one without payload reads as no records.
    int CheckReply(const unsigned char* frame, std::uint32_t length) const override {
        if (length < kFrameOverhead) return 0;
        if (length == kFrameOverhead) return 1;
        return length == kFrameOverhead + kRawRecordLength * GetHexPair(frame, 11) ? 1 : 0;
    }
};

using RecordClearCommand = Command<family::kClearRecords>;

}  // namespace

// Appends the batch and flushes it.  On any failure the count is set back
// as far as the file allows and false is returned: nothing may be
// acknowledged that is not on disk.
static bool StoreBatch(RecordStoreFile& store, const std::string& path, const std::vector<TransactionRecord>& kept,
                std::int32_t& oldCount) {
    // One open that creates a missing file without ever truncating one, and
    // holds it: two collections starting on a new file never wipe each
    // other's records.
    Reached(CollectionStep::kStoreOpening);
    if (!store.OpenOrCreateStore(path)) return false;
    Reached(CollectionStep::kStoreOpened);
    // A file that is not a store is left exactly as it is.
    if (!store.ReadHeader()) return false;
    oldCount = store.Count();
    const auto k = static_cast<std::uint32_t>(kept.size());
    if (static_cast<std::int64_t>(oldCount) + k > INT32_MAX) return false;
    if (!store.AppendRecords(kept.data(), k)) return false;
    Reached(CollectionStep::kRecordsWritten);
    store.SetCount(oldCount + static_cast<std::int32_t>(k));
    if (!store.WriteHeader()) {
        store.Withdraw(oldCount);
        return false;
    }
    Reached(CollectionStep::kHeaderWritten);
    if (!store.Flush()) {
        store.Withdraw(oldCount);
        return false;
    }
    Reached(CollectionStep::kFlushed);
    return true;
}

bool AppendToStore(const std::string& path, const std::vector<TransactionRecord>& records) {
    RecordStoreFile store;
    std::int32_t oldCount = 0;
    return StoreBatch(store, path, records, oldCount);
}

void FetchBatch(Line& line, std::int32_t terminal, FetchedBatch& batch) {
    batch = FetchedBatch{};
    RecordReadCommand read(line);
    read.Transact(terminal, 0, 0, kBatchLimit);
    batch.result = read.Outcome();
    if (batch.result != 0) return;
    batch.announced = read.ReplyCount();
    batch.image.mark = read.ReplyWord();
    if (batch.announced > kBatchLimit || read.ReplyPayloadLength() < kRawRecordLength * static_cast<std::uint32_t>(batch.announced)) {
        batch.result = TALVO_E_BAD_REPLY;
        return;
    }
    batch.image.count = batch.announced;
    const unsigned char* payload = read.ReplyPayload();
    if (batch.announced > 0) {
        batch.image.raw.assign(reinterpret_cast<const char*>(payload), kRawRecordLength * static_cast<std::size_t>(batch.announced));
    }
    for (int i = 0; i < batch.announced; ++i) {
        const unsigned char* at = payload + kRawRecordLength * static_cast<std::uint32_t>(i);
        if (!VerifyRawRecord(at)) {
            batch.status[i] = RawStatus::kDamaged;
            continue;
        }
        TransactionRecord record;
        std::memset(&record, 0, sizeof record);
        DecodeRecord(at, terminal, record);
        if (!KeepRecord(record)) {
            batch.status[i] = RawStatus::kUnwanted;
            continue;
        }
        batch.status[i] = RawStatus::kKept;
        batch.kept.push_back(record);
        batch.keptIndex.push_back(i);
    }
}

ConfirmOutcome ConfirmBatch(Line& line, std::int32_t terminal, const BatchImage& image, std::int32_t& result) {
    RecordClearCommand clear(line);
    clear.Transact(terminal, image.mark >> 8, image.mark & 0xFF, image.count);
    result = clear.Outcome();
    if (result == 0) {
        if (clear.ReplyWord() == image.mark) return ConfirmOutcome::kConfirmed;
        result = TALVO_E_UNCONFIRMED;
        return ConfirmOutcome::kUncertain;
    }
    // A refusal of the only request that reached the terminal: it kept the
    // batch.  After several requests one of them may have cleared it.
    if (result == TALVO_E_REFUSED && clear.requestsWritten == 1) return ConfirmOutcome::kKept;
    return ConfirmOutcome::kUncertain;
}

bool SameBatch(std::int32_t terminalA, const BatchImage& a, std::int32_t terminalB, const BatchImage& b) {
    return terminalA == terminalB && a.count == b.count && a.raw == b.raw;
}

namespace {

// The batch a line remembers as stored and not confirmed: its raw records.
BatchImage Remembered(const std::string& raw) {
    BatchImage image;
    image.count = static_cast<int>(raw.size() / kRawRecordLength);
    image.raw = raw;
    return image;
}

// The store file as a collection's sink.  The file is opened by the store
// and stays open, and locked, until the collection is over, so that a
// withdrawal sets back the count this collection raised.
class StoreFileSink final : public BatchSink {
public:
    explicit StoreFileSink(std::string path) : path_(std::move(path)) {}
    bool Store(const FetchedBatch& batch) override { return StoreBatch(store_, path_, batch.kept, oldCount_); }
    bool Withdraw(const FetchedBatch&) override { return store_.Withdraw(oldCount_); }

private:
    std::string path_;
    RecordStoreFile store_;
    std::int32_t oldCount_ = 0;
};

}  // namespace

void Collect(Line& line, std::int32_t terminal, BatchSink& sink, const std::string& logPath, Collected& out) {
    out = Collected{};
    FetchBatch(line, terminal, out.batch);
    out.result = out.batch.result;
    if (out.result != 0) return;
    const FetchedBatch& batch = out.batch;

    // The batch the terminal hands again after a confirmation that got no
    // clear answer: it is stored already.  Any other answer means the
    // terminal cleared that batch.
    auto replay = line.storedUnconfirmed.find(terminal);
    if (replay != line.storedUnconfirmed.end() &&
        !SameBatch(terminal, Remembered(replay->second), terminal, batch.image)) {
        line.storedUnconfirmed.erase(replay);
        replay = line.storedUnconfirmed.end();
    }
    if (batch.image.count == 0) return;
    std::int32_t result = 0;
    if (replay != line.storedUnconfirmed.end()) {
        out.replayed = true;
        const ConfirmOutcome answer = ConfirmBatch(line, terminal, batch.image, result);
        if (answer == ConfirmOutcome::kConfirmed) {
            line.storedUnconfirmed.erase(terminal);
            Reached(CollectionStep::kAcknowledged);
            out.result = 0;
            return;
        }
        // Still stored, and still perhaps on the terminal.
        out.pending = true;
        out.result = answer == ConfirmOutcome::kUncertain && result == TALVO_E_REFUSED ? TALVO_E_UNCONFIRMED : result;
        return;
    }

    if (!logPath.empty()) {
        for (int i = 0; i < batch.image.count; ++i) {
            if (batch.status[i] == RawStatus::kKept) continue;
            LogBadRecord(logPath, reinterpret_cast<const unsigned char*>(batch.image.raw.data()) +
                                      kRawRecordLength * static_cast<std::size_t>(i));
        }
    }
    // Stored first, confirmed after: a terminal clears a batch once it is
    // confirmed, so a batch confirmed before it is on disk would be lost to
    // a crash or a full disk in between.  The other order risks only a
    // batch stored and not confirmed, which comes again and is recognised
    // (storedUnconfirmed, SameBatch).
    out.offered = true;
    if (!sink.Store(batch)) {
        out.result = TALVO_E_STORE;
        return;
    }

    switch (ConfirmBatch(line, terminal, batch.image, result)) {
        case ConfirmOutcome::kConfirmed:
            Reached(CollectionStep::kAcknowledged);
            line.storedUnconfirmed.erase(terminal);
            out.stored = true;
            out.result = 0;
            return;
        case ConfirmOutcome::kKept:
            // The terminal still holds the batch: it is withdrawn and comes
            // again with the next collection.  One that cannot be withdrawn
            // is remembered as stored, so that it is not stored twice.
            if (!sink.Withdraw(batch)) {
                line.storedUnconfirmed[terminal] = batch.image.raw;
                out.pending = true;
            }
            out.result = result;
            return;
        case ConfirmOutcome::kUncertain:
            // The terminal may have cleared it: the batch stays stored, and
            // if it comes again it is confirmed without being stored twice.
            line.storedUnconfirmed[terminal] = batch.image.raw;
            out.pending = true;
            // A refusal after several requests may follow one the terminal
            // took: whether it cleared the batch is unknown.
            out.result = result == 0 || result == TALVO_E_REFUSED ? TALVO_E_UNCONFIRMED : result;
            return;
    }
    out.result = TALVO_E_INTERNAL;
}

void CollectToStore(Line& line, std::int32_t terminal, const std::string& path, const std::string& logPath,
                    Collected& out) {
    StoreFileSink sink(path);
    Collect(line, terminal, sink, logPath, out);
}

void SetCollectionObserver(CollectionObserver o) { observer = o; }

bool KeepRecord(const TransactionRecord& record) {
    char card[8] = {};
    std::memcpy(card, record.CardNumber, sizeof record.CardNumber);
    card[7] = '\0';
    for (char* c = card; *c != '\0'; ++c) {
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 32);
    }
    if (std::strcmp(card, "CLEAR") == 0 || std::strcmp(card, "ABCD") == 0) return false;
    // Byte-wise, as unsigned characters.
    return std::strcmp(card, "999999") <= 0;
}

std::string BadRecordEntry(const unsigned char* raw, const platform::clock::LocalTime& now) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d/%02d/%02d %02d:%02d:%02d\t", now.year, now.month, now.day, now.hour,
                  now.minute, now.second);
    std::string entry = stamp;
    char item[8];
    for (std::size_t i = 0; i < kRawRecordLength; ++i) {
        std::snprintf(item, sizeof item, "-%X", static_cast<unsigned>(raw[i]));
        entry += item;
    }
    entry += "\n\r";
    return entry;
}

void LogBadRecord(const std::string& path, const unsigned char* raw) {
    namespace file = platform::file;
    // Never truncated: two collections that start a new log at once both
    // append to it (one after the other; one that finds it held skips).
    file::Handle log = file::OpenOrCreate(path);
    if (log == file::kNoFile) return;
    if (file::SeekEnd(log)) {
        const std::string entry = BadRecordEntry(raw, platform::clock::Now());
        file::Write(log, entry.data(), entry.size());
    }
    file::Close(log);
}

}  // namespace talvo
