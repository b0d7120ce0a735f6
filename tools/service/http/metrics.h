// The service's counters, shown at /metrics in the Prometheus text format.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace talvo::service {

class Metrics {
public:
    Metrics();
    // One exchange (a command with its tries) on a line for a job, and its
    // result (0 or a TALVO_E_* code).
    void Exchange(const std::string& line, const std::string& job, int code);
    void BatchStored(const std::string& line, std::size_t records, std::size_t rejected);
    void BatchReplayed(const std::string& line);
    void DatabaseFailure(const std::string& line);
    // The outcome of the last write to the database (of any line): what
    // /healthz reports.  `when` is UTC, ISO 8601.  A batch's commit that
    // failed is undone only by one that succeeds (`batch`): a terminal's
    // state, a few bytes, may still fit where no batch does.
    void DatabaseWrote(const std::string& when, bool batch = false);
    void DatabaseWriteFailed(const std::string& when, const std::string& error, bool batch = false);
    struct WriteState {
        std::string lastOk;       // the last write that succeeded ("" none)
        std::string lastFailure;  // the last that failed ("" none)
        std::string error;        // its error
        bool failing = false;     // the latest write failed, or the latest batch
        bool batchFailing = false;  // the latest batch's commit failed
    };
    WriteState LastWrite() const;
    // Fetch to confirmation of one batch, in seconds.
    void CollectionLatency(double seconds);
    // Terminals of a line and how many of them answered at their last try.
    void TerminalsUp(const std::string& line, int up, int total);
    void ForgetLine(const std::string& line);

    // A line itself: its device, and whether the worker has it now.
    struct LineState {
        std::string device;
        // "connected" (or open, for a serial device), "negotiating",
        // "unreachable", "refused", "flooding" or "stopped".
        std::string state;
        std::string reason;  // why it is not connected, in the system's words
        std::string since;   // UTC, ISO 8601
        int reconnects = 0;  // made again after it was lost, since the start
    };
    void SetLineState(const std::string& line, const LineState& state);
    std::map<std::string, LineState> LineStates() const;

    // One terminal as the database last saw it, for the per-terminal gauges.
    struct TerminalState {
        std::string line, name;
        int number = 0;
        bool up = false;
        std::optional<double> lastCollection;  // seconds since 1970, UTC
    };
    // The text format: every counter of each line in `lines` present (0
    // before its first event), and the gauges of `terminals`.
    std::string Render(const std::vector<std::string>& lines = {},
                       const std::vector<TerminalState>& terminals = {}) const;

    // For tests and the log: totals across lines.
    std::uint64_t RecordsStored() const;
    std::uint64_t BatchesReplayed() const;

private:
    using Labels = std::string;  // rendered: line="a",job="collect"
    mutable std::mutex lock_;
    std::map<Labels, std::uint64_t> exchanges_, failures_, recordsStored_, recordsRejected_, batchesStored_,
        batchesReplayed_, databaseFailures_;
    std::map<std::string, std::pair<int, int>> terminals_;
    std::map<std::string, LineState> lineStates_;
    std::vector<double> bounds_;
    std::vector<std::uint64_t> buckets_;
    WriteState write_;
    std::uint64_t latencyCount_ = 0;
    double latencySum_ = 0;
};

}  // namespace talvo::service
