// duskferry-agent: the process. Loads or makes the pairing code, starts the agent server on
// the real transport with DNS-SD, and until the desktop shell exists runs with a terminal
// face: the pairing code and addresses first, then every status text on its own line as it
// is reported, and approval questions asked on the terminal. Ctrl-C (SIGINT) or SIGTERM
// ends it cleanly: the session is closed, the listeners and the advertisement withdrawn.
//
// Threads: "main" (a serial queue: approvals, virtual-display slots, the delayed lock),
// "duskferry.server" (server and sessions), "duskferry.capture" (screen samples, keyframe
// requests, encoder swaps), "duskferry.capture.start" (capture starts and content
// snapshots), "duskferry.capture.audio" (system audio's encoders), the capture streams' grab
// threads, the X threads of the clipboard, the active window, display changes and the cursor, the sound server's thread and the encoders' threads, the Avahi poll
// thread, and this thread, which only waits for the ending signal.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/input/InputInjector.h"
#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/DeviceKind.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/NetInfo.h"
#include "platform/SerialQueue.h"
#include "platform/XdgDirs.h"
#include "platform/linux/activity/ScreenSaverInhibit.h"
#include "platform/linux/activity/XScreenSaverActivity.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"
#include "platform/linux/audio/LinuxAudio.h"
#include "platform/linux/capture/X11ScreenCapture.h"
#include "platform/linux/clipboard/X11Pasteboard.h"
#include "platform/linux/compression/X265Compression.h"
#include "platform/linux/cursor/XFixesSystemCursor.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/dnssd/AvahiAdvertiser.h"
#include "platform/linux/input/SessionLocker.h"
#include "platform/linux/input/XTestInputEvents.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/netinfo/GetifaddrsList.h"
#include "platform/linux/screens/RandrScreenParameters.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "platform/linux/sysinfo/LinuxSystemInfo.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "platform/linux/workspace/EwmhWorkspace.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <malloc.h>
#include <mutex>
#include <pthread.h>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;

void printLine(const std::string& line) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    std::cout << line << '\n' << std::flush;
}

// The session's view of the input injector (session queue).
class InjectorInput final : public SessionInput {
public:
    explicit InjectorInput(std::shared_ptr<InputInjector> injector) : injector_(std::move(injector)) {}
    void handlePointer(const PointerEvent& e) override { injector_->handle(e); }
    void handleScroll(const ScrollEvent& e) override { injector_->handle(e); }
    void handleKey(const KeyEvent& e) override { injector_->handle(e); }
    void handleText(const TextInput& e) override { injector_->handle(e); }
    void handleGesture(SystemGesture g) override { injector_->handle(g); }
    std::optional<std::pair<double, double>> currentNormalizedPosition() override {
        auto p = injector_->currentNormalizedPosition();
        if (!p) return std::nullopt;
        return std::make_pair(p->x, p->y);
    }

private:
    std::shared_ptr<InputInjector> injector_;
};

// Keeps the display awake through every way the host offers at once (the X screen saver,
// the desktop's screen-saver service).
class AllDisplayActivities final : public DisplayActivity {
public:
    explicit AllDisplayActivities(std::vector<std::shared_ptr<DisplayActivity>> all) : all_(std::move(all)) {}
    std::unique_ptr<Token> begin(const std::string& reason) override {
        auto tokens = std::make_unique<Tokens>();
        for (const auto& activity : all_) tokens->held.push_back(activity->begin(reason));
        return tokens;
    }

private:
    struct Tokens final : Token {
        std::vector<std::unique_ptr<Token>> held;
    };
    std::vector<std::shared_ptr<DisplayActivity>> all_;
};

struct Options {
    bool headless = false;
    uint16_t port = static_cast<uint16_t>(DFConstants::port);
    uint16_t quicPort = 52526;
};

void usage(std::ostream& out) {
    out << "usage: duskferry-agent [--headless] [--port N] [--quic-port N] [--command-key control|super]\n"
           "  --headless     terminal shell, no desktop UI: the pairing code and status are printed\n"
           "                 on this terminal and approvals are asked there. Until the desktop\n"
           "                 shell exists this is how the agent always runs; without a desktop\n"
           "                 session it is the mode chosen anyway\n"
           "  --port N       TCP port of the listener (default 52525)\n"
           "  --quic-port N  UDP port tried first for QUIC media (default 52526)\n"
           "  --command-key control|super\n"
           "                 the key the phone's Command key acts as, kept for later launches\n"
           "                 (default control, so that Command+C copies)\n";
}

