#pragma once
// The phone is told which application is in front: once when the watcher starts, then at
// every activation the host reports (the same application again included: each activation
// is news). An activation that names no application sends nothing.
//
// Session queue, except the host's news, which hops there; nothing runs after stop().

#include "platform/DispatchQueue.h"
#include "platform/Workspace.h"

#include <functional>
#include <memory>

namespace df {

class FrontAppWatcher : public std::enable_shared_from_this<FrontAppWatcher> {
public:
    using Send = std::function<void(const RunningApplication& app)>;

    /// Sends the frontmost application (if any) at once, then watches; `send` runs on `queue`.
    static std::shared_ptr<FrontAppWatcher> start(std::shared_ptr<Workspace> workspace,
                                                  std::shared_ptr<DispatchQueue> queue, Send send);
    void stop();

private:
    FrontAppWatcher(std::shared_ptr<DispatchQueue> queue, Send send) : queue_(std::move(queue)), send_(std::move(send)) {}

    std::shared_ptr<DispatchQueue> queue_;
    Send send_;
    std::unique_ptr<Observation> observation_;
    bool stopped_ = false;
};

}  // namespace df
