#include "db/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <optional>
#include <stdexcept>
#include <tuple>

namespace talvo::service {
namespace {

// Records per INSERT: a terminal's batch (at most 6) in one, and well under
// the bound parameters either backend takes.
constexpr std::size_t kRowsPerStatement = 50;
// Batches (of different terminals) in one statement on PostgreSQL: a round
// of a line's terminals, well under the bound parameters it takes.
constexpr std::size_t kBatchesPerStatement = 32;

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

namespace {

// Whether `batch` repeats the terminal's last committed batch (read in the
// open transaction).
bool Repeats(Connection& db, const Batch& batch, const RepeatCheck& repeats) {
    const Rows last = db.QueryRepeated(
        "SELECT mark, raw, records, rejected FROM batches WHERE line = ? AND terminal = ? ORDER BY id DESC LIMIT 1",
        {batch.line, static_cast<std::int64_t>(batch.terminal)});
    if (last.empty()) return false;
    CommittedBatch committed;
    committed.terminal = batch.terminal;
    committed.mark = static_cast<int>(AsInt(last[0][0], -1));
    committed.raw = AsText(last[0][1]);
    committed.count = static_cast<int>(AsInt(last[0][2], 0) + AsInt(last[0][3], 0));
    return repeats(batch, committed);
}

using SumKey = std::tuple<std::string, std::string, std::string, int, int>;  // day, hour ("" per day), line, terminal, type
using Sums = std::map<SumKey, std::pair<std::int64_t, std::int64_t>>;  // count, sum
using Batches = std::vector<const Batch*>;

// The batches' records summed per day (`hours` false) or per hour.
Sums SumsOf(const Batches& batches, bool hours) {
    Sums totals;
    for (const Batch* batch : batches) {
        for (const Record& r : batch->records) {
            char hour[8];
            std::snprintf(hour, sizeof hour, "%02d", r.hour);
            auto& t = totals[{RecordDay(r), hours ? std::string(hour) : std::string(), batch->line, r.terminal, r.type}];
            t.first += 1;
            t.second += r.amountCents;
        }
    }
    return totals;
}

// The upsert of the day or hour totals: one row per key (a key the
// statement may change only once), in key order (so that two writers lock
// shared rows in the same order).
std::string TotalsUpsert(const Batches& batches, bool hours, std::vector<Value>& params) {
    const std::string table = hours ? "hour_totals" : "day_totals";
    const std::string keys = hours ? "day, hour, line, terminal, type" : "day, line, terminal, type";
    std::string sql = "INSERT INTO " + table + " (" + keys + ", records, sum_cents) VALUES ";
    bool first = true;
    for (const auto& [key, t] : SumsOf(batches, hours)) {
        sql += first ? "(" : ", (";
        sql += hours ? "?, ?, ?, ?, ?, ?, ?)" : "?, ?, ?, ?, ?, ?)";
        first = false;
        params.push_back(std::get<0>(key));
        if (hours) params.push_back(std::get<1>(key));
        params.insert(params.end(), {std::get<2>(key), static_cast<std::int64_t>(std::get<3>(key)),
                                     static_cast<std::int64_t>(std::get<4>(key)), t.first, t.second});
    }
    return sql + " ON CONFLICT (" + keys + ") DO UPDATE SET records = " + table +
           ".records + excluded.records, sum_cents = " + table + ".sum_cents + excluded.sum_cents";
}

// PostgreSQL: the batches (of different terminals), their records, their
// rejected raw records and the day and hour totals in one statement (one
// round trip).  A row of records or rejected finds its batch's id by the
// batch's line and terminal.
void InsertPostgres(Connection& db, const Batches& batches, const std::string& host, const std::string& now) {
    std::vector<Value> params;
    std::size_t records = 0, rejected = 0;
    for (const Batch* batch : batches) records += batch->records.size();
    // The feed's numbers first: the sequence's row stays locked until this
    // statement commits (see the schema).
    std::string sql = "WITH ";
    if (records > 0) {
        sql += "s AS (UPDATE record_sequence SET last = last + ? RETURNING last), ";
        params.emplace_back(static_cast<std::int64_t>(records));
    }
    sql += "b AS (INSERT INTO batches (line, terminal, mark, raw, records, rejected, stored_at, host) VALUES ";
    for (std::size_t k = 0; k < batches.size(); ++k) {
        const Batch& batch = *batches[k];
        sql += k == 0 ? "(?, ?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, ?)";
        params.insert(params.end(), {batch.line, static_cast<std::int64_t>(batch.terminal),
                                     static_cast<std::int64_t>(batch.mark), batch.raw,
                                     static_cast<std::int64_t>(batch.records.size()),
                                     static_cast<std::int64_t>(batch.rejected.size()), now, host});
        rejected += batch.rejected.size();
    }
    sql += " RETURNING id, line, terminal)";
    if (records > 0) {
        // A record's number: the sequence's new last, less the records
        // after it in this statement.
        sql += ", r AS (INSERT INTO records (batch_id, position, line, terminal, card, type, amount_cents,"
               " second_amount_cents, at, day, seq) SELECT b.id, v.position, v.line, v.terminal, v.card, v.type,"
               " v.amount, v.second, v.at, v.day, s.last - v.later FROM s, b JOIN (VALUES ";
        std::int64_t later = static_cast<std::int64_t>(records);
        for (const Batch* batch : batches) {
            for (std::size_t i = 0; i < batch->records.size(); ++i) {
                const Record& r = batch->records[i];
                sql += later == static_cast<std::int64_t>(records) ? "" : ", ";
                sql += "(?::integer, ?::integer, ?::text, ?::integer, ?::text, ?::integer, ?::bigint, ?::bigint, ?::text,"
                       " ?::text, ?::bigint)";
                --later;
                params.insert(params.end(), {static_cast<std::int64_t>(batch->terminal), static_cast<std::int64_t>(i),
                                             batch->line, static_cast<std::int64_t>(r.terminal), r.card,
                                             static_cast<std::int64_t>(r.type), r.amountCents, r.secondAmountCents,
                                             RecordAt(r), RecordDay(r), later});
            }
        }
        sql += ") AS v (batch, position, line, terminal, card, type, amount, second, at, day, later)"
               " ON b.line = v.line AND b.terminal = v.batch)";
        sql += ", t AS (" + TotalsUpsert(batches, false, params) + ")";
        sql += ", h AS (" + TotalsUpsert(batches, true, params) + ")";
    }
    if (rejected > 0) {
        sql += ", j AS (INSERT INTO rejected (batch_id, position, line, terminal, raw, reason, stored_at)"
               " SELECT b.id, v.position, v.line, v.terminal, v.raw, v.reason, v.stored_at FROM b JOIN (VALUES ";
        bool first = true;
        for (const Batch* batch : batches) {
            for (const RejectedRaw& r : batch->rejected) {
                sql += first ? "" : ", ";
                sql += "(?::integer, ?::text, ?::integer, ?::text, ?::text, ?::text)";
                first = false;
                params.insert(params.end(), {static_cast<std::int64_t>(r.position), batch->line,
                                             static_cast<std::int64_t>(batch->terminal), r.raw, r.reason, now});
            }
        }
        sql += ") AS v (position, line, terminal, raw, reason, stored_at) ON b.line = v.line AND b.terminal = v.terminal)";
    }
    db.QueryRepeated(sql + " SELECT id FROM b", params);
}

// SQLite: each batch, its records (in statements of up to
// kRowsPerStatement rows, one for a terminal's batch), the day and hour
// totals they add to and its rejected raw records, in the open transaction.
void InsertSqlite(Connection& db, const Batches& batches, const std::string& host, const std::string& now) {
    std::int64_t records = 0;
    for (const Batch* batch : batches) records += static_cast<std::int64_t>(batch->records.size());
    // The feed's numbers (see the schema; SQLite has one writer at a time).
    std::int64_t seq = 0;
    if (records > 0) {
        const Rows last = db.QueryRepeated("UPDATE record_sequence SET last = last + ? RETURNING last", {records});
        seq = AsInt(last.at(0).at(0)) - records;
    }
    for (const Batch* one : batches) {
        const Batch& batch = *one;
        const Rows id = db.QueryRepeated(
            "INSERT INTO batches (line, terminal, mark, raw, records, rejected, stored_at, host)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?) RETURNING id",
            {batch.line, static_cast<std::int64_t>(batch.terminal), static_cast<std::int64_t>(batch.mark), batch.raw,
             static_cast<std::int64_t>(batch.records.size()), static_cast<std::int64_t>(batch.rejected.size()), now,
             host});
        const std::int64_t batchId = AsInt(id.at(0).at(0));
        for (std::size_t first = 0; first < batch.records.size(); first += kRowsPerStatement) {
            const std::size_t end = std::min(batch.records.size(), first + kRowsPerStatement);
            std::string sql =
                "INSERT INTO records (batch_id, position, line, terminal, card, type, amount_cents, second_amount_cents,"
                " at, day, seq) VALUES ";
            std::vector<Value> params;
            params.reserve((end - first) * 11);
            for (std::size_t i = first; i < end; ++i) {
                const Record& r = batch.records[i];
                sql += i == first ? "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)" : ", (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
                params.insert(params.end(), {batchId, static_cast<std::int64_t>(i), batch.line,
                                             static_cast<std::int64_t>(r.terminal), r.card,
                                             static_cast<std::int64_t>(r.type), r.amountCents, r.secondAmountCents,
                                             RecordAt(r), RecordDay(r), ++seq});
            }
            db.QueryRepeated(sql, params);
        }
        for (const bool hours : {false, true}) {
            if (batch.records.empty()) break;
            std::vector<Value> params;
            const std::string sql = TotalsUpsert({&batch}, hours, params);
            db.QueryRepeated(sql, params);
        }
        for (const RejectedRaw& r : batch.rejected) {
            db.QueryRepeated(
                "INSERT INTO rejected (batch_id, position, line, terminal, raw, reason, stored_at)"
                " VALUES (?, ?, ?, ?, ?, ?, ?)",
                {batchId, static_cast<std::int64_t>(r.position), batch.line, static_cast<std::int64_t>(batch.terminal),
                 r.raw, r.reason, now});
        }
    }
}

// The batches in groups of different terminals (a terminal's batches in
// the order given), at most kBatchesPerStatement each: a group is written
// with one statement on PostgreSQL.
std::vector<std::vector<std::size_t>> Groups(const std::vector<Batch>& batches) {
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        const bool fits = !groups.empty() && groups.back().size() < kBatchesPerStatement &&
                          std::none_of(groups.back().begin(), groups.back().end(), [&](std::size_t j) {
                              return batches[j].line == batches[i].line && batches[j].terminal == batches[i].terminal;
                          });
        if (!fits) groups.emplace_back();
        groups.back().push_back(i);
    }
    return groups;
}

}  // namespace

std::vector<StoreOutcome> StoreBatches(Connection& db, const std::vector<Batch>& batches, const std::string& host,
                                       const std::vector<RepeatCheck>& repeats) {
    if (repeats.size() != batches.size()) throw std::invalid_argument("StoreBatches: one repeat check per batch");
    std::vector<StoreOutcome> outcomes(batches.size(), StoreOutcome::kStored);
    if (batches.empty()) return outcomes;
    const bool postgres = db.Kind() == Backend::kPostgres;
    const auto insert = postgres ? InsertPostgres : InsertSqlite;
    const std::string now = UtcNow();
    const auto groups = Groups(batches);
    // PostgreSQL: batches that fit one statement and need no check are
    // written by that statement, which commits on its own.
    const bool checked = std::any_of(repeats.begin(), repeats.end(), [](const RepeatCheck& r) { return bool(r); });
    if (postgres && groups.size() == 1 && !checked) {
        Batches all;
        for (const Batch& b : batches) all.push_back(&b);
        insert(db, all, host, now);
        return outcomes;
    }
    Transaction tx(db);
    bool written = false;
    for (const auto& group : groups) {
        // A group holds one batch of a terminal at most: each is checked
        // against what was committed before the group.
        Batches fresh;
        for (const std::size_t i : group) {
            if (repeats[i] && Repeats(db, batches[i], repeats[i])) {
                outcomes[i] = StoreOutcome::kReplayed;
            } else {
                fresh.push_back(&batches[i]);
            }
        }
        if (fresh.empty()) continue;
        insert(db, fresh, host, now);
        written = true;
    }
    // Only replays: rolled back, nothing written.
    if (written) tx.Commit();
    return outcomes;
}

StoreOutcome StoreBatch(Connection& db, const Batch& batch, const std::string& host, const RepeatCheck& repeats) {
    return StoreBatches(db, {batch}, host, {repeats}).at(0);
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
        " last_error_text, failures, last_collection, waiting, updated, clock, clock_read)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
        " ON CONFLICT (line, number) DO UPDATE SET kind = excluded.kind, name = excluded.name,"
        " host = excluded.host, state = excluded.state, last_seen = excluded.last_seen,"
        " down_since = excluded.down_since, last_error = excluded.last_error,"
        " last_error_text = excluded.last_error_text, failures = excluded.failures,"
        " last_collection = excluded.last_collection, waiting = excluded.waiting, updated = excluded.updated,"
        " clock = COALESCE(excluded.clock, terminals.clock),"
        " clock_read = COALESCE(excluded.clock_read, terminals.clock_read)",
        {t.line, static_cast<std::int64_t>(t.number), t.kind, t.name, host, t.state, text(t.lastSeen),
         text(t.downSince), static_cast<std::int64_t>(t.lastError), text(t.lastErrorText),
         static_cast<std::int64_t>(t.failures), text(t.lastCollection), waiting, UtcNow(), text(t.clock),
         text(t.clockRead)});
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
