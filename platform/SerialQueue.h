#pragma once
// The real serial queue: one named thread running an asio::io_context. Sockets of the
// transport live on the queue's io_context so that their handlers run on the queue.

#include "platform/DispatchQueue.h"

#include <asio/io_context.hpp>
#include <thread>

namespace df {

class SerialQueue final : public DispatchQueue, public std::enable_shared_from_this<SerialQueue> {
public:
    /// Starts the queue's thread, named after `label` (the kernel keeps 15 characters).
    static std::shared_ptr<SerialQueue> create(std::string label);
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const override { return label_; }
    const Clock& clock() const override { return Clock::system(); }
    void post(Task task) override;
    WorkItemRef postAfter(double delay, Task task) override;
    void sync(const Task& task) override;
    bool isCurrent() const override;

    asio::io_context& context() { return core_->context; }

    /// Stops the thread after the task running now; pending work is dropped. Idempotent.
    /// Called from the queue itself (also when its last owner lets go of it there), the
    /// thread is detached rather than joined and finishes on its own.
    void stop();

private:
    // What the thread runs. Owned jointly by the queue and its thread, so that a queue
    // released on its own thread does not pull the io_context out from under that thread.
    struct Core {
        asio::io_context context{1};
        std::atomic<bool> stopped{false};
    };

    explicit SerialQueue(std::string label);
    static void run(std::shared_ptr<Core> core, std::string name);

    std::string label_;
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace df
