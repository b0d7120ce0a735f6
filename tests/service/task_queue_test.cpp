// A line's task queue: commands taken apart from the collections queued
// with them (none lost, order kept), and a command whose requester gave up
// before it began never runs.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "line/task_queue.h"

namespace talvo::service {
namespace {

using namespace std::chrono_literals;

Task Command(int terminal) {
    Task t;
    t.kind = Task::Kind::kCommand;
    t.terminal = terminal;
    t.command = std::make_shared<CommandTicket>([](common::Terminal&) { return CommandResult{}; });
    return t;
}

Task Collect(int terminal) {
    Task t;
    t.terminal = terminal;
    t.ticket = std::make_shared<CollectTicket>();
    return t;
}

TEST(TaskQueue, CommandsTakenApartFromCollections) {
    TaskQueue q;
    ASSERT_TRUE(q.Push(Collect(1)));
    ASSERT_TRUE(q.Push(Command(2)));
    ASSERT_TRUE(q.Push(Collect(3)));
    ASSERT_TRUE(q.Push(Command(4)));
    const std::deque<Task> commands = q.Take(Task::Kind::kCommand);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].terminal, 2);
    EXPECT_EQ(commands[1].terminal, 4);
    const std::deque<Task> collections = q.Take(Task::Kind::kCollectNow);
    ASSERT_EQ(collections.size(), 2u);
    EXPECT_EQ(collections[0].terminal, 1);
    EXPECT_EQ(collections[1].terminal, 3);
    EXPECT_TRUE(q.Take(Task::Kind::kCommand).empty());
    q.Stop();
    EXPECT_FALSE(q.Push(Command(5)));
}

TEST(TaskQueue, CommandGivenUpBeforeItBeganNeverRuns) {
    CommandTicket ticket([](common::Terminal&) { return CommandResult{}; });
    bool begun = true;
    const CommandResult r = ticket.Wait(0ms, begun);
    EXPECT_FALSE(r.done);
    EXPECT_FALSE(begun);
    EXPECT_FALSE(ticket.Begin());  // the worker leaves it
}

TEST(TaskQueue, CommandBegunRunsToItsEnd) {
    CommandTicket ticket([](common::Terminal&) { return CommandResult{}; });
    ASSERT_TRUE(ticket.Begin());
    bool begun = false;
    EXPECT_FALSE(ticket.Wait(0ms, begun).done);
    EXPECT_TRUE(begun);  // its outcome is not known: the requester says so
    std::thread worker([&] {
        CommandResult r;
        r.ok = true;
        r.values = "{}";
        ticket.Finish(r);
    });
    const CommandResult r = ticket.Wait(std::chrono::minutes(1), begun);
    worker.join();
    EXPECT_TRUE(r.done);
    EXPECT_TRUE(r.ok);
}

}  // namespace
}  // namespace talvo::service
