// One worker per serial line: its own thread, its own line handle and its
// own database connection, so that a terminal that does not answer (or a
// device that is gone) holds up nothing but its own line.  The worker
// sleeps until its scheduler's next due time or a task in its queue, runs
// the jobs that are due (jobs.h) and keeps a silent terminal out of them
// for a back-off that doubles with each failure.
#pragma once

#include <memory>
#include <string>
#include <thread>

#include "config.h"
#include "metrics.h"
#include "task_queue.h"

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

    const LineConfig& Line() const { return line_; }
    const JobsConfig& Jobs() const { return jobs_; }
    // Queues a collection from one terminal of this line, ahead of its
    // schedule and its back-off.  Null when the line has no such terminal.
    std::shared_ptr<CollectTicket> CollectNow(int terminal);

private:
    void Run();

    LineConfig line_;
    JobsConfig jobs_;
    std::string database_;
    std::string host_;
    Metrics& metrics_;
    TaskQueue tasks_;
    std::thread thread_;
};

}  // namespace talvo::service
