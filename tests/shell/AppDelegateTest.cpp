// The application delegate on fakes: the start-up order, the persistent pairing code, the
// panel's state under status reports, language changes, revocation, launch at login (a real
// autostart entry in a temporary directory), the permission refresh and the hooks.

#include "DuskFerryAgent/shell/AppDelegate.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "protocol/DeviceAuth.h"
#include "platform/fake/netinfo/FakeInterfaceAddressList.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "platform/linux/desktop/XdgAutostartLoginItem.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <thread>

namespace df {
namespace {

using fake::FakeInterfaceAddressList;

struct FakeViews final : ShellViews {
    std::vector<std::string>* log = nullptr;
    bool hasTray = true;
    bool visible = false;
    std::string title;
    std::function<void(std::vector<std::string>)> pendingChooser;
    std::vector<std::pair<std::string, std::string>> notifications;
    int quits = 0;

    bool installStatusItem() override {
        log->push_back("statusItem");
        return hasTray;
    }
    void showPanel() override {
        log->push_back("showPanel");
        visible = true;
    }
    bool panelVisible() const override { return visible; }
    void setStatusTitle(const std::string& t) override { title = t; }
    void chooseFiles(const std::string&, std::function<void(std::vector<std::string>)> chosen) override {
        pendingChooser = std::move(chosen);
    }
    void notify(const std::string& t, const std::string& body) override { notifications.emplace_back(t, body); }
    void quit() override { ++quits; }
};

struct FakePermissions final : HostPermissions {
    std::map<Kind, bool> granted;
    mutable int checks = 0;
    bool check(Kind kind) const override {
        ++checks;
        auto it = granted.find(kind);
        return it == granted.end() || it->second;
    }
};

// A login-item service whose registration fails, as when the autostart folder is not writable.
struct RefusingLoginItem final : LoginItem {
    bool enabled() const override { return false; }
    bool setEnabled(bool) override { return false; }
};

Bytes phoneKey(uint8_t seed) {
    // A real P-256 point (the store refuses anything else): the public key of a small scalar.
    Bytes privateKey(32, 0);
    privateKey.back() = seed;
    return *DeviceAuth::publicKey(privateKey);
}

class AppDelegateTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = std::make_shared<fake::ManualQueue>("main");
        settings = std::make_unique<AgentSettings>(store);
        l10n = std::make_shared<L10n>(store, std::vector<std::string>{"en-US"});
        settings->setLanguageObserver([l = l10n] { l->refresh(); });
        trust = std::make_shared<TrustStore>(keychain);
        addresses.entries = std::vector<InterfaceAddress>{FakeInterfaceAddressList::ipv4("lo", 127, 0, 0, 1),
                                                          FakeInterfaceAddressList::ipv4("eth0", 192, 168, 1, 20)};
        loginItem = std::make_unique<XdgAutostartLoginItem>(home.path() / "autostart", "/usr/bin/duskferry-agent");
        views = std::make_shared<FakeViews>();
        views->log = &log;
    }

    AppDelegate::Services services() {
        AppDelegate::Services s;
        s.mainQueue = queue;
        s.settings = settings.get();
        s.l10n = l10n;
        s.trust = trust;
        s.addresses = &addresses;
        s.loginItem = loginItem.get();
        s.permissions = &permissions;
        s.views = views;
        s.makeServer = [this](const std::string& code, std::function<void(const std::string&)> onStatus) {
            log.push_back("server " + code);
            statusCallback = std::move(onStatus);
            return std::make_shared<int>(0);
        };
        s.prewarmCapture = [this] { log.push_back("prewarm"); };
        s.virtualDisplay = virtualDisplay;
        s.setVirtualDisplay = [this](bool on) { log.push_back(on ? "virtualDisplay on" : "virtualDisplay off"); };
        s.sendFiles = [this](std::vector<std::string> paths) { sent.push_back(std::move(paths)); };
        s.enableVirtualDisplayAuto = [this] { log.push_back("virtualDisplay auto"); };
        s.sessionActiveChanged = [this](bool active) { log.push_back(active ? "session active" : "session ended"); };
        return s;
    }

    std::shared_ptr<AppDelegate> launch(AppDelegate::Services s) {
        auto d = AppDelegate::create(std::move(s));
        d->applicationDidFinishLaunching();
        queue->runUntilIdle();
        return d;
    }
    std::shared_ptr<AppDelegate> launch() { return launch(services()); }

