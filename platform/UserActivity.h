#pragma once
// Declaring user activity: what a person at the computer does by touching the mouse. The
// screen saver starts its wait again and a display that power saving turned off comes back
// on, so that a phone that just connected sees a lit screen.
//
// Linux: the X screen saver is reset (platform/linux/activity); tests: the recording fake
// (platform/fake/activity). Called from the session queue; returns without waiting for
// the display.

#include <string>

namespace df {

class UserActivity {
public:
    virtual ~UserActivity() = default;
    /// `reason` says who declares it, for hosts that show or log it.
    virtual void declare(const std::string& reason) = 0;
};

}  // namespace df
