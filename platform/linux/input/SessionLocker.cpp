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

void SessionLocker::lock() const {
    std::thread([commands = commands_] { runUntilOneSucceeds(commands); }).detach();
}

bool SessionLocker::runUntilOneSucceeds(const std::vector<Command>& commands) {
    for (const auto& command : commands) {
        if (command.empty()) continue;
        std::vector<char*> argv;
        for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) continue;
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    }
    return false;
}

}  // namespace df