    // The status as the server reports it: from the server's own thread.
    void report(const std::string& text) {
        std::thread([this, text] { statusCallback(text); }).join();
        queue->runUntilIdle();
    }

    testsupport::TempDir home;
    std::shared_ptr<fake::ManualQueue> queue;
    fake::MemorySettingsStore store;
    std::unique_ptr<AgentSettings> settings;
    std::shared_ptr<L10n> l10n;
    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust;
    FakeInterfaceAddressList addresses;
    std::unique_ptr<LoginItem> loginItem;
    FakePermissions permissions;
    std::shared_ptr<FakeViews> views;
    std::shared_ptr<VirtualDisplayControl> virtualDisplay = std::make_shared<VirtualDisplayControl>();
    std::vector<std::string> log;
    std::function<void(const std::string&)> statusCallback;
    std::vector<std::vector<std::string>> sent;
};

TEST_F(AppDelegateTest, StartUpOrderAndWhatThePanelShowsFirst) {
    auto d = launch();
    const std::string code = d->pairingCode();
    ASSERT_EQ(code.size(), 6u);
    // The status item first, the server with the stored code, then the posted work: the
    // capture warm-up, then the panel of a manual launch.
    EXPECT_EQ(log, (std::vector<std::string>{"statusItem", "server " + code, "prewarm", "showPanel"}));
    const PanelState& s = d->panelState();
    EXPECT_EQ(s.pairingCode, code);
    EXPECT_EQ(s.lanIP, "192.168.1.20");
    EXPECT_EQ(s.tailscaleIP, std::nullopt);
    EXPECT_EQ(s.status, "Waiting for connection…");
    EXPECT_FALSE(s.connected);
    EXPECT_EQ(s.languageOverride, "auto");
    EXPECT_EQ(s.commandKey, "control");
    EXPECT_EQ(store.string(AgentSettings::kPairingCodeKey), code);
}

TEST_F(AppDelegateTest, PairingCodeSurvivesRelaunchAndABadOneIsReplaced) {
    const std::string first = launch()->pairingCode();
    EXPECT_EQ(AppDelegate::create(services())->pairingCode(), first);
    for (const char* damaged : {"12345", "1234567"}) {
        store.setString(AgentSettings::kPairingCodeKey, damaged);
        const std::string code = AppDelegate::create(services())->pairingCode();
        EXPECT_EQ(code.size(), 6u) << damaged;
        EXPECT_EQ(store.string(AgentSettings::kPairingCodeKey), code) << damaged;
    }
}

TEST_F(AppDelegateTest, WhetherThePanelOpensAtLaunch) {
    struct Case {
        bool loginLaunch;
        bool tray;
        bool opens;
    } cases[] = {
        {false, true, true},   // a manual launch shows the panel
        {true, true, false},   // a login launch stays in the tray
        {true, false, true},   // without a tray the panel is the only way in
        {false, false, true},
    };
    for (const auto& c : cases) {
        log.clear();
        views->hasTray = c.tray;
        views->visible = false;
        auto s = services();
        s.launchedAsLoginItem = c.loginLaunch;
        auto d = launch(std::move(s));
        EXPECT_EQ(views->visible, c.opens) << c.loginLaunch << c.tray;
        EXPECT_EQ(d->statusItemInstalled(), c.tray);
    }
}

TEST_F(AppDelegateTest, StatusTextsDecideConnectedInEveryLanguage) {
    auto d = launch();
    struct Case {
        const char* language;
        std::string text;
        bool connected;
    } cases[] = {
        {"en", "Connected: Ada’s iPhone", true},
        {"en", "Connected, waiting for handshake…", true},
        {"en", "Connected", true},
        {"en", "Waiting for connection…", false},
        {"en", "Pairing declined", false},
        {"de", "Verbunden: Adas iPhone", true},
        {"de", "Warte auf Verbindung…", false},
        {"ja", "接続済み、ハンドシェイク待機中…", true},
        {"zh-Hans", "已连接：iPhone", true},
        {"zh-Hans", "等待连接…", false},
    };
    int published = 0;
    d->panelState().observe([&published] { ++published; });
    for (const auto& c : cases) {
        d->panelState().onSetLanguage(c.language);
        const int before = published;
        std::thread([this, text = c.text] { statusCallback(text); }).join();
        EXPECT_EQ(published, before) << "applied on the main queue, not the server's";
        queue->runUntilIdle();
        EXPECT_EQ(d->panelState().status, c.text);
        EXPECT_EQ(d->panelState().connected, c.connected) << c.language << ": " << c.text;
        EXPECT_GT(published, before);
    }
}

