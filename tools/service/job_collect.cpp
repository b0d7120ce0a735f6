#include <algorithm>
#include <chrono>
#include <cstring>

#include "jobs.h"
#include "log.h"
#include "replay.h"

namespace talvo::service {
namespace {

using Clock = Scheduler::Clock;

// A batch a terminal keeps handing over is worked off in one go, but not
// for ever: the other terminals of the line get their turn.
constexpr int kBatchesPerTurn = 200;

// Bytes from the line as text that any database takes: printable ASCII as
// it is, anything else as \xHH.  The same bytes always give the same text,
// so a batch handed over again compares equal.
std::string Printable(const char* bytes, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            static const char* hex = "0123456789ABCDEF";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string Text(const char* s, std::size_t max) { return Printable(s, strnlen(s, max)); }

// A fetched batch as the database keeps it: its raw records (what a batch
// handed over again is recognised by), the records and the rejected raw
// records.
Batch ToBatch(const std::string& line, int terminal, const talvo_batch& batch, const talvo_record* records,
              std::size_t n) {
    Batch b;
    b.line = line;
    b.terminal = terminal;
    b.mark = batch.mark;
    const int count = std::min<int>(batch.count, TALVO_BATCH_MAX);
    for (int i = 0; i < count; ++i) {
        // All 28 characters, a zero byte among them too.
        const std::string raw = Printable(batch.raw[i], 28);
        b.raw += raw;
        if (batch.status[i] != TALVO_RAW_KEPT) {
            b.rejected.push_back(RejectedRaw{i, raw,
                                             batch.status[i] == TALVO_RAW_DAMAGED
                                                 ? "damaged: the check pair does not match"
                                                 : "unwanted card number"});
        }
    }
    for (std::size_t i = 0; i < n && i < TALVO_BATCH_MAX; ++i) {
        const talvo_record& r = records[i];
        Record out;
        out.terminal = terminal;
        out.card = Text(r.card, sizeof r.card);
        out.type = r.type;
        out.amountCents = r.amount_cents;
        out.secondAmountCents = r.second_amount_cents;
        out.year = r.year;
        out.month = r.month;
        out.day = r.day;
        out.hour = r.hour;
        out.minute = r.minute;
        b.records.push_back(out);
    }
    return b;
}

// Commits the batch unless it is the terminal's last committed batch handed
// over again (its confirmation was lost): kReplayed then, nothing stored.
// Whether it repeats that batch is asked (by the library's rule) only when
// that batch's confirmation got no clear answer, or it is not known whether
// it did (after a start).  Throws DbError when nothing was committed.
StoreOutcome CommitOrRecogniseReplay(Connection& db, const Batch& batch, const std::string& host, TerminalRun& t) {
    const RepeatCheck repeats = t.lastConfirmed ? RepeatCheck() : RepeatCheck(RepeatsCommitted);
    t.lastConfirmed = false;
    return StoreBatch(db, batch, host, repeats);
}

// Fetch, store, commit, confirm: until the terminal has no more records,
// the worker is asked to stop, or the turn is over.  Returns false when the
// database failed (nothing was confirmed).
bool CollectTurn(LineContext& line, TerminalRun& t) {
    const std::string& name = line.Name();
    const int number = t.config.number;
    Metrics& metrics = line.metrics();
    for (int turn = 0; turn < kBatchesPerTurn; ++turn) {
        // Between batches (the last one confirmed), a card blocked
        // meanwhile and the interface's commands go first: a terminal with a
        // long backlog does not hold a lost card back.
        if (turn > 0) {
            if (line.TakeSyncWanted() && !SyncJob(line, true)) return false;
            CommandJob(line);
        }
        const auto started = Clock::now();
        talvo_record records[TALVO_BATCH_MAX];
        std::size_t n = 0;
        talvo_batch batch;
        std::memset(&batch, 0, sizeof batch);
        talvo_line* handle = line.OpenLine();
        int rc = talvo_records_fetch(handle, number, records, TALVO_BATCH_MAX, &n, &batch);
        metrics.Exchange(name, "collect", rc);
        line.Outcome(t, rc);
        if (rc != TALVO_OK) return true;
        if (batch.count <= 0) {
            t.shown.waiting = 0;
            t.shown.lastCollection = UtcNow();
            return true;
        }
        t.shown.waiting.reset();
        const Batch b = ToBatch(name, number, batch, records, n);

        Connection* c = line.Database();
        if (c == nullptr) {
            metrics.DatabaseFailure(name);
            return false;
        }
        StoreOutcome stored;
        try {
            stored = CommitOrRecogniseReplay(*c, b, line.Host(), t);
            line.Wrote(true);
        } catch (const DbError& e) {
            // Nothing committed (or not known to be): nothing confirmed.
            // The terminal keeps the batch and hands it over again.
            line.DatabaseFailed(e, true);
            return false;
        }
        Log(Level::kDebug, "batch-committed", {{"line", name}, {"terminal", std::to_string(number)},
                                               {"mark", std::to_string(batch.mark)},
                                               {"replayed", stored == StoreOutcome::kReplayed ? "yes" : "no"}});

        rc = talvo_records_confirm(handle, number, &batch);
        t.lastConfirmed = rc == TALVO_OK;
        metrics.Exchange(name, "collect", rc);
        line.Outcome(t, rc);
        if (stored == StoreOutcome::kReplayed) {
            metrics.BatchReplayed(name);
            Log(Level::kInfo, "batch-replayed", {{"line", name}, {"terminal", std::to_string(number)},
                                                 {"mark", std::to_string(batch.mark)},
                                                 {"confirmed", rc == TALVO_OK ? "yes" : "no"}});
        } else {
            metrics.BatchStored(name, b.records.size(), b.rejected.size());
            t.stored += static_cast<std::int64_t>(b.records.size());
            t.rejected += static_cast<std::int64_t>(b.rejected.size());
            Log(Level::kDebug, "batch-stored", {{"line", name}, {"terminal", std::to_string(number)},
                                                {"mark", std::to_string(batch.mark)},
                                                {"records", std::to_string(b.records.size())},
                                                {"rejected", std::to_string(b.rejected.size())}});
        }
        if (rc != TALVO_OK) {
            // Committed but not confirmed: the terminal hands the batch
            // over again and it is recognised then.
            Log(Level::kWarning, "batch-unconfirmed", {{"line", name}, {"terminal", std::to_string(number)},
                                                       {"mark", std::to_string(batch.mark)},
                                                       {"error", talvo_strerror(rc)}});
            return true;
        }
        metrics.CollectionLatency(std::chrono::duration<double>(Clock::now() - started).count());
        if (line.Stopping()) return true;
    }
    return true;
}

}  // namespace

bool CollectFrom(LineContext& line, TerminalRun& t) {
    t.collectPending = true;
    const bool ok = CollectTurn(line, t);
    if (ok && t.shown.state == "up" && t.shown.waiting) t.collectPending = false;
    return ok;
}

bool CollectJob(LineContext& line) {
    std::vector<TerminalRun*> all;
    for (TerminalRun& t : line.Terminals()) {
        t.collectPending = true;
        all.push_back(&t);
    }
    return RunJob(line, "collect", line.scheduler().IntervalMs(Scheduler::Job::kCollect), all, [&](TerminalRun& t) {
        // A card blocked meanwhile goes to the terminals before the next
        // collection.
        if (line.TakeSyncWanted() && !SyncJob(line, true)) return false;
        return CollectFrom(line, t);
    });
}

void CollectNowJob(LineContext& line, std::map<int, std::vector<std::shared_ptr<CollectTicket>>>& tickets) {
    std::vector<TerminalRun*> asked;
    for (TerminalRun& t : line.Terminals()) {
        if (tickets.count(t.config.number) == 0) continue;
        line.scheduler().EndBackoff(t.config.number);
        asked.push_back(&t);
    }
    std::map<int, CollectResult> results;
    RunJob(line, "collect-now", line.scheduler().IntervalMs(Scheduler::Job::kCollect), asked, [&](TerminalRun& t) {
        const std::int64_t stored = t.stored, rejected = t.rejected;
        const bool ok = CollectFrom(line, t);
        CollectResult& r = results[t.config.number];
        r.done = true;
        r.records = static_cast<int>(t.stored - stored);
        r.rejected = static_cast<int>(t.rejected - rejected);
        r.state = t.shown.state;
        if (!ok) {
            r.error = "database unavailable: " + line.DatabaseError();
        } else if (t.shown.state != "up") {
            r.error = t.shown.lastErrorText.empty() ? t.shown.state : t.shown.lastErrorText;
        }
        return ok;
    });
    const std::string otherwise =
        line.Stopping() ? "the line is stopping" : "database unavailable: " + line.DatabaseError();
    for (auto& [number, waiting] : tickets) {
        auto it = results.find(number);
        const CollectResult r = it != results.end() ? it->second : CollectResult{true, 0, 0, "", otherwise};
        for (auto& ticket : waiting) ticket->Finish(r);
    }
    tickets.clear();
}

}  // namespace talvo::service