bool parsePort(const char* text, uint16_t& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!end || *end != '\0' || v < 1 || v > 65535) return false;
    out = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Connections are read up to a megabyte at a time. By default glibc hands such a buffer
    // back to the kernel when it is freed and faults it in again for the next read, which
    // costs far more than parsing the bytes; keep up to 64 MiB of freed heap instead.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);

    // The host's stores, in the user's XDG base directories.
    FileSettingsStore settingsStore(XdgDirs::configHome() / "DuskFerry" / "settings.json");
    AgentSettings settings(settingsStore);

    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if ((arg == "--port" || arg == "--quic-port") && i + 1 < argc) {
            if (!parsePort(argv[++i], arg == "--port" ? options.port : options.quicPort)) {
                std::cerr << "duskferry-agent: " << arg << " needs a port number from 1 to 65535\n";
                return 2;
            }
        } else if (arg == "--command-key" && i + 1 < argc) {
            if (!settings.setCommandKey(argv[++i])) {
                std::cerr << "duskferry-agent: --command-key takes control or super\n";
                return 2;
            }
        } else if (arg == "-h" || arg == "--help") {
            usage(std::cout);
            return 0;
        } else {
            std::cerr << "duskferry-agent: unknown argument " << arg << "\n";
            usage(std::cerr);
            return 2;
        }
    }

    // The ending signals are taken by sigwait() on this thread only: block them before any
    // other thread starts so that every thread inherits the mask.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    auto mainQueue = SerialQueue::create("main");
    const std::string code = settings.loadOrCreatePairingCode();
    const LinuxSystemInfo systemInfo;
    auto l10n = std::make_shared<L10n>(settingsStore, systemInfo.preferredLanguages());
    settings.setLanguageObserver([l10n] { l10n->refresh(); });
    FileAgentKeychain keychain(XdgDirs::dataHome() / "DuskFerry");
    auto trust = std::make_shared<TrustStore>(keychain);
    const std::shared_ptr<InterfaceAddressList> addresses = createGetifaddrsList();

    // Displays and input need an X display ($DISPLAY). Without one the agent still pairs
    // and answers the phone; the hello acknowledgement then reports the default screen.
    std::shared_ptr<Displays> displays = createXRandRDisplays();
    auto displayTarget = std::make_shared<DisplayTarget>(displays);
    // The desktop shell (tray and panel) is not part of this build: the agent runs with its
    // terminal face whether or not --headless was given or a desktop session exists.
    (void)options.headless;

    printLine(l10n->t("配对码") + ": " + code);
    printLine(l10n->t("局域网") + ": " + NetInfo::lanIPv4(*addresses).value_or(l10n->t("未知")));
    printLine("Tailscale: " + NetInfo::tailscaleIPv4(*addresses).value_or(l10n->t("未安装")));

    std::shared_ptr<AlertPresenter> alerts = std::make_shared<TerminalAlertPresenter>(mainQueue);

    SessionServices session;
    session.mainQueue = mainQueue;
    session.approval = Approval::create(mainQueue, alerts, l10n);
    session.trust = trust;
    session.l10n = l10n;
    session.displays = displayTarget;
    // The desktop shell fills the slots once it exists; until then the requests do nothing.
    session.virtualDisplay = std::make_shared<VirtualDisplayControl>();
    session.settings = &settingsStore;
    session.addresses = addresses.get();
    session.agentName = NetInfo::hostName();
    session.macDeviceID = trust->macDeviceID();
    XTestInputOptions inputOptions;
    inputOptions.command = settings.commandKey() == "super" ? CommandKey::super : CommandKey::control;
    std::shared_ptr<InputEvents> events = displays ? createXTestInputEvents(inputOptions) : nullptr;
    if (events) {
        std::shared_ptr<WindowServices> windows = createEwmhWindowServices();
        // The injector's raising and momentum queues live as long as the agent: a session's
        // injector must not start and join two threads on the server queue.
        std::shared_ptr<DispatchQueue> axQueue = SerialQueue::create("duskferry.input.ax");
        std::shared_ptr<DispatchQueue> momentumQueue = SerialQueue::create("duskferry.input.momentum");
        session.makeInput = [events, windows, displayTarget, axQueue, momentumQueue](
                                std::shared_ptr<DispatchQueue> queue) -> std::shared_ptr<SessionInput> {
            InputInjector::Services s;
            s.events = events;
            s.windows = windows;
            s.displays = cachedTargetDisplays(displayTargetDisplays(displayTarget), InputInjector::displayCacheAge);
            s.axQueue = axQueue;
            s.momentumQueue = momentumQueue;
            return std::make_shared<InjectorInput>(InputInjector::create(std::move(queue), s));
        };
        session.postLockChord = [events] { postScreenLockChord(*events); };
        // Wakes the display for a new session, on the session queue.
        if (std::shared_ptr<UserActivity> activity = createXScreenSaverActivity())
            session.declareUserActivity = [activity](const std::string& name) { activity->declare(name); };
    } else {
        session.postLockChord = [] { SessionLocker().lock(); };
    }

    // The session's watchers, each on an X connection and thread of its own. The clipboard
    // lives as long as the agent, so a text from the phone stays pasteable after it left.
    if (displays) {
        session.pasteboard = createX11Pasteboard();
        std::vector<std::filesystem::path> dataDirs{XdgDirs::dataHome()};
        for (auto& dir : XdgDirs::dataDirs()) dataDirs.push_back(std::move(dir));
        session.workspace = createEwmhWorkspace(std::move(dataDirs), systemInfo.preferredLanguages());
        session.screenParameters = createRandrScreenParameters();
        session.cursor = createXFixesSystemCursor();
    }

    // The screen goes to the phone through X11 capture and libx265; the display is kept
    // awake while it does (X screen saver suspended, and the desktop's screen saver
    // inhibited when a session bus offers one).
    std::shared_ptr<DispatchQueue> captureStartQueue;
    std::shared_ptr<DispatchQueue> videoQueue;
    std::shared_ptr<DispatchQueue> audioQueue;
    if (displays) {
        captureStartQueue = SerialQueue::create("duskferry.capture.start");
        videoQueue = SerialQueue::create("duskferry.capture");
        session.capture.screen = createX11ScreenCapture();
        session.capture.compression = createX265Compression();
        session.capture.videoQueue = videoQueue;
        session.capture.startQueue = captureStartQueue;
        session.capture.prewarmed = std::make_shared<PrewarmedContent>(session.capture.screen, captureStartQueue);
        session.capture.prewarmed->prewarm();
        // System audio from the sound server the user's session uses (PulseAudio or
        // PipeWire's pulse server); a missing server is reported once and video goes on.
        session.capture.audio = linux_audio::makePulseAudioCapture();
        session.capture.audioConversion = linux_audio::makeLinuxAudioConversion();
        audioQueue = SerialQueue::create("duskferry.capture.audio");
        session.capture.audioQueue = audioQueue;
        std::vector<std::shared_ptr<DisplayActivity>> awake;
        if (auto x = createXScreenSaverDisplayActivity()) awake.push_back(std::move(x));
        if (const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
            if (auto desktop = createScreenSaverInhibit(bus)) awake.push_back(std::move(desktop));
        }
        session.displayActivity = std::make_shared<AllDisplayActivities>(std::move(awake));
    }

    ServerServices services;
    services.transport = makeLinuxTransportFactory();
    services.advertiser = createAvahiAdvertiser();
    services.session = std::move(session);
    services.deviceKind = DeviceKind::detect(systemInfo);
    services.tcpPort = options.port;
    services.quicPort = options.quicPort;

    auto server = AgentServer::create(code, printLine, std::move(services));
    server->start();

    int signal = 0;
    sigwait(&endSignals, &signal);

    // Orderly end: close the session (its teardown, posted by close(), runs on the server
    // queue before the next task there), then let the server go, which cancels the
    // listeners and withdraws the advertisement. Shutting the queues down then destroys
    // what the cancelled connections still had to report, and ends their threads here.
    auto serverQueue = server->queue();
    serverQueue->sync([&server] {
        if (auto s = server->session()) s->close();
    });
    serverQueue->sync([&server] { server.reset(); });
    serverQueue->shutdown();
    // The stopped engine's last tasks (and a start still running) end with their queues.
    for (const auto& queue : {captureStartQueue, videoQueue, audioQueue}) {
        if (queue) queue->shutdown();
    }
    mainQueue->shutdown();
    return 0;
}
