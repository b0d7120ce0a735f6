#include "line/task_queue.h"

#include <algorithm>

namespace talvo::service {

void CollectTicket::Finish(CollectResult result) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        result_ = std::move(result);
        result_.done = true;
    }
    done_.notify_all();
}

CollectResult CollectTicket::Wait(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait_for(hold, limit, [this] { return result_.done; });
    return result_;
}

bool CommandTicket::Begin() {
    std::lock_guard<std::mutex> hold(lock_);
    if (withdrawn_) return false;
    begun_ = true;
    return true;
}

void CommandTicket::Finish(CommandResult result) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        result_ = std::move(result);
        result_.done = true;
    }
    done_.notify_all();
}

CommandResult CommandTicket::Wait(std::chrono::milliseconds limit, bool& begun) {
    std::unique_lock<std::mutex> hold(lock_);
    done_.wait_for(hold, limit, [this] { return result_.done; });
    if (!result_.done && !begun_) withdrawn_ = true;
    begun = begun_;
    return result_;
}

bool TaskQueue::Push(Task task) {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (stop_) return false;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_all();
    return true;
}

void TaskQueue::WaitUntil(Time until) {
    std::unique_lock<std::mutex> hold(lock_);
    wake_.wait_until(hold, until, [this] { return stop_ || !tasks_.empty(); });
}

std::deque<Task> TaskQueue::Take(Task::Kind kind) {
    std::lock_guard<std::mutex> hold(lock_);
    std::deque<Task> out, rest;
    for (Task& t : tasks_) (t.kind == kind ? out : rest).push_back(std::move(t));
    tasks_.swap(rest);
    return out;
}

bool TaskQueue::TakeSyncWanted() {
    std::lock_guard<std::mutex> hold(lock_);
    const auto before = tasks_.size();
    std::erase_if(tasks_, [](const Task& t) { return t.kind == Task::Kind::kSync; });
    return tasks_.size() != before;
}

bool TaskQueue::Has(Task::Kind kind) const {
    std::lock_guard<std::mutex> hold(lock_);
    return std::any_of(tasks_.begin(), tasks_.end(), [&](const Task& t) { return t.kind == kind; });
}

void TaskQueue::Stop() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool TaskQueue::Stopping() const {
    std::lock_guard<std::mutex> hold(lock_);
    return stop_;
}

}  // namespace talvo::service
