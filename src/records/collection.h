// Collection of transaction records from a terminal: one batch of up to six
// per call, handed over before the terminal is told to clear them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/line.h"
#include "records/transaction_record.h"

namespace talvo {

inline constexpr int kBatchLimit = 6;

// What became of each raw record of a batch.
enum class RawStatus { kKept = 0, kDamaged = 1, kUnwanted = 2 };

// One batch read from a terminal, decoded and checked.
struct FetchedBatch {
    // 0, or why the batch could not be read: the exchange's result, a
    // refusal, or (for a reply that announces more than six records)
    // TALVO_E_BAD_REPLY.
    std::int32_t result = TALVO_E_NOT_RUN;
    int announced = 0;  // the reply's count
    BatchImage image;
    RawStatus status[kBatchLimit] = {};
    std::vector<TransactionRecord> kept;  // decoded records the host wants
    std::vector<int> keptIndex;           // their places in the batch
};

// Reads one batch (command 0x37) without telling the terminal anything.
void FetchBatch(Line& line, std::int32_t terminal, FetchedBatch& batch);

// How the terminal answered the request to clear a batch.
enum class ConfirmOutcome {
    kConfirmed,  // accepted, echoing the batch's mark
    kKept,       // refused a request that reached it once: it still holds the batch
    kUncertain,  // no readable answer, another mark, or several requests sent
};
// Command 0x47 with the batch's mark; `result` receives the line API's code.
ConfirmOutcome ConfirmBatch(Line& line, std::int32_t terminal, const BatchImage& image, std::int32_t& result);

// Fetch, store in the file at `path`, confirm: the collection of the 43
// exports and of talvo_records_collect.  Returns 0 or a TALVO_E_* code;
// `stored` and `total` receive the records stored by this call and the
// single-precision sum of their amounts; `received` the count announced.
// A batch the terminal hands again after an unanswered confirmation is
// confirmed without being stored twice.
std::int32_t CollectBatch(Line& line, std::int32_t terminal, const std::string& path, int& stored, float& total,
                          int& received);

// Appends records to the store file at `path` (created when missing) and
// flushes them; the count rises only once they are written.
bool AppendToStore(const std::string& path, const std::vector<TransactionRecord>& records);

// True for records the host wants: card numbers "CLEAR", "ABCD" and any
// above "999999" (letters) are dropped.
bool KeepRecord(const TransactionRecord& record);
// Appends one entry for 28 raw characters to "ErrRec.doc" in the current
// directory.
void LogBadRecord(const unsigned char* raw);
// The entry's text: time stamp, tab, "-%X" per character, "\n\r".
std::string BadRecordEntry(const unsigned char* raw, const platform::clock::LocalTime& now);

// Steps of a collection, reported to an observer that tests use to stop
// the process at each of them (or to hold it there while another process
// uses the store): kStoreOpening just before the store file is opened or
// created, kStoreOpened once it is open and held, before its header is read.
enum class CollectionStep { kRecordsWritten, kHeaderWritten, kFlushed, kAcknowledged, kStoreOpening, kStoreOpened };
using CollectionObserver = void (*)(CollectionStep);
void SetCollectionObserver(CollectionObserver observer);

}  // namespace talvo
