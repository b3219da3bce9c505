#pragma once
// Brings the window under a click to the front, with its application, after the injector
// posted a left click: the click alone does not raise a background window under every
// window manager, and the phone's user expects the window they tapped to come forward.
//
// Runs on "duskferry.input.ax" only; it touches no injector state, just the host's window
// list through WindowServices.

#include "DuskFerryAgent/input/TargetDisplays.h"
#include "platform/InputEvents.h"

#include <memory>
#include <optional>
#include <string>

namespace df {

class WindowRaiser {
public:
    /// Clicks this close to the top of the target display (panels, title strips) raise nothing.
    static constexpr double topStripHeight = 30;

    /// The window hit by a point: its owner's process and application class.
    struct WindowHit {
        int32_t pid = 0;
        std::optional<std::string> applicationClass;
    };

    WindowRaiser(std::shared_ptr<WindowServices> windows, std::shared_ptr<TargetDisplays> displays);

    /// The whole decision after a click at `point` on the target display `rect`.
    void raiseWindowIfNeeded(ScreenPoint point, const DisplayBounds& rect);
    /// The frontmost application window (normal or dialog) containing the point.
    std::optional<WindowHit> frontmostWindow(ScreenPoint point);
    /// Raises the window at the point and activates its application, unless that window
    /// is a system surface, the agent's own, or not one a click brings forward.
    void raiseWindow(ScreenPoint point);

    /// The kinds a click brings forward: an application's normal windows and dialogs.
    static bool raises(WindowKind kind);

private:
    std::shared_ptr<WindowServices> windows_;
    std::shared_ptr<TargetDisplays> displays_;
};

}  // namespace df
