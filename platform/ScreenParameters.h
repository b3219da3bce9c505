#pragma once
// News that the display configuration changed (a display added, removed, resized, moved or
// given another mode). Only the news: what the displays now are is asked of Displays.
//
// Linux: RandR notifications on a connection and thread of their own
// (platform/linux/screens); tests: fake::FakeScreenParameters.

#include "platform/Observation.h"

#include <functional>
#include <memory>

namespace df {

class ScreenParameters {
public:
    virtual ~ScreenParameters() = default;
    /// `onChange` is called on the host's thread after each change; several may come for
    /// what the user sees as one.
    virtual std::unique_ptr<Observation> observeChanges(std::function<void()> onChange) = 0;
};

}  // namespace df
