#include "DuskFerryAgent/session/FrontAppWatcher.h"

namespace df {

std::shared_ptr<FrontAppWatcher> FrontAppWatcher::start(std::shared_ptr<Workspace> workspace,
                                                        std::shared_ptr<DispatchQueue> queue, Send send) {
    std::shared_ptr<FrontAppWatcher> self(new FrontAppWatcher(std::move(queue), std::move(send)));
    if (auto front = workspace->frontmostApplication()) self->send_(*front);
    std::weak_ptr<FrontAppWatcher> weak = self;
    auto queueRef = self->queue_;
    // The host's thread: only hop to the session queue.
    self->observation_ = workspace->observeActivations([weak, queueRef](const std::optional<RunningApplication>& app) {
        if (!app) return;
        queueRef->post([weak, app = *app] {
            auto watcher = weak.lock();
            if (watcher && !watcher->stopped_) watcher->send_(app);
        });
    });
    return self;
}

void FrontAppWatcher::stop() {
    stopped_ = true;
    observation_.reset();
}

}  // namespace df
