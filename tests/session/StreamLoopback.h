#pragma once
// The agent server for real on the test X display ($DISPLAY, an Xvfb) with X11 capture and
// libx265, over loopback, and the reference phone client, which pairs (approved on the
// agent's terminal prompt), authenticates and receives the stream. Shared by the streaming
// tests; with `audio`, the server also records the sound server's default output.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/SerialQueue.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"
#include "platform/linux/audio/LinuxAudio.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/compression/X265Compression.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/support/RequireService.h"
#include "tests/support/TempDir.h"
#include "tools/phone/PhoneClient.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

#include <gtest/gtest.h>

namespace df::testsupport {


using namespace std::chrono_literals;

/// Fills the root window of $DISPLAY with one colour.
inline void paintRoot(unsigned long rgb) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    Window root = DefaultRootWindow(display);
    XSetWindowBackground(display, root, rgb);
    XClearWindow(display, root);
    XSync(display, False);
    XCloseDisplay(display);
}

struct Png {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;
};

inline std::optional<Png> readPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return std::nullopt;
    image.format = PNG_FORMAT_RGB;
    Png out{static_cast<int>(image.width), static_cast<int>(image.height), {}};
    out.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, out.rgb.data(), 0, nullptr)) return std::nullopt;
    return out;
}

/// The value of `key=` in the last output line that starts with `prefix`.
inline std::optional<std::string> field(const std::vector<std::string>& lines, const std::string& prefix,
                                 const std::string& key) {
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        if (!it->starts_with(prefix)) continue;
        std::istringstream words(*it);
        for (std::string word; words >> word;) {
            if (word.starts_with(key + "=")) return word.substr(key.size() + 1);
        }
    }
    return std::nullopt;
}

class StreamLoopback : public ::testing::Test {
protected:
    /// Starts the server; `audio`: with system audio from the sound server ($PULSE_SERVER,
    /// else libpulse's own choice).
    void startServer(bool audio) {
        DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
        ASSERT_EQ(::pipe(answerPipe), 0);
        nullOut = ::open("/dev/null", O_WRONLY);
        alerts = std::make_shared<TerminalAlertPresenter>(mainQueue, answerPipe[0], nullOut);

        ServerServices s;
        s.queue = serverQueue;
        s.transport = transport;
        s.session.mainQueue = mainQueue;
        s.session.approval = Approval::create(mainQueue, alerts, l10n);
        s.session.trust = trust;
        s.session.l10n = l10n;
        s.session.displays = std::make_shared<DisplayTarget>(createXRandRDisplays());
        s.session.agentName = "stream-agent";
        s.session.macDeviceID = trust->macDeviceID();
        if (withCapture) {
            s.session.capture.screen = createX11ScreenCapture();
            s.session.capture.compression = createX265Compression();
            s.session.capture.videoQueue = videoQueue;
            s.session.capture.startQueue = startQueue;
        }
        if (moreServices) moreServices(s.session);
        if (audio) {
            const char* pulse = std::getenv("PULSE_SERVER");
            s.session.capture.audio = linux_audio::makePulseAudioCapture(
                pulse && *pulse ? std::optional<std::string>(pulse) : std::nullopt);
            s.session.capture.audioConversion = linux_audio::makeLinuxAudioConversion();
            s.session.capture.audioQueue = audioQueue;
        }
        s.tcpPort = 0;
        s.quicPort = 0;
        s.bindHost = "127.0.0.1";
        server = AgentServer::create(code, [this](const std::string& t) {
            std::lock_guard lock(mutex);
            statuses.push_back(t);
        }, s);
        server->start();
        for (int i = 0; i < 500 && !tcpPort; ++i) {
            serverQueue->sync([&] { tcpPort = server->tcpPort().value_or(0); });
            if (!tcpPort) std::this_thread::sleep_for(10ms);
        }
        ASSERT_NE(tcpPort, 0);
    }
    void TearDown() override {
        if (HasFailure()) {
            std::lock_guard lock(mutex);
            for (const auto& t : statuses) std::cerr << "status: " << t << "\n";
            for (const auto& l : lines) std::cerr << "phone: " << l << "\n";
        }
        if (server) {
            serverQueue->sync([&] {
                if (auto session = server->session()) session->close();
            });
            serverQueue->sync([&] { server.reset(); });
        }
        alerts.reset();
        for (auto& queue : {serverQueue, mainQueue, phoneQueue, startQueue, videoQueue, audioQueue}) queue->shutdown();
        if (answerPipe[1] >= 0) ::close(answerPipe[1]);
        if (answerPipe[0] >= 0) ::close(answerPipe[0]);
        if (nullOut >= 0) ::close(nullOut);
    }

