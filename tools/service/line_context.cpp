#include "line_context.h"

#include "jobs.h"
#include "log.h"

namespace talvo::service {
namespace {

using Clock = Scheduler::Clock;

std::vector<int> Numbers(const LineConfig& line) {
    std::vector<int> out;
    for (const TerminalConfig& t : line.terminals) out.push_back(t.number);
    return out;
}

}  // namespace

LineContext::LineContext(const LineConfig& line, const JobsConfig& jobs, std::string database, std::string host,
                         Metrics& metrics, TaskQueue& tasks)
    : line_(line),
      jobs_(jobs),
      database_(std::move(database)),
      host_(std::move(host)),
      metrics_(metrics),
      tasks_(tasks),
      scheduler_(jobs, Clock::now(), Numbers(line)) {
    for (const TerminalConfig& t : line_.terminals) {
        TerminalRun r;
        r.config = t;
        r.shown.line = line_.name;
        r.shown.number = t.number;
        r.shown.kind = t.kind;
        r.shown.name = t.name;
        terminals_.push_back(std::move(r));
    }
}

LineContext::~LineContext() {
    if (handle_ != nullptr) talvo_line_close(handle_);
}

TerminalRun* LineContext::Terminal(int number) {
    for (TerminalRun& t : terminals_) {
        if (t.config.number == number) return &t;
    }
    return nullptr;
}

talvo_line* LineContext::OpenLine() {
    if (handle_ != nullptr) return handle_;
    const auto now = Clock::now();
    if (!scheduler_.MayOpenDevice(now)) return nullptr;
    talvo_line_options o;
    talvo_line_options_init(&o);
    o.device = line_.device.c_str();
    o.baud = line_.baud;
    o.line_format = line_.format.c_str();
    o.echo_time_ms = line_.echoTimeMs;
    o.wait_time_ms = line_.waitTimeMs;
    o.tries = line_.tries;
    o.filler_bytes = line_.fillerBytes;
    talvo_line* opened = nullptr;
    const int rc = talvo_line_open(&o, &opened);
    if (rc == TALVO_OK) {
        Log(Level::kInfo, "line-open", {{"line", line_.name}, {"device", line_.device}});
        handle_ = opened;
        openError_.clear();
        scheduler_.DeviceOpened();
        return handle_;
    }
    const std::string why = "cannot open " + line_.device + ": " + talvo_strerror(rc);
    if (scheduler_.DeviceFailures() == 0 || why != openError_) {
        Log(Level::kError, "line-unavailable",
            {{"line", line_.name}, {"device", line_.device}, {"error", talvo_strerror(rc)}});
    }
    openError_ = why;
    scheduler_.DeviceMissing(Clock::now());
    // Every terminal of the line is down with it.
    for (TerminalRun& t : terminals_) {
        if (t.shown.state == "down" && t.shown.lastError == rc && t.shown.lastErrorText == why) continue;
        if (t.shown.state != "down") t.shown.downSince = UtcNow();
        t.shown.state = "down";
        t.shown.lastError = rc;
        t.shown.lastErrorText = why;
        t.dirty = true;
    }
    return nullptr;
}

Connection* LineContext::Database() {
    if (db_ && db_->Healthy()) return db_.get();
    db_.reset();
    const auto now = Clock::now();
    if (dbDown_ && now < dbRetryAt_) return nullptr;
    try {
        auto fresh = Open(database_);
        Migrate(*fresh);
        db_ = std::move(fresh);
        if (dbDown_) Log(Level::kInfo, "database-back", {{"line", line_.name}});
        dbDown_ = false;
        dbFailures_ = 0;
        // Bring the states of this line's terminals up to date: what the
        // last run knew, then what this one learned while it was away.
        for (TerminalRun& t : terminals_) {
            if (!t.shown.lastSeen.empty() || !t.shown.lastCollection.empty()) continue;
            const Rows r = db_->Query("SELECT last_seen, last_collection FROM terminals WHERE line = ? AND number = ?",
                                      {line_.name, static_cast<std::int64_t>(t.config.number)});
            if (!r.empty()) {
                t.shown.lastSeen = AsText(r[0][0]);
                t.shown.lastCollection = AsText(r[0][1]);
            }
        }
        return db_.get();
    } catch (const DbError& e) {
        db_.reset();
        if (!dbDown_ || dbError_ != e.what()) {
            Log(Level::kError, "database-unavailable", {{"line", line_.name}, {"error", e.what()}});
        }
        dbDown_ = true;
        dbError_ = e.what();
        // Not tried again on every call while it is away: the shortest
        // back-off between tries.
        dbRetryAt_ = Clock::now() + scheduler_.Backoff(1);
        return nullptr;
    }
}

void LineContext::DatabaseFailed(const DbError& e, bool batch) {
    metrics_.DatabaseFailure(line_.name);
    metrics_.DatabaseWriteFailed(UtcNow(), e.what(), batch);
    if (!dbDown_ || dbError_ != e.what()) {
        Log(Level::kError, "database-failed", {{"line", line_.name}, {"error", e.what()}});
    }
    dbDown_ = true;
    dbError_ = e.what();
    if (db_ && !db_->Healthy()) {
        db_.reset();
        dbRetryAt_ = {};  // a fresh connection may be had at once (a server restart)
    }
}

void LineContext::Outcome(TerminalRun& t, int code) {
    const std::string now = UtcNow();
    const auto at = Clock::now();
    TerminalState& s = t.shown;
    t.dirty = true;
    if (code == TALVO_OK) {
        // Back after it was gone: it may have been reset or replaced.
        if (s.state == "down") t.verifyAll = true;
        if (s.state != "up" && s.state != "unknown") {
            Log(Level::kInfo, "terminal-up", {{"line", line_.name}, {"terminal", std::to_string(s.number)}});
        }
        s.state = "up";
        s.lastSeen = now;
        s.downSince.clear();
        s.failures = 0;
        scheduler_.Answered(s.number, at);
        return;
    }
    s.lastError = code;
    s.lastErrorText = talvo_strerror(code);
    ++s.failures;
    if (Answered(code)) {
        // It answered: out of any back-off, and on its job's intervals.
        s.state = "refusing";
        s.lastSeen = now;
        s.downSince.clear();
        scheduler_.Answered(s.number, at);
        return;
    }
    if (s.state != "down") {
        s.downSince = now;
        Log(Level::kWarning, "terminal-down",
            {{"line", line_.name}, {"terminal", std::to_string(s.number)}, {"error", s.lastErrorText}});
    }
    s.state = "down";
    scheduler_.Silent(s.number, s.failures, at);
}

void LineContext::Publish() {
    int up = 0;
    for (const TerminalRun& t : terminals_) up += t.shown.state == "up" ? 1 : 0;
    metrics_.TerminalsUp(line_.name, up, static_cast<int>(terminals_.size()));
    Connection* c = nullptr;
    for (TerminalRun& t : terminals_) {
        if (!t.dirty) continue;
        if (c == nullptr && (c = Database()) == nullptr) return;
        try {
            SaveTerminal(*c, t.shown, host_);
            t.dirty = false;
            Wrote();
        } catch (const DbError& e) {
            DatabaseFailed(e);
            return;
        }
    }
}

bool Answered(int code) {
    return code == TALVO_OK || code == TALVO_E_REFUSED || code == TALVO_E_SHORT_REPLY || code == TALVO_E_BATCH ||
           code == TALVO_E_UNCONFIRMED || code == TALVO_E_INVALID;
}

namespace {

// Records a job's run in job_runs and saves the terminals' states.
bool FinishRun(LineContext& line, JobRun& run, int tried, int failed, int skipped, bool dbFailed) {
    run.end = UtcNow();
    run.failed = failed > 0 || dbFailed;
    run.result = dbFailed ? "database unavailable: " + line.DatabaseError()
                          : std::to_string(tried - failed) + " of " + std::to_string(tried) + " answered" +
                                (skipped > 0 ? ", " + std::to_string(skipped) + " waiting out a back-off" : "");
    line.Publish();
    if (Connection* c = dbFailed ? nullptr : line.Database()) {
        try {
            SaveJobRun(*c, run, line.Host());
            line.Wrote();
        } catch (const DbError& e) {
            line.DatabaseFailed(e);
        }
    }
    return !dbFailed;
}

}  // namespace

bool RunJob(LineContext& line, const char* job, std::int64_t intervalMs, const std::vector<TerminalRun*>& targets,
            const JobEach& each) {
    JobRun run{line.Name(), job, intervalMs, UtcNow(), "", "", false};
    int tried = 0, failed = 0, skipped = 0;
    bool dbFailed = false;
    for (TerminalRun* t : targets) {
        if (line.Stopping()) break;
        // The interface's commands wait for no more than one terminal.
        CommandJob(line);
        if (line.scheduler().InBackoff(t->config.number, Clock::now())) {
            ++skipped;
            continue;
        }
        ++tried;
        if (!each(*t)) {
            dbFailed = true;
            break;
        }
        if (t->shown.state != "up") ++failed;
    }
    return FinishRun(line, run, tried, failed, skipped, dbFailed);
}

bool RunJobTogether(LineContext& line, const char* job, std::int64_t intervalMs,
                    const std::vector<TerminalRun*>& targets, const JobAll& all) {
    JobRun run{line.Name(), job, intervalMs, UtcNow(), "", "", false};
    int failed = 0, skipped = 0;
    std::vector<TerminalRun*> ready;
    if (!line.Stopping()) {
        CommandJob(line);
        for (TerminalRun* t : targets) {
            if (line.scheduler().InBackoff(t->config.number, Clock::now())) {
                ++skipped;
            } else {
                ready.push_back(t);
            }
        }
    }
    const bool dbFailed = !ready.empty() && !all(ready);
    for (const TerminalRun* t : ready) failed += t->shown.state != "up" ? 1 : 0;
    return FinishRun(line, run, static_cast<int>(ready.size()), failed, skipped, dbFailed);
}

}  // namespace talvo::service
