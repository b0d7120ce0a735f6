#include "http/metrics.h"

#include <cstdio>

namespace talvo::service {
namespace {

std::string Escaped(const std::string& v) {
    std::string out;
    for (char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

std::string Label(const char* name, const std::string& value) { return std::string(name) + "=\"" + Escaped(value) + "\""; }

// A counter family; `zero` are label sets shown at 0 until their first event.
void Family(std::string& out, const char* name, const char* type, const char* help,
            std::map<std::string, std::uint64_t> values, const std::vector<std::string>& zero = {}) {
    for (const std::string& labels : zero) values.emplace(labels, 0);
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const auto& [labels, v] : values) out += std::string(name) + "{" + labels + "} " + std::to_string(v) + "\n";
}

std::string Number(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

}  // namespace

Metrics::Metrics() : bounds_{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10}, buckets_(bounds_.size(), 0) {}

void Metrics::Exchange(const std::string& line, const std::string& job, int code) {
    std::lock_guard<std::mutex> hold(lock_);
    ++exchanges_[Label("line", line) + "," + Label("job", job)];
    if (code != 0) ++failures_[Label("line", line) + "," + Label("code", std::to_string(code))];
}

void Metrics::BatchStored(const std::string& line, std::size_t records, std::size_t rejected) {
    std::lock_guard<std::mutex> hold(lock_);
    ++batchesStored_[Label("line", line)];
    recordsStored_[Label("line", line)] += records;
    recordsRejected_[Label("line", line)] += rejected;
}

void Metrics::BatchReplayed(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    ++batchesReplayed_[Label("line", line)];
}

void Metrics::DatabaseWrote(const std::string& when, bool batch) {
    std::lock_guard<std::mutex> hold(lock_);
    write_.lastOk = when;
    if (batch) write_.batchFailing = false;
    write_.failing = write_.batchFailing;
}

void Metrics::DatabaseWriteFailed(const std::string& when, const std::string& error, bool batch) {
    std::lock_guard<std::mutex> hold(lock_);
    write_.lastFailure = when;
    write_.error = error;
    write_.failing = true;
    if (batch) write_.batchFailing = true;
}

Metrics::WriteState Metrics::LastWrite() const {
    std::lock_guard<std::mutex> hold(lock_);
    return write_;
}

void Metrics::DatabaseFailure(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    ++databaseFailures_[Label("line", line)];
}

void Metrics::CollectionLatency(double seconds) {
    std::lock_guard<std::mutex> hold(lock_);
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        if (seconds <= bounds_[i]) ++buckets_[i];
    }
    ++latencyCount_;
    latencySum_ += seconds;
}

void Metrics::TerminalsUp(const std::string& line, int up, int total) {
    std::lock_guard<std::mutex> hold(lock_);
    terminals_[line] = {up, total};
}

void Metrics::ForgetLine(const std::string& line) {
    std::lock_guard<std::mutex> hold(lock_);
    terminals_.erase(line);
    lineStates_.erase(line);
}

void Metrics::SetLineState(const std::string& line, const LineState& state) {
    std::lock_guard<std::mutex> hold(lock_);
    lineStates_[line] = state;
}

std::map<std::string, Metrics::LineState> Metrics::LineStates() const {
    std::lock_guard<std::mutex> hold(lock_);
    return lineStates_;
}

std::uint64_t Metrics::RecordsStored() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::uint64_t n = 0;
    for (const auto& kv : recordsStored_) n += kv.second;
    return n;
}

std::uint64_t Metrics::BatchesReplayed() const {
    std::lock_guard<std::mutex> hold(lock_);
    std::uint64_t n = 0;
    for (const auto& kv : batchesReplayed_) n += kv.second;
    return n;
}

std::string Metrics::Render(const std::vector<std::string>& lines, const std::vector<TerminalState>& terminals) const {
    std::vector<std::string> perLine, perJob;
    for (const std::string& line : lines) {
        perLine.push_back(Label("line", line));
        for (const char* job : {"collect", "status", "clock"}) perJob.push_back(Label("line", line) + "," + Label("job", job));
    }
    std::lock_guard<std::mutex> hold(lock_);
    std::string out;
    Family(out, "talvod_exchanges_total", "counter", "Commands sent to terminals, with their tries.", exchanges_, perJob);
    Family(out, "talvod_exchange_failures_total", "counter", "Commands that failed, by error code.", failures_);
    Family(out, "talvod_records_stored_total", "counter", "Records committed to the database.", recordsStored_, perLine);
    Family(out, "talvod_records_rejected_total", "counter", "Raw records stored as rejected.", recordsRejected_, perLine);
    Family(out, "talvod_batches_stored_total", "counter", "Batches committed to the database.", batchesStored_, perLine);
    Family(out, "talvod_batches_replayed_total", "counter",
           "Batches handed over again after a lost confirmation, confirmed without storing.", batchesReplayed_, perLine);
    Family(out, "talvod_database_failures_total", "counter", "Batches not stored because the database failed.",
           databaseFailures_, perLine);
    out += "# HELP talvod_collection_latency_seconds From fetching a batch to its confirmation.\n"
           "# TYPE talvod_collection_latency_seconds histogram\n";
    for (std::size_t i = 0; i < bounds_.size(); ++i) {
        out += "talvod_collection_latency_seconds_bucket{le=\"" + Number(bounds_[i]) + "\"} " +
               std::to_string(buckets_[i]) + "\n";
    }
    out += "talvod_collection_latency_seconds_bucket{le=\"+Inf\"} " + std::to_string(latencyCount_) + "\n";
    out += "talvod_collection_latency_seconds_sum " + Number(latencySum_) + "\n";
    out += "talvod_collection_latency_seconds_count " + std::to_string(latencyCount_) + "\n";
    out += "# HELP talvod_terminals_up Terminals that answered at their last try.\n# TYPE talvod_terminals_up gauge\n";
    for (const auto& [line, v] : terminals_) out += "talvod_terminals_up{" + Label("line", line) + "} " + std::to_string(v.first) + "\n";
    out += "# HELP talvod_terminals Terminals configured.\n# TYPE talvod_terminals gauge\n";
    for (const auto& [line, v] : terminals_) out += "talvod_terminals{" + Label("line", line) + "} " + std::to_string(v.second) + "\n";
    out += "# HELP talvod_terminal_up Whether the terminal answered at its last try (1) or not (0).\n"
           "# TYPE talvod_terminal_up gauge\n";
    for (const TerminalState& t : terminals) {
        out += "talvod_terminal_up{" + Label("line", t.line) + "," + Label("terminal", std::to_string(t.number)) + "," +
               Label("name", t.name) + "} " + (t.up ? "1" : "0") + "\n";
    }
    out += "# HELP talvod_terminal_last_collection_timestamp_seconds When the terminal's records were last collected.\n"
           "# TYPE talvod_terminal_last_collection_timestamp_seconds gauge\n";
    for (const TerminalState& t : terminals) {
        if (!t.lastCollection) continue;
        char value[32];
        std::snprintf(value, sizeof value, "%.3f", *t.lastCollection);
        out += "talvod_terminal_last_collection_timestamp_seconds{" + Label("line", t.line) + "," +
               Label("terminal", std::to_string(t.number)) + "," + Label("name", t.name) + "} " + value + "\n";
    }
    return out;
}

}  // namespace talvo::service
