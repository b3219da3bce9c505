#include "platform/SerialQueue.h"

#include <asio/executor_work_guard.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <pthread.h>

namespace df {

namespace {
// The context of the queue whose thread this is; identifies "running on this queue".
thread_local const void* tCurrentCore = nullptr;

// What a sync() caller waits for.
struct SyncState {
    std::mutex mutex;
    std::condition_variable changed;
    bool finished = false;
    bool ran = false;
    std::exception_ptr error;
};

// Says once whether the task ran (and how it ended), or, destroyed first, that it did not.
class SyncCompletion {
public:
    explicit SyncCompletion(std::shared_ptr<SyncState> state) : state_(std::move(state)) {}
    SyncCompletion(SyncCompletion&&) noexcept = default;
    SyncCompletion& operator=(SyncCompletion&&) = delete;
    ~SyncCompletion() {
        if (state_) finish(false, nullptr);
    }
    void finish(bool ran, std::exception_ptr error) {
        auto state = std::move(state_);
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->ran = ran;
        state->error = std::move(error);
        state->changed.notify_all();
    }

private:
    std::shared_ptr<SyncState> state_;
};
}  // namespace

bool QueueContext::isCurrent() const { return tCurrentCore == this; }

void QueueContext::close() {
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
    }
    // Outside the lock: destroying a handler may release objects that post again.
    context_.shutdown();
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    std::shared_ptr<SerialQueue> queue(new SerialQueue(std::move(label)));
    queue->thread_ = std::thread(&SerialQueue::run, queue->core_, queue->label_.substr(0, 15));
    return queue;
}

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), core_(std::make_shared<QueueContext>()) {}

SerialQueue::~SerialQueue() {
    shutdown();
    // Only a shutdown() still joining on another thread leaves the thread joinable here;
    // a std::thread destroyed joinable would end the program.
    if (thread_.joinable()) thread_.detach();
}

void SerialQueue::run(std::shared_ptr<QueueContext> core, std::string name) {
    pthread_setname_np(pthread_self(), name.c_str());
    tCurrentCore = core.get();
    {
        auto guard = asio::make_work_guard(core->context_);
        core->context_.run();
    }
    // Still "on the queue" while the waiting handlers are destroyed: their destructors
    // may ask, and they run on no other thread.
    core->close();
    tCurrentCore = nullptr;
}

void SerialQueue::shutdown() {
    if (core_->stopped_.exchange(true)) return;
    core_->context_.stop();
    if (!thread_.joinable()) return;
    if (isCurrent()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool SerialQueue::isCurrent() const { return core_->isCurrent(); }

void SerialQueue::post(Task task) { core_->post(std::move(task)); }

WorkItemRef SerialQueue::postAfter(double delay, Task task) {
    auto item = std::make_shared<WorkItem>();
    const auto due = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(delay < 0 ? 0 : delay));
    std::weak_ptr<QueueContext> weakCore = core_;
    // The timer is made and armed on the queue, so that a queue already shut down takes no
    // timer (and destroys the task) like any other work.
    core_->dispatch([item, due, weakCore, task = std::move(task)]() mutable {
        auto core = weakCore.lock();
        if (!core || item->isCancelled()) return;
        auto timer = std::make_shared<asio::steady_timer>(core->io());
        timer->expires_at(due);
        timer->async_wait([item, timer, task = std::move(task)](const std::error_code& ec) {
            if (ec || item->isCancelled()) return;
            task();
        });
        // Cancelling from any thread hops to the queue to release the timer promptly.
        std::weak_ptr<asio::steady_timer> weakTimer = timer;
        item->setCancelHook([weakCore, weakTimer] {
            if (auto c = weakCore.lock()) {
                c->post([weakTimer] {
                    if (auto t = weakTimer.lock()) t->cancel();
                });
            }
        });
    });
    return item;
}

bool SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return true;
    }
    // The posted handler owns the caller's completion: if the queue shuts down before
    // running it, the handler is destroyed, and the completion with it reports "not run".
    auto state = std::make_shared<SyncState>();
    core_->post([&task, completion = SyncCompletion(state)]() mutable {
        try {
            task();
            completion.finish(true, nullptr);
        } catch (...) {
            completion.finish(true, std::current_exception());
        }
    });
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return state->finished; });
    if (state->error) std::rethrow_exception(state->error);
    return state->ran;
}

}  // namespace df
