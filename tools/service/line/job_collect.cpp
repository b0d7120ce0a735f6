#include <algorithm>
#include <chrono>
#include <cstring>

#include "line/jobs.h"
#include "log.h"
#include "db/replay.h"

namespace talvo::service {
namespace {

using Clock = Scheduler::Clock;

// Backlogs are worked off in one go, but not for ever: at most this many
// rounds (a batch of each terminal) in one collection, then the line's
// other jobs get their turn.
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

// A batch fetched from its terminal, to be committed and then confirmed.
struct InHand {
    TerminalRun* t = nullptr;
    talvo_batch batch{};
    Batch kept;
    Clock::time_point started;
};

// Commits the batches in one transaction, each unless it is its terminal's
// last committed batch handed over again (its confirmation was lost):
// kReplayed then, nothing stored for it.  Whether a batch repeats that one
// is asked (by the library's rule) only when that batch's confirmation got
// no clear answer, or it is not known whether it did (after a start).
// Throws DbError when nothing was committed.
std::vector<StoreOutcome> CommitOrRecogniseReplays(Connection& db, const std::vector<InHand>& hand,
                                                   const std::string& host) {
    std::vector<Batch> batches;
    std::vector<RepeatCheck> repeats;
    for (const InHand& h : hand) {
        batches.push_back(h.kept);
        repeats.push_back(h.t->lastConfirmed ? RepeatCheck() : RepeatCheck(RepeatsCommitted));
        // Until its confirmation comes through, whatever happens to the
        // commit.
        h.t->lastConfirmed = false;
    }
    return StoreBatches(db, batches, host, repeats);
}

// Asks the terminal for its next batch: true with a batch in `out`, false
// when it has none left (its waiting records then known to be none) or did
// not hand one over.
bool Fetch(LineContext& line, TerminalRun& t, InHand& out) {
    const int number = t.config.number;
    out.t = &t;
    out.started = Clock::now();
    talvo_record records[TALVO_BATCH_MAX];
    std::size_t n = 0;
    std::memset(&out.batch, 0, sizeof out.batch);
    const int rc = talvo_records_fetch(line.OpenLine(), number, records, TALVO_BATCH_MAX, &n, &out.batch);
    line.metrics().Exchange(line.Name(), "collect", rc);
    line.Outcome(t, rc);
    if (rc != TALVO_OK) return false;
    if (out.batch.count <= 0) {
        t.shown.waiting = 0;
        t.shown.lastCollection = UtcNow();
        return false;
    }
    t.shown.waiting.reset();
    out.kept = ToBatch(line.Name(), number, out.batch, records, n);
    return true;
}

// Confirms a committed batch to its terminal; false when the terminal did
// not take the confirmation (it hands the batch over again, and it is
// recognised then).
bool Confirm(LineContext& line, InHand& h, StoreOutcome stored) {
    const std::string& name = line.Name();
    TerminalRun& t = *h.t;
    const std::string number = std::to_string(t.config.number);
    const std::string mark = std::to_string(h.batch.mark);
    Metrics& metrics = line.metrics();
    const int rc = talvo_records_confirm(line.OpenLine(), t.config.number, &h.batch);
    t.lastConfirmed = rc == TALVO_OK;
    metrics.Exchange(name, "collect", rc);
    line.Outcome(t, rc);
    if (stored == StoreOutcome::kReplayed) {
        metrics.BatchReplayed(name);
        Log(Level::kInfo, "batch-replayed", {{"line", name}, {"terminal", number}, {"mark", mark},
                                             {"confirmed", rc == TALVO_OK ? "yes" : "no"}});
    } else {
        metrics.BatchStored(name, h.kept.records.size(), h.kept.rejected.size());
        t.stored += static_cast<std::int64_t>(h.kept.records.size());
        t.rejected += static_cast<std::int64_t>(h.kept.rejected.size());
        Log(Level::kDebug, "batch-stored", {{"line", name}, {"terminal", number}, {"mark", mark},
                                            {"records", std::to_string(h.kept.records.size())},
                                            {"rejected", std::to_string(h.kept.rejected.size())}});
    }
    if (rc != TALVO_OK) {
        Log(Level::kWarning, "batch-unconfirmed",
            {{"line", name}, {"terminal", number}, {"mark", mark}, {"error", talvo_strerror(rc)}});
        return false;
    }
    metrics.CollectionLatency(std::chrono::duration<double>(Clock::now() - h.started).count());
    return true;
}

// Collects from the terminals together, in rounds: a batch from each that
// has one, all of them committed in one transaction, then each confirmed.
// A terminal leaves when it has no more records, did not hand a batch
// over, did not take its confirmation or has had its turn's batches; the
// collection ends when none is left or the worker is asked to stop.  No
// batch is confirmed before the commit that holds it.  Returns false when
// the database failed (nothing of that round was confirmed).
bool CollectTurn(LineContext& line, std::vector<TerminalRun*> active) {
    for (int round = 0; round < kBatchesPerTurn && !active.empty(); ++round) {
        // Between rounds (every batch of the last one confirmed), a card
        // blocked meanwhile, a blacklist push due again and the interface's
        // commands go first: a long
        // backlog does not hold a lost card back.
        // A failed push's retry keeps its due time as well.
        if ((line.TakeSyncWanted() || BlacklistDue(line)) && !SyncJob(line, true)) return false;
        if (round > 0) CommandJob(line);
        std::vector<InHand> hand;
        // The terminals this round does not reach: first in the next one.
        std::vector<TerminalRun*> later;
        for (TerminalRun* t : active) {
            // Asked to stop: batches fetched and not committed stay on their
            // terminals and come again.
            if (line.Stopping()) return true;
            // A card blocked or a command for the interface meanwhile: the
            // round is cut short so that it does not wait for the others.
            if (!later.empty() || (!hand.empty() && (line.Tasks().Has(Task::Kind::kSync) ||
                                                      line.Tasks().Has(Task::Kind::kCommand)))) {
                later.push_back(t);
                continue;
            }
            InHand h;
            if (!Fetch(line, *t, h)) continue;
            hand.push_back(std::move(h));
        }
        if (hand.empty()) return true;

        Connection* c = line.Database();
        if (c == nullptr) {
            line.metrics().DatabaseFailure(line.Name());
            return false;
        }
        std::vector<StoreOutcome> stored;
        try {
            stored = CommitOrRecogniseReplays(*c, hand, line.Host());
            line.Wrote(true);
        } catch (const DbError& e) {
            // Nothing committed (or not known to be): nothing confirmed.
            // Every terminal keeps its batch and hands it over again.
            line.DatabaseFailed(e, true);
            return false;
        }
        for (std::size_t i = 0; i < hand.size(); ++i) {
            Log(Level::kDebug, "batch-committed",
                {{"line", line.Name()}, {"terminal", std::to_string(hand[i].t->config.number)},
                 {"mark", std::to_string(hand[i].batch.mark)},
                 {"replayed", stored[i] == StoreOutcome::kReplayed ? "yes" : "no"}});
        }
        // Every committed batch is confirmed, a stop asked for meanwhile
        // too: a terminal that misses its confirmation does not hold up the
        // others' (it leaves the collection).
        active = std::move(later);
        for (std::size_t i = 0; i < hand.size(); ++i) {
            if (Confirm(line, hand[i], stored[i])) active.push_back(hand[i].t);
        }
        if (line.Stopping()) return true;
    }
    return true;
}

// The collection of `terminals`, their records pending until each has
// handed over all it holds.
bool CollectAll(LineContext& line, const std::vector<TerminalRun*>& terminals) {
    for (TerminalRun* t : terminals) t->collectPending = true;
    const bool ok = CollectTurn(line, terminals);
    for (TerminalRun* t : terminals) {
        if (ok && t->shown.state == "up" && t->shown.waiting) t->collectPending = false;
    }
    return ok;
}

}  // namespace

bool CollectFrom(LineContext& line, TerminalRun& t) { return CollectAll(line, {&t}); }

bool CollectJob(LineContext& line) {
    std::vector<TerminalRun*> all;
    for (TerminalRun& t : line.Terminals()) {
        t.collectPending = true;
        all.push_back(&t);
    }
    return RunJobTogether(line, "collect", line.scheduler().IntervalMs(Scheduler::Job::kCollect), all,
                          [&](const std::vector<TerminalRun*>& ready) { return CollectAll(line, ready); });
}

void CollectNowJob(LineContext& line, std::map<int, std::vector<std::shared_ptr<CollectTicket>>>& tickets) {
    std::vector<TerminalRun*> asked;
    for (TerminalRun& t : line.Terminals()) {
        if (tickets.count(t.config.number) == 0) continue;
        line.scheduler().EndBackoff(t.config.number);
        asked.push_back(&t);
    }
    std::map<int, CollectResult> results;
    RunJobTogether(line, "collect-now", line.scheduler().IntervalMs(Scheduler::Job::kCollect), asked,
                   [&](const std::vector<TerminalRun*>& ready) {
                       std::map<int, std::pair<std::int64_t, std::int64_t>> before;
                       for (const TerminalRun* t : ready) before[t->config.number] = {t->stored, t->rejected};
                       const bool ok = CollectAll(line, ready);
                       for (const TerminalRun* t : ready) {
                           CollectResult& r = results[t->config.number];
                           r.done = true;
                           r.records = static_cast<int>(t->stored - before[t->config.number].first);
                           r.rejected = static_cast<int>(t->rejected - before[t->config.number].second);
                           r.state = t->shown.state;
                           if (!ok) {
                               r.error = "database unavailable: " + line.DatabaseError();
                           } else if (t->shown.state != "up") {
                               r.error = t->shown.lastErrorText.empty() ? t->shown.state : t->shown.lastErrorText;
                           }
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