TEST_F(AppDelegateTest, LanguageChangeRewritesTheStatusOnlyWhileNobodyIsConnected) {
    addresses.entries = std::vector<InterfaceAddress>{FakeInterfaceAddressList::ipv4("lo", 127, 0, 0, 1)};
    auto d = launch();
    auto& s = d->panelState();
    EXPECT_EQ(s.lanIP, "Unknown");
    s.onSetLanguage("de");
    EXPECT_EQ(store.string(L10n::kOverrideKey), "de");
    EXPECT_EQ(s.languageOverride, "de");
    EXPECT_EQ(l10n->language(), "de");
    EXPECT_EQ(s.status, "Warte auf Verbindung…");
    EXPECT_EQ(s.lanIP, l10n->t("未知"));
    EXPECT_NE(s.lanIP, "Unknown");

    report("Verbunden: iPhone");
    s.onSetLanguage("ja");
    EXPECT_EQ(s.status, "Verbunden: iPhone");
    s.onSetLanguage("auto");
    EXPECT_EQ(s.languageOverride, "auto");
    EXPECT_EQ(l10n->language(), "en");
}

TEST_F(AppDelegateTest, RevokeRefreshesTheList) {
    ASSERT_TRUE(trust->trust("AAAA-1", "Ada’s iPhone", phoneKey(1)));
    ASSERT_TRUE(trust->trust("BBBB-2", "Ben’s iPhone", phoneKey(2)));
    auto d = launch();
    auto& s = d->panelState();
    ASSERT_EQ(s.trustedDevices.size(), 2u);
    s.onRevokeDevice("AAAA-1");
    ASSERT_EQ(s.trustedDevices.size(), 1u);
    EXPECT_EQ(s.trustedDevices[0].name, "Ben’s iPhone");
    EXPECT_FALSE(trust->isTrusted("AAAA-1"));
    s.onRevokeDevice("BBBB-2");
    EXPECT_TRUE(s.trustedDevices.empty());
    // A device trusted while the panel was closed shows when it opens again.
    ASSERT_TRUE(trust->trust("CCCC-3", "Cy’s iPhone", phoneKey(3)));
    d->openControlPanel();
    ASSERT_EQ(s.trustedDevices.size(), 1u);
}

