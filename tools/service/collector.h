// One worker per serial line: its own thread, its own line handle and its
// own database connection, so that a terminal that does not answer (or a
// device that is gone) holds up nothing but its own line.  The worker runs
// the jobs of its line (status, clock, collection) on their intervals and
// keeps a silent terminal out of them for a back-off that doubles with each
// failure.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "config.h"
#include "metrics.h"

namespace talvo::service {

// Test hook read from TALVOD_TEST_AFTER_COMMIT: what to do between a
// batch's commit and its confirmation ("pause=MS", "kill=N": SIGKILL this
// process at the N-th commit).
struct CommitHook {
    int pauseMs = 0;
    int killAt = 0;
    static CommitHook FromEnvironment();
};

class LineWorker {
public:
    LineWorker(LineConfig line, JobsConfig jobs, std::string database, std::string host, Metrics& metrics,
               CommitHook hook);
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
    // schedule and its back-off.  False when the line has no such terminal.
    bool CollectNow(int terminal);

private:
    struct State;
    void Run();

    LineConfig line_;
    JobsConfig jobs_;
    std::string database_;
    std::string host_;
    Metrics& metrics_;
    CommitHook hook_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::set<int> collectNow_;
};

}  // namespace talvo::service
