#pragma once
// A private Xvfb of one screen size for a benchmark or test, started with -displayfd so that it
// picks a free display number itself; it ends with the object. -noreset: by default the server
// resets when its last client leaves, and a test that opens the display again at that moment is
// refused.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace df::testsupport {

struct Size {
    int width = 0;
    int height = 0;
};

/// A private Xvfb of one screen size; ends with the object.
class Xvfb {
public:
    explicit Xvfb(Size size) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        const std::string screen = std::to_string(size.width) + "x" + std::to_string(size.height) + "x24";
        const std::string fd = std::to_string(fds[1]);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::close(fds[0]);
            int null = ::open("/dev/null", O_WRONLY);
            if (null >= 0) {
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(), "+extension",
                     "RANDR", "+extension", "DAMAGE", "-noreset", "-nolisten", "tcp", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c = 0;
        while (pid_ > 0 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (!number.empty()) name_ = ":" + number;
    }
    ~Xvfb() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string name_;
};

}  // namespace df::testsupport
