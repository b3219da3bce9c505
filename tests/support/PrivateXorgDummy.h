#pragma once
// A private Xorg with the dummy video driver and the project's configuration
// (scripts/xorg/xorg-dummy.conf): a 1920x1080 main display on DUMMY0 and spare outputs that
// can take a virtual display. Started with -displayfd so that it picks a free display number
// itself; it ends with the object. Needs root (or the Xorg wrapper's permission).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/ChildProcess.h"
#include "tests/support/RequireService.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace df::testsupport {

/// Xorg and its dummy video driver are installed.
inline bool haveXorgDummyDriver() {
    return haveTool("Xorg") && std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so");
}

/// What a person sees of a display's layout: the monitors with their places, the primary
/// output and the screen's size.
inline std::string xrandrLayout(const std::string& display) {
    return runOutput("DISPLAY=" + display + " xrandr --listmonitors 2>&1").value_or("") +
           runOutput("DISPLAY=" + display + " xrandr 2>&1 | grep -E '^Screen|primary'").value_or("");
}

class XorgDummy {
public:
    /// `config`: the configuration file's absolute path.
    explicit XorgDummy(const std::string& config) {
        char dir[] = "/tmp/duskferry-xorg.XXXXXX";
        if (!::mkdtemp(dir)) return;
        dir_ = dir;
        int fds[2];
        if (::pipe(fds) != 0) return;
        const std::string fd = std::to_string(fds[1]);
        const std::string log = dir_ + "/xorg.log";
        const std::string configDir = dir_ + "/conf.d";
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            ::close(fds[0]);
            int null = ::open("/dev/null", O_RDWR);
            if (null >= 0) {
                ::dup2(null, 0);
                ::dup2(null, 1);
                ::dup2(null, 2);
            }
            ::execlp("Xorg", "Xorg", "-displayfd", fd.c_str(), "-config", config.c_str(), "-configdir",
                     configDir.c_str(), "-logfile", log.c_str(), "-noreset", "-nolisten", "tcp", "+extension", "RANDR",
                     static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        ::close(fds[1]);
        std::string number;
        char c = 0;
        pollfd p{fds[0], POLLIN, 0};
        while (pid_ > 0 && ::poll(&p, 1, 15000) == 1 && ::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
        ::close(fds[0]);
        if (!number.empty()) name_ = ":" + number;
    }
    ~XorgDummy() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    XorgDummy(const XorgDummy&) = delete;
    XorgDummy& operator=(const XorgDummy&) = delete;

    /// ":N", or empty when it did not start.
    const std::string& name() const { return name_; }

private:
    pid_t pid_ = -1;
    std::string dir_;
    std::string name_;
};

}  // namespace df::testsupport
