#pragma once
// Keeping the display awake while the phone watches it: no screen saver, no power saving,
// for as long as a token is held. Unlike UserActivity, which wakes the display once, this
// holds it awake until the token goes.
//
// Linux: the X screen saver is reset and suspended on a connection of its own
// (platform/linux/activity); tests: the recording fake (platform/fake/activity).
// begin() and the tokens' destruction may come from any thread.

#include <memory>
#include <string>

namespace df {

class DisplayActivity {
public:
    /// Ends the activity when destroyed.
    class Token {
    public:
        virtual ~Token() = default;
    };

    virtual ~DisplayActivity() = default;
    /// `reason` says who keeps the display awake, for hosts that show or log it. Tokens may
    /// overlap; the display may sleep again once the last one is gone.
    virtual std::unique_ptr<Token> begin(const std::string& reason) = 0;
};

}  // namespace df
