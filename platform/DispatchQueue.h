#pragma once
// The agent's unit of concurrency: a serial queue. Every named queue of the agent
// ("duskferry.server", "duskferry.capture", ...) is one of these; logic that runs on a
// queue needs no locks for the state only that queue touches.
//
// Time is monotonic uptime in seconds (a double), read through a Clock so that unit
// tests can drive timers with a manual clock instead of sleeping.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace df {

class Clock {
public:
    virtual ~Clock() = default;
    /// Seconds since an arbitrary fixed point; never goes backwards.
    virtual double uptime() const = 0;
    /// CLOCK_MONOTONIC.
    static const Clock& system();
};

/// Work scheduled for later that can be cancelled until it starts running.
/// Cancelling is thread-safe and idempotent; a cancelled item never runs.
class WorkItem {
public:
    void cancel() noexcept;
    bool isCancelled() const noexcept { return cancelled_.load(std::memory_order_acquire); }

    // Used by queue implementations to release timer resources early on cancel.
    void setCancelHook(std::function<void()> hook);

private:
    std::atomic<bool> cancelled_{false};
    std::mutex hookMutex_;
    std::function<void()> hook_;
};
using WorkItemRef = std::shared_ptr<WorkItem>;

class DispatchQueue {
public:
    using Task = std::function<void()>;
    virtual ~DispatchQueue() = default;

    virtual const std::string& label() const = 0;
    virtual const Clock& clock() const = 0;
    double now() const { return clock().uptime(); }

    /// Runs `task` on the queue after everything posted before it.
    virtual void post(Task task) = 0;
    /// Runs `task` on the queue `delay` seconds from now unless the item is cancelled first.
    virtual WorkItemRef postAfter(double delay, Task task) = 0;
    /// Runs `task` on the queue and waits for it. Called on the queue itself, runs it inline.
    /// False when the queue shut down before running it (it then never runs).
    virtual bool sync(const Task& task) = 0;
    /// True when the caller is running on this queue.
    virtual bool isCurrent() const = 0;
    /// Ends the queue: nothing more runs on it, and the tasks and timers still waiting are
    /// destroyed unrun (so whatever they hold is released), as is work posted afterwards.
    /// Idempotent. The owner calls it when it is done with the queue; it is also what
    /// happens when the last reference to a queue goes.
    virtual void shutdown() = 0;

    /// Runs `task` every `interval` seconds (the first time one interval from now) until the
    /// returned item is cancelled. Ticks do not pile up: the next one is scheduled when the
    /// previous one ran.
    WorkItemRef repeating(double interval, Task task);
};

}  // namespace df
