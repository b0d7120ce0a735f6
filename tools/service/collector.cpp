#include "collector.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <vector>

#include "database.h"
#include "log.h"
#include "replay.h"
#include "store.h"
#include "talvo.h"

namespace talvo::service {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

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

struct LineHandle {
    talvo_line* line = nullptr;
    ~LineHandle() { Close(); }
    void Close() {
        if (line != nullptr) talvo_line_close(line);
        line = nullptr;
    }
};

std::string ErrorText(int code) { return talvo_strerror(code); }

}  // namespace

void CollectTicket::Finish(CollectResult result) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        result_ = std::move(result);
        result_.done = true;
    }
    done_.notify_all();
}

CollectResult CollectTicket::Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait_for(hold, limit, [this] { return result_.done; });
    return result_;
}

// What the worker knows of one terminal.
struct LineWorker::State {
    TerminalConfig config;
    TerminalState shown;
    Clock::time_point retryAt{};  // in a back-off until then
    bool dirty = true;              // not yet saved
    bool clockPending = false;      // its clock still to be set
    bool collectPending = false;    // its records still to be collected
    std::int64_t stored = 0;        // records stored since the start
    std::int64_t rejected = 0;      // rejected raw records stored since the start
    // The terminal confirmed the last batch committed: its next batch is a
    // new one, whatever it holds.  Unknown at the start: a batch committed
    // before a restart may come again.
    bool lastConfirmed = false;
};

LineWorker::LineWorker(LineConfig line, JobsConfig jobs, std::string database, std::string host, Metrics& metrics)
    : line_(std::move(line)),
      jobs_(jobs),
      database_(std::move(database)),
      host_(std::move(host)),
      metrics_(metrics) {}

LineWorker::~LineWorker() {
    RequestStop();
    Join();
}

void LineWorker::Start() { thread_ = std::thread([this] { Run(); }); }

void LineWorker::RequestStop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
}

void LineWorker::Join() {
    if (thread_.joinable()) thread_.join();
}

std::shared_ptr<CollectTicket> LineWorker::CollectNow(int terminal) {
    const bool known = std::any_of(line_.terminals.begin(), line_.terminals.end(),
                                   [&](const TerminalConfig& t) { return t.number == terminal; });
    if (!known) return nullptr;
    auto ticket = std::make_shared<CollectTicket>();
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_) {
            ticket->Finish(CollectResult{true, 0, 0, "", "the line is stopping"});
            return ticket;
        }
        collectNow_[terminal].push_back(ticket);
    }
    wake_.notify_all();
    return ticket;
}

