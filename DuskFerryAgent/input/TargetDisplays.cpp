#include "DuskFerryAgent/input/TargetDisplays.h"

#include "DuskFerryAgent/capture/DisplayTarget.h"

namespace df {

DisplayBounds targetRect(TargetDisplays& displays) {
    auto candidate = displays.virtualDisplayID();
    if (!candidate) candidate = displays.selectedDisplayID();
    if (candidate) {
        DisplayBounds b = displays.bounds(*candidate);
        if (b.width > 1) return b;
    }
    // A candidate that failed falls through to the main display, not to the selection.
    if (auto main = displays.systemMainID()) {
        DisplayBounds b = displays.bounds(*main);
        if (b.width > 1) return b;
    }
    return DisplayBounds{0, 0, 1920, 1080};
}

namespace {
class DisplayTargetDisplays final : public TargetDisplays {
public:
    std::optional<uint32_t> virtualDisplayID() override { return DisplayTarget::virtualDisplayID(); }
    std::optional<uint32_t> selectedDisplayID() override { return DisplayTarget::selectedDisplayID(); }
    std::optional<uint32_t> systemMainID() override { return DisplayTarget::systemMainID(); }
    DisplayBounds bounds(uint32_t id) override { return DisplayTarget::bounds(id); }
};
}  // namespace

std::shared_ptr<TargetDisplays> displayTargetDisplays() {
    return std::make_shared<DisplayTargetDisplays>();
}

}  // namespace df
