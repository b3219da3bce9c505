#pragma once
// The two threads of a connection: the io thread that runs its socket, and the queue its
// owner started it on, where every event is posted.

#include "platform/linux/transport/IoBinding.h"

#include <functional>
#include <mutex>
#include <optional>
#include <vector>

namespace df::transport {

class OwnerLink {
public:
    /// An accepted connection, before it is shared: its socket already lives on `io`.
    void setIo(IoBinding io) {
        std::lock_guard lock(mutex_);
        io_ = std::move(io);
    }

    /// Binds to `queue`, and to its io_context unless an io thread is known already, then
    /// runs `startOnIo` followed by the work that waited for the start, on the io thread.
    /// Any thread. False, doing nothing, when started before.
    bool start(std::shared_ptr<DispatchQueue> queue, std::function<void()> startOnIo);

    /// Runs `task` on the io thread; before start() it waits for it, since nothing can be
    /// reported to an owner without a queue. Any thread.
    void onIo(std::function<void()> task);

    /// Runs `task` on the io thread as soon as one is known: at once for an accepted
    /// connection even before start(), else after start. Any thread.
    void onIoWhenKnown(std::function<void()> task);

    bool started() const;

    /// Posts `task` to the owner's queue. Io thread, after start() (which has set the queue
    /// before any io work ran, so no lock is needed). After release(), only while the owner
    /// still keeps its queue; else `task` is dropped.
    void toOwner(std::function<void()> task) const {
        if (queue_) {
            queue_->post(std::move(task));
        } else if (auto queue = weakQueue_.lock()) {
            queue->post(std::move(task));
        }
    }

    /// The connection has ended: from now on it holds its owner's queue only weakly, so
    /// that the callbacks it still has to deliver (which hold the connection) do not keep
    /// the queue alive. Io thread, after the last report of the end was posted.
    void release();

    /// The io binding. Io thread, after start() or for an accepted connection.
    const IoBinding& io() const { return *io_; }

private:
    void runOrWait(bool needsStart, std::function<void()> task);

    mutable std::mutex mutex_;  // guards started_, queue_, io_ and deferred_
    bool started_ = false;
    std::shared_ptr<DispatchQueue> queue_;
    std::weak_ptr<DispatchQueue> weakQueue_;
    std::optional<IoBinding> io_;
    std::vector<std::function<void()>> deferred_;
};

}  // namespace df::transport
