#pragma once
// The application delegate: the start-up sequence of the desktop agent, the persistent
// pairing code, the panel's state with every callback its controls call, the 2-second
// permission refresh, launch at login, lock on disconnect, the language choice, and the
// hooks through which the server and sessions reach the interface. Free of any toolkit:
// the status item, the panel window, dialogs and notifications are ShellViews, which the
// desktop build makes with Qt and tests fake.
//
// Main thread (the main queue) only, except onStatus(), which the server calls on its own
// queue and which hops to the main queue.

#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/shell/AgentSettings.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/PanelState.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/DispatchQueue.h"
#include "platform/HostPermissions.h"
#include "platform/LoginItem.h"
#include "platform/NetInfo.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

/// What the delegate asks of the desktop: the status item, the panel window, the file
/// chooser, notifications and quitting. Main thread.
class ShellViews {
public:
    virtual ~ShellViews() = default;
    /// Shows the status item (its click opens the panel); false when the desktop has no
    /// place for one (no system tray), so the panel has to be the way in.
    virtual bool installStatusItem() = 0;
    /// Creates the panel window over the delegate's PanelState on first use, then centres
    /// it on the screen and brings it to the front.
    virtual void showPanel() = 0;
    virtual bool panelVisible() const = 0;
    /// The text beside the status item's icon; empty for none.
    virtual void setStatusTitle(const std::string& title) = 0;
    /// A non-modal chooser of several files; `chosen` gets the paths (never called when the
    /// person cancels).
    virtual void chooseFiles(const std::string& title, std::function<void(std::vector<std::string>)> chosen) = 0;
    /// A desktop notification, where a notification server runs.
    virtual void notify(const std::string& title, const std::string& body) = 0;
    /// Ends the application's event loop.
    virtual void quit() = 0;
};

class AppDelegate : public std::enable_shared_from_this<AppDelegate> {
public:
    /// The server made at start-up with the pairing code and the status callback, already
    /// started; kept for the process lifetime. Opaque here so that the delegate can be
    /// tested without one.
    using ServerFactory =
        std::function<std::shared_ptr<void>(const std::string& code, std::function<void(const std::string&)> onStatus)>;

    struct Services {
        std::shared_ptr<DispatchQueue> mainQueue;
        AgentSettings* settings = nullptr;
        std::shared_ptr<L10n> l10n;
        std::shared_ptr<TrustStore> trust;
        const InterfaceAddressList* addresses = nullptr;
        LoginItem* loginItem = nullptr;
        const HostPermissions* permissions = nullptr;
        std::shared_ptr<ShellViews> views;
        ServerFactory makeServer;
        /// Warms the capture service's content list; started at launch, nobody waits.
        std::function<void()> prewarmCapture;
        /// The slots sessions call for the virtual display; the delegate fills all three and
        /// routes them to setVirtualDisplay and sessionActiveChanged below.
        std::shared_ptr<VirtualDisplayControl> virtualDisplay;
        /// Turns the virtual display on (true, asked for by the person) or off; set by
        /// whoever owns the virtual display. Absent: the switch does nothing.
        std::function<void(bool)> setVirtualDisplay;
        /// Turns the virtual display on because no usable display exists (removed again
        /// when the session ends). Absent: the request does nothing.
        std::function<void()> enableVirtualDisplayAuto;
        /// A session became current (true) or ended (false), on the main queue: the
        /// virtual display's main-display policy. Absent: nothing more happens.
        std::function<void(bool)> sessionActiveChanged;
        /// Sends files to the connected phone (the same path as `duskferry-agent send`).
        /// Absent: the send button does nothing.
        std::function<void(std::vector<std::string> paths)> sendFiles;
        /// This launch came from the login item (the autostart entry passes a flag).
        bool launchedAsLoginItem = false;
    };

    static std::shared_ptr<AppDelegate> create(Services services);
    /// The views, when they are made over this delegate's panelState() after it; before
    /// applicationDidFinishLaunching().
    void setViews(std::shared_ptr<ShellViews> views) { services_.views = std::move(views); }

    /// The start-up sequence; main queue.
    void applicationDidFinishLaunching();
    /// Refreshes what may have changed behind the panel's back, then shows it. Also the
    /// status item's action, and what a second launch of the running agent asks for.
    void openControlPanel();
    /// The status callback handed to the server; any queue.
    void onStatus(const std::string& text);
    /// Transfer progress beside the status item's icon: " " + text, or nothing. Main queue.
    void setProgressText(const std::optional<std::string>& text);
    /// The virtual display's state as its owner reports it. Main queue.
    void setVirtualDisplayOn(bool on);
    /// A permission check when the panel is visible; the repeating timer calls it.
    void refreshPermissionsIfVisible();

    const std::string& pairingCode() const { return pairingCode_; }
    PanelState& panelState() { return panelState_; }
    const L10n& l10n() const { return *services_.l10n; }
    bool statusItemInstalled() const { return statusItemInstalled_; }
    /// The local network address shown in the panel: the localised "Unknown" when none.
    std::string lanIP() const;

private:
    explicit AppDelegate(Services services);
    template <typename F>
    std::function<void()> weakly(F f);
    void refreshPermissions();
    void refreshFromHost();

    Services services_;
    std::shared_ptr<void> server_;
    PanelState panelState_;
    WorkItemRef permissionTimer_;
    bool sessionActive_ = false;
    bool statusItemInstalled_ = false;
    std::string pairingCode_;
};

}  // namespace df
