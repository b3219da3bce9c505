#pragma once
// The agent program as a child process of a benchmark or test, in a temporary home (its own
// settings and key store): its standard input answers approval questions, its standard
// output is read for the pairing code. Used by session benchmarks and tests.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace df::testsupport {

namespace fs = std::filesystem;

// A port the system hands out now; the agent binds it a moment later.
inline uint16_t freePort(int type) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        std::perror("agent process: port");
        std::exit(1);
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

inline bool tcpAccepts(uint16_t port, const char* host = "127.0.0.1") {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ::inet_pton(AF_INET, host, &addr.sin_addr);
    addr.sin_port = htons(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

// The agent program in its own home: its standard input answers approvals, its standard
// output is read for the pairing code.
class AgentProcess {
public:
    /// `display`: the X display the agent uses ("" = none); `extraEnv`: more NAME=value
    /// entries of its environment. `shellArgs`: how the agent shows itself; by default
    /// --headless, so that approvals are asked on standard input even with a display (without
    /// it the desktop shell asks in dialogs).
    AgentProcess(const std::string& binary, const std::vector<std::string>& wrap, const fs::path& home,
                 uint16_t port, uint16_t quicPort, bool verbose, const std::string& display,
                 std::function<void(const std::string&)> onLine = {}, const std::vector<std::string>& extraEnv = {},
                 const std::vector<std::string>& shellArgs = {"--headless"})
        : verbose_(verbose), onLine_(std::move(onLine)) {
        int in[2], out[2];
        if (::pipe(in) != 0 || ::pipe(out) != 0) {
            std::perror("agent process: pipe");
            std::exit(1);
        }
        // Built before fork: the child only calls exec.
        std::vector<std::string> args = wrap;
        args.insert(args.end(), {binary, "--port", std::to_string(port), "--quic-port", std::to_string(quicPort)});
        args.insert(args.end(), shellArgs.begin(), shellArgs.end());
        std::vector<std::string> env = {"HOME=" + home.string(), "XDG_CONFIG_HOME=" + (home / "config").string(),
                                        "XDG_DATA_HOME=" + (home / "data").string(), "LANG=C.UTF-8"};
        if (!display.empty()) env.push_back("DISPLAY=" + display);
        env.insert(env.end(), extraEnv.begin(), extraEnv.end());
        for (const char* name : {"PATH", "XAUTHORITY"})
            if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
        std::vector<char*> argv, envp;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);  // a wrapper and the agent end together
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::close(in[0]);
            ::close(in[1]);
            ::close(out[0]);
            ::close(out[1]);
            ::execvpe(argv[0], argv.data(), envp.data());
            std::_Exit(127);
        }
        if (pid_ < 0) {
            std::perror("agent process: fork");
            std::exit(1);
        }
        ::setpgid(pid_, pid_);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        reader_ = std::thread([this, fd = out[0]] { readOutput(fd); });
    }

    ~AgentProcess() {
        ::kill(-pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(input_);
        reader_.join();
    }

    pid_t pid() const { return pid_; }

    /// CPU time the agent has used so far (user plus system, all its threads), in seconds.
    double cpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Fields after the command name, which is in parentheses and may hold spaces.
        const size_t close = text.rfind(')');
        if (close == std::string::npos) return 0;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i == 14) utime = std::stoull(field);
            if (i == 15) stime = std::stoull(field);
        }
        return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    /// The six-digit code of the agent's first line ("<label>: 123456").
    std::optional<std::string> waitForCode() {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::seconds(30), [&] { return code_.has_value() || ended_; });
        return code_;
    }

    /// Answers the next approval question; the agent reads the line when it asks.
    void approveNext() {
        const char yes[] = "y\n";
        if (::write(input_, yes, sizeof yes - 1) < 0) std::perror("agent process: approve");
    }

private:
    void readOutput(int fd) {
        std::string pending;
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fd, buf, sizeof buf)) > 0) {
            pending.append(buf, static_cast<size_t>(n));
            size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                if (verbose_) std::cerr << "agent: " << line << "\n";
                if (onLine_) onLine_(line);
                std::lock_guard lock(mutex_);
                if (!code_ && line.size() >= 6) {
                    std::string tail = line.substr(line.size() - 6);
                    if (std::all_of(tail.begin(), tail.end(), [](char c) { return c >= '0' && c <= '9'; }))
                        code_ = tail;
                }
            }
            cv_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        ended_ = true;
        cv_.notify_all();
    }

    bool verbose_;
    std::function<void(const std::string&)> onLine_;
    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<std::string> code_;
    bool ended_ = false;
};

}  // namespace df::testsupport
