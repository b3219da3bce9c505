#pragma once
// Helpers for the transport's integration tests: real queues, waiting on what a
// connection reported, and running independent TLS peers (openssl, gnutls-cli).

#include "platform/SerialQueue.h"
#include "platform/Transport.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "protocol/TransportParameters.h"
#include "tests/support/Hex.h"
#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace df::testsupport {

inline std::string hex(const Bytes& bytes) { return toHex(bytes); }

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

/// Send completions as they come: the index each send was given and whether it failed.
class Completions : public std::enable_shared_from_this<Completions> {
public:
    static std::shared_ptr<Completions> make() { return std::make_shared<Completions>(); }
    /// The completion of send number `index`.
    Connection::SendCompletion of(int index) {
        return [self = shared_from_this(), index](std::optional<TransportError> error) {
            std::lock_guard lock(self->mutex_);
            self->seen_.emplace_back(index, error.has_value());
            self->changed_.notify_all();
        };
    }
    /// True once `count` completions came (within `seconds`).
    bool waitFor(size_t count, double seconds = 10) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return seen_.size() >= count; });
    }
    std::vector<std::pair<int, bool>> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<int, bool>> seen_;
};

/// Waits (up to 5 s) until a TCP socket listens on 127.0.0.1:`port`, without connecting
/// to it (a peer that serves one connection must not spend it on a probe).
inline bool waitUntilListening(uint16_t port) {
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (int i = 0; i < 500; ++i) {
        if (FILE* f = std::fopen("/proc/net/tcp", "r")) {
            char line[512];
            bool found = false;
            while (std::fgets(line, sizeof line, f)) {
                std::string text(line);
                if (text.find(wanted) != std::string::npos && text.find(" 0A ") != std::string::npos) found = true;
            }
            std::fclose(f);
            if (found) return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

/// What one connection reported, collected from its queue and waited on by the test.
class Events {
public:
    void state(ConnectionState s, const std::optional<TransportError>& error) {
        std::lock_guard lock(mutex_);
        states_.push_back(s);
        if (error) errors_.push_back(*error);
        changed_.notify_all();
    }
    void received(const Bytes& data, bool complete, const std::optional<TransportError>& error) {
        std::lock_guard lock(mutex_);
        bytes_.insert(bytes_.end(), data.begin(), data.end());
        if (complete) ended_ = true;
        if (error) {
            receiveError_ = true;
            errors_.push_back(*error);
        }
        changed_.notify_all();
    }
    template <typename Predicate>
    bool waitFor(Predicate predicate, double seconds = 5.0) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return predicate(*this); });
    }
    void notify() {
        std::lock_guard lock(mutex_);
        changed_.notify_all();
    }
    bool has(ConnectionState s) const {
        for (auto x : states_) {
            if (x == s) return true;
        }
        return false;
    }
    std::mutex& mutex() { return mutex_; }

    std::vector<ConnectionState> states_;
    std::vector<TransportError> errors_;
    Bytes bytes_;
    bool ended_ = false;
    bool receiveError_ = false;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
};

/// Receives into `events` until the end of the stream or an error.
inline void receiveLoop(const std::shared_ptr<Connection>& connection, std::shared_ptr<Events> events,
                        size_t maximum = 65536) {
    std::weak_ptr<Connection> weak = connection;
    connection->receive(1, maximum, [weak, events, maximum](Bytes data, bool complete, std::optional<TransportError> error) {
        events->received(data, complete, error);
        auto c = weak.lock();
        if (c && !complete && !error) receiveLoop(c, events, maximum);
    });
}

/// Runs `command` (through sh) with `input` on its standard input; returns exit code and
/// everything it printed.
struct PeerResult {
    int exitCode = -1;
    std::string output;
};
inline PeerResult runPeer(const std::string& command, const std::string& input) {
    char path[] = "/tmp/df-transport-input.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return {};
    FILE* file = fdopen(fd, "w");
    fwrite(input.data(), 1, input.size(), file);
    fclose(file);
    std::string full = command + " <" + path + " 2>&1";
    PeerResult result;
    FILE* pipe = popen(full.c_str(), "r");
    if (pipe) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, n);
        int status = pclose(pipe);
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    unlink(path);
    return result;
}

}  // namespace df::testsupport
