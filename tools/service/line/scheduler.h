// When a line's worker has something to do: the due times of its jobs, the
// back-off of each silent terminal and of the device, and the one time the
// worker sleeps until.  Plain bookkeeping on times handed in, so that it can
// be checked without waiting: every run moves its due time past `now`, so
// nothing the worker can meet (device missing, terminal refusing or silent,
// database down) makes it due again before its interval or back-off.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "config.h"

namespace talvo::service {

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;
    enum class Job { kStatus, kClock, kCollect };

    Scheduler(const JobsConfig& jobs, Time start, const std::vector<int>& terminals);

    // The job is due at `now`.
    bool Due(Job job, Time now) const;
    // The job ran (or was tried) at `now`: due again one interval later, or
    // after the shortest back-off when it could not finish (the database was
    // away), whichever comes first.
    void Ran(Job job, Time now, bool finished = true);
    std::int64_t IntervalMs(Job job) const;

    // The wait before try number `failures` + 1: backoff_min, doubling up to
    // backoff_max.
    std::chrono::milliseconds Backoff(int failures) const;

    // A terminal answered (anything, a refusal too): out of its back-off.
    void Answered(int terminal, Time now);
    // A terminal stayed silent for the `failures`-th time in a row.
    void Silent(int terminal, int failures, Time now);
    // Asked for by hand: its back-off is over now.
    void EndBackoff(int terminal);
    // Its retry could not be made (the worker stopped, the database went):
    // tried again after the shortest back-off.
    void Postpone(int terminal, Time now);
    bool InBackoff(int terminal, Time now) const;
    // Its back-off ran out: it is tried again at once.
    bool RetryDue(int terminal, Time now) const;
    // It answered within the last `within` (a status request then tells
    // nothing new).
    bool AnsweredWithin(int terminal, Time now, std::chrono::milliseconds within) const;

    // The device: opened, or not there (tried again after a back-off).
    void DeviceOpened();
    void DeviceMissing(Time now);
    bool MayOpenDevice(Time now) const { return now >= openAt_; }
    int DeviceFailures() const { return openFailures_; }

    // The desired state's next look (a failed push's retry, a read-back);
    // none while nothing is managed.
    void SyncAt(std::optional<Time> at) { syncAt_ = at; }

    // When the worker must look again: with the device open, the first due
    // job or back-off; without it, the next try to open it (its jobs wait
    // for the device).  Never earlier than `now` for a job that just ran.
    Time NextWake(bool deviceOpen) const;

private:
    struct Terminal {
        std::optional<Time> retryAt;     // in a back-off until then
        std::optional<Time> lastAnswer;  // its last answer of any kind
    };
    JobsConfig jobs_;
    std::map<Job, Time> due_;
    std::map<int, Terminal> terminals_;
    Time openAt_{};
    std::optional<Time> syncAt_;
    int openFailures_ = 0;
};

}  // namespace talvo::service
