#include "DuskFerryAgent/session/ScreenWatcher.h"

namespace df {

std::shared_ptr<ScreenWatcher> ScreenWatcher::start(std::shared_ptr<ScreenParameters> screens,
                                                    std::shared_ptr<DispatchQueue> queue,
                                                    std::function<void()> onChange) {
    std::shared_ptr<ScreenWatcher> self(new ScreenWatcher(std::move(onChange)));
    std::weak_ptr<ScreenWatcher> weak = self;
    // The host's thread: only hop to the session queue.
    self->observation_ = screens->observeChanges([weak, queue] {
        queue->post([weak] {
            auto watcher = weak.lock();
            if (watcher && !watcher->stopped_) watcher->onChange_();
        });
    });
    return self;
}

void ScreenWatcher::stop() {
    stopped_ = true;
    observation_.reset();
}

}  // namespace df
