#pragma once
// Brings the window under a click to the front, with its application, after the injector
// posted a left click: the click alone does not raise a background window on every host,
// and the phone's user expects the window they tapped to come forward.
//
// Runs on "duskferry.input.ax" only; it touches no injector state, just the host's window
// list and accessibility through WindowServices.

#include "DuskFerryAgent/input/TargetDisplays.h"
#include "platform/InputEvents.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace df {

class WindowRaiser {
public:
    /// Bundle-identifier prefixes of system surfaces that are never raised or activated.
    static constexpr std::array<std::string_view, 6> systemUIBundlePrefixes{
        "com.apple.dock",         "com.apple.WindowManager",       "com.apple.controlcenter",
        "com.apple.systemuiserver", "com.apple.notificationcenterui", "com.apple.finder.Desktop"};
    /// Clicks this close to the top of the target display (menu bar, title strips) raise nothing.
    static constexpr double topStripHeight = 30;

    /// The window hit by a point: its owner's process and bundle identifier.
    struct WindowHit {
        int32_t pid = 0;
        std::optional<std::string> bundleID;
    };

    WindowRaiser(std::shared_ptr<WindowServices> windows, std::shared_ptr<TargetDisplays> displays);

    /// The whole decision after a click at `point` on the target display `rect`.
    void raiseWindowIfNeeded(ScreenPoint point, const DisplayBounds& rect);
    /// The frontmost ordinary (layer 0) window containing the point.
    std::optional<WindowHit> frontmostWindow(ScreenPoint point);
    /// Raises the window under the point through accessibility and activates its application.
    void raiseWindow(ScreenPoint point);

    static bool isSystemUI(const std::optional<std::string>& bundleID);

private:
    std::shared_ptr<WindowServices> windows_;
    std::shared_ptr<TargetDisplays> displays_;
};

}  // namespace df
