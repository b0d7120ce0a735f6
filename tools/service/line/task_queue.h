// A line's task queue: what the HTTP side (a "collect now", a command for a
// terminal) and the line's own jobs ask of the worker between its scheduled
// runs.  The worker sleeps
// on it until its next due time, a task, or the stop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "terminal.h"

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

// What a command for one terminal came to, as the command-line tool says it
// in direct use.
struct CommandResult {
    bool done = false;    // false: not run (yet)
    bool ok = false;      // the terminal accepted
    std::string values;   // what was read, a JSON object (ok)
    std::string problem;  // why not, in one line (not ok)
    int exit = 1;         // the tool's exit status for it (not ok)
    bool stopping = false;  // not run: the line is stopping
    // The managed item the command may have changed on the terminal ("*":
    // any of them), "" for none: the worker reads it back at once.
    std::string touches;
};

// A command in the line's queue, run by the worker on its open line and
// waited for by the requester, who may give up on it.
class CommandTicket {
public:
    using Work = std::function<CommandResult(common::Terminal&)>;
    explicit CommandTicket(Work work) : work_(std::move(work)) {}
    const Work& work() const { return work_; }
    // The worker is about to run it: false when its requester gave up (it
    // is then never run).
    bool Begin();
    void Finish(CommandResult result);
    // The result once done.  After `limit` without one, a command not yet
    // begun is withdrawn (`begun` false) and never runs; one begun runs to
    // its end (`begun` true).
    CommandResult Wait(std::chrono::milliseconds limit, bool& begun);

private:
    Work work_;
    std::mutex lock_;
    std::condition_variable done_;
    CommandResult result_;
    bool begun_ = false;
    bool withdrawn_ = false;
};

struct Task {
    enum class Kind {
        kCollectNow,  // collect `terminal` ahead of its schedule and back-off
        kSync,        // the desired state changed: bring the terminals to it, the blacklist first
        kCommand,     // run a command on `terminal`, ahead of collection turns
    };
    Kind kind = Kind::kCollectNow;
    int terminal = 0;
    std::shared_ptr<CollectTicket> ticket;    // kCollectNow: finished by the worker
    std::shared_ptr<CommandTicket> command;   // kCommand: finished by the worker
};

class TaskQueue {
public:
    using Time = std::chrono::steady_clock::time_point;
    // False (and the task not queued) once the queue is stopped.
    bool Push(Task task);
    // Sleeps until `until`, a task or the stop.
    void WaitUntil(Time until);
    // The tasks of one kind, in the order they came; the others stay.
    std::deque<Task> Take(Task::Kind kind);
    // Whether a kSync task was queued; takes those tasks out.
    bool TakeSyncWanted();
    // Whether a task of that kind is waiting (it stays queued).
    bool Has(Task::Kind kind) const;
    void Stop();
    bool Stopping() const;

private:
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::deque<Task> tasks_;
    bool stop_ = false;
};

}  // namespace talvo::service
