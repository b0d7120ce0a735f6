#include "line/worker.h"

#include <algorithm>
#include <map>
#include <vector>

#include "line/jobs.h"
#include "line/line_context.h"
#include "log.h"

namespace talvo::service {

using Clock = Scheduler::Clock;
using Job = Scheduler::Job;

LineWorker::LineWorker(LineConfig line, JobsConfig jobs, std::string database, std::string host, Metrics& metrics)
    : line_(std::move(line)),
      jobs_(jobs),
      database_(std::move(database)),
      host_(std::move(host)),
      metrics_(metrics) {}

LineWorker::~LineWorker() {
    RequestStop();
    Join();
}

void LineWorker::Start() {
    thread_ = std::thread([this] {
        Run();
        {
            std::lock_guard<std::mutex> hold(stoppedLock_);
            stopped_ = true;
        }
        stoppedChanged_.notify_all();
    });
}

bool LineWorker::WaitStopped(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(stoppedLock_);
    return stoppedChanged_.wait_until(hold, deadline, [this] { return stopped_ || !thread_.joinable(); });
}

std::chrono::milliseconds LineWorker::ExchangeTime() const {
    // Every try of a request waits for its echo and its answer; a batch in
    // hand needs its confirmation too.
    return std::chrono::milliseconds(2 * static_cast<std::int64_t>(line_.tries) *
                                     (line_.echoTimeMs + line_.waitTimeMs));
}

void LineWorker::RequestStop() { tasks_.Stop(); }

void LineWorker::Join() {
    if (thread_.joinable()) thread_.join();
}

void LineWorker::SyncNow() { tasks_.Push(Task{Task::Kind::kSync, 0, nullptr, nullptr}); }

std::shared_ptr<CollectTicket> LineWorker::CollectNow(int terminal) {
    if (!HasTerminal(terminal)) return nullptr;
    auto ticket = std::make_shared<CollectTicket>();
    if (!tasks_.Push(Task{Task::Kind::kCollectNow, terminal, ticket, nullptr})) {
        ticket->Finish(CollectResult{true, 0, 0, "", "the line is stopping"});
    }
    return ticket;
}

bool LineWorker::HasTerminal(int terminal) const {
    return std::any_of(line_.terminals.begin(), line_.terminals.end(),
                       [&](const TerminalConfig& t) { return t.number == terminal; });
}

std::shared_ptr<CommandTicket> LineWorker::Command(int terminal, CommandTicket::Work work) {
    if (!HasTerminal(terminal)) return nullptr;
    auto ticket = std::make_shared<CommandTicket>(std::move(work));
    Task task;
    task.kind = Task::Kind::kCommand;
    task.terminal = terminal;
    task.command = ticket;
    if (!tasks_.Push(std::move(task))) {
        CommandResult stopped;
        stopped.problem = "the line is stopping";
        stopped.stopping = true;
        ticket->Finish(stopped);
    }
    return ticket;
}

void LineWorker::Run() {
    LineContext line(line_, jobs_, database_, host_, metrics_, tasks_);
    Scheduler& schedule = line.scheduler();
    using Tickets = std::map<int, std::vector<std::shared_ptr<CollectTicket>>>;
    auto takeTickets = [&] {
        Tickets tickets;
        for (Task& task : tasks_.Take(Task::Kind::kCollectNow)) {
            tickets[task.terminal].push_back(std::move(task.ticket));
        }
        return tickets;
    };
    auto refuse = [](Tickets& tickets, const std::string& why) {
        for (auto& [number, waiting] : tickets) {
            for (auto& t : waiting) t->Finish(CollectResult{true, 0, 0, "", why});
        }
        tickets.clear();
    };

    Log(Level::kInfo, "line-start", {{"line", line_.name}, {"device", line_.device},
                                     {"terminals", std::to_string(line_.terminals.size())}});
    line.Publish();
    while (!line.Stopping()) {
        // The blacklist before anything else on the line, then the
        // interface's commands (run between the terminals' collection turns
        // too); the other items after the status and the clock.
        line.TakeSyncWanted();
        CommandJob(line);
        Tickets now = takeTickets();
        if (line.OpenLine() != nullptr && !line.LineDown()) {
            SyncJob(line, true);
            // Each job that runs is due again one interval on, whatever came
            // of it: nothing is due twice within its interval.
            if (schedule.Due(Job::kStatus, Clock::now())) {
                StatusJob(line);
                schedule.Ran(Job::kStatus, Clock::now());
            }
            if (!line.Stopping() && schedule.Due(Job::kClock, Clock::now())) {
                ClockJob(line);
                schedule.Ran(Job::kClock, Clock::now());
            }
            if (!line.Stopping()) SyncJob(line, false);
            // A card blocked during a read-back stopped it: the card first.
            if (!line.Stopping() && line.TakeSyncWanted()) SyncJob(line, true);
            if (!line.Stopping() && !now.empty()) CollectNowJob(line, now);
            refuse(now, "the line is stopping");
            if (!line.Stopping() && schedule.Due(Job::kCollect, Clock::now())) {
                // The database away: tried again after the shortest back-off,
                // not a whole interval later.
                const bool finished = CollectJob(line);
                schedule.Ran(Job::kCollect, Clock::now(), finished);
            }
            if (!line.Stopping()) RetryJob(line);
        } else {
            refuse(now, line.LineError());
            line.Publish();
        }
        tasks_.WaitUntil(schedule.NextWake(line.LineOpen()));
    }
    CommandJob(line);  // refuses what is left: the line is stopping
    Tickets left = takeTickets();
    refuse(left, "the line is stopping");
    line.Publish();
    Log(Level::kInfo, "line-stop", {{"line", line_.name}});
}

}  // namespace talvo::service