    bool waitForLine(const std::string& prefix, double seconds) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            return std::ranges::any_of(lines, [&](const auto& l) { return l.starts_with(prefix); });
        });
    }

    /// Pairs a reference client (approved at the agent's prompt) with the options' quality;
    /// its output and exit status are recorded in `lines` and `exitStatus`.
    std::shared_ptr<phone::PhoneClient> startPhone(phone::PhoneOptions options) {
        options.agent = {"127.0.0.1", tcpPort};
        options.code = code;
        options.stats = true;
        options.hasScript = true;
        auto identity = store.loadOrCreate("Loopback Phone");
        EXPECT_TRUE(identity.ok());
        if (!identity.ok()) return nullptr;
        EXPECT_GT(::write(answerPipe[1], "y\n", 2), 0);  // the person at the computer approves
        auto record = [this](const std::string& line) {
            std::lock_guard lock(mutex);
            lines.push_back(line);
            changed.notify_all();
        };
        auto client = phone::PhoneClient::create(options, *identity, store, phoneQueue, transport, record, record,
                                                 [this](phone::ExitStatus status, const std::string&) {
                                                     std::lock_guard lock(mutex);
                                                     exitStatus = status;
                                                     changed.notify_all();
                                                 });
        client->start();
        return client;
    }

    /// Ends the phone's script and waits for it to leave: the lines it printed, or nothing when
    /// it did not leave within 30 s.
    std::optional<std::vector<std::string>> leaveAndWait(phone::PhoneClient& client) {
        client.endOfScript();
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return exitStatus.has_value(); }))
            return std::nullopt;
        EXPECT_EQ(*exitStatus, phone::ExitStatus::ok);
        return lines;
    }

    size_t countLines(const std::string& part) {
        std::lock_guard lock(mutex);
        return static_cast<size_t>(std::ranges::count_if(lines, [&](const auto& l) { return l.find(part) != std::string::npos; }));
    }

    /// Without screen capture the phone gets no pictures (tests of everything else).
    bool withCapture = true;
    /// Adds services to the session's before the server starts.
    std::function<void(SessionServices&)> moreServices;

    testsupport::TempDir dir;
    phone::IdentityStore store{dir / "phone"};
    FileAgentKeychain keychain{dir / "keys"};
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::string code = "271828";
    std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("duskferry.server");
    std::shared_ptr<SerialQueue> mainQueue = SerialQueue::create("main");
    std::shared_ptr<SerialQueue> phoneQueue = SerialQueue::create("duskferry.phone");
    std::shared_ptr<SerialQueue> startQueue = SerialQueue::create("duskferry.capture.start");
    std::shared_ptr<SerialQueue> videoQueue = SerialQueue::create("duskferry.capture");
    std::shared_ptr<SerialQueue> audioQueue = SerialQueue::create("duskferry.capture.audio");
    std::shared_ptr<TransportFactory> transport = makeLinuxTransportFactory();
    std::shared_ptr<AlertPresenter> alerts;
    int answerPipe[2] = {-1, -1};
    int nullOut = -1;
    std::shared_ptr<AgentServer> server;
    uint16_t tcpPort = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> statuses;
    std::vector<std::string> lines;
    std::optional<phone::ExitStatus> exitStatus;
};

}  // namespace df::testsupport
