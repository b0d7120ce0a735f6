#include <ctime>

#include "line/jobs.h"

namespace talvo::service {

void SetClock(LineContext& line, TerminalRun& t) {
    t.clockPending = true;
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    talvo_datetime when{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
    talvo_line* handle = line.OpenLine();
    const int rc = t.config.kind == "attendance" ? talvo_attend_clock_set(handle, t.config.number, &when)
                                                 : talvo_clock_set(handle, t.config.number, &when);
    line.metrics().Exchange(line.Name(), "clock", rc);
    line.Outcome(t, rc);
    if (t.shown.state == "up") t.clockPending = false;
}

bool ClockJob(LineContext& line) {
    std::vector<TerminalRun*> all;
    for (TerminalRun& t : line.Terminals()) {
        t.clockPending = true;
        all.push_back(&t);
    }
    return RunJob(line, "clock", line.scheduler().IntervalMs(Scheduler::Job::kClock), all, [&](TerminalRun& t) {
        SetClock(line, t);
        return true;
    });
}

}  // namespace talvo::service
