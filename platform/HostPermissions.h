#pragma once
// What this host must grant or run for the agent to work, checked when the control panel
// shows it: access to the X display with the XTest extension (input), the extensions screen
// capture uses, a sound server (system audio) and the DNS-SD daemon (being found by the
// phone). Linux: platform/linux/permissions; tests: a scripted fake. Main thread; each check
// takes a few milliseconds at most.

namespace df {

class HostPermissions {
public:
    enum class Kind { displayInput, screenCapture, soundServer, dnsSd };
    virtual ~HostPermissions() = default;
    /// True when the agent has what `kind` needs now.
    virtual bool check(Kind kind) const = 0;
};

}  // namespace df
