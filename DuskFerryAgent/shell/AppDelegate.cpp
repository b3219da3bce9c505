#include "DuskFerryAgent/shell/AppDelegate.h"

#include <string_view>
#include <utility>

namespace df {

namespace {

// The permission refresh runs this often while the panel is visible.
constexpr double kPermissionInterval = 2.0;

// The fixed part of a format ahead of its first placeholder: "Received: " of
// "Received: %@ → Downloads".
std::string prefixOf(const std::string& format) {
    const size_t at = format.find('%');
    return format.substr(0, at);
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return !prefix.empty() && text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::shared_ptr<AppDelegate> AppDelegate::create(Services services) {
    return std::shared_ptr<AppDelegate>(new AppDelegate(std::move(services)));
}

AppDelegate::AppDelegate(Services services) : services_(std::move(services)) {
    // The code stays the same across launches until the stored value is removed or damaged.
    pairingCode_ = services_.settings->loadOrCreatePairingCode();
    panelState_.status = services_.l10n->t("等待连接…");
}

template <typename F>
std::function<void()> AppDelegate::weakly(F f) {
    return [weak = weak_from_this(), f = std::move(f)] {
        if (auto self = weak.lock()) f(*self);
    };
}

void AppDelegate::applicationDidFinishLaunching() {
    auto& s = panelState_;
    // 1. The way in first, so that a slow start still shows the agent.
    statusItemInstalled_ = services_.views->installStatusItem();
    // 2. Warm the capture service's content list; nobody waits for it.
    if (services_.prewarmCapture) services_.mainQueue->post(services_.prewarmCapture);
    // 3. The server, with the code and the status callback (which holds us weakly).
    server_ = services_.makeServer(pairingCode_, [weak = weak_from_this()](const std::string& text) {
        if (auto self = weak.lock()) self->onStatus(text);
    });
    // 4. What the panel shows of the host.
    s.pairingCode = pairingCode_;
    s.lanIP = lanIP();
    s.tailscaleIP = NetInfo::tailscaleIPv4(*services_.addresses);
    // 5. The controls' callbacks. Each holds the delegate weakly.
    s.onToggleVirtualDisplay = [weak = weak_from_this()](bool on) {
        auto self = weak.lock();
        if (self && self->services_.setVirtualDisplay) self->services_.setVirtualDisplay(on);
    };
    s.onSendFile = weakly([](AppDelegate& self) {
        if (!self.panelState_.connected) return;
        self.services_.views->chooseFiles(self.l10n().t("发送文件到 iPhone…"),
                                          [weak = self.weak_from_this()](std::vector<std::string> paths) {
                                              auto me = weak.lock();
                                              if (me && me->services_.sendFiles && !paths.empty())
                                                  me->services_.sendFiles(std::move(paths));
                                          });
    });
    s.onQuit = weakly([](AppDelegate& self) { self.services_.views->quit(); });
    // 6. The permissions, checked now and every 2 s while the panel is visible.
    refreshPermissions();
    permissionTimer_ = services_.mainQueue->repeating(kPermissionInterval,
                                                      weakly([](AppDelegate& self) { self.refreshPermissionsIfVisible(); }));
    // 7. Settings and trusted devices.
    s.launchAtLogin = services_.loginItem->enabled();
    s.lockOnDisconnect = services_.settings->lockOnDisconnect();
    s.commandKey = std::string(services_.settings->commandKey());
    s.trustedDevices = services_.trust->trustedDevices();
    s.onToggleLaunchAtLogin = [weak = weak_from_this()](bool on) {
        auto self = weak.lock();
        if (!self) return;
        // A failure is not reported: the switch shows what actually holds.
        self->services_.loginItem->setEnabled(on);
        self->panelState_.launchAtLogin = self->services_.loginItem->enabled();
        self->panelState_.publish();
    };
    s.onToggleLockOnDisconnect = [weak = weak_from_this()](bool on) {
        auto self = weak.lock();
        if (!self) return;
        self->services_.settings->setLockOnDisconnect(on);
        self->panelState_.lockOnDisconnect = on;
        self->panelState_.publish();
    };
    s.onRevokeDevice = [weak = weak_from_this()](const std::string& id) {
        auto self = weak.lock();
        if (!self) return;
        self->services_.trust->revoke(id);
        self->panelState_.trustedDevices = self->services_.trust->trustedDevices();
        self->panelState_.publish();
    };
    s.onSetCommandKey = [weak = weak_from_this()](const std::string& key) {
        auto self = weak.lock();
        if (!self) return;
        self->services_.settings->setCommandKey(key);
        self->panelState_.commandKey = std::string(self->services_.settings->commandKey());
        self->panelState_.publish();
    };
    // 8. A manual launch shows the panel; a login launch stays in the tray. Without a tray
    //    the panel is the only way in, so it opens either way.
    if (!services_.launchedAsLoginItem || !statusItemInstalled_)
        services_.mainQueue->post(weakly([](AppDelegate& self) { self.openControlPanel(); }));
    // 9. The language.
    s.languageOverride = services_.settings->languageOverride();
    s.onSetLanguage = [weak = weak_from_this()](const std::string& code) {
        auto self = weak.lock();
        if (!self) return;
        // The settings refresh the L10n's language before this returns.
        self->services_.settings->setLanguageOverride(code);
        auto& state = self->panelState_;
        state.languageOverride = self->services_.settings->languageOverride();
        if (!state.connected) state.status = self->l10n().t("等待连接…");
        state.lanIP = self->lanIP();
        state.publish();
    };
    // 10. The hooks from the sessions.
    if (services_.virtualDisplay) {
        services_.virtualDisplay->installSetEnabled([weak = weak_from_this(), queue = services_.mainQueue](bool on) {
            queue->post([weak, on] {
                auto self = weak.lock();
                if (self && self->services_.setVirtualDisplay) self->services_.setVirtualDisplay(on);
            });
        });
        services_.virtualDisplay->installEnableAuto([weak = weak_from_this(), queue = services_.mainQueue] {
            queue->post([weak] {
                auto self = weak.lock();
                if (self && self->services_.enableVirtualDisplayAuto) self->services_.enableVirtualDisplayAuto();
            });
        });
        // Called on the main queue by its callers.
        services_.virtualDisplay->installSetSessionActive([weak = weak_from_this()](bool active) {
            auto self = weak.lock();
            if (!self) return;
            self->sessionActive_ = active;
            if (self->services_.sessionActiveChanged) self->services_.sessionActiveChanged(active);
        });
    }
    s.publish();
}

void AppDelegate::openControlPanel() {
    refreshFromHost();
    panelState_.publish();
    services_.views->showPanel();
}

void AppDelegate::refreshFromHost() {
    auto& s = panelState_;
    s.tailscaleIP = NetInfo::tailscaleIPv4(*services_.addresses);
    refreshPermissions();
    s.trustedDevices = services_.trust->trustedDevices();
    s.launchAtLogin = services_.loginItem->enabled();
}

void AppDelegate::refreshPermissions() {
    for (auto& p : panelState_.permissions) p.granted = services_.permissions->check(p.kind);
}

void AppDelegate::refreshPermissionsIfVisible() {
    if (!services_.views->panelVisible()) return;
    auto before = panelState_.permissions;
    refreshPermissions();
    bool changed = false;
    for (size_t i = 0; i < before.size(); ++i) changed |= before[i].granted != panelState_.permissions[i].granted;
    if (changed) panelState_.publish();
}

void AppDelegate::onStatus(const std::string& text) {
    services_.mainQueue->post([weak = weak_from_this(), text] {
        auto self = weak.lock();
        if (!self) return;
        const L10n& l10n = self->l10n();
        auto& s = self->panelState_;
        s.status = text;
        // Every status that begins with the word for "connected" shows as connected.
        s.connected = startsWith(text, l10n.t("已连接"));
        s.publish();
        // What happens while the panel is closed also reaches the desktop's notifications.
        for (const char* key : {"已接收：%@ → 下载文件夹", "接收失败：%@ 数据不完整，请重发", "已发送：%@",
                                "发送中断：%@", "配对请求：%@"}) {
            if (startsWith(text, prefixOf(l10n.t(key)))) {
                self->services_.views->notify("Brevox", text);
                break;
            }
        }
    });
}

void AppDelegate::setProgressText(const std::optional<std::string>& text) {
    panelState_.progressText = text ? " " + *text : std::string();
    services_.views->setStatusTitle(panelState_.progressText);
}

void AppDelegate::setVirtualDisplayOn(bool on) {
    panelState_.virtualDisplayOn = on;
    panelState_.publish();
}

std::string AppDelegate::lanIP() const {
    return NetInfo::lanIPv4(*services_.addresses).value_or(l10n().t("未知"));
}

}  // namespace df
