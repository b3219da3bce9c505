// duskferry-agent: the process. Loads or makes the pairing code, starts the agent server on
// the real transport with DNS-SD, and shows itself in one of two ways. On a desktop (an X
// display, without --headless) the desktop shell: a tray icon that opens the control panel,
// the approval dialog, launch at login. Otherwise a terminal face: the pairing code and
// addresses first, then every status text on its own line as it is reported (the desktop
// shell prints these too), and approval questions asked on the terminal. Ctrl-C (SIGINT),
// SIGTERM or the panel's quit button end it cleanly: the session is closed, the listeners
// and the advertisement withdrawn.
//
// Threads: "main" (the Qt GUI thread on a desktop, else a serial queue: the shell,
// approvals, virtual-display slots, the delayed lock),
// "duskferry.server" (server and sessions), "duskferry.capture" (screen samples, keyframe
// requests, encoder swaps), "duskferry.capture.start" (capture starts and content
// snapshots), "duskferry.capture.audio" (system audio's encoders), "duskferry.input.ax"
// (raising clicked windows, the desktop gestures), "duskferry.input.momentum" (scroll
// momentum), "duskferry.input.typing" (typed text), the capture streams' grab threads, the X
// threads of the clipboard, the active window, display changes and the cursor, the sound
// server's thread and the encoders' threads, the Avahi poll
// thread, and this thread, which only waits for the ending signal.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/capture/VirtualDisplayShim.h"
#include "DuskFerryAgent/input/InjectorSessionInput.h"
#include "DuskFerryAgent/input/InputInjector.h"
#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/session/PhoneFileSender.h"
#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/AppDelegate.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/VirtualDisplayManager.h"
#include "DuskFerryAgent/shell/views/QtShellViews.h"
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
#include "platform/linux/command/SendCommand.h"
#include "platform/linux/command/UnixCommandSocket.h"
#include "platform/linux/compression/X265Compression.h"
#include "platform/linux/cursor/XFixesSystemCursor.h"
#include "platform/linux/desktop/DBusNotifier.h"
#include "platform/linux/desktop/LinuxHostPermissions.h"
#include "platform/linux/desktop/XdgAutostartLoginItem.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/displays/XRandRVirtualDisplays.h"
#include "platform/linux/dnssd/AvahiAdvertiser.h"
#include "platform/linux/files/PosixFiles.h"
#include "platform/linux/input/SessionLocker.h"
#include "platform/linux/input/XTestInputEvents.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/netinfo/GetifaddrsList.h"
#include "platform/linux/qt/QtApplication.h"
#include "platform/linux/screens/RandrScreenParameters.h"
#include "platform/linux/settings/FileSettingsStore.h"
#include "platform/linux/sysinfo/LinuxSystemInfo.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "platform/linux/workspace/EwmhWorkspace.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <malloc.h>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
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
    bool loginItem = false;
    uint16_t port = static_cast<uint16_t>(DFConstants::port);
    uint16_t quicPort = 52526;
};

/// Where the running agent takes local commands: a folder of its own in the user's runtime
/// folder, else a private folder in /tmp.
std::filesystem::path commandSocketPath() {
    if (auto runtime = XdgDirs::runtimeDir()) return *runtime / "duskferry" / "agent.sock";
    return std::filesystem::temp_directory_path() / ("duskferry-" + std::to_string(::getuid())) / "agent.sock";
}

void usage(std::ostream& out) {
    out << "usage: duskferry-agent [--headless] [--port N] [--quic-port N] [--command-key control|super]\n"
           "                      [--mission-control-chord CHORD] [--app-expose-chord CHORD]\n"
           "       duskferry-agent send FILE...\n"
           "  send FILE...   hands the files to the running agent, which sends them to the connected\n"
           "                 phone; prints the progress and what became of each file\n"
           "  --headless     terminal shell, no desktop UI: the pairing code and status are printed\n"
           "                 on this terminal and approvals are asked there. Without an X display\n"
           "                 ($DISPLAY) it is the mode chosen anyway\n"
           "  --login-item   started by the login (the autostart entry): stay in the tray\n"
           "  --port N       TCP port of the listener (default 52525)\n"
           "  --quic-port N  UDP port tried first for QUIC media (default 52526)\n"
           "  --command-key control|super\n"
           "                 the key the phone's Command key acts as, kept for later launches\n"
           "                 (default control, so that Command+C copies)\n"
           "  --mission-control-chord CHORD, --app-expose-chord CHORD\n"
           "                 the keys the phone's Mission Control and App Expose gestures press,\n"
           "                 names joined by + (\"Super\", \"Control+Alt+Down\"), kept for later\n"
           "                 launches (default Super, the overview key of the common desktops)\n";
}

