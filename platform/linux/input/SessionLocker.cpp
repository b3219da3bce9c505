#include "platform/linux/input/SessionLocker.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace df {

std::vector<SessionLocker::Command> SessionLocker::defaultCommands() {
    return {{"loginctl", "lock-session"}, {"xdg-screensaver", "lock"}};
}

SessionLocker::SessionLocker(std::vector<Command> commands) : commands_(std::move(commands)) {}

bool SessionLocker::lock() const {
    if (running_->exchange(true)) return false;
    std::thread([commands = commands_, running = running_] {
        runUntilOneSucceeds(commands);
        running->store(false);
    }).detach();
    return true;
}

bool SessionLocker::runUntilOneSucceeds(const std::vector<Command>& commands) {
    for (const auto& command : commands) {
        if (command.empty()) continue;
        std::vector<char*> argv;
        for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        // Descriptors a library opened without close-on-exec must not reach the command
        // either (a listening socket held by a lock screen keeps the port taken).
        posix_spawn_file_actions_t actions;
        if (posix_spawn_file_actions_init(&actions) != 0) continue;
        pid_t pid = 0;
        const bool spawned = posix_spawn_file_actions_addclosefrom_np(&actions, 3) == 0 &&
                             posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        if (!spawned) continue;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    }
    return false;
}

}  // namespace df
