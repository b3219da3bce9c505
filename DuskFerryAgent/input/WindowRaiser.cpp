#include "DuskFerryAgent/input/WindowRaiser.h"

namespace df {

WindowRaiser::WindowRaiser(std::shared_ptr<WindowServices> windows,
                           std::shared_ptr<TargetDisplays> displays)
    : windows_(std::move(windows)), displays_(std::move(displays)) {}

bool WindowRaiser::isSystemUI(const std::optional<std::string>& bundleID) {
    if (!bundleID) return false;
    for (auto prefix : systemUIBundlePrefixes)
        if (std::string_view(*bundleID).starts_with(prefix)) return true;
    return false;
}

void WindowRaiser::raiseWindowIfNeeded(ScreenPoint point, const DisplayBounds& rect) {
    if (point.y < rect.y + topStripHeight) return;
    auto hit = frontmostWindow(point);
    if (!hit) return;
    if (hit->pid == windows_->ownPID()) return;
    if (windows_->frontmostApplicationPID() == hit->pid) return;  // already in front
    if (isSystemUI(hit->bundleID)) return;
    raiseWindow(point);
}

std::optional<WindowRaiser::WindowHit> WindowRaiser::frontmostWindow(ScreenPoint point) {
    for (const auto& window : windows_->onScreenWindows()) {
        if (window.layer != 0 || !window.ownerPID || !window.bounds) continue;
        if (!boundsContain(*window.bounds, point)) continue;
        return WindowHit{*window.ownerPID, windows_->bundleIdentifier(*window.ownerPID)};
    }
    return std::nullopt;
}

void WindowRaiser::raiseWindow(ScreenPoint point) {
    DisplayBounds rect = targetRect(*displays_);
    if (point.y < rect.y + topStripHeight) return;

    auto element = windows_->elementAtPosition(point);
    if (!element) return;
    if (element->pid) {
        if (*element->pid == windows_->ownPID()) return;
        if (isSystemUI(windows_->bundleIdentifier(*element->pid))) return;
    }

    std::optional<uint64_t> window = element->window;
    if (!window && element->role == "AXWindow") window = element->elementID;
    if (!window) return;

    if (auto subrole = windows_->windowSubrole(*window)) {
        if (*subrole != "AXStandardWindow" && *subrole != "AXDialog") return;
    }
    windows_->raiseWindow(*window);

    if (auto pid = windows_->windowPID(*window)) {
        if (windows_->frontmostApplicationPID() != pid) windows_->activateApplication(*pid);
    }
}

}  // namespace df
