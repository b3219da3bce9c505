#pragma once
// Other programs for integration tests: run one to the end and take its output, or keep one
// running beside the test (an X client that owns the clipboard, say) until the object goes.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace df::testsupport {

/// Runs `command` with the shell and returns its standard output (nothing when it failed).
inline std::optional<std::string> runOutput(const std::string& command) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return std::nullopt;
    std::string out;
    char buffer[65536];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (::pclose(pipe) != 0) return std::nullopt;
    return out;
}

/// A program running beside the test, ended (SIGTERM, then waited for) with the object.
class Background {
public:
    /// `argv[0]` is looked up on PATH; `environment` entries ("NAME=value") are added;
    /// `stdinFile` (if any) is its standard input; `quiet`: its output is dropped.
    explicit Background(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {},
                        const std::string& stdinFile = {}, bool quiet = false) {
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setsid();
            for (const auto& e : environment) ::putenv(const_cast<char*>(e.c_str()));
            if (!stdinFile.empty()) {
                if (std::freopen(stdinFile.c_str(), "r", stdin) == nullptr) std::_Exit(126);
            }
            if (quiet && (std::freopen("/dev/null", "w", stdout) == nullptr || std::freopen("/dev/null", "w", stderr) == nullptr))
                std::_Exit(126);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            std::_Exit(127);
        }
    }
    ~Background() { stop(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    /// True while the program has not ended.
    bool running() {
        if (pid_ <= 0) return false;
        if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = -1;
};

}  // namespace df::testsupport
