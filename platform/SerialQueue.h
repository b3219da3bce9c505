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

    asio::io_context& context() { return context_; }

    /// Stops the thread after the task running now; pending work is dropped. Idempotent.
    /// Called from the queue itself, the thread is detached rather than joined.
    void stop();

private:
    explicit SerialQueue(std::string label);
    void run();

    std::string label_;
    asio::io_context context_{1};
    std::thread thread_;
    std::atomic<bool> stopped_{false};
};

}  // namespace df
