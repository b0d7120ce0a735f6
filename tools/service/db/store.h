// What the service writes: batches with their records and rejected raw
// records (exactly once per batch), terminal states and job runs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"

namespace talvo::service {

struct Record {
    int terminal = 0;
    std::string card;
    int type = 0;                  // 5 payment, 13 deposit, 14 subsidy
    std::int64_t amountCents = 0;  // negative for payments
    std::int64_t secondAmountCents = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0;
};

struct RejectedRaw {
    int position = 0;   // within the batch
    std::string raw;    // as the terminal sent it
    std::string reason;
};

// One batch as handed over by a terminal.
struct Batch {
    std::string line;
    int terminal = 0;
    int mark = 0;
    std::string raw;  // the raw records of the batch, concatenated
    std::vector<Record> records;
    std::vector<RejectedRaw> rejected;
};

enum class StoreOutcome {
    kStored,    // committed now: confirm it to the terminal
    kReplayed,  // the last committed batch of this terminal handed over again
                // (the confirmation was lost): confirm it, nothing stored
};

// A terminal's last committed batch, as the replay check sees it.
struct CommittedBatch {
    int terminal = 0;
    int mark = 0;
    int count = 0;    // raw records: records and rejected ones
    std::string raw;  // as stored
};
// Whether `fetched` is `committed` handed over again (replay.h).
using RepeatCheck = std::function<bool(const Batch& fetched, const CommittedBatch& committed)>;

// Stores the batches, their records and their rejected raw records in one
// transaction (one commit for batches of several terminals), each unless
// its `repeats` (the check at the same index; an empty one for none) finds
// it repeating its terminal's last committed batch: that one is kReplayed,
// the others kStored.  Each batch is checked against what was committed
// before it, the batches before it in the same call included.  Returns
// only after the commit; throws DbError when nothing was committed (or
// when the commit's outcome is unknown: the next attempt then finds the
// batches committed, or stores them).  std::invalid_argument, nothing
// written, when there is not one check per batch.
std::vector<StoreOutcome> StoreBatches(Connection& db, const std::vector<Batch>& batches, const std::string& host,
                                       const std::vector<RepeatCheck>& repeats);
// One batch alone.
StoreOutcome StoreBatch(Connection& db, const Batch& batch, const std::string& host, const RepeatCheck& repeats);

// Date and time texts of a record as stored.
std::string RecordAt(const Record& r);   // "YYYY-MM-DD HH:MM"
std::string RecordDay(const Record& r);  // "YYYY-MM-DD"

// The state of one terminal, as shown on the page.
struct TerminalState {
    std::string line;
    int number = 0;
    std::string kind;  // payment or attendance
    std::string name;
    std::string state = "unknown";  // up, down, refusing, unknown
    std::string lastSeen;           // UTC, ISO 8601; empty = never
    std::string downSince;
    int lastError = 0;
    std::string lastErrorText;
    int failures = 0;               // consecutive
    std::string lastCollection;
    std::optional<std::int64_t> waiting;  // records still on the terminal, if known
    // An attendance terminal's clock as last read ("YYYY-MM-DD HH:MM:SS",
    // its own wall time) and when (UTC); empty when not read since the
    // start: the database keeps the one read before.
    std::string clock;
    std::string clockRead;
};

void SaveTerminal(Connection& db, const TerminalState& t, const std::string& host);

struct JobRun {
    std::string line, job;
    std::int64_t intervalMs = 0;
    std::string start, end, result;
    bool failed = false;
};
void SaveJobRun(Connection& db, const JobRun& run, const std::string& host);

// The current UTC time as "YYYY-MM-DDTHH:MM:SS.mmmZ".
std::string UtcNow();

}  // namespace talvo::service
