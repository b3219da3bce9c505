#include "DuskFerryAgent/input/WindowRaiser.h"

namespace df {

WindowRaiser::WindowRaiser(std::shared_ptr<WindowServices> windows,
                           std::shared_ptr<TargetDisplays> displays)
    : windows_(std::move(windows)), displays_(std::move(displays)) {}

bool WindowRaiser::raises(WindowKind kind) { return kind == WindowKind::normal || kind == WindowKind::dialog; }

void WindowRaiser::raiseWindowIfNeeded(ScreenPoint point, const DisplayBounds& rect) {
    if (point.y < rect.y + topStripHeight) return;
    auto hit = frontmostWindow(point);
    if (!hit) return;
    if (hit->pid == windows_->ownPID()) return;
    if (windows_->frontmostApplicationPID() == hit->pid) return;  // already in front
    raiseWindow(point);
}

std::optional<WindowRaiser::WindowHit> WindowRaiser::frontmostWindow(ScreenPoint point) {
    for (const auto& window : windows_->onScreenWindows()) {
        if (!raises(window.kind) || !window.ownerPID || !window.bounds) continue;
        if (!boundsContain(*window.bounds, point)) continue;
        return WindowHit{*window.ownerPID, windows_->applicationClass(*window.ownerPID)};
    }
    return std::nullopt;
}

void WindowRaiser::raiseWindow(ScreenPoint point) {
    DisplayBounds rect = targetRect(*displays_);
    if (point.y < rect.y + topStripHeight) return;

    // What the click landed on may lie above the application window that was hit: a dock,
    // a menu, a notification. Those stay as they are, and so does the window below them.
    auto window = windows_->windowAt(point);
    if (!window) return;
    if (window->ownerPID && *window->ownerPID == windows_->ownPID()) return;
    if (isSystemSurface(window->kind) || !raises(window->kind)) return;
    windows_->raiseWindow(window->windowID);

    if (auto pid = window->ownerPID) {
        if (windows_->frontmostApplicationPID() != pid) windows_->activateApplication(*pid);
    }
}

}  // namespace df
