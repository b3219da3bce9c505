#pragma once
// Three callback slots through which a session asks for the virtual display. The
// application shell fills them at launch; until then (and in a headless agent without a
// virtual display) calling a slot does nothing. One per agent, handed to the sessions.
//
// Installing and calling are thread-safe; the callback runs on the caller's thread.

#include <functional>
#include <mutex>

namespace df {

class VirtualDisplayControl {
public:
    /// The phone turns the virtual display on or off (the `virtualDisplay` message).
    void installSetEnabled(std::function<void(bool)> slot);
    /// Turn the virtual display on because there is no usable display.
    void installEnableAuto(std::function<void()> slot);
    /// A session became current (true) or stopped being current (false).
    void installSetSessionActive(std::function<void(bool)> slot);
    /// Empties all three slots.
    void clear();

    bool hasSetEnabled() const;
    void setEnabled(bool enabled) const;
    void enableAuto() const;
    void setSessionActive(bool active) const;

private:
    struct Slots {
        std::function<void(bool)> setEnabled;
        std::function<void()> enableAuto;
        std::function<void(bool)> setSessionActive;
    };
    template <typename F>
    F slot(F Slots::*member) const;

    mutable std::mutex mutex_;
    Slots slots_;  // guarded by mutex_
};

}  // namespace df
