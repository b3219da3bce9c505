#pragma once
// Locks the desktop session: what the Mac's lock chord (Control+Command+Q) does there. The
// commands are tried in order until one succeeds: `loginctl lock-session`, else
// `xdg-screensaver lock`. They run on a short-lived thread of their own, so posting the
// chord never waits for them.

#include <string>
#include <vector>

namespace df {

class SessionLocker {
public:
    using Command = std::vector<std::string>;
    static std::vector<Command> defaultCommands();

    explicit SessionLocker(std::vector<Command> commands = defaultCommands());
    /// Starts the lock and returns at once.
    void lock() const;
    /// Runs the commands in order until one exits with status 0; true when one did.
    /// Blocks until then.
    static bool runUntilOneSucceeds(const std::vector<Command>& commands);

private:
    std::vector<Command> commands_;
};

}  // namespace df
