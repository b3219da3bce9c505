#include "platform/linux/transport/OwnerLink.h"

namespace df::transport {

bool OwnerLink::start(std::shared_ptr<DispatchQueue> queue, std::function<void()> startOnIo) {
    std::vector<std::function<void()>> deferred;
    IoBinding io;
    {
        std::lock_guard lock(mutex_);
        if (started_) return false;
        started_ = true;
        queue_ = std::move(queue);
        weakQueue_ = queue_;
        if (!io_) io_ = bindingFor(queue_);
        io = *io_;
        deferred.swap(deferred_);
    }
    io.dispatch([startOnIo = std::move(startOnIo), deferred = std::move(deferred)] {
        startOnIo();
        for (auto& task : deferred) task();
    });
    return true;
}

void OwnerLink::onIo(std::function<void()> task) { runOrWait(true, std::move(task)); }

void OwnerLink::onIoWhenKnown(std::function<void()> task) { runOrWait(false, std::move(task)); }

void OwnerLink::runOrWait(bool needsStart, std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (needsStart ? !started_ : !io_) {
        deferred_.push_back(std::move(task));
        return;
    }
    IoBinding io = *io_;
    lock.unlock();
    io.dispatch(std::move(task));
}

bool OwnerLink::started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void OwnerLink::release() {
    std::shared_ptr<DispatchQueue> queue;
    {
        std::lock_guard lock(mutex_);
        queue.swap(queue_);
    }
    // Let go outside the lock: this may be the last reference, and a queue's end runs
    // destructors that may come back here.
}

}  // namespace df::transport
