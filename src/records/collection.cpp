#include "records/collection.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "protocol/codec.h"
#include "protocol/terminal_command.h"
#include "records/record_store.h"
#include "shell/export_guard.h"
#include "talvo.h"

namespace talvo {
namespace {

constexpr std::uint8_t kReadRecords = 0x37;
constexpr std::uint8_t kClearRecords = 0x47;
constexpr int kBatchLimit = 6;

CollectionObserver observer = nullptr;

void Reached(CollectionStep step) {
    if (observer != nullptr) observer(step);
}

enum class RawOutcome { kMissing, kDamaged, kDecoded };

class RecordReadCommand : public TerminalCommand {
public:
    RecordReadCommand() : TerminalCommand(kReadRecords) {}

    // A reply that carries records must carry exactly as many as its count
    // announces; one without payload reads as no records.
    int CheckReply(const unsigned char* frame, std::uint32_t length) const override {
        if (length < kFrameOverhead) return 0;
        if (length == kFrameOverhead) return 1;
        return length == kFrameOverhead + kRawRecordLength * GetHexPair(frame, 11) ? 1 : 0;
    }

    RawOutcome ReadRawRecord(int i, std::int32_t terminal, TransactionRecord& record, unsigned char* raw) const {
        const std::uint32_t need = kRawRecordLength * static_cast<std::uint32_t>(i + 1);
        if (i >= n || ReplyPayloadLength() < need) return RawOutcome::kMissing;
        const unsigned char* at = ReplyPayload() + kRawRecordLength * static_cast<std::uint32_t>(i);
        if (!VerifyRawRecord(at)) {
            std::memcpy(raw, at, kRawRecordLength);
            return RawOutcome::kDamaged;
        }
        std::memset(&record, 0, sizeof record);
        DecodeRecord(at, terminal, record);
        return RawOutcome::kDecoded;
    }

    int n = 0;
};

using RecordClearCommand = Command<kClearRecords>;

// Appends the batch and flushes it.  On any failure the count is set back
// as far as the file allows and false is returned: nothing may be
// acknowledged that is not on disk.
bool StoreBatch(RecordStoreFile& store, const std::string& path, const std::vector<TransactionRecord>& kept,
                std::int32_t& oldCount) {
    if (!RecordStoreFile::StoreExists(path) && !RecordStoreFile::CreateStore(path)) return false;
    if (!store.OpenStore(path)) return false;
    // A file that is not a store is left exactly as it is.
    if (!store.ReadHeader()) return false;
    oldCount = store.Count();
    const auto k = static_cast<std::uint32_t>(kept.size());
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

int Collect(std::int32_t terminal, int* count, float* total, const char* path) {
    RecordReadCommand read;
    read.Transact(terminal, 0, 0, kBatchLimit);
    read.n = read.ReplyCount();
    if (read.IsAccepted() == 0) return 0;
    *count = read.n;
    if (read.n > kBatchLimit) return 0;
    const std::uint16_t mark = read.ReplyWord();
    *total = 0.0f;
    if (read.n == 0) {
        *count = 0;
        return 1;
    }

    std::vector<TransactionRecord> kept;
    kept.reserve(static_cast<std::size_t>(read.n));
    // Added in single precision, record by record (volatile keeps the x87
    // unit of a 32-bit build from carrying extra precision along).
    volatile float sum = 0.0f;
    for (int i = 0; i < read.n; ++i) {
        TransactionRecord record;
        unsigned char raw[kRawRecordLength];
        switch (read.ReadRawRecord(i, terminal, record, raw)) {
            case RawOutcome::kMissing:
                *count = 0;
                *total = 0.0f;
                return 0;
            case RawOutcome::kDamaged:
                LogBadRecord(raw);
                break;
            case RawOutcome::kDecoded: {
                if (!KeepRecord(record)) {
                    const unsigned char* payload = read.ReplyPayload() + kRawRecordLength * static_cast<std::uint32_t>(i);
                    LogBadRecord(payload);
                    break;
                }
                sum = sum + record.Amount;
                *total = sum;
                kept.push_back(record);
                break;
            }
        }
    }

    RecordStoreFile store;
    std::int32_t oldCount = 0;
    if (!StoreBatch(store, path, kept, oldCount)) return 0;

    RecordClearCommand clear;
    clear.Transact(terminal, mark >> 8, mark & 0xFF, read.n);
    if (clear.IsAccepted() != 0 && clear.ReplyWord() == mark) {
        Reached(CollectionStep::kAcknowledged);
        store.CloseStore();
        *count = static_cast<int>(kept.size());
        return 1;
    }
    // Not confirmed: the batch is withdrawn from the store.
    store.Withdraw(oldCount);
    store.CloseStore();
    return 0;
}

}  // namespace

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

void LogBadRecord(const unsigned char* raw) {
    namespace file = platform::file;
    file::Handle log = file::OpenExisting("ErrRec.doc");
    if (log == file::kNoFile) log = file::Create("ErrRec.doc");
    if (log == file::kNoFile) return;
    if (file::SeekEnd(log)) {
        const std::string entry = BadRecordEntry(raw, platform::clock::Now());
        file::Write(log, entry.data(), entry.size());
    }
    file::Close(log);
}

}  // namespace talvo

extern "C" {

TALVO_API int TALVO_CALL AutoReadJyzm(int terminal, int* count, float* total, const char* path) {
    if (count == nullptr || total == nullptr || path == nullptr) return 0;
    return talvo::WithPort(0, [&] { return talvo::Collect(terminal, count, total, path); });
}

TALVO_API int TALVO_CALL Clearjyzm(int terminal, int count, unsigned short* mark) {
    if (mark == nullptr) return 0;
    return talvo::WithPort(0, [&] {
        talvo::RecordClearCommand command;
        command.Transact(terminal, 0, 0, count);
        if (command.IsAccepted() == 0) return 0;
        *mark = command.ReplyWord();
        return 1;
    });
}

}  // extern "C"
