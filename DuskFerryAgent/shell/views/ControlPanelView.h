#pragma once
// The control panel window over a PanelState: status, the pairing code (large and
// selectable), the addresses, what the host provides for the agent with what to do when
// something is missing, the settings, the trusted devices with revoke, send files and quit.
// Every text comes from L10n and is produced again on each publish of the state, so a
// language change re-renders every label at once. The panel has no logic of its own: each
// control calls one of the state's callbacks, and the field changes when the delegate
// writes it back. GUI thread.

#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/shell/PanelState.h"

#include <QPainterPath>
#include <QWidget>

#include <memory>

namespace df {

class ControlPanelView {
public:
    /// Makes the window (hidden) and subscribes it to `state`; both `state` and `l10n` must
    /// outlive the window, which is never deleted before the application ends.
    ControlPanelView(PanelState& state, const L10n& l10n);
    ~ControlPanelView();
    ControlPanelView(const ControlPanelView&) = delete;
    ControlPanelView& operator=(const ControlPanelView&) = delete;

    QWidget* window() const;
    /// Draws everything from the state again (what publish() triggers).
    void render();

private:
    struct Parts;
    std::shared_ptr<Parts> parts_;
};

/// The logo outline for a square of side `size`, as a closed path (shared with the tray).
QPainterPath brandPath(double size);

}  // namespace df
