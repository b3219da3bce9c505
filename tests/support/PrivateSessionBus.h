#pragma once
// A session bus of one test's own: dbus-daemon with the standard session configuration,
// ended with the object. Tests that play a desktop service (screen saver, file manager,
// notification server) own a name on it and hand its address to the code under test.

#include <fcntl.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace df::testsupport {

class PrivateSessionBus {
public:
    PrivateSessionBus() {
        int fds[2];
        if (::pipe(fds) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Its complaints about the test's limits are not the test's output.
            const int devNull = ::open("/dev/null", O_WRONLY);
            if (devNull >= 0) ::dup2(devNull, 2);
            ::close(fds[0]);
            const std::string printTo = "--print-address=" + std::to_string(fds[1]);
            ::execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile", printTo.c_str(),
                     static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        std::string text;
        char buffer[256];
        for (ssize_t got; text.find('\n') == std::string::npos && (got = ::read(fds[0], buffer, sizeof buffer)) > 0;)
            text.append(buffer, static_cast<size_t>(got));
        ::close(fds[0]);
        address_ = text.substr(0, text.find('\n'));
    }
    ~PrivateSessionBus() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    PrivateSessionBus(const PrivateSessionBus&) = delete;
    PrivateSessionBus& operator=(const PrivateSessionBus&) = delete;

    /// Empty when dbus-daemon could not be started.
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

}  // namespace df::testsupport
