// One worker per serial line: its own thread, its own line handle and its
// own database connection, so that a terminal that does not answer (or a
// device that is gone) holds up nothing but its own line.  The worker runs
// the jobs of its line (status, clock, collection) on their intervals and
// keeps a silent terminal out of them for a back-off that doubles with each
// failure.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "config.h"
#include "metrics.h"

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
    struct State;
    void Run();

    LineConfig line_;
    JobsConfig jobs_;
    std::string database_;
    std::string host_;
    Metrics& metrics_;
    std::thread thread_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::atomic<bool> stop_{false};
    std::map<int, std::vector<std::shared_ptr<CollectTicket>>> collectNow_;
};

}  // namespace talvo::service
