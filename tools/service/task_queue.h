// A line's task queue: what the HTTP side (a "collect now") and the line's
// own jobs ask of the worker between its scheduled runs.  The worker sleeps
// on it until its next due time, a task, or the stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace talvo::service {

// What a "collect now" of one terminal came to.
struct CollectResult {
    bool done = false;   // false: still waiting for its turn or running
    int records = 0;     // records this collection stored
    int rejected = 0;    // raw records it stored as rejected
    std::string state;   // the terminal's state afterwards
    std::string error;   // empty when the terminal handed over all it had
};

// A "collect now" in the line's queue; the worker finishes it.
class CollectTicket {
public:
    void Finish(CollectResult result);
    // The result once done, or one with `done` false after `limit`.
    CollectResult Wait(std::chrono::milliseconds limit);

private:
    std::mutex lock_;
    std::condition_variable done_;
    CollectResult result_;
};

struct Task {
    enum class Kind {
        kCollectNow,  // collect `terminal` ahead of its schedule and back-off
        kSync,        // the desired state changed: bring the terminals to it, the blacklist first
    };
    Kind kind = Kind::kCollectNow;
    int terminal = 0;
    std::shared_ptr<CollectTicket> ticket;  // finished by the worker
};

class TaskQueue {
public:
    using Time = std::chrono::steady_clock::time_point;
    // False (and the task not queued) once the queue is stopped.
    bool Push(Task task);
    // Sleeps until `until`, a task or the stop.
    void WaitUntil(Time until);
    std::deque<Task> TakeAll();
    // Whether a kSync task was queued; takes those tasks out.
    bool TakeSyncWanted();
    void Stop();
    bool Stopping() const;

private:
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stop_ = false;
};

}  // namespace talvo::service
