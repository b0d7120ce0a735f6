// Commands queued by the interface, run on the line the worker holds
// through the same terminal code the command-line tool runs, so that both
// say the same in the same words.
#include "host_library.h"
#include "line/jobs.h"
#include "line_terminal.h"
#include "log.h"

namespace talvo::service {
namespace {

// The line API as this program links it, in the table the terminal code
// takes (the tool fills the same table from the library it loads).
class LinkedLibrary : public host::HostLibrary {
public:
    LinkedLibrary() {
#define TALVO_BIND(name) name = &::name;
        TALVO_LINE_EXPORTS(TALVO_BIND)
#undef TALVO_BIND
    }
};

host::HostLibrary& Linked() {
    static LinkedLibrary lib;
    return lib;
}

// Records go into this service's store by its own collection, never
// through a command.
class WorkerTerminal final : public common::LineTerminal {
public:
    using LineTerminal::LineTerminal;
    bool CollectBatch(const std::string&, common::BatchResult&) override {
        return Fail("records are collected into the service's store");
    }
    bool Ack(int&, unsigned&) override { return Fail("records are collected into the service's store"); }
};

CommandResult Refused(const std::string& why, bool stopping) {
    CommandResult r;
    r.done = true;
    r.problem = why;
    r.stopping = stopping;
    return r;
}

// A command may have changed what the terminal holds of a managed item:
// it is no longer known to hold what is wanted, and is read back (or, where
// it cannot be read, written again) on the next sync turn, which is now.
void MarkStale(LineContext& line, TerminalRun& t, const std::string& item) {
    for (auto& [name, it] : t.items) {
        if (item != "*" && name != item) continue;
        const ItemInfo* info = FindItem(name);
        if (info != nullptr && !info->readable) {
            it.row.applied.clear();
            it.row.state = "pending";
            it.dirty = true;
        }
    }
    t.verifyAll = true;
    line.scheduler().SyncAt(Scheduler::Clock::now());
}

}  // namespace

void CommandJob(LineContext& line) {
    for (;;) {
        std::deque<Task> tasks = line.Tasks().Take(Task::Kind::kCommand);
        if (tasks.empty()) return;
        for (Task& task : tasks) {
            CommandTicket& ticket = *task.command;
            if (line.Stopping()) {
                ticket.Finish(Refused("the line is stopping", true));
                continue;
            }
            if (!ticket.Begin()) continue;  // its requester gave up
            talvo_line* handle = line.OpenLine();
            if (handle == nullptr) {
                ticket.Finish(Refused(line.LineError(), false));
                continue;
            }
            WorkerTerminal terminal(Linked(), handle, task.terminal);
            CommandResult result;
            try {
                result = ticket.work()(terminal);
            } catch (const std::exception& e) {
                result = Refused(std::string("the command failed: ") + e.what(), false);
            }
            const int code = terminal.LastCode();
            line.metrics().Exchange(line.Name(), "command", code);
            // A refusal is the terminal's answer to this command (a key that
            // is not its key), not a sign of its state.
            if (TerminalRun* t = line.Terminal(task.terminal); t != nullptr && code != TALVO_E_REFUSED) {
                line.Outcome(*t, code);
            }
            if (TerminalRun* t = line.Terminal(task.terminal); t != nullptr && !result.touches.empty()) {
                MarkStale(line, *t, result.touches);
            }
            Log(Level::kInfo, "command", {{"line", line.Name()}, {"terminal", std::to_string(task.terminal)},
                                          {"result", result.ok ? "ok" : result.problem}});
            ticket.Finish(std::move(result));
        }
        line.Publish();
    }
}

}  // namespace talvo::service