TEST_F(AppDelegateTest, LaunchAtLoginWritesAndRemovesTheAutostartEntry) {
    auto d = launch();
    auto& s = d->panelState();
    const auto entry = home.path() / "autostart" / "duskferry-agent.desktop";
    EXPECT_FALSE(s.launchAtLogin);
    s.onToggleLaunchAtLogin(true);
    EXPECT_TRUE(s.launchAtLogin);
    std::ifstream in(entry);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(text.find("\nExec=/usr/bin/duskferry-agent --login-item\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos);
    s.onToggleLaunchAtLogin(false);
    EXPECT_FALSE(s.launchAtLogin);
    EXPECT_FALSE(std::filesystem::exists(entry));

    // An entry hidden by the desktop's session settings counts as off.
    std::filesystem::create_directories(entry.parent_path());
    std::ofstream(entry) << "[Desktop Entry]\nType=Application\nExec=duskferry-agent\nHidden=true\n";
    d->openControlPanel();
    EXPECT_FALSE(s.launchAtLogin);
}

TEST_F(AppDelegateTest, AFailedRegistrationLeavesTheSwitchOff) {
    loginItem = std::make_unique<RefusingLoginItem>();
    auto d = launch();
    d->panelState().onToggleLaunchAtLogin(true);
    EXPECT_FALSE(d->panelState().launchAtLogin);
}

TEST_F(AppDelegateTest, LockOnDisconnectAndCommandKeyAreStored) {
    auto d = launch();
    auto& s = d->panelState();
    s.onToggleLockOnDisconnect(true);
    EXPECT_TRUE(s.lockOnDisconnect);
    EXPECT_EQ(store.boolean(AgentSettings::kLockOnDisconnectKey), true);
    s.onSetCommandKey("super");
    EXPECT_EQ(s.commandKey, "super");
    s.onSetCommandKey("hyper");  // not a choice: what is stored stays
    EXPECT_EQ(s.commandKey, "super");
    EXPECT_TRUE(AppDelegate::create(services()) != nullptr);
    EXPECT_TRUE(launch()->panelState().lockOnDisconnect);
}

TEST_F(AppDelegateTest, PermissionsRefreshEveryTwoSecondsOnlyWhileThePanelIsVisible) {
    auto s = services();
    s.launchedAsLoginItem = true;  // the panel stays closed
    auto d = launch(std::move(s));
    const int atStart = permissions.checks;
    EXPECT_EQ(atStart, 4);  // each row once at start-up
    permissions.granted[HostPermissions::Kind::soundServer] = false;
    queue->advance(10.0);
    EXPECT_EQ(permissions.checks, atStart);
    EXPECT_TRUE(d->panelState().permissions[2].granted);

    // Opening refreshes at once; then every 2 s while it stays visible.
    d->openControlPanel();
    EXPECT_FALSE(d->panelState().permissions[2].granted);
    const int afterOpen = permissions.checks;
    permissions.granted[HostPermissions::Kind::soundServer] = true;
    queue->advance(2.0);
    EXPECT_EQ(permissions.checks, afterOpen + 4);
    EXPECT_TRUE(d->panelState().permissions[2].granted);
    views->visible = false;
    queue->advance(6.0);
    EXPECT_EQ(permissions.checks, afterOpen + 4);
}

TEST_F(AppDelegateTest, SendFilesGoesThroughTheSeamOnlyWhileConnected) {
    auto d = launch();
    auto& s = d->panelState();
    s.onSendFile();
    EXPECT_FALSE(views->pendingChooser) << "no chooser while no phone is connected";
    report("Connected: iPhone");
    s.onSendFile();
    ASSERT_TRUE(views->pendingChooser);
    views->pendingChooser({"/tmp/a.txt", "/tmp/b.png"});
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], (std::vector<std::string>{"/tmp/a.txt", "/tmp/b.png"}));
}

TEST_F(AppDelegateTest, HooksFromSessionsReachTheShell) {
    auto d = launch();
    log.clear();
    // The phone asks for the virtual display from the server's queue: done on the main queue.
    std::thread([this] { virtualDisplay->setEnabled(true); }).join();
    EXPECT_TRUE(log.empty());
    queue->runUntilIdle();
    EXPECT_EQ(log, (std::vector<std::string>{"virtualDisplay on"}));
    d->panelState().onToggleVirtualDisplay(false);
    EXPECT_EQ(log.back(), "virtualDisplay off");
    std::thread([this] { virtualDisplay->enableAuto(); }).join();
    queue->runUntilIdle();
    EXPECT_EQ(log.back(), "virtualDisplay auto");
    virtualDisplay->setSessionActive(true);
    EXPECT_EQ(log.back(), "session active");
    virtualDisplay->setSessionActive(false);
    EXPECT_EQ(log.back(), "session ended");

    d->setProgressText("Sending file: a.txt…");
    EXPECT_EQ(views->title, " Sending file: a.txt…");
    d->setProgressText(std::nullopt);
    EXPECT_EQ(views->title, "");

    report("Received: photo.jpg → Downloads");
    report("Connected: iPhone");
    ASSERT_EQ(views->notifications.size(), 1u);
    EXPECT_EQ(views->notifications[0].second, "Received: photo.jpg → Downloads");

    d->panelState().onQuit();
    EXPECT_EQ(views->quits, 1);
}

TEST_F(AppDelegateTest, CallbacksDoNothingOnceTheDelegateIsGone) {
    auto d = launch();
    PanelState copy = d->panelState();
    auto onStatus = statusCallback;
    d.reset();
    copy.onRevokeDevice("x");
    copy.onToggleLockOnDisconnect(true);
    onStatus("Connected");
    queue->runUntilIdle();
    virtualDisplay->setEnabled(true);
    queue->runUntilIdle();
    EXPECT_FALSE(store.boolean(AgentSettings::kLockOnDisconnectKey).has_value());
}

}  // namespace
}  // namespace df
