#include "store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

namespace talvo::service {
namespace {

// Records per INSERT: a terminal's batch (at most 6) in one, and well under
// the bound parameters either backend takes.
constexpr std::size_t kRowsPerStatement = 50;

}  // namespace

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return text;
}

std::string RecordDay(const Record& r) {
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", r.year, r.month, r.day);
    return text;
}

std::string RecordAt(const Record& r) {
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", r.year, r.month, r.day, r.hour, r.minute);
    return text;
}

StoreOutcome StoreBatch(Connection& db, const Batch& batch, const std::string& host, const RepeatCheck& repeats) {
    Transaction tx(db);
    if (repeats) {
        const Rows last =
            db.QueryRepeated("SELECT mark, raw, records, rejected FROM batches WHERE line = ? AND terminal = ?"
                     " ORDER BY id DESC LIMIT 1",
                     {batch.line, static_cast<std::int64_t>(batch.terminal)});
        if (!last.empty()) {
            CommittedBatch committed;
            committed.terminal = batch.terminal;
            committed.mark = static_cast<int>(AsInt(last[0][0], -1));
            committed.raw = AsText(last[0][1]);
            committed.count = static_cast<int>(AsInt(last[0][2], 0) + AsInt(last[0][3], 0));
            if (repeats(batch, committed)) return StoreOutcome::kReplayed;  // rolled back: nothing written
        }
    }
    const std::string now = UtcNow();
    const Rows id = db.QueryRepeated(
        "INSERT INTO batches (line, terminal, mark, raw, records, rejected, stored_at, host)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
        {batch.line, static_cast<std::int64_t>(batch.terminal), static_cast<std::int64_t>(batch.mark), batch.raw,
         static_cast<std::int64_t>(batch.records.size()), static_cast<std::int64_t>(batch.rejected.size()), now, host});
    const std::int64_t batchId = AsInt(id.at(0).at(0));
    // The records in statements of up to kRowsPerStatement rows each (one
    // for a terminal's batch), and the day totals they add to.
    std::map<std::tuple<std::string, int, int>, std::pair<std::int64_t, std::int64_t>> totals;
    for (std::size_t first = 0; first < batch.records.size(); first += kRowsPerStatement) {
        const std::size_t end = std::min(batch.records.size(), first + kRowsPerStatement);
        std::string sql =
            "INSERT INTO records (batch_id, position, line, terminal, card, type, amount_cents, second_amount_cents,"
            " at, day) VALUES ";
        std::vector<Value> params;
        params.reserve((end - first) * 10);
        for (std::size_t i = first; i < end; ++i) {
            const Record& r = batch.records[i];
            sql += i == first ? "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
            const std::string day = RecordDay(r);
            params.insert(params.end(), {batchId, static_cast<std::int64_t>(i), batch.line,
                                         static_cast<std::int64_t>(r.terminal), r.card, static_cast<std::int64_t>(r.type),
                                         r.amountCents, r.secondAmountCents, RecordAt(r), day});
            auto& t = totals[{day, r.terminal, r.type}];
            t.first += 1;
            t.second += r.amountCents;
        }
        db.QueryRepeated(sql, params);
    }
    if (!totals.empty()) {
        // One row per key in the statement (in key order, so that two
        // writers lock shared rows in the same order).
        std::string sql = "INSERT INTO day_totals (day, line, terminal, type, records, sum_cents) VALUES ";
        std::vector<Value> params;
        for (const auto& [key, t] : totals) {
            sql += params.empty() ? "(?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?)";
            params.insert(params.end(), {std::get<0>(key), batch.line, static_cast<std::int64_t>(std::get<1>(key)),
                                         static_cast<std::int64_t>(std::get<2>(key)), t.first, t.second});
        }
        sql += " ON CONFLICT (day, line, terminal, type) DO UPDATE SET records = day_totals.records + excluded.records,"
               " sum_cents = day_totals.sum_cents + excluded.sum_cents";
        db.QueryRepeated(sql, params);
    }
    for (const RejectedRaw& r : batch.rejected) {
        db.QueryRepeated(
            "INSERT INTO rejected (batch_id, position, line, terminal, raw, reason, stored_at)"
            " VALUES (?, ?, ?, ?, ?, ?, ?)",
            {batchId, static_cast<std::int64_t>(r.position), batch.line, static_cast<std::int64_t>(batch.terminal),
             r.raw, r.reason, now});
    }
    tx.Commit();
    return StoreOutcome::kStored;
}

void SaveTerminal(Connection& db, const TerminalState& t, const std::string& host) {
    auto text = [](const std::string& s) -> Value {
        if (s.empty()) return nullptr;
        return s;
    };
    Value waiting = nullptr;
    if (t.waiting) waiting = *t.waiting;
    db.Query(
        "INSERT INTO terminals (line, number, kind, name, host, state, last_seen, down_since, last_error,"
        " last_error_text, failures, last_collection, waiting, updated)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
        " ON CONFLICT (line, number) DO UPDATE SET kind = excluded.kind, name = excluded.name,"
        " host = excluded.host, state = excluded.state, last_seen = excluded.last_seen,"
        " down_since = excluded.down_since, last_error = excluded.last_error,"
        " last_error_text = excluded.last_error_text, failures = excluded.failures,"
        " last_collection = excluded.last_collection, waiting = excluded.waiting, updated = excluded.updated",
        {t.line, static_cast<std::int64_t>(t.number), t.kind, t.name, host, t.state, text(t.lastSeen),
         text(t.downSince), static_cast<std::int64_t>(t.lastError), text(t.lastErrorText),
         static_cast<std::int64_t>(t.failures), text(t.lastCollection), waiting, UtcNow()});
}

void SaveJobRun(Connection& db, const JobRun& run, const std::string& host) {
    db.Query(
        "INSERT INTO job_runs (line, job, host, interval_ms, last_start, last_end, last_result, runs, failures)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, 1, ?)"
        " ON CONFLICT (line, job) DO UPDATE SET host = excluded.host, interval_ms = excluded.interval_ms,"
        " last_start = excluded.last_start, last_end = excluded.last_end, last_result = excluded.last_result,"
        " runs = job_runs.runs + 1, failures = job_runs.failures + excluded.failures",
        {run.line, run.job, host, run.intervalMs, run.start, run.end, run.result,
         static_cast<std::int64_t>(run.failed ? 1 : 0)});
}

}  // namespace talvo::service
