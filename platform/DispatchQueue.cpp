#include "platform/DispatchQueue.h"

#include <ctime>

namespace df {

namespace {
class MonotonicClock final : public Clock {
public:
    double uptime() const override {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    }
};
}  // namespace

const Clock& Clock::system() {
    static const MonotonicClock clock;
    return clock;
}

void WorkItem::cancel() noexcept {
    if (cancelled_.exchange(true, std::memory_order_acq_rel)) return;
    std::function<void()> hook;
    {
        std::lock_guard lock(hookMutex_);
        hook.swap(hook_);
    }
    if (hook) hook();
}

void WorkItem::setCancelHook(std::function<void()> hook) {
    {
        std::lock_guard lock(hookMutex_);
        if (!isCancelled()) {
            hook_ = std::move(hook);
            return;
        }
    }
    if (hook) hook();
}

WorkItemRef DispatchQueue::repeating(double interval, Task task) {
    // One handle for the whole chain: each tick checks it before running and before
    // scheduling the next, so cancel() stops the chain wherever it is.
    auto handle = std::make_shared<WorkItem>();
    auto shared = std::make_shared<Task>(std::move(task));
    auto tick = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weakTick = tick;
    *tick = [this, handle, shared, interval, weakTick] {
        if (handle->isCancelled()) return;
        (*shared)();
        if (handle->isCancelled()) return;
        if (auto next = weakTick.lock()) {
            auto item = postAfter(interval, [next] { (*next)(); });
            handle->setCancelHook([item] { item->cancel(); });
        }
    };
    auto first = postAfter(interval, [tick] { (*tick)(); });
    handle->setCancelHook([first] { first->cancel(); });
    return handle;
}

}  // namespace df