void LineWorker::Run() {
    const std::string& name = line_.name;
    std::vector<State> terminals;
    for (const TerminalConfig& t : line_.terminals) {
        State s;
        s.config = t;
        s.shown.line = name;
        s.shown.number = t.number;
        s.shown.kind = t.kind;
        s.shown.name = t.name;
        terminals.push_back(std::move(s));
    }

    std::unique_ptr<Connection> db;
    bool dbDown = false;
    std::string dbError;
    LineHandle handle;
    int openFailures = 0;
    Clock::time_point openAt{};
    std::string openError;

    auto backoff = [this](int failures) {
        std::int64_t ms = jobs_.backoffMinMs;
        for (int i = 1; i < failures && ms < jobs_.backoffMaxMs; ++i) ms *= 2;
        return milliseconds(std::min(ms, jobs_.backoffMaxMs));
    };

    // The database connection, opened (and the schema checked) on demand.
    auto database = [&]() -> Connection* {
        if (db && db->Healthy()) return db.get();
        db.reset();
        try {
            auto fresh = Open(database_);
            Migrate(*fresh);
            db = std::move(fresh);
            if (dbDown) Log(Level::kInfo, "database-back", {{"line", name}});
            dbDown = false;
            // Bring the states of this line's terminals up to date: what the
            // last run knew, then what this one learned while it was away.
            for (State& s : terminals) {
                if (!s.shown.lastSeen.empty() || !s.shown.lastCollection.empty()) continue;
                const Rows r = db->Query("SELECT last_seen, last_collection FROM terminals WHERE line = ? AND number = ?",
                                         {name, static_cast<std::int64_t>(s.config.number)});
                if (!r.empty()) {
                    s.shown.lastSeen = AsText(r[0][0]);
                    s.shown.lastCollection = AsText(r[0][1]);
                }
            }
            return db.get();
        } catch (const DbError& e) {
            db.reset();
            if (!dbDown || dbError != e.what()) {
                Log(Level::kError, "database-unavailable", {{"line", name}, {"error", e.what()}});
            }
            dbDown = true;
            dbError = e.what();
            return nullptr;
        }
    };
    auto failedDatabase = [&](const DbError& e) {
        metrics_.DatabaseFailure(name);
        if (!dbDown || dbError != e.what()) {
            Log(Level::kError, "database-failed", {{"line", name}, {"error", e.what()}});
        }
        dbDown = true;
        dbError = e.what();
        if (db && !db->Healthy()) db.reset();
    };

    auto publish = [&] {
        int up = 0;
        for (const State& s : terminals) up += s.shown.state == "up" ? 1 : 0;
        metrics_.TerminalsUp(name, up, static_cast<int>(terminals.size()));
        Connection* c = nullptr;
        for (State& s : terminals) {
            if (!s.dirty) continue;
            if (c == nullptr && (c = database()) == nullptr) return;
            try {
                SaveTerminal(*c, s.shown, host_);
                s.dirty = false;
            } catch (const DbError& e) {
                failedDatabase(e);
                return;
            }
        }
    };

    // The outcome of one command for a terminal.
    auto outcome = [&](State& s, int code) {
        const std::string now = UtcNow();
        TerminalState& t = s.shown;
        s.dirty = true;
        if (code == TALVO_OK) {
            if (t.state != "up" && t.state != "unknown") {
                Log(Level::kInfo, "terminal-up", {{"line", name}, {"terminal", std::to_string(t.number)}});
            }
            t.state = "up";
            t.lastSeen = now;
            t.downSince.clear();
            t.failures = 0;
            s.retryAt = {};
            return;
        }
        t.lastError = code;
        t.lastErrorText = ErrorText(code);
        ++t.failures;
        if (code == TALVO_E_REFUSED || code == TALVO_E_SHORT_REPLY || code == TALVO_E_BATCH ||
            code == TALVO_E_UNCONFIRMED || code == TALVO_E_INVALID) {
            // It answered: no back-off.
            t.state = "refusing";
            t.lastSeen = now;
            t.downSince.clear();
            return;
        }
        if (t.state != "down") {
            t.downSince = now;
            Log(Level::kWarning, "terminal-down",
                {{"line", name}, {"terminal", std::to_string(t.number)}, {"error", t.lastErrorText}});
        }
        t.state = "down";
        s.retryAt = Clock::now() + backoff(t.failures);
    };

    auto deviceGone = [&](int code) {
        for (State& s : terminals) {
            if (s.shown.state != "down") s.shown.downSince = UtcNow();
            s.shown.state = "down";
            s.shown.lastError = code;
            s.shown.lastErrorText = openError;
            s.dirty = true;
        }
    };

    // Opens the line when it is not open; false while the device cannot be
    // opened (tried again after a back-off).
    auto ensureLine = [&]() -> bool {
        if (handle.line != nullptr) return true;
        if (Clock::now() < openAt) return false;
        talvo_line_options o;
        talvo_line_options_init(&o);
        o.device = line_.device.c_str();
        o.baud = line_.baud;
        o.line_format = line_.format.c_str();
        o.echo_time_ms = line_.echoTimeMs;
        o.wait_time_ms = line_.waitTimeMs;
        o.tries = line_.tries;
        o.filler_bytes = line_.fillerBytes;
        const int rc = talvo_line_open(&o, &handle.line);
        if (rc == TALVO_OK) {
            Log(Level::kInfo, "line-open", {{"line", name}, {"device", line_.device}});
            openFailures = 0;
            return true;
        }
        handle.line = nullptr;
        const std::string why = "cannot open " + line_.device + ": " + ErrorText(rc);
        if (openFailures == 0 || why != openError) {
            Log(Level::kError, "line-unavailable", {{"line", name}, {"device", line_.device}, {"error", ErrorText(rc)}});
        }
        openError = why;
        ++openFailures;
        openAt = Clock::now() + backoff(openFailures);
        deviceGone(rc);
        return false;
    };

    // Fetch, store, commit, confirm: until the terminal has no more
    // records, the worker is asked to stop, or the turn is over.  Returns
    // false when the database failed (nothing was confirmed).
    auto collect = [&](State& s) -> bool {
        const int number = s.config.number;
        for (int turn = 0; turn < kBatchesPerTurn; ++turn) {
            const auto started = Clock::now();
            talvo_record records[TALVO_BATCH_MAX];
            std::size_t n = 0;
            talvo_batch batch;
            std::memset(&batch, 0, sizeof batch);
            int rc = talvo_records_fetch(handle.line, number, records, TALVO_BATCH_MAX, &n, &batch);
            metrics_.Exchange(name, "collect", rc);
            outcome(s, rc);
            if (rc != TALVO_OK) return true;
            if (batch.count <= 0) {
                s.shown.waiting = 0;
                s.shown.lastCollection = UtcNow();
                return true;
            }
            s.shown.waiting.reset();

            Batch b;
            b.line = name;
            b.terminal = number;
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
                out.terminal = number;
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

            Connection* c = database();
            if (c == nullptr) {
                metrics_.DatabaseFailure(name);
                return false;
            }
            StoreOutcome stored;
            // Whether it repeats the last batch committed is asked only when
            // that batch's confirmation got no clear answer (or it is not
            // known whether it did).
            const RepeatCheck repeats = s.lastConfirmed ? RepeatCheck() : RepeatCheck(RepeatsCommitted);
            s.lastConfirmed = false;
            try {
                stored = StoreBatch(*c, b, host_, repeats);
            } catch (const DbError& e) {
                // Nothing committed (or not known to be): nothing confirmed.
                // The terminal keeps the batch and hands it over again.
                failedDatabase(e);
                return false;
            }
            Log(Level::kDebug, "batch-committed", {{"line", name}, {"terminal", std::to_string(number)},
                                                   {"mark", std::to_string(batch.mark)},
                                                   {"replayed", stored == StoreOutcome::kReplayed ? "yes" : "no"}});

            rc = talvo_records_confirm(handle.line, number, &batch);
            s.lastConfirmed = rc == TALVO_OK;
            metrics_.Exchange(name, "collect", rc);
            outcome(s, rc);
            if (stored == StoreOutcome::kReplayed) {
                metrics_.BatchReplayed(name);
                Log(Level::kInfo, "batch-replayed", {{"line", name}, {"terminal", std::to_string(number)},
                                                     {"mark", std::to_string(batch.mark)},
                                                     {"confirmed", rc == TALVO_OK ? "yes" : "no"}});
            } else {
                metrics_.BatchStored(name, b.records.size(), b.rejected.size());
                s.stored += static_cast<std::int64_t>(b.records.size());
                s.rejected += static_cast<std::int64_t>(b.rejected.size());
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
                                                           {"error", ErrorText(rc)}});
                return true;
            }
            metrics_.CollectionLatency(std::chrono::duration<double>(Clock::now() - started).count());
            if (stop_) return true;
        }
        return true;
    };

    auto setClock = [&](State& s) {
        const std::time_t now = std::time(nullptr);
        std::tm tm{};
        localtime_r(&now, &tm);
        talvo_datetime when{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
        const int rc = s.config.kind == "attendance" ? talvo_attend_clock_set(handle.line, s.config.number, &when)
                                                     : talvo_clock_set(handle.line, s.config.number, &when);
        metrics_.Exchange(name, "clock", rc);
        outcome(s, rc);
    };
    auto status = [&](State& s) {
        const int rc = talvo_status(handle.line, s.config.number);
        metrics_.Exchange(name, "status", rc);
        outcome(s, rc);
    };

    // Runs one job over `targets`; a terminal in its back-off is left out
    // and its part of the job kept pending for when it answers again.
    using Each = std::function<bool(State&)>;
    auto job = [&](const char* jobName, std::int64_t intervalMs, const std::vector<State*>& targets, const Each& each) {
        JobRun run{name, jobName, intervalMs, UtcNow(), "", "", false};
        int tried = 0, failed = 0, skipped = 0;
        bool dbFailed = false;
        for (State* s : targets) {
            if (stop_) break;
            if (Clock::now() < s->retryAt) {
                ++skipped;
                continue;
            }
            ++tried;
            if (!each(*s)) {
                dbFailed = true;
                break;
            }
            if (s->shown.state != "up") ++failed;
        }
        run.end = UtcNow();
        run.failed = failed > 0 || dbFailed;
        run.result = dbFailed ? "database unavailable: " + dbError
                              : std::to_string(tried - failed) + " of " + std::to_string(tried) + " answered" +
                                    (skipped > 0 ? ", " + std::to_string(skipped) + " waiting out a back-off" : "");
        publish();
        if (Connection* c = dbFailed ? nullptr : database()) {
            try {
                SaveJobRun(*c, run, host_);
            } catch (const DbError& e) {
                failedDatabase(e);
            }
        }
        return !dbFailed;
    };
    auto all = [&] {
        std::vector<State*> v;
        for (State& s : terminals) v.push_back(&s);
        return v;
    };
    const Each statusEach = [&](State& s) {
        status(s);
        return true;
    };
    const Each clockEach = [&](State& s) {
        s.clockPending = true;
        setClock(s);
        if (s.shown.state == "up") s.clockPending = false;
        return true;
    };
    const Each collectEach = [&](State& s) {
        s.collectPending = true;
        const bool ok = collect(s);
        if (ok && s.shown.state == "up" && s.shown.waiting) s.collectPending = false;
        return ok;
    };
    // A terminal out of its back-off: asked for its status at once, and
    // what it missed meanwhile is done when it answers.
    const Each retryEach = [&](State& s) {
        status(s);
        if (s.shown.state != "up") return true;
        if (s.clockPending) clockEach(s);
        if (s.collectPending) return collectEach(s);
        return true;
    };

    Log(Level::kInfo, "line-start", {{"line", name}, {"device", line_.device},
                                     {"terminals", std::to_string(terminals.size())}});
    const auto start = Clock::now();
    auto nextStatus = start;
    auto nextClock = jobs_.clockAtStart ? start : start + milliseconds(jobs_.clockMs);
    auto nextCollect = start;
    publish();

    // "Collect now" asked from the interface: each ticket gets what came of
    // its terminal's collection, or why there was none.
    using Tickets = std::map<int, std::vector<std::shared_ptr<CollectTicket>>>;
    auto finish = [&](Tickets& tickets, std::map<int, CollectResult>& results, const std::string& otherwise) {
        for (auto& [number, waiting] : tickets) {
            auto it = results.find(number);
            CollectResult r = it != results.end() ? it->second : CollectResult{true, 0, 0, "", otherwise};
            for (auto& t : waiting) t->Finish(r);
        }
        tickets.clear();
    };

    while (!stop_) {
        Tickets now;
        std::map<int, CollectResult> nowResults;
        {
            std::lock_guard<std::mutex> hold(lock_);
            now.swap(collectNow_);
        }
        if (ensureLine()) {
            const auto t = Clock::now();
            if (t >= nextStatus) {
                job("status", jobs_.statusMs, all(), statusEach);
                nextStatus = t + milliseconds(jobs_.statusMs);
            }
            if (!stop_ && Clock::now() >= nextClock) {
                for (State& s : terminals) s.clockPending = true;
                job("clock", jobs_.clockMs, all(), clockEach);
                nextClock = t + milliseconds(jobs_.clockMs);
            }
            if (!stop_ && !now.empty()) {
                std::vector<State*> asked;
                for (State& s : terminals) {
                    if (now.count(s.config.number) == 0) continue;
                    s.retryAt = {};
                    asked.push_back(&s);
                }
                const Each nowEach = [&](State& s) {
                    const std::int64_t stored = s.stored, rejected = s.rejected;
                    const bool ok = collectEach(s);
                    CollectResult& r = nowResults[s.config.number];
                    r.done = true;
                    r.records = static_cast<int>(s.stored - stored);
                    r.rejected = static_cast<int>(s.rejected - rejected);
                    r.state = s.shown.state;
                    if (!ok) {
                        r.error = "database unavailable: " + dbError;
                    } else if (s.shown.state != "up") {
                        r.error = s.shown.lastErrorText.empty() ? s.shown.state : s.shown.lastErrorText;
                    }
                    return ok;
                };
                job("collect-now", jobs_.collectMs, asked, nowEach);
            }
            finish(now, nowResults, stop_ ? "the line is stopping" : "database unavailable: " + dbError);
            if (!stop_ && Clock::now() >= nextCollect) {
                for (State& s : terminals) s.collectPending = true;
                const bool ok = job("collect", jobs_.collectMs, all(), collectEach);
                // The database away: try again soon, not a whole interval later.
                nextCollect = Clock::now() + milliseconds(ok ? jobs_.collectMs : std::min(jobs_.collectMs, jobs_.backoffMinMs));
            }
            std::vector<State*> due;
            for (State& s : terminals) {
                if (s.retryAt != Clock::time_point{} && s.retryAt <= Clock::now()) due.push_back(&s);
            }
            if (!stop_ && !due.empty()) job("retry", jobs_.backoffMinMs, due, retryEach);
        } else {
            finish(now, nowResults, openError);
            publish();
        }

        auto until = std::min({nextStatus, nextClock, nextCollect});
        if (handle.line == nullptr) until = std::min(until, openAt);
        for (const State& s : terminals) {
            if (s.retryAt != Clock::time_point{}) until = std::min(until, s.retryAt);
        }
        std::unique_lock<std::mutex> hold(lock_);
        wake_.wait_until(hold, until, [this] { return stop_.load() || !collectNow_.empty(); });
    }
    {
        Tickets left;
        std::map<int, CollectResult> none;
        {
            std::lock_guard<std::mutex> hold(lock_);
            left.swap(collectNow_);
        }
        finish(left, none, "the line is stopping");
    }
    publish();
    Log(Level::kInfo, "line-stop", {{"line", name}});
}

}  // namespace talvo::service
