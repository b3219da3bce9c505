#pragma once
// In-memory workspace for unit tests: the test brings applications to the front.

#include "platform/Workspace.h"

#include <mutex>

namespace df::fake {

class FakeWorkspace final : public Workspace {
public:
    std::optional<RunningApplication> frontmostApplication() override {
        std::lock_guard lock(mutex_);
        return front_;
    }
    std::unique_ptr<Observation> observeActivations(
        std::function<void(const std::optional<RunningApplication>&)> onActivation) override {
        return observers_.add(std::move(onActivation));
    }

    /// Sets the frontmost application without news (as it was before anyone watched).
    void setFront(std::optional<RunningApplication> app) {
        std::lock_guard lock(mutex_);
        front_ = std::move(app);
    }
    /// Activates `app`; observers hear of it (with nothing: a notification naming no application).
    void activate(const std::optional<RunningApplication>& app) {
        if (app) setFront(app);
        observers_.notify(app);
    }
    size_t observerCount() const { return observers_.size(); }

private:
    std::mutex mutex_;
    std::optional<RunningApplication> front_;
    ObserverList<const std::optional<RunningApplication>&> observers_;
};

}  // namespace df::fake
