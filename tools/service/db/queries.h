// What the web interface and `talvo db` read: records with filters, totals,
// rejected raw records, terminals and jobs.  Filters come in as text
// (query parameters, command-line options) and are checked here before any
// of them reaches a statement, where they are bound as parameters.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "db/database.h"

namespace talvo::service {

struct RecordFilter {
    std::optional<std::string> line;
    std::optional<int> terminal;
    std::optional<std::string> card;
    std::optional<int> type;
    std::optional<std::string> from;  // "YYYY-MM-DD[ HH:MM]", inclusive
    std::optional<std::string> to;    // inclusive; a date alone means the whole day
    std::int64_t limit = 100;
    std::int64_t offset = 0;
    // The feed: records numbered above this, in the order they were
    // committed (RecordRow::seq).
    std::optional<std::int64_t> after;
};

constexpr std::int64_t kMaxPage = 1000;

// Fills `filter` from parameters.  Names outside `allowed`, values that are
// not what they claim to be, and over-long values give false with `error`
// saying which and why.  Known names: line, terminal, card, type, from, to,
// day, limit, offset, after (not with offset).
bool ParseFilter(const std::multimap<std::string, std::string>& params, const std::vector<std::string>& allowed,
                 RecordFilter& filter, std::string& error);

struct RecordRow {
    std::int64_t id = 0;
    std::string line;
    int terminal = 0;
    std::string card;
    int type = 0;
    std::int64_t amountCents = 0;
    std::int64_t secondAmountCents = 0;
    std::string at;
    std::int64_t batch = 0;
    // The record's place in commit order: rising with every record stored,
    // never reused (the feed's cursor).
    std::int64_t seq = 0;
    // The cardholder's name ("" for a card nobody is named for).
    std::string name;
};

struct RecordPage {
    std::int64_t total = 0;  // matching records, all pages
    std::vector<RecordRow> rows;
};

// Newest first (time, then id).
RecordPage ListRecords(Connection& db, const RecordFilter& filter);
// The feed: up to filter.limit records numbered above filter.after, in
// commit order.  A reader that keeps the last number it took and asks for
// the ones above it gets every record once, whatever commits meanwhile.
std::vector<RecordRow> FeedRecords(Connection& db, const RecordFilter& filter);
// Every matching record, oldest first, handed over in pieces (for exports);
// limit and offset are ignored.
void ForEachRecord(Connection& db, const RecordFilter& filter, const std::function<void(const RecordRow&)>& fn);

struct Total {
    std::string key;
    std::int64_t count = 0;
    std::int64_t sumCents = 0;      // all amounts, signed
    std::int64_t takingsCents = 0;  // payments, as a positive amount
};
// `by`: day, hour, terminal, line, type.  False for another grouping.
bool ValidGrouping(const std::string& by);
std::vector<Total> Totals(Connection& db, const std::string& by, const RecordFilter& filter);

struct RejectedRow {
    std::int64_t id = 0;
    std::string line;
    int terminal = 0;
    std::string raw, reason, storedAt;
    std::int64_t batch = 0;
};
// Newest first; filters: line, terminal, limit, offset.
std::vector<RejectedRow> ListRejected(Connection& db, const RecordFilter& filter);

struct TerminalRow {
    std::string line;
    int number = 0;
    std::string kind, name, host, state, lastSeen, downSince, lastErrorText, lastCollection, updated;
    std::string clock, clockRead;  // an attendance terminal's clock as last read, and when
    int lastError = 0;
    int failures = 0;
    std::optional<std::int64_t> waiting;
    std::int64_t recordsToday = 0;
    std::int64_t takingsTodayCents = 0;
    std::int64_t sumTodayCents = 0;
};
// Every terminal of the site with today's count and sums (`today` is
// "YYYY-MM-DD").
std::vector<TerminalRow> ListTerminals(Connection& db, const std::string& today);

struct JobRow {
    std::string line, job, host, lastStart, lastEnd, lastResult;
    std::int64_t intervalMs = 0, runs = 0, failures = 0;
};
std::vector<JobRow> ListJobs(Connection& db);

// Type names for people: payment, deposit, subsidy.
std::string TypeName(int type);
// The CSV header and one record line (RFC 4180 quoting; a leading = + - @
// in a text field is neutralised so spreadsheets do not run it).
std::string CsvHeader();
std::string CsvLine(const RecordRow& r);

// Today's date on this host, "YYYY-MM-DD".
std::string LocalToday();

}  // namespace talvo::service
