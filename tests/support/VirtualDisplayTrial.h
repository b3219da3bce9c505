#pragma once
// The agent program on a given X display with the reference phone client streaming from
// it; the phone asks for the virtual display and waits for the first decoded picture of
// it. Shared by the virtual-display test and its benchmark.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/support/AgentProcess.h"
#include "tools/phone/IdentityStore.h"
#include "tools/phone/PhoneClient.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace df::testsupport {

class VirtualDisplayTrial {
public:
    VirtualDisplayTrial(const std::string& agentBinary, const std::string& display)
        : home_(makeHome()), port_(freePort(SOCK_STREAM)),
          agent_(std::make_unique<AgentProcess>(agentBinary, std::vector<std::string>{}, home_, port_,
                                                freePort(SOCK_DGRAM), false, display,
                                                [this](const std::string& line) { note(agentLines_, line); })) {}
    ~VirtualDisplayTrial() {
        stopPhone();
        agent_.reset();
        queue_->shutdown();
        std::error_code ec;
        std::filesystem::remove_all(home_, ec);
    }

    /// Pairs and starts streaming at up to 2560 pixels; false (with `error()`) on failure.
    bool connect() {
        auto code = agent_->waitForCode();
        for (int i = 0; i < 500 && code && !tcpAccepts(port_); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!code) return fail("the agent printed no pairing code");
        phone::IdentityStore store(home_ / "phone");
        auto identity = store.loadOrCreate("Trial Phone");
        if (!identity) return fail(identity.error());
        phone::PhoneOptions options;
        options.agent = {"127.0.0.1", port_};
        options.code = *code;
        options.quality = QualityRequest(30, 20, 2560, false);
        options.mediaOptions.onPicture = [this](const phone::RgbImage& picture) {
            std::lock_guard lock(mutex_);
            // The first picture of each new size, with its arrival.
            if (pictures_.empty() || pictures_.back().first != std::make_pair(picture.width, picture.height))
                pictures_.push_back({{picture.width, picture.height}, std::chrono::steady_clock::now()});
            cv_.notify_all();
        };
        agent_->approveNext();
        client_ = phone::PhoneClient::create(
            options, std::move(identity).value(), store, queue_, makeLinuxTransportFactory(),
            [this](const std::string& line) { note(phoneLines_, line); }, [this](const std::string& line) {
                note(phoneLines_, "err: " + line);
            },
            [this](phone::ExitStatus, const std::string& message) { note(phoneLines_, "ended: " + message); });
        client_->start();
        if (!waitForPicture([](int, int) { return true; }, 20)) return fail("no picture arrived");
        return true;
    }

    /// Asks for the virtual display (or turns it off); the time it was sent.
    std::chrono::steady_clock::time_point sendVirtualDisplay(bool on) {
        auto now = std::chrono::steady_clock::now();
        client_->sendInput(VirtualDisplayRequest(on));
        return now;
    }

    /// When the first decoded picture for which `match(width, height)` holds arrived.
    std::optional<std::chrono::steady_clock::time_point> waitForPicture(const std::function<bool(int, int)>& match,
                                                                         double seconds) {
        std::unique_lock lock(mutex_);
        std::optional<std::chrono::steady_clock::time_point> found;
        cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            for (const auto& [size, at] : pictures_) {
                if (match(size.first, size.second)) {
                    found = at;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    /// Waits until a line of the phone (or of the agent) contains `text`; the line.
    std::optional<std::string> waitForPhoneLine(const std::string& text, double seconds) {
        return waitForLine(phoneLines_, text, seconds);
    }
    std::optional<std::string> waitForAgentLine(const std::string& text, double seconds) {
        return waitForLine(agentLines_, text, seconds);
    }
    std::vector<std::string> agentLines() {
        std::lock_guard lock(mutex_);
        return agentLines_;
    }

    void stopPhone() {
        if (!client_) return;
        client_->stop();
        queue_->sync([] {});
        client_.reset();
    }
    /// Ends the agent (SIGTERM, as Ctrl-C does) and waits for it.
    void stopAgent() {
        stopPhone();
        agent_.reset();
    }
    const std::string& error() const { return error_; }

private:
    static std::filesystem::path makeHome() {
        char pattern[] = "/tmp/df-virtual-display-XXXXXX";
        return ::mkdtemp(pattern) ? std::filesystem::path(pattern) : std::filesystem::path("/tmp");
    }
    bool fail(std::string why) {
        error_ = std::move(why);
        return false;
    }
    void note(std::vector<std::string>& lines, const std::string& line) {
        std::lock_guard lock(mutex_);
        lines.push_back(line);
        cv_.notify_all();
    }
    std::optional<std::string> waitForLine(std::vector<std::string>& lines, const std::string& text, double seconds) {
        std::unique_lock lock(mutex_);
        std::optional<std::string> found;
        cv_.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            for (const auto& l : lines) {
                if (l.find(text) != std::string::npos) {
                    found = l;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    std::filesystem::path home_;
    uint16_t port_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> agentLines_, phoneLines_;
    std::vector<std::pair<std::pair<int, int>, std::chrono::steady_clock::time_point>> pictures_;
    std::unique_ptr<AgentProcess> agent_;
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("duskferry.phone");
    std::shared_ptr<phone::PhoneClient> client_;
    std::string error_;
};

}  // namespace df::testsupport
