#pragma once
// A single-threaded stand-in for a serial queue, driven by the test: nothing runs until
// the test calls runUntilIdle() or advance(). Timers fire in due order against a manual
// clock, so tests of time-outs, lock-outs and watchdogs run without sleeping.

#include "platform/DispatchQueue.h"

#include <cstdint>
#include <deque>
#include <map>

namespace df::fake {

/// Atomic, so that a test thread may move it while a real queue reads it.
class ManualClock final : public Clock {
public:
    explicit ManualClock(double start = 1000.0) : now_(start) {}
    double uptime() const override { return now_.load(); }
    void set(double t) { now_.store(t); }
    void advance(double dt) { now_.store(now_.load() + dt); }

private:
    std::atomic<double> now_;
};

class ManualQueue final : public DispatchQueue {
public:
    explicit ManualQueue(std::string label = "test", std::shared_ptr<ManualClock> clock = nullptr);

    const std::string& label() const override { return label_; }
    const Clock& clock() const override { return *clock_; }
    ManualClock& manualClock() { return *clock_; }
    std::shared_ptr<ManualClock> sharedClock() const { return clock_; }

    void post(Task task) override;
    WorkItemRef postAfter(double delay, Task task) override;
    /// Runs the task inline (the test thread plays the queue); false after shutdown().
    bool sync(const Task& task) override;
    bool isCurrent() const override { return running_ > 0 || currentByDefault_; }
    /// Whether code called directly from the test counts as running on this queue.
    void setCurrentByDefault(bool value) { currentByDefault_ = value; }
    /// Destroys the waiting tasks and timers unrun; later posts are dropped.
    void shutdown() override;
    bool isShutDown() const { return shutDown_; }

    /// Runs posted tasks (and timers already due) until none is left. Returns how many ran.
    size_t runUntilIdle();
    /// Moves the clock forward by `dt`, firing every timer that falls due on the way, each
    /// with the clock set to its due time, and the posted work each one produces.
    void advance(double dt);
    /// Number of timers scheduled and not yet fired or cancelled.
    size_t pendingTimers() const;
    /// Uptime at which the next live timer is due, or a negative number when there is none.
    double nextTimerDue() const;

private:
    struct Timer {
        WorkItemRef item;
        Task task;
    };
    void runTask(const Task& task);

    std::string label_;
    std::shared_ptr<ManualClock> clock_;
    std::deque<Task> ready_;
    std::multimap<std::pair<double, uint64_t>, Timer> timers_;
    uint64_t sequence_ = 0;
    int running_ = 0;
    bool currentByDefault_ = true;
    bool shutDown_ = false;
};

}  // namespace df::fake
