#include "line/jobs.h"

#include <chrono>
#include <cstdio>

namespace talvo::service {

namespace {

bool Attendance(const TerminalRun& t) { return t.config.kind == "attendance"; }

}  // namespace

// An attendance terminal is asked its clock instead: one exchange all the
// same, and the page shows what the terminal's staff see.
void AskStatus(LineContext& line, TerminalRun& t) {
    if (!Attendance(t)) {
        const int rc = talvo_status(line.OpenLine(), t.config.number);
        line.metrics().Exchange(line.Name(), "status", rc);
        line.Outcome(t, rc);
        return;
    }
    talvo_datetime clock{};
    const int rc = talvo_attend_clock_read(line.OpenLine(), t.config.number, &clock);
    line.metrics().Exchange(line.Name(), "status", rc);
    if (rc == TALVO_OK) {
        char text[64];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", clock.year, clock.month, clock.day,
                      clock.hour, clock.minute, clock.second);
        t.shown.clock = text;
        t.shown.clockRead = UtcNow();
        t.clockReadAt = Scheduler::Clock::now();
    }
    line.Outcome(t, rc);
}

bool StatusJob(LineContext& line) {
    // A terminal that answered anything lately (a collection, a clock, a
    // refusal) is known to be there: its line time goes to the others.
    const auto now = Scheduler::Clock::now();
    const auto interval = std::chrono::milliseconds(line.scheduler().IntervalMs(Scheduler::Job::kStatus));
    std::vector<TerminalRun*> ask;
    for (TerminalRun& t : line.Terminals()) {
        // An attendance terminal's clock is read once an interval even
        // when it answered other things meanwhile.
        const bool clockDue = Attendance(t) && now - t.clockReadAt >= interval;
        if (clockDue || !line.scheduler().AnsweredWithin(t.config.number, now, interval)) ask.push_back(&t);
    }
    return RunJob(line, "status", interval.count(), ask, [&](TerminalRun& t) {
        AskStatus(line, t);
        return true;
    });
}

void RetryJob(LineContext& line) {
    Scheduler& s = line.scheduler();
    std::vector<TerminalRun*> due;
    for (TerminalRun& t : line.Terminals()) {
        if (s.RetryDue(t.config.number, Scheduler::Clock::now())) due.push_back(&t);
    }
    if (due.empty()) return;
    RunJob(line, "retry", s.Backoff(1).count(), due, [&](TerminalRun& t) {
        AskStatus(line, t);
        if (t.shown.state != "up") return true;
        if (t.clockPending) SetClock(line, t);
        // What it missed of the desired state while it was silent.
        if (line.WantedLoaded() && !SyncTerminal(line, t, false)) return false;
        if (t.collectPending) return CollectFrom(line, t);
        return true;
    });
    // Any the run did not reach (the worker stopping, the database gone)
    // wait the shortest back-off, not a turn each.
    for (TerminalRun* t : due) {
        if (s.RetryDue(t->config.number, Scheduler::Clock::now())) s.Postpone(t->config.number, Scheduler::Clock::now());
    }
}

}  // namespace talvo::service
