#include "platform/fake/queue/ManualQueue.h"

namespace df::fake {

ManualQueue::ManualQueue(std::string label, std::shared_ptr<ManualClock> clock)
    : label_(std::move(label)), clock_(clock ? std::move(clock) : std::make_shared<ManualClock>()) {}

void ManualQueue::post(Task task) {
    if (shutDown_) return;
    ready_.push_back(std::move(task));
}

WorkItemRef ManualQueue::postAfter(double delay, Task task) {
    auto item = std::make_shared<WorkItem>();
    if (shutDown_) return item;
    double due = clock_->uptime() + (delay < 0 ? 0 : delay);
    timers_.emplace(std::make_pair(due, sequence_++), Timer{item, std::move(task)});
    return item;
}

bool ManualQueue::sync(const Task& task) {
    if (shutDown_) return false;
    runTask(task);
    return true;
}

void ManualQueue::shutdown() {
    shutDown_ = true;
    // Moved out first: a destroyed task may post, which is dropped now.
    auto ready = std::move(ready_);
    auto timers = std::move(timers_);
    ready_.clear();
    timers_.clear();
}

void ManualQueue::runTask(const Task& task) {
    ++running_;
    try {
        task();
    } catch (...) {
        --running_;
        throw;
    }
    --running_;
}

size_t ManualQueue::runUntilIdle() {
    size_t count = 0;
    for (;;) {
        if (!ready_.empty()) {
            Task task = std::move(ready_.front());
            ready_.pop_front();
            runTask(task);
            ++count;
            continue;
        }
        auto it = timers_.begin();
        while (it != timers_.end() && it->second.item->isCancelled()) it = timers_.erase(it);
        if (it == timers_.end() || it->first.first > clock_->uptime()) break;
        Timer timer = std::move(it->second);
        timers_.erase(it);
        runTask(timer.task);
        ++count;
    }
    return count;
}

void ManualQueue::advance(double dt) {
    double target = clock_->uptime() + dt;
    runUntilIdle();
    for (;;) {
        auto it = timers_.begin();
        while (it != timers_.end() && it->second.item->isCancelled()) it = timers_.erase(it);
        if (it == timers_.end() || it->first.first > target) break;
        if (it->first.first > clock_->uptime()) clock_->set(it->first.first);
        runUntilIdle();
    }
    clock_->set(target);
    runUntilIdle();
}

size_t ManualQueue::pendingTimers() const {
    size_t n = 0;
    for (const auto& [key, timer] : timers_)
        if (!timer.item->isCancelled()) ++n;
    return n;
}

double ManualQueue::nextTimerDue() const {
    for (const auto& [key, timer] : timers_)
        if (!timer.item->isCancelled()) return key.first;
    return -1;
}

}  // namespace df::fake
