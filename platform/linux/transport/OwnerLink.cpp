#include "platform/linux/transport/OwnerLink.h"

#include <asio/dispatch.hpp>

namespace df::transport {

bool OwnerLink::start(std::shared_ptr<DispatchQueue> queue, std::function<void()> startOnIo) {
    std::vector<std::function<void()>> deferred;
    asio::io_context* context = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (queue_) return false;
        queue_ = std::move(queue);
        if (!io_) io_ = bindingFor(queue_);
        context = &io_->context();
        deferred.swap(deferred_);
    }
    asio::dispatch(*context, [startOnIo = std::move(startOnIo), deferred = std::move(deferred)] {
        startOnIo();
        for (auto& task : deferred) task();
    });
    return true;
}

void OwnerLink::onIo(std::function<void()> task) { runOrWait(true, std::move(task)); }

void OwnerLink::onIoWhenKnown(std::function<void()> task) { runOrWait(false, std::move(task)); }

void OwnerLink::runOrWait(bool needsStart, std::function<void()> task) {
    std::unique_lock lock(mutex_);
    if (needsStart ? !queue_ : !io_) {
        deferred_.push_back(std::move(task));
        return;
    }
    asio::io_context& context = io_->context();
    lock.unlock();
    asio::dispatch(context, std::move(task));
}

bool OwnerLink::started() const {
    std::lock_guard lock(mutex_);
    return queue_ != nullptr;
}

}  // namespace df::transport
