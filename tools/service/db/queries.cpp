#include "db/queries.h"

#include "db/csv.h"
#include "values.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <set>

namespace talvo::service {
namespace {

constexpr std::size_t kMaxValue = 64;

bool AllDigits(const std::string& s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool Number(const std::string& s, std::int64_t low, std::int64_t high, std::int64_t& out) {
    if (!AllDigits(s) || s.size() > 12) return false;
    out = std::stoll(s);
    return out >= low && out <= high;
}

int Digits(const std::string& s, std::size_t at, std::size_t n) {
    int v = 0;
    for (std::size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return -1;
        v = v * 10 + (s[i] - '0');
    }
    return v;
}

// "YYYY-MM-DD" or "YYYY-MM-DD HH:MM" (or with a T): normalised with a blank.
bool TimeValue(std::string s, bool& dateOnly, std::string& out) {
    if (s.size() != 10 && s.size() != 16) return false;
    if (s[4] != '-' || s[7] != '-') return false;
    const int year = Digits(s, 0, 4), month = Digits(s, 5, 2), day = Digits(s, 8, 2);
    if (year < 1000 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    dateOnly = s.size() == 10;
    if (!dateOnly) {
        if ((s[10] != ' ' && s[10] != 'T') || s[13] != ':') return false;
        const int hour = Digits(s, 11, 2), minute = Digits(s, 14, 2);
        if (hour < 0 || hour > 23 || minute < 0 || minute > 59) return false;
        s[10] = ' ';
    }
    out = s;
    return true;
}

bool NameValue(const std::string& s) {
    return !s.empty() && s.size() <= 32 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-' ||
               c == '.';
    });
}

bool CardValue(const std::string& s) {
    return !s.empty() && s.size() <= 6 && std::all_of(s.begin(), s.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

struct Where {
    std::string sql;
    std::vector<Value> params;
    void Add(const std::string& clause, Value v) {
        sql += sql.empty() ? " WHERE " : " AND ";
        sql += clause;
        params.push_back(std::move(v));
    }
};

Where RecordWhere(const RecordFilter& f) {
    Where w;
    if (f.line) w.Add("line = ?", *f.line);
    if (f.terminal) w.Add("terminal = ?", static_cast<std::int64_t>(*f.terminal));
    if (f.card) w.Add("card = ?", *f.card);
    if (f.type) w.Add("type = ?", static_cast<std::int64_t>(*f.type));
    if (f.from) {
        // The day condition lets the database use the index on days.
        w.Add("day >= ?", f.from->substr(0, 10));
        w.Add("at >= ?", *f.from);
    }
    if (f.to) {
        w.Add("day <= ?", f.to->substr(0, 10));
        w.Add("at <= ?", *f.to);
    }
    return w;
}

// Whether the day totals answer for `f`: no card (the totals do not keep
// it), and bounds that take whole days.
bool DayTotalsServe(const RecordFilter& f) {
    if (f.card) return false;
    if (f.from && f.from->size() != 10 && f.from->substr(10) != " 00:00") return false;
    if (f.to && f.to->size() != 10 && f.to->substr(10) != " 23:59") return false;
    return true;
}

// The conditions of `f` on the day totals (DayTotalsServe).
Where DayTotalsWhere(const RecordFilter& f) {
    Where w;
    if (f.line) w.Add("line = ?", *f.line);
    if (f.terminal) w.Add("terminal = ?", static_cast<std::int64_t>(*f.terminal));
    if (f.type) w.Add("type = ?", static_cast<std::int64_t>(*f.type));
    if (f.from) w.Add("day >= ?", f.from->substr(0, 10));
    if (f.to) w.Add("day <= ?", f.to->substr(0, 10));
    return w;
}

// The day totals' rows for `sql`; none when the database has no such table
// (`talvo db` reads a database that a service of an older version keeps,
// without migrating it): then the records answer.
std::optional<Rows> FromDayTotals(Connection& db, const std::string& sql, const std::vector<Value>& params,
                                  const std::string& table = "day_totals") {
    try {
        return db.Query(sql, params);
    } catch (const DbError&) {
        if (!db.Healthy()) throw;
        const bool there = db.Kind() == Backend::kSqlite
                               ? !db.Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", {table}).empty()
                               : AsText(db.Query("SELECT to_regclass(?) IS NOT NULL", {table}).at(0).at(0)) == "t";
        if (there) throw;
        return std::nullopt;
    }
}

RecordRow ToRecord(const Row& r) {
    RecordRow out;
    out.id = AsInt(r[0]);
    out.line = AsText(r[1]);
    out.terminal = static_cast<int>(AsInt(r[2]));
    out.card = AsText(r[3]);
    out.type = static_cast<int>(AsInt(r[4]));
    out.amountCents = AsInt(r[5]);
    out.secondAmountCents = AsInt(r[6]);
    out.at = AsText(r[7]);
    out.batch = AsInt(r[8]);
    if (r.size() > 9) out.seq = AsInt(r[9]);
    return out;
}

const char* kRecordColumns = "SELECT id, line, terminal, card, type, amount_cents, second_amount_cents, at, batch_id FROM records";

// The cardholders' names of `rows`, in one query.  A database its program
// has not migrated yet (no cardholders table) names nobody.
void Name(Connection& db, std::vector<RecordRow>& rows) {
    std::set<std::string> distinct;
    for (const RecordRow& r : rows) distinct.insert(r.card);
    std::string in;
    std::vector<Value> cards;
    for (const std::string& card : distinct) {
        in += cards.empty() ? "?" : ", ?";
        cards.emplace_back(card);
    }
    if (cards.empty()) return;
    std::map<std::string, std::string> names;
    try {
        for (const Row& r : db.Query("SELECT card, name FROM cardholders WHERE card IN (" + in + ")", cards)) {
            names[AsText(r[0])] = AsText(r[1]);
        }
    } catch (const DbError&) {
        return;
    }
    for (RecordRow& r : rows) {
        const auto it = names.find(r.card);
        if (it != names.end()) r.name = it->second;
    }
}

}  // namespace

bool ParseFilter(const std::multimap<std::string, std::string>& params, const std::vector<std::string>& allowed,
                 RecordFilter& f, std::string& error) {
    std::set<std::string> seen;
    for (const auto& [name, value] : params) {
        if (std::find(allowed.begin(), allowed.end(), name) == allowed.end()) {
            error = "unknown parameter '" + (name.size() > kMaxValue ? name.substr(0, kMaxValue) + "...": name) + "'";
            return false;
        }
        if (!seen.insert(name).second) {
            error = "parameter '" + name + "' given more than once";
            return false;
        }
        if (value.size() > kMaxValue) {
            error = "parameter '" + name + "' is too long (at most 64 characters)";
            return false;
        }
        std::int64_t n = 0;
        bool dateOnly = false;
        std::string t;
        if (name == "line") {
            if (!NameValue(value)) {
                error = "line: letters, digits, '_', '-' and '.' only, 1 to 32 of them";
                return false;
            }
            f.line = value;
        } else if (name == "terminal") {
            if (!Number(value, 0, 255, n)) {
                error = "terminal: a number from 0 to 255";
                return false;
            }
            f.terminal = static_cast<int>(n);
        } else if (name == "card") {
            if (!CardValue(value)) {
                error = "card: 1 to 6 letters or digits";
                return false;
            }
            f.card = value;
        } else if (name == "type") {
            if (value == "5" || value == "05" || value == "payment") f.type = 5;
            else if (value == "13" || value == "deposit") f.type = 13;
            else if (value == "14" || value == "subsidy") f.type = 14;
            else {
                error = "type: payment (5), deposit (13) or subsidy (14)";
                return false;
            }
        } else if (name == "from" || name == "to" || name == "day") {
            if (!TimeValue(value, dateOnly, t) || (name == "day" && !dateOnly)) {
                error = name + (name == "day" ? ": a date YYYY-MM-DD" : ": a date YYYY-MM-DD or a time YYYY-MM-DD HH:MM");
                return false;
            }
            if (name == "day") {
                f.from = t;
                f.to = t + " 23:59";
            } else if (name == "from") {
                f.from = t;
            } else {
                f.to = dateOnly ? t + " 23:59" : t;
            }
        } else if (name == "limit") {
            if (!Number(value, 1, kMaxPage, n)) {
                error = "limit: a number from 1 to " + std::to_string(kMaxPage);
                return false;
            }
            f.limit = n;
        } else if (name == "after") {
            if (!Number(value, 0, 999'999'999'999, n)) {
                error = "after: the last record number (seq) taken, 0 for the first";
                return false;
            }
            f.after = n;
        } else if (name == "offset") {
            if (!Number(value, 0, 1'000'000'000, n)) {
                error = "offset: a number from 0 to 1000000000";
                return false;
            }
            f.offset = n;
        } else {
            error = "unknown parameter '" + name + "'";
            return false;
        }
    }
    if (f.after && seen.count("offset") != 0) {
        error = "after and offset: give one of them (after for the feed)";
        return false;
    }
    if (f.from && f.to && *f.from > *f.to) {
        error = "from is after to";
        return false;
    }
    return true;
}

RecordPage ListRecords(Connection& db, const RecordFilter& f) {
    Where w = RecordWhere(f);
    RecordPage page;
    std::optional<Rows> total;
    if (DayTotalsServe(f)) {
        const Where t = DayTotalsWhere(f);
        total = FromDayTotals(db, "SELECT COALESCE(SUM(records), 0) FROM day_totals" + t.sql, t.params);
    }
    if (!total) total = db.Query("SELECT COUNT(*) FROM records" + w.sql, w.params);
    page.total = AsInt(total->at(0).at(0));
    std::vector<Value> params = w.params;
    params.emplace_back(f.limit);
    params.emplace_back(f.offset);
    for (const Row& r : db.Query(std::string(kRecordColumns) + w.sql + " ORDER BY at DESC, id DESC LIMIT ? OFFSET ?", params)) {
        page.rows.push_back(ToRecord(r));
    }
    Name(db, page.rows);
    return page;
}

std::vector<RecordRow> FeedRecords(Connection& db, const RecordFilter& f) {
    Where w = RecordWhere(f);
    w.Add("seq > ?", f.after.value_or(0));
    std::vector<Value> params = w.params;
    params.emplace_back(f.limit);
    std::vector<RecordRow> rows;
    // Its own columns: the other reads work on a database its program has
    // not migrated yet (`talvo db` before talvod's restart).
    const std::string columns = "SELECT id, line, terminal, card, type, amount_cents, second_amount_cents, at, batch_id,"
                                " seq FROM records";
    for (const Row& r : db.Query(columns + w.sql + " ORDER BY seq LIMIT ?", params)) {
        rows.push_back(ToRecord(r));
    }
    Name(db, rows);
    return rows;
}

void ForEachRecord(Connection& db, const RecordFilter& f, const std::function<void(const RecordRow&)>& fn) {
    const Where w = RecordWhere(f);
    std::int64_t after = 0;
    for (;;) {
        std::vector<Value> params = w.params;
        params.emplace_back(after);
        params.emplace_back(static_cast<std::int64_t>(2000));
        const Rows rows = db.Query(std::string(kRecordColumns) + w.sql + (w.sql.empty() ? " WHERE" : " AND") +
                                       " id > ? ORDER BY id LIMIT ?",
                                   params);
        std::vector<RecordRow> named;
        for (const Row& r : rows) named.push_back(ToRecord(r));
        Name(db, named);
        for (const RecordRow& row : named) {
            after = row.id;
            fn(row);
        }
        if (rows.size() < 2000) return;
    }
}

bool ValidGrouping(const std::string& by) {
    return by == "day" || by == "hour" || by == "terminal" || by == "line" || by == "type";
}

std::vector<Total> Totals(Connection& db, const std::string& by, const RecordFilter& f) {
    std::string key;
    if (by == "day") key = "day";
    else if (by == "hour") key = "substr(at, 12, 2)";
    else if (by == "terminal") key = "line || ':' || CAST(terminal AS TEXT)";
    else if (by == "line") key = "line";
    else if (by == "type") key = "CAST(type AS TEXT)";
    else throw DbError("unknown grouping");
    // From the day (or hour) totals where they answer.
    std::optional<Rows> rows;
    if (DayTotalsServe(f)) {
        const Where t = DayTotalsWhere(f);
        const std::string table = by == "hour" ? "hour_totals" : "day_totals";
        rows = FromDayTotals(db,
                             "SELECT " + (by == "hour" ? std::string("hour") : key) +
                                 " AS k, SUM(records), SUM(sum_cents), SUM(CASE WHEN type = 5 THEN -sum_cents ELSE 0 END)"
                                 " FROM " + table + t.sql + " GROUP BY k ORDER BY k",
                             t.params, table);
    }
    if (!rows) {
        const Where w = RecordWhere(f);
        rows = db.Query("SELECT " + key + " AS k, COUNT(*), SUM(amount_cents),"
                                          " SUM(CASE WHEN type = 5 THEN -amount_cents ELSE 0 END) FROM records" +
                            w.sql + " GROUP BY k ORDER BY k",
                        w.params);
    }
    std::vector<Total> out;
    for (const Row& r : *rows) {
        out.push_back(Total{AsText(r[0]), AsInt(r[1]), AsInt(r[2]), AsInt(r[3])});
    }
    return out;
}

std::vector<RejectedRow> ListRejected(Connection& db, const RecordFilter& f) {
    Where w;
    if (f.line) w.Add("line = ?", *f.line);
    if (f.terminal) w.Add("terminal = ?", static_cast<std::int64_t>(*f.terminal));
    std::vector<Value> params = w.params;
    params.emplace_back(f.limit);
    params.emplace_back(f.offset);
    std::vector<RejectedRow> out;
    for (const Row& r : db.Query("SELECT id, line, terminal, raw, reason, stored_at, batch_id FROM rejected" + w.sql +
                                     " ORDER BY id DESC LIMIT ? OFFSET ?",
                                 params)) {
        out.push_back(RejectedRow{AsInt(r[0]), AsText(r[1]), static_cast<int>(AsInt(r[2])), AsText(r[3]),
                                  AsText(r[4]), AsText(r[5]), AsInt(r[6])});
    }
    return out;
}

std::vector<TerminalRow> ListTerminals(Connection& db, const std::string& today) {
    std::vector<TerminalRow> out;
    for (const Row& r : db.Query("SELECT line, number, kind, name, host, state, last_seen, down_since, last_error,"
                                 " last_error_text, failures, last_collection, waiting, updated, clock, clock_read"
                                 " FROM terminals"
                                 " ORDER BY line, number")) {
        TerminalRow t;
        t.line = AsText(r[0]);
        t.number = static_cast<int>(AsInt(r[1]));
        t.kind = AsText(r[2]);
        t.name = AsText(r[3]);
        t.host = AsText(r[4]);
        t.state = AsText(r[5]);
        t.lastSeen = AsText(r[6]);
        t.downSince = AsText(r[7]);
        t.lastError = static_cast<int>(AsInt(r[8]));
        t.lastErrorText = AsText(r[9]);
        t.failures = static_cast<int>(AsInt(r[10]));
        t.lastCollection = AsText(r[11]);
        if (r[12]) t.waiting = AsInt(r[12]);
        t.updated = AsText(r[13]);
        t.clock = AsText(r[14]);
        t.clockRead = AsText(r[15]);
        out.push_back(std::move(t));
    }
    std::optional<Rows> counts = FromDayTotals(db,
                                              "SELECT line, terminal, SUM(records), SUM(sum_cents),"
                                              " SUM(CASE WHEN type = 5 THEN -sum_cents ELSE 0 END)"
                                              " FROM day_totals WHERE day = ? GROUP BY line, terminal",
                                              {today});
    if (!counts) {
        counts = db.Query("SELECT line, terminal, COUNT(*), SUM(amount_cents),"
                          " SUM(CASE WHEN type = 5 THEN -amount_cents ELSE 0 END)"
                          " FROM records WHERE day = ? GROUP BY line, terminal",
                          {today});
    }
    for (const Row& r : *counts) {
        for (TerminalRow& t : out) {
            if (t.line == AsText(r[0]) && t.number == AsInt(r[1])) {
                t.recordsToday = AsInt(r[2]);
                t.sumTodayCents = AsInt(r[3]);
                t.takingsTodayCents = AsInt(r[4]);
            }
        }
    }
    return out;
}

std::vector<JobRow> ListJobs(Connection& db) {
    std::vector<JobRow> out;
    for (const Row& r : db.Query("SELECT line, job, host, last_start, last_end, last_result, interval_ms, runs, failures"
                                 " FROM job_runs ORDER BY line, job")) {
        out.push_back(JobRow{AsText(r[0]), AsText(r[1]), AsText(r[2]), AsText(r[3]), AsText(r[4]), AsText(r[5]),
                             AsInt(r[6]), AsInt(r[7]), AsInt(r[8])});
    }
    return out;
}

std::string TypeName(int type) {
    switch (type) {
        case 5: return "payment";
        case 13: return "deposit";
        case 14: return "subsidy";
        default: return std::to_string(type);
    }
}

std::string CsvHeader() { return "id,line,terminal,card,type,amount,second_amount,time,batch,name\r\n"; }

std::string CsvLine(const RecordRow& r) {
    return std::to_string(r.id) + "," + CsvText(r.line) + "," + std::to_string(r.terminal) + "," + CsvText(r.card) +
           "," + TypeName(r.type) + "," + common::FormatCents(r.amountCents) + "," + common::FormatCents(r.secondAmountCents) + "," +
           CsvText(r.at) + "," + std::to_string(r.batch) + "," + CsvText(r.name) + "\r\n";
}

std::string LocalToday() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return text;
}

}  // namespace talvo::service
