#pragma once
// Locks the desktop session: what the Mac's lock chord (Control+Command+Q) does there. The
// commands are tried in order until one succeeds: `loginctl lock-session`, else
// `xdg-screensaver lock`. They run on a short-lived thread of their own, so posting the
// chord never waits for them. One lock at a time: a chord pressed again while the commands
// still run starts nothing more. A command inherits only standard input, output and error,
// never the agent's listening sockets or other descriptors.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace df {

class SessionLocker {
public:
    using Command = std::vector<std::string>;
    static std::vector<Command> defaultCommands();

    explicit SessionLocker(std::vector<Command> commands = defaultCommands());
    /// Starts the lock and returns at once; false (and nothing started) while a lock
    /// started earlier by this locker still runs. Any thread.
    bool lock() const;
    /// Runs the commands in order until one exits with status 0; true when one did.
    /// Blocks until then.
    static bool runUntilOneSucceeds(const std::vector<Command>& commands);

private:
    std::vector<Command> commands_;
    // Shared with the thread running the commands, which may outlive the locker.
    std::shared_ptr<std::atomic<bool>> running_ = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace df
