#pragma once
// Everything the control panel shows, and the callbacks its controls call. The application
// delegate fills it and writes every change back; the panel view redraws from it whenever
// it publishes. Main thread only (the delegate moves every update there before writing).

#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/HostPermissions.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace df {

/// One of what this host needs for the agent to work, as the panel lists it.
struct HostPermission {
    using Kind = HostPermissions::Kind;
    Kind kind = Kind::displayInput;
    bool granted = true;
};

class PanelState {
public:
    std::string pairingCode;
    std::string lanIP;
    std::optional<std::string> tailscaleIP;
    std::string status;  ///< the localised "Waiting for connection…" until the first report
    bool connected = false;
    bool virtualDisplayOn = false;
    /// The rows of the permission group, in the order shown; every one counts as granted
    /// until the first real check at start-up.
    std::vector<HostPermission> permissions = {{HostPermission::Kind::displayInput, true},
                                               {HostPermission::Kind::screenCapture, true},
                                               {HostPermission::Kind::soundServer, true},
                                               {HostPermission::Kind::dnsSd, true}};
    std::vector<TrustStore::TrustedDevice> trustedDevices;
    bool launchAtLogin = false;
    bool lockOnDisconnect = false;
    std::string languageOverride = "auto";
    std::string commandKey = "control";  ///< the host key the phone's Command key acts as
    /// Text on the status item beside the icon (file transfer progress); empty for none.
    std::string progressText;

    std::function<void(const std::string& code)> onSetLanguage;
    std::function<void(bool)> onToggleVirtualDisplay;
    std::function<void()> onSendFile;
    std::function<void()> onQuit;
    std::function<void(const std::string& deviceID)> onRevokeDevice;
    std::function<void(bool)> onToggleLaunchAtLogin;
    std::function<void(bool)> onToggleLockOnDisconnect;
    std::function<void(const std::string& key)> onSetCommandKey;

    /// Adds a view to tell after each change; returns nothing to remove: views live as
    /// long as the state.
    void observe(std::function<void()> observer) { observers_.push_back(std::move(observer)); }
    /// Tells every observer that fields changed (the writer calls it after a batch).
    void publish() const {
        for (const auto& observer : observers_) observer();
    }

private:
    std::vector<std::function<void()>> observers_;
};

}  // namespace df
