#include "DuskFerryAgent/capture/DisplayTarget.h"

#include "DuskFerryAgent/shell/L10n.h"

#include <algorithm>

namespace df {
namespace {

constexpr uint64_t kPresent = uint64_t{1} << 32;

uint64_t pack(std::optional<DisplayTarget::DisplayID> id) { return id ? (kPresent | *id) : 0; }
std::optional<DisplayTarget::DisplayID> unpack(uint64_t v) {
    if (!(v & kPresent)) return std::nullopt;
    return static_cast<DisplayTarget::DisplayID>(v & 0xffffffffu);
}

}  // namespace

DisplayTarget::DisplayTarget(std::shared_ptr<Displays> service) : service_(std::move(service)) {}

std::optional<DisplayTarget::DisplayID> DisplayTarget::virtualDisplayID() const { return unpack(virtual_.load()); }
void DisplayTarget::setVirtualDisplayID(std::optional<DisplayID> id) { virtual_.store(pack(id)); }
std::optional<DisplayTarget::DisplayID> DisplayTarget::selectedDisplayID() const { return unpack(selected_.load()); }
void DisplayTarget::setSelectedDisplayID(std::optional<DisplayID> id) { selected_.store(pack(id)); }

// Bounds are looked up among more displays than are listed, as the host's own lookup does.
constexpr size_t kLookedUp = 64;

DisplayTarget::Snapshot DisplayTarget::snapshot() const {
    Snapshot snap;
    if (service_) snap.displays_ = service_->activeDisplays(kLookedUp);
    snap.virtual_ = virtualDisplayID();
    snap.selected_ = selectedDisplayID();
    return snap;
}

std::optional<DisplayTarget::DisplayID> DisplayTarget::systemMainID() const { return snapshot().systemMainID(); }
std::optional<DisplayTarget::DisplayID> DisplayTarget::currentDisplayID() const {
    return snapshot().currentDisplayID();
}
DisplayBounds DisplayTarget::bounds(DisplayID id) const {
    return service_ ? service_->bounds(id) : DisplayBounds{};
}
DisplayBounds DisplayTarget::currentBounds() const { return snapshot().currentBounds(); }
std::vector<DisplayInfo> DisplayTarget::activeDisplays(const L10n& l10n) const {
    return snapshot().activeDisplays(l10n);
}

std::optional<DisplayTarget::DisplayID> DisplayTarget::Snapshot::systemMainID() const {
    const size_t listed = std::min(displays_.size(), maxDisplays);
    if (listed == 0) return std::nullopt;
    for (size_t i = 0; i < listed; ++i) {
        if (displays_[i].isMain) return displays_[i].id;
    }
    return displays_.front().id;
}

std::optional<DisplayTarget::DisplayID> DisplayTarget::Snapshot::currentDisplayID() const {
    auto preferred = virtual_;
    if (!preferred) preferred = selected_;
    if (preferred && bounds(*preferred).width > 1) return preferred;
    return systemMainID();
}

DisplayBounds DisplayTarget::Snapshot::bounds(DisplayID id) const {
    for (const auto& d : displays_) {
        if (d.id == id) return d.bounds;
    }
    return {};
}

DisplayBounds DisplayTarget::Snapshot::currentBounds() const {
    auto id = currentDisplayID();
    return id ? bounds(*id) : DisplayBounds{};
}

std::vector<DisplayInfo> DisplayTarget::Snapshot::activeDisplays(const L10n& l10n) const {
    std::vector<DisplayInfo> out;
    auto current = currentDisplayID();
    const size_t listed = std::min(displays_.size(), maxDisplays);
    for (size_t i = 0; i < listed; ++i) {
        const auto& d = displays_[i];
        std::string name = d.name.empty() ? l10n.tf("显示器 %d", static_cast<int>(i + 1)) : d.name;
        out.emplace_back(d.id, std::move(name), static_cast<int64_t>(d.bounds.width),
                         static_cast<int64_t>(d.bounds.height), current && *current == d.id);
    }
    return out;
}

}  // namespace df
