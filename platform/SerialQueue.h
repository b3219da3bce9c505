#pragma once
// The real serial queue: one named thread running an asio::io_context. Sockets of the
// transport live on the queue's io_context so that their handlers run on the queue.

#include "platform/DispatchQueue.h"

#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <mutex>
#include <thread>

namespace df {

/// A SerialQueue's io_context and the state of its thread. Shared by the queue, its thread
/// and the transport objects whose sockets live on the context: a socket must go before
/// its context, while the queue object may go first. Once the queue has shut down, every
/// handler that was waiting in the context has been destroyed unrun, and work handed in
/// later is destroyed at once, so nothing it holds can keep the context alive.
class QueueContext {
public:
    asio::io_context& io() { return context_; }
    /// True on the queue's thread.
    bool isCurrent() const;

    /// Queues `handler` to run on the queue's thread. Any thread.
    template <class Handler>
    void post(Handler&& handler) {
        std::lock_guard lock(mutex_);
        if (closed_) return;  // the caller's handler is destroyed, unrun, after the lock
        asio::post(context_, std::forward<Handler>(handler));
    }
    /// Runs `handler` at once when called on the queue's thread, else posts it.
    template <class Handler>
    void dispatch(Handler&& handler) {
        if (isCurrent()) {
            std::forward<Handler>(handler)();
        } else {
            post(std::forward<Handler>(handler));
        }
    }

private:
    friend class SerialQueue;
    // io_context keeps the destruction of pending handlers to itself and its destructor;
    // the queue's shutdown needs it earlier, while sockets on the context still exist.
    class Context : public asio::io_context {
    public:
        using asio::io_context::io_context;
        using asio::execution_context::shutdown;
    };

    /// On the queue's thread once its loop has ended: takes no more work and destroys what
    /// was waiting (which may post again: those posts are dropped).
    void close();

    Context context_{1};
    mutable std::mutex mutex_;  // orders posts against close()
    bool closed_ = false;
    std::atomic<bool> stopped_{false};
};

class SerialQueue final : public DispatchQueue, public std::enable_shared_from_this<SerialQueue> {
public:
    /// Starts the queue's thread, named after `label` (the kernel keeps 15 characters).
    static std::shared_ptr<SerialQueue> create(std::string label);
    /// Shuts the queue down.
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const override { return label_; }
    const Clock& clock() const override { return Clock::system(); }
    void post(Task task) override;
    WorkItemRef postAfter(double delay, Task task) override;
    bool sync(const Task& task) override;
    bool isCurrent() const override;

    /// The task running now finishes; nothing else runs. Every handler still waiting
    /// (posted tasks, timers, socket completions on the io_context) is destroyed on the
    /// queue's thread, which then ends, and work posted later is destroyed at once; a
    /// sync() waiting for any of it returns false. Called from another thread, the first
    /// call returns once all that is done. Called on the queue itself (also when its last
    /// owner lets go of it there), it returns at once and the thread finishes on its own
    /// after the running task.
    void shutdown() override;
    /// The same as shutdown().
    void stop() { shutdown(); }

    asio::io_context& context() { return core_->io(); }
    /// The io_context with its lifetime: what transport objects hold instead of the queue.
    std::shared_ptr<QueueContext> sharedContext() const { return core_; }

private:
    explicit SerialQueue(std::string label);
    static void run(std::shared_ptr<QueueContext> core, std::string name);

    std::string label_;
    std::shared_ptr<QueueContext> core_;
    std::thread thread_;
};

}  // namespace df
