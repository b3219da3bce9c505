#pragma once
// Launching the agent when the user logs in. Linux: an XDG autostart entry in
// $XDG_CONFIG_HOME/autostart (platform/linux/loginitem); tests: a temporary directory.
// Main thread.

namespace df {

class LoginItem {
public:
    virtual ~LoginItem() = default;
    /// Whether the agent starts at login now.
    virtual bool enabled() const = 0;
    /// Registers (true) or unregisters (false) the agent; false when that failed. Callers
    /// read enabled() afterwards for what actually holds.
    virtual bool setEnabled(bool enabled) = 0;
};

}  // namespace df
