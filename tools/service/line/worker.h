// One worker per serial line: its own thread, its own line handle and its
// own database connection, so that a terminal that does not answer (or a
// device that is gone) holds up nothing but its own line.  The worker
// sleeps until its scheduler's next due time or a task in its queue, runs
// the jobs that are due (jobs.h) and keeps a silent terminal out of them
// for a back-off that doubles with each failure.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config.h"
#include "http/metrics.h"
#include "line/task_queue.h"

namespace talvo::service {

class LineWorker {
public:
    LineWorker(LineConfig line, JobsConfig jobs, std::string database, std::string host, Metrics& metrics);
    ~LineWorker();
    LineWorker(const LineWorker&) = delete;
    LineWorker& operator=(const LineWorker&) = delete;

    void Start();
    // Asks the worker to stop: it finishes the batch in hand and returns.
    void RequestStop();
    // Waits for the worker's thread.
    void Join();
    // Waits until the worker has stopped or `deadline` passed; true when it
    // has (Join then returns at once).
    bool WaitStopped(std::chrono::steady_clock::time_point deadline);
    // The longest one exchange on this line can take.
    std::chrono::milliseconds ExchangeTime() const;

    const LineConfig& Line() const { return line_; }
    const JobsConfig& Jobs() const { return jobs_; }
    // Queues a collection from one terminal of this line, ahead of its
    // schedule and its back-off.  Null when the line has no such terminal.
    std::shared_ptr<CollectTicket> CollectNow(int terminal);
    // The desired state changed: the worker wakes and pushes it, the
    // blacklist first, even in the middle of a collection.
    void SyncNow();
    // Queues a command for one terminal of this line, run ahead of the
    // collection turns.  Null when the line has no such terminal.
    std::shared_ptr<CommandTicket> Command(int terminal, CommandTicket::Work work);
    bool HasTerminal(int terminal) const;

private:
    void Run();

    LineConfig line_;
    JobsConfig jobs_;
    std::string database_;
    std::string host_;
    Metrics& metrics_;
    TaskQueue tasks_;
    std::mutex stoppedLock_;
    std::condition_variable stoppedChanged_;
    bool stopped_ = false;
    std::thread thread_;
};

}  // namespace talvo::service
