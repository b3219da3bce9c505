#include "platform/SerialQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <future>
#include <pthread.h>

namespace df {

namespace {
thread_local const SerialQueue* tCurrentQueue = nullptr;
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    std::shared_ptr<SerialQueue> queue(new SerialQueue(std::move(label)));
    queue->thread_ = std::thread([q = queue.get()] { q->run(); });
    return queue;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::run() {
    std::string name = label_.substr(0, 15);
    pthread_setname_np(pthread_self(), name.c_str());
    tCurrentQueue = this;
    auto guard = asio::make_work_guard(context_);
    context_.run();
    tCurrentQueue = nullptr;
}

void SerialQueue::stop() {
    if (stopped_.exchange(true)) return;
    context_.stop();
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool SerialQueue::isCurrent() const { return tCurrentQueue == this; }

void SerialQueue::post(Task task) { asio::post(context_, std::move(task)); }

WorkItemRef SerialQueue::postAfter(double delay, Task task) {
    auto item = std::make_shared<WorkItem>();
    auto timer = std::make_shared<asio::steady_timer>(context_);
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(delay < 0 ? 0 : delay)));
    timer->async_wait([item, timer, task = std::move(task)](const std::error_code& ec) {
        if (ec || item->isCancelled()) return;
        task();
    });
    // Cancelling from any thread hops to the queue to release the timer promptly.
    std::weak_ptr<asio::steady_timer> weakTimer = timer;
    std::weak_ptr<SerialQueue> weakSelf = weak_from_this();
    item->setCancelHook([weakSelf, weakTimer] {
        auto self = weakSelf.lock();
        if (!self || self->stopped_) return;
        asio::post(self->context_, [weakTimer] {
            if (auto t = weakTimer.lock()) t->cancel();
        });
    });
    return item;
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(context_, [&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    future.get();
}

}  // namespace df
