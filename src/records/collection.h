// Collection of transaction records from a terminal: one batch of up to six
// per call, handed over before the terminal is told to clear them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/line.h"
#include "records/transaction_record.h"
#include "talvo.h"

namespace talvo {

inline constexpr int kBatchLimit = 6;

// What became of each raw record of a batch, numbered as the line API
// hands it to hosts (TALVO_RAW_*).
enum class RawStatus : std::int32_t {
    kKept = TALVO_RAW_KEPT,
    kDamaged = TALVO_RAW_DAMAGED,
    kUnwanted = TALVO_RAW_UNWANTED
};

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

// The one rule for "the same batch" (talvo_batch_same): a batch handed
// over again after a confirmation that got no clear answer is recognised by
// its terminal, its count and its raw records byte for byte, whatever its
// mark (a terminal may mark a batch anew when it hands it again).
bool SameBatch(std::int32_t terminalA, const BatchImage& a, std::int32_t terminalB, const BatchImage& b);

// Where a collection puts a batch.  Store() keeps the batch's records
// durably and returns true only once they are; Withdraw() takes them out
// again when the terminal certainly kept the batch (it refused the one
// confirmation it got) and returns true once they are out.
class BatchSink {
public:
    virtual ~BatchSink() = default;
    virtual bool Store(const FetchedBatch& batch) = 0;
    virtual bool Withdraw(const FetchedBatch& batch) = 0;
};

// What became of one collection.
struct Collected {
    std::int32_t result = TALVO_E_NOT_RUN;  // 0 or a TALVO_E_* code
    FetchedBatch batch;                     // as the terminal handed it
    bool offered = false;   // handed to the sink's Store (whatever it answered)
    bool stored = false;    // stored by the sink and confirmed by the terminal
    bool replayed = false;  // the batch stored before, handed again: not stored again
    bool pending = false;   // stored, and the terminal may still hold it: the
                            // line remembers it until the terminal tells
};

// The library's collection: fetches one batch, logs its damaged and
// unwanted raw records to `logPath` (empty: no log), has `sink` store it,
// then tells the terminal to clear it.  A batch that the terminal refused
// to clear after the one request it got is withdrawn from the sink; one
// whose confirmation got no clear answer stays stored and is remembered on
// the line, so that when the terminal hands the same batch again it is
// confirmed without being stored twice.  Any other batch, or none, tells
// that the terminal had cleared it.
void Collect(Line& line, std::int32_t terminal, BatchSink& sink, const std::string& logPath, Collected& out);

// Collect() into the store file at `path` (created when missing): the
// collection of the 43 exports and of talvo_records_collect.  The file stays
// open, and locked, from the store to the confirmation.
void CollectToStore(Line& line, std::int32_t terminal, const std::string& path, const std::string& logPath,
                    Collected& out);

// Appends records to the store file at `path` (created when missing) and
// flushes them; the count rises only once they are written.
bool AppendToStore(const std::string& path, const std::vector<TransactionRecord>& records);

// True for records the host wants: card numbers "CLEAR", "ABCD" and any
// above "999999" (letters) are dropped.
bool KeepRecord(const TransactionRecord& record);
// The log of the 43 exports' collections, in the current directory.
inline constexpr const char* kBadRecordLog = "ErrRec.doc";
// Appends one entry for 28 raw characters to the log at `path`.
void LogBadRecord(const std::string& path, const unsigned char* raw);
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
