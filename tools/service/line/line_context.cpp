#include "line/line_context.h"

#include "line/jobs.h"
#include "log.h"

namespace talvo::service {
namespace {

using Clock = Scheduler::Clock;

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// What a line that could not be used is: its device server sends without
// pause, refused it (the connection, the option, its settings, or another
// client holds it), or cannot be reached at all (nor a serial device opened).
std::string LineStateOf(int code, const std::string& reason) {
    if (Has(reason, "without pause")) return "flooding";
    if (code == TALVO_E_BUSY || code == TALVO_E_NEGOTIATE || code == TALVO_E_LINE_FORMAT || Has(reason, "refused") ||
        Has(reason, "at once")) {
        return "refused";
    }
    return "unreachable";
}

// Why the line's transport last failed, in the library's words (a null
// handle: the last open on this thread).
std::string TransportText(talvo_line* handle) {
    char text[512] = {};
    if (talvo_line_error_text(handle, text, sizeof text) != TALVO_OK) return std::string();
    return text;
}

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
    lineState_.device = line_.device;
    lineState_.state = "opening";
    lineState_.since = UtcNow();
    PublishLine();
}

bool LineContext::LineDown() const { return lineDown_ && !scheduler_.MayOpenDevice(Clock::now()); }

void LineContext::PublishLine() { metrics_.SetLineState(line_.name, lineState_); }

void LineContext::LineUp() {
    if (!lineDown_ && lineState_.state == "connected") return;
    if (lineDown_) {
        Log(Level::kInfo, "line-up", {{"line", line_.name}, {"device", line_.device}});
        if (everUp_) ++lineState_.reconnects;
    }
    lineDown_ = false;
    everUp_ = true;
    lineState_.state = "connected";
    lineState_.reason.clear();
    lineState_.since = UtcNow();
    scheduler_.DeviceOpened();
    PublishLine();
}

void LineContext::LineLost(int code, const std::string& reason, bool logged) {
    const std::string state = LineStateOf(code, reason);
    if (!lineDown_) lineState_.since = UtcNow();
    if (!logged && (!lineDown_ || lineState_.state != state || lineState_.reason != reason)) {
        Log(Level::kWarning, "line-down",
            {{"line", line_.name}, {"device", line_.device}, {"state", state}, {"reason", reason}});
    }
    lineDown_ = true;
    lineState_.state = state;
    lineState_.reason = reason;
    PublishLine();
    // Every terminal of the line is down with it, for the line's reason.
    const std::string text = "line down: " + reason;
    for (TerminalRun& t : terminals_) {
        if (t.shown.state == "down" && t.shown.lastError == code && t.shown.lastErrorText == text) continue;
        if (t.shown.state != "down") t.shown.downSince = UtcNow();
        // Said of each terminal that was answering; a line that never came
        // up says so once, for all.
        if (t.shown.state != "down" && t.shown.state != "unknown") {
            Log(Level::kWarning, "terminal-down",
                {{"line", line_.name}, {"terminal", std::to_string(t.shown.number)}, {"error", text}});
        }
        t.shown.state = "down";
        t.shown.lastError = code;
        t.shown.lastErrorText = text;
        t.dirty = true;
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
    if (line_.device.rfind("rfc2217://", 0) == 0 && lineState_.state != "negotiating") {
        lineState_.state = "negotiating";
        PublishLine();
    }
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
        LineUp();
        return handle_;
    }
    const std::string why = "cannot open " + line_.device + ": " + talvo_strerror(rc);
    if (scheduler_.DeviceFailures() == 0 || why != openError_) {
        Log(Level::kError, "line-unavailable",
            {{"line", line_.name}, {"device", line_.device}, {"error", talvo_strerror(rc)}});
    }
    openError_ = why;
    scheduler_.DeviceMissing(Clock::now());
    const std::string reason = TransportText(nullptr);
    LineLost(rc, reason.empty() ? why : reason, true);
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
        LineUp();
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
    // The line itself failed: its device went away, or the connection to
    // its device server was lost and could not be made again.  The line is
    // down for its reason, and its terminals with it, until its back-off
    // is over.
    const std::string transport = handle_ != nullptr && !Answered(code) ? TransportText(handle_) : std::string();
    if (code == TALVO_E_PORT || Has(transport, "at once") || Has(transport, "without pause")) {
        ++s.failures;
        scheduler_.DeviceMissing(at);
        openError_ = "line down: " + (transport.empty() ? std::string(talvo_strerror(code)) : transport);
        LineLost(code, transport.empty() ? talvo_strerror(code) : transport);
        return;
    }
    // A connection lost in the middle of the exchange is made again by the
    // next one.
    if (!transport.empty()) {
        ++lineState_.reconnects;
        PublishLine();
    }
    s.lastError = code;
    s.lastErrorText = talvo_strerror(code);
    ++s.failures;
    if (Answered(code)) {
        LineUp();
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
        // A line that went down takes its terminals out with it.
        if (line.LineDown() || line.scheduler().InBackoff(t->config.number, Clock::now())) {
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
            if (line.LineDown() || line.scheduler().InBackoff(t->config.number, Clock::now())) {
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
