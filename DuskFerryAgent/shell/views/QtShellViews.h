#pragma once
// The desktop's side of the application delegate on Qt 6 Widgets: the status item as a
// QSystemTrayIcon (StatusNotifierItem where the desktop hosts it, an XEmbed tray icon
// elsewhere), the control panel window made on first open and kept, the non-modal file
// chooser, notifications and quitting. GUI thread.

#include "DuskFerryAgent/shell/AppDelegate.h"

#include <QIcon>
#include <QWidget>

#include <functional>
#include <memory>

namespace df {

class QtShellViews final : public ShellViews {
public:
    struct Hooks {
        /// The status item was clicked (the delegate's openControlPanel).
        std::function<void()> activated;
        /// A desktop notification; absent: the tray's own balloon, where there is a tray.
        std::function<void(const std::string& title, const std::string& body)> notify;
    };

    /// `state` and `l10n` must outlive the views (the delegate owns both).
    QtShellViews(PanelState& state, const L10n& l10n);
    ~QtShellViews() override;
    void setHooks(Hooks hooks) { hooks_ = std::move(hooks); }

    bool installStatusItem() override;
    void showPanel() override;
    bool panelVisible() const override;
    void setStatusTitle(const std::string& title) override;
    void chooseFiles(const std::string& title, std::function<void(std::vector<std::string>)> chosen) override;
    void notify(const std::string& title, const std::string& body) override;
    void quit() override;

    /// The panel window once it exists (tests look at it).
    QWidget* panelWindow() const;

private:
    struct Parts;
    std::unique_ptr<Parts> parts_;
    Hooks hooks_;
};

/// The status icon: the logo outline, upright and centred, at the tray sizes.
QIcon statusIcon();

}  // namespace df
