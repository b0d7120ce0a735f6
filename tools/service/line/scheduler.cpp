#include "line/scheduler.h"

#include <algorithm>

namespace talvo::service {

using std::chrono::milliseconds;

Scheduler::Scheduler(const JobsConfig& jobs, Time start, const std::vector<int>& terminals) : jobs_(jobs) {
    due_[Job::kStatus] = start;
    due_[Job::kCollect] = start;
    due_[Job::kClock] = jobs.clockAtStart ? start : start + milliseconds(jobs.clockMs);
    for (int t : terminals) terminals_[t];
}

std::int64_t Scheduler::IntervalMs(Job job) const {
    switch (job) {
        case Job::kStatus:
            return jobs_.statusMs;
        case Job::kClock:
            return jobs_.clockMs;
        case Job::kCollect:
            break;
    }
    return jobs_.collectMs;
}

bool Scheduler::Due(Job job, Time now) const { return now >= due_.at(job); }

void Scheduler::Ran(Job job, Time now, bool finished) {
    std::int64_t ms = IntervalMs(job);
    if (!finished) ms = std::min(ms, jobs_.backoffMinMs);
    // A zero interval would make the job due on every turn.
    due_[job] = now + milliseconds(std::max<std::int64_t>(ms, 1));
}

milliseconds Scheduler::Backoff(int failures) const {
    std::int64_t ms = std::max<std::int64_t>(jobs_.backoffMinMs, 1);
    for (int i = 1; i < failures && ms < jobs_.backoffMaxMs; ++i) ms *= 2;
    return milliseconds(std::max<std::int64_t>(std::min(ms, jobs_.backoffMaxMs), 1));
}

void Scheduler::Answered(int terminal, Time now) {
    Terminal& t = terminals_[terminal];
    t.retryAt.reset();
    t.lastAnswer = now;
}

void Scheduler::Silent(int terminal, int failures, Time now) { terminals_[terminal].retryAt = now + Backoff(failures); }

void Scheduler::EndBackoff(int terminal) { terminals_[terminal].retryAt.reset(); }

void Scheduler::Postpone(int terminal, Time now) { terminals_[terminal].retryAt = now + Backoff(1); }

bool Scheduler::InBackoff(int terminal, Time now) const {
    auto it = terminals_.find(terminal);
    return it != terminals_.end() && it->second.retryAt && now < *it->second.retryAt;
}

bool Scheduler::RetryDue(int terminal, Time now) const {
    auto it = terminals_.find(terminal);
    return it != terminals_.end() && it->second.retryAt && now >= *it->second.retryAt;
}

bool Scheduler::AnsweredWithin(int terminal, Time now, milliseconds within) const {
    auto it = terminals_.find(terminal);
    return it != terminals_.end() && it->second.lastAnswer && now - *it->second.lastAnswer < within;
}

void Scheduler::DeviceOpened() { openFailures_ = 0; }

void Scheduler::DeviceMissing(Time now) {
    ++openFailures_;
    openAt_ = now + Backoff(openFailures_);
}

Scheduler::Time Scheduler::NextWake(bool deviceOpen) const {
    if (!deviceOpen) return openAt_;
    Time next = Time::max();
    for (const auto& [job, at] : due_) next = std::min(next, at);
    if (syncAt_) next = std::min(next, *syncAt_);
    for (const auto& [number, t] : terminals_) {
        if (t.retryAt) next = std::min(next, *t.retryAt);
    }
    return next;
}

}  // namespace talvo::service
