#include "platform/SerialQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <future>
#include <pthread.h>

namespace df {

namespace {
// The core of the queue whose thread this is; identifies "running on this queue".
thread_local const void* tCurrentCore = nullptr;
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    std::shared_ptr<SerialQueue> queue(new SerialQueue(std::move(label)));
    queue->thread_ = std::thread(&SerialQueue::run, queue->core_, queue->label_.substr(0, 15));
    return queue;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), core_(std::make_shared<Core>()) {}

SerialQueue::~SerialQueue() { stop(); }

void SerialQueue::run(std::shared_ptr<Core> core, std::string name) {
    pthread_setname_np(pthread_self(), name.c_str());
    tCurrentCore = core.get();
    auto guard = asio::make_work_guard(core->context);
    core->context.run();
    tCurrentCore = nullptr;
}

void SerialQueue::stop() {
    if (core_->stopped.exchange(true)) return;
    core_->context.stop();
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool SerialQueue::isCurrent() const { return tCurrentCore == core_.get(); }

void SerialQueue::post(Task task) { asio::post(core_->context, std::move(task)); }

WorkItemRef SerialQueue::postAfter(double delay, Task task) {
    auto item = std::make_shared<WorkItem>();
    auto timer = std::make_shared<asio::steady_timer>(core_->context);
    timer->expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(delay < 0 ? 0 : delay)));
    timer->async_wait([item, timer, task = std::move(task)](const std::error_code& ec) {
        if (ec || item->isCancelled()) return;
        task();
    });
    // Cancelling from any thread hops to the queue to release the timer promptly.
    std::weak_ptr<asio::steady_timer> weakTimer = timer;
    std::weak_ptr<Core> weakCore = core_;
    item->setCancelHook([weakCore, weakTimer] {
        auto core = weakCore.lock();
        if (!core || core->stopped) return;
        asio::post(core->context, [weakTimer] {
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
    // A stopped queue runs nothing; waiting for it would never end.
    if (core_->stopped) return;
    std::promise<void> done;
    auto future = done.get_future();
    asio::post(core_->context, [&] {
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
