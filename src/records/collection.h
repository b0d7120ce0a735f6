// Collection of transaction records from a terminal: one batch of up to six
// per call, stored and flushed before the terminal is told to clear them.
#pragma once

#include <string>

#include "records/transaction_record.h"

namespace talvo {

// True for records the host wants: card numbers "CLEAR", "ABCD" and any
// above "999999" (letters) are dropped.
bool KeepRecord(const TransactionRecord& record);
// Appends one entry for 28 raw characters to "ErrRec.doc" in the current
// directory.
void LogBadRecord(const unsigned char* raw);
// The entry's text: time stamp, tab, "-%X" per character, "\n\r".
std::string BadRecordEntry(const unsigned char* raw, const platform::clock::LocalTime& now);

// Steps of a collection, reported to an observer that tests use to stop
// the process at each of them.
enum class CollectionStep { kRecordsWritten, kHeaderWritten, kFlushed, kAcknowledged };
using CollectionObserver = void (*)(CollectionStep);
void SetCollectionObserver(CollectionObserver observer);

}  // namespace talvo