// The agent's own path for the autostart entry: /proc/self/exe, else what it was started as.
std::string programPath(const char* argv0) {
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(argv0) : self.string();
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
    if (argc >= 2 && std::string(argv[1]) == "send")
        return runSendCommand(commandSocketPath(), std::vector<std::string>(argv + 2, argv + argc));

    // Connections are read up to a megabyte at a time. By default glibc hands such a buffer
    // back to the kernel when it is freed and faults it in again for the next read, which
    // costs far more than parsing the bytes; keep up to 64 MiB of freed heap instead.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);

    // Every connection, unauthenticated ones included, costs a descriptor; the soft limit
    // of 1024 would let a crowd of idle strangers starve the phone (and the key store's
    // reads) with EMFILE. The hard limit is ours to take; nothing here uses select().
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &files) != 0) {
            std::cerr << "duskferry-agent: could not raise the open-file limit: " << std::strerror(errno) << "\n";
        }
    }

    // The host's stores, in the user's XDG base directories.
    FileSettingsStore settingsStore(XdgDirs::configHome() / "DuskFerry" / "settings.json");
    AgentSettings settings(settingsStore);

    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == XdgAutostartLoginItem::kFlag) {
            options.loginItem = true;
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
        } else if ((arg == "--mission-control-chord" || arg == "--app-expose-chord") && i + 1 < argc) {
            const char* chord = argv[++i];
            if (!(arg == "--mission-control-chord" ? settings.setMissionControlChord(chord)
                                                  : settings.setAppExposeChord(chord))) {
                std::cerr << "duskferry-agent: " << arg << " takes key names joined by +, such as Super or Control+Alt+Down\n";
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

    // The desktop shell when there is a display to show it on.
    const char* displayName = std::getenv("DISPLAY");
    // The desktop's session bus, for its screen saver, file manager and notifications.
    const char* sessionBusEnv = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const std::string sessionBus = sessionBusEnv ? sessionBusEnv : "";
    // A display that cannot be opened (gone, or not ours) leaves the terminal face: Qt
    // would end the process instead.
    const bool desktop = !options.headless && displayName && *displayName && xDisplayOpens(displayName);
    if (!options.headless && displayName && *displayName && !desktop)
        std::cerr << "duskferry-agent: cannot open the display " << displayName << "; running headless\n";
    std::unique_ptr<QtApplication> qt;
    if (desktop) qt = std::make_unique<QtApplication>(argc, argv);
    auto mainQueue = qt ? qt->mainQueue() : SerialQueue::create("main");
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
    printLine(l10n->t("配对码") + ": " + code);
    printLine(l10n->t("局域网") + ": " + NetInfo::lanIPv4(*addresses).value_or(l10n->t("未知")));
    printLine("Tailscale: " + NetInfo::tailscaleIPv4(*addresses).value_or(l10n->t("未安装")));

    std::shared_ptr<AlertPresenter> alerts =
        qt ? qt->alerts() : std::make_shared<TerminalAlertPresenter>(mainQueue);
    auto virtualDisplay = std::make_shared<VirtualDisplayControl>();

    SessionServices session;
    session.mainQueue = mainQueue;
    session.approval = Approval::create(mainQueue, alerts, l10n);
    session.trust = trust;
    session.l10n = l10n;
    session.displays = displayTarget;
    // The virtual-display management fills the slots below; the desktop shell's switch
    // drives the same management.
    session.virtualDisplay = virtualDisplay;
    auto virtualDisplayControl = virtualDisplay;
    // The desktop shell, once made: file progress and the virtual display reach its panel.
    auto shellDelegate = std::make_shared<std::weak_ptr<AppDelegate>>();
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
        std::shared_ptr<DispatchQueue> typingQueue = SerialQueue::create("duskferry.input.typing");
        // The gesture chords are read at each gesture, so a changed setting applies at once.
        auto gestureChord = [store = &settingsStore](SystemGesture gesture) {
            AgentSettings settings(*store);
            return gesture == SystemGesture::appExpose ? settings.appExposeChord() : settings.missionControlChord();
        };
        session.makeInput = [events, windows, displayTarget, axQueue, momentumQueue, typingQueue, gestureChord](
                                std::shared_ptr<DispatchQueue> queue) -> std::shared_ptr<SessionInput> {
            InputInjector::Services s;
            s.events = events;
            s.windows = windows;
            s.displays = cachedTargetDisplays(displayTargetDisplays(displayTarget), InputInjector::displayCacheAge);
            s.axQueue = axQueue;
            s.momentumQueue = momentumQueue;
            s.typingQueue = typingQueue;
            s.gestureChord = gestureChord;
            return std::make_shared<InjectorSessionInput>(InputInjector::create(std::move(queue), s));
        };
        session.postLockChord = [events] { postScreenLockChord(*events); };
        // Wakes the display for a new session, on the session queue.
        if (std::shared_ptr<UserActivity> activity = createXScreenSaverActivity())
            session.declareUserActivity = [activity](const std::string& name) { activity->declare(name); };
    } else {
        auto locker = std::make_shared<SessionLocker>();
        session.postLockChord = [locker] { locker->lock(); };
    }

    // Files from the phone go to the user's download folder; a received file is shown in the
    // desktop's file manager when there is a desktop.
    session.files.downloads = createPosixDownloadsFolder(XdgDirs::downloadDir());
    session.files.reader = createPosixFileReader();
    session.files.makeIOQueue = [] { return SerialQueue::create("duskferry.agent.fileio"); };
    if (displayName) {
        session.files.revealer = createDesktopFileRevealer(sessionBus, true);
    }
    // On the main queue: the desktop shell shows the transfer's progress in its tray tooltip.
    session.files.progressText = [shellDelegate](const std::optional<std::string>& text) {
        if (auto delegate = shellDelegate->lock()) delegate->setProgressText(text);
    };

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
        if (auto desktop = createScreenSaverInhibit(sessionBus)) awake.push_back(std::move(desktop));
        session.displayActivity = std::make_shared<AllDisplayActivities>(std::move(awake));
    }

    // The virtual display: a spare RandR output (the dummy driver's), given a mode on demand;
    // its diagnostic lines go to standard error.
    auto virtualDisplayShim = std::make_shared<VirtualDisplayShim>(
        displays ? createXRandRVirtualDisplays() : nullptr,
        [] {
            return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                .count();
        },
        [](const std::string& line) { std::cerr << line << '\n' << std::flush; });
    VirtualDisplayManager::Services vdServices;
    vdServices.mainQueue = mainQueue;
    vdServices.shim = virtualDisplayShim;
    vdServices.displays = displayTarget;
    vdServices.prewarmed = session.capture.prewarmed;
    vdServices.onStatus = [shellDelegate](const std::string& text) {
        printLine(text);
        if (auto delegate = shellDelegate->lock()) delegate->onStatus(text);
    };
    vdServices.onVirtualDisplayOn = [shellDelegate](bool on) {
        if (auto delegate = shellDelegate->lock()) delegate->setVirtualDisplayOn(on);
    };
    vdServices.l10n = l10n;
    auto virtualDisplays = VirtualDisplayManager::create(std::move(vdServices));
    virtualDisplays->install(*virtualDisplayControl);

    ServerServices services;
    services.transport = makeLinuxTransportFactory();
    services.advertiser = createAvahiAdvertiser();
    services.session = std::move(session);
    services.deviceKind = DeviceKind::detect(systemInfo);
    services.tcpPort = options.port;
    services.quicPort = options.quicPort;

    // `duskferry-agent send FILE...` reaches the connected phone through this socket.
    auto commandQueue = SerialQueue::create("duskferry.agent.command");
    auto sender = std::make_shared<PhoneFileSender>(
        [] {
            auto current = AgentSession::current();
            return current ? current->fileTransfer() : nullptr;
        },
        printLine, l10n);
    auto commands = startUnixCommandServer(commandQueue, commandSocketPath(),
                                           [sender](std::vector<std::string> request, std::shared_ptr<LocalCommandReply> reply) {
                                               sender->handleCommand(request, reply);
                                           });
    if (!commands) printLine("duskferry-agent send is unavailable: " + commands.error());


    std::shared_ptr<AgentServer> server;
    if (!qt) {
        server = AgentServer::create(code, printLine, std::move(services));
        server->start();
        int signal = 0;
        sigwait(&endSignals, &signal);
    } else {
        // The ending signals quit the event loop; quitting from the panel wakes this thread
        // with a signal of its own.
        std::thread signalWaiter([&endSignals, &qt] {
            int signal = 0;
            sigwait(&endSignals, &signal);
            qt->quitSoon();
        });
        XdgAutostartLoginItem loginItem(XdgDirs::configHome() / "autostart", programPath(argv[0]));
        const std::unique_ptr<HostPermissions> permissions = createLinuxHostPermissions(displayName);
        std::shared_ptr<DesktopNotifier> notifier;
        notifier = createDBusNotifier(sessionBus);

        AppDelegate::Services shell;
        shell.mainQueue = mainQueue;
        shell.settings = &settings;
        shell.l10n = l10n;
        shell.trust = trust;
        shell.addresses = addresses.get();
        shell.loginItem = &loginItem;
        shell.permissions = permissions.get();
        shell.launchedAsLoginItem = options.loginItem;
        shell.makeServer = [&server, &services](const std::string& pairingCode,
                                                 std::function<void(const std::string&)> onStatus) {
            server = AgentServer::create(pairingCode, [onStatus](const std::string& text) {
                printLine(text);
                onStatus(text);
            }, std::move(services));
            server->start();
            return std::shared_ptr<void>(server);
        };
        // The panel's switch and file picker take the same paths as the phone's request and
        // `duskferry-agent send`.
        shell.setVirtualDisplay = [virtualDisplays](bool on) {
            if (on) {
                virtualDisplays->enableVirtualDisplay(false);
            } else {
                virtualDisplays->disableVirtualDisplay();
            }
        };
        shell.sendFiles = [sender](std::vector<std::string> paths) {
            sender->send(std::vector<std::filesystem::path>(paths.begin(), paths.end()));
        };
        auto delegate = AppDelegate::create(std::move(shell));
        *shellDelegate = delegate;
        auto views = std::make_shared<QtShellViews>(delegate->panelState(), delegate->l10n());
        QtShellViews::Hooks hooks;
        hooks.activated = [weak = std::weak_ptr<AppDelegate>(delegate)] {
            if (auto d = weak.lock()) d->openControlPanel();
        };
        if (notifier) hooks.notify = [notifier](const std::string& title, const std::string& body) {
            notifier->notify(title, body);
        };
        views->setHooks(std::move(hooks));
        delegate->setViews(views);
        mainQueue->post([delegate] { delegate->applicationDidFinishLaunching(); });
        qt->exec();
        ::kill(::getpid(), SIGTERM);  // the signal thread, when the panel ended the loop
        signalWaiter.join();
        delegate.reset();
        views.reset();
    }

    // Orderly end: close the session (its teardown, posted by close(), runs on the server
    // queue before the next task there), then let the server go, which cancels the
    // listeners and withdraws the advertisement. Shutting the queues down then destroys
    // what the cancelled connections still had to report, and ends their threads here.
    if (commands) (*commands)->stop();
    commandQueue->shutdown();
    if (server) {
        auto serverQueue = server->queue();
        serverQueue->sync([&server] {
            if (auto s = server->session()) s->close();
        });
        serverQueue->sync([&server] { server.reset(); });
        serverQueue->shutdown();
    }
    // The display server is left as it was found: no virtual display, the old arrangement.
    // With the desktop shell this thread is the main queue's, and its event loop has ended.
    virtualDisplayControl->clear();
    if (qt) {
        virtualDisplays->shutdown();
    } else {
        mainQueue->sync([&virtualDisplays] { virtualDisplays->shutdown(); });
    }
    // The stopped engine's last tasks (and a start still running) end with their queues.
    for (const auto& queue : {captureStartQueue, videoQueue, audioQueue}) {
        if (queue) queue->shutdown();
    }
    mainQueue->shutdown();
    qt.reset();
    return 0;
}
