#pragma once
// News of a display-configuration change, handed to the session queue, where the session
// debounces it into one resynchronisation.
//
// Session queue, except the host's news, which hops there; nothing runs after stop().

#include "platform/DispatchQueue.h"
#include "platform/ScreenParameters.h"

#include <functional>
#include <memory>

namespace df {

class ScreenWatcher : public std::enable_shared_from_this<ScreenWatcher> {
public:
    static std::shared_ptr<ScreenWatcher> start(std::shared_ptr<ScreenParameters> screens,
                                                std::shared_ptr<DispatchQueue> queue, std::function<void()> onChange);
    void stop();

private:
    explicit ScreenWatcher(std::function<void()> onChange) : onChange_(std::move(onChange)) {}

    std::function<void()> onChange_;
    std::unique_ptr<Observation> observation_;
    bool stopped_ = false;
};

}  // namespace df
