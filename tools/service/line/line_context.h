// What the jobs of one line share while its worker runs: the line handle,
// the database connection, what is known of each terminal, the scheduler
// and the task queue.  Owned and used by the worker's thread alone (the
// task queue excepted).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "db/database.h"
#include "manage/desired.h"
#include "http/metrics.h"
#include "line/scheduler.h"
#include "db/store.h"
#include "talvo.h"
#include "line/task_queue.h"

namespace talvo::service {

// What the worker knows of one terminal.
struct TerminalRun {
    TerminalConfig config;
    TerminalState shown;
    bool dirty = true;            // not yet saved
    bool clockPending = false;    // its clock still to be set
    bool collectPending = false;  // its records still to be collected
    std::int64_t stored = 0;      // records stored since the start
    std::int64_t rejected = 0;    // rejected raw records stored since the start
    // The terminal confirmed the last batch committed: its next batch is a
    // new one, whatever it holds.  Unknown at the start: a batch committed
    // before a restart may come again.
    bool lastConfirmed = false;
    // An attendance terminal's clock was last read then (never: the epoch).
    Scheduler::Time clockReadAt{};

    // The desired state's items as this terminal holds them (manage/sync.cpp).
    struct Item {
        SyncRow row;
        bool dirty = false;           // not yet saved
        Scheduler::Time retryAt{};    // a failed push is not tried again before
        bool verifyDue = false;       // to be read back (a verify not yet done)
        // The blacklist in the terminal's order, where it is known: from a
        // read-back and the writes by position and adds since (a remove
        // forgets it: where the others then stand is the terminal's affair).
        std::vector<std::string> layout;
        bool layoutKnown = false;
        // A read-back under way: the cards read so far (resumed there).
        std::vector<std::string> reading;
    };
    std::map<std::string, Item> items;
    // Its readable items are read back at the next sync: at the start, and
    // when it answers again after it was down (it may have been reset or
    // replaced meanwhile).
    bool verifyAll = true;
    Scheduler::Time verifyAt{};
};

class LineContext {
public:
    LineContext(const LineConfig& line, const JobsConfig& jobs, std::string database, std::string host,
                Metrics& metrics, TaskQueue& tasks);
    ~LineContext();
    LineContext(const LineContext&) = delete;
    LineContext& operator=(const LineContext&) = delete;

    const std::string& Name() const { return line_.name; }
    const LineConfig& Line() const { return line_; }
    const std::string& Host() const { return host_; }
    Metrics& metrics() { return metrics_; }
    Scheduler& scheduler() { return scheduler_; }
    std::vector<TerminalRun>& Terminals() { return terminals_; }
    TerminalRun* Terminal(int number);
    bool Stopping() const { return tasks_.Stopping(); }
    TaskQueue& Tasks() { return tasks_; }

    // The line, opened when it is not and the device's back-off is over;
    // null while the device cannot be opened.
    talvo_line* OpenLine();
    bool LineOpen() const { return handle_ != nullptr && !LineDown(); }
    const std::string& LineError() const { return openError_; }
    // The line itself is down - its device cannot be opened, or the
    // connection to its device server was lost and could not be made again
    // (refused, unreachable, or dropped for sending without pause) - and its
    // back-off is not over: its terminals are not asked meanwhile.
    bool LineDown() const;

    // The database connection (opened, and the schema checked, on demand;
    // not tried again before its back-off is over); null while it is away.
    Connection* Database();
    // `batch`: a batch's commit (see Metrics::DatabaseWrote).
    void DatabaseFailed(const DbError& e, bool batch = false);
    // A write went through.
    void Wrote(bool batch = false) { metrics_.DatabaseWrote(UtcNow(), batch); }
    const std::string& DatabaseError() const { return dbError_; }

    // The line time the verify's read-backs took, and whether they may take
    // more now: at most kVerifyShare of the line's time since the start,
    // plus a few blocks' worth so that a verify can begin.
    static constexpr double kVerifyShare = 0.05;
    void VerifySpent(Scheduler::Clock::duration d) { verifySpent_ += d; }
    // When they may take more again.
    Scheduler::Time VerifyNext() const {
        const auto earned = verifySpent_ - std::chrono::seconds(2);
        return started_ + std::chrono::duration_cast<Scheduler::Clock::duration>(earned / kVerifyShare);
    }
    bool VerifyMay(Scheduler::Time now) const {
        return verifySpent_ <= std::chrono::duration_cast<Scheduler::Clock::duration>(
                                   (now - started_) * kVerifyShare + std::chrono::seconds(2));
    }

    // The desired state as last loaded (manage/sync.cpp), and whether this
    // line's sync rows have been read.
    Desired& Wanted() { return desired_; }
    bool& WantedLoaded() { return desiredLoaded_; }
    bool& SyncRowsLoaded() { return syncRowsLoaded_; }
    const JobsConfig& Jobs() const { return jobs_; }
    // A push of the blacklist was asked for (a card blocked): taken once.
    bool TakeSyncWanted() { return tasks_.TakeSyncWanted(); }

    // The outcome of one command for a terminal (TALVO_OK or an error).
    void Outcome(TerminalRun& t, int code);
    // Saves the terminals whose state changed and the line's gauge.
    void Publish();

private:
    // The line answered through (a terminal answered, or the device opened).
    void LineUp();
    // The line is down for `reason`: every terminal of it with it
    // (`logged`: the caller has said so in the log already).
    void LineLost(int code, const std::string& reason, bool logged = false);
    void PublishLine();

    LineConfig line_;
    JobsConfig jobs_;
    std::string database_;
    std::string host_;
    Metrics& metrics_;
    TaskQueue& tasks_;
    Scheduler scheduler_;
    std::vector<TerminalRun> terminals_;

    talvo_line* handle_ = nullptr;
    std::string openError_;
    Metrics::LineState lineState_;
    bool lineDown_ = false;
    bool everUp_ = false;

    std::unique_ptr<Connection> db_;
    bool dbDown_ = false;
    std::string dbError_;
    int dbFailures_ = 0;
    Scheduler::Time dbRetryAt_{};

    Scheduler::Time started_ = Scheduler::Clock::now();
    Scheduler::Clock::duration verifySpent_{};

    Desired desired_;
    bool desiredLoaded_ = false;
    bool syncRowsLoaded_ = false;
};

// The terminal answered, if only to refuse: it is there, and out of any
// back-off.
bool Answered(int code);

// Runs one job over `targets` and records the run in job_runs: a terminal
// in its back-off is left out, `each` returns false when the database
// failed (the run stops there).  Returns false then.
using JobEach = std::function<bool(TerminalRun&)>;
bool RunJob(LineContext& line, const char* job, std::int64_t intervalMs, const std::vector<TerminalRun*>& targets,
            const JobEach& each);
// The same for a job that works on its terminals together (the collection
// commits a batch of each in one transaction): `all` gets the targets not
// in a back-off at once, and returns false when the database failed.
using JobAll = std::function<bool(const std::vector<TerminalRun*>&)>;
bool RunJobTogether(LineContext& line, const char* job, std::int64_t intervalMs,
                    const std::vector<TerminalRun*>& targets, const JobAll& all);

}  // namespace talvo::service
