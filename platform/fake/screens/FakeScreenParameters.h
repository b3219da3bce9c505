#pragma once
// Screen-parameter news on demand, for unit tests.

#include "platform/ScreenParameters.h"

namespace df::fake {

class FakeScreenParameters final : public ScreenParameters {
public:
    std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) override {
        return observers_.add(std::move(onChange));
    }
    /// The display configuration changed (what the displays are now is the displays' fake).
    void change() { observers_.notify(); }
    size_t observerCount() const { return observers_.size(); }

private:
    ObserverList<> observers_;
};

}  // namespace df::fake
