#include "DuskFerryAgent/capture/DisplayTarget.h"

#include "DuskFerryAgent/shell/L10n.h"

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

std::optional<DisplayTarget::DisplayID> DisplayTarget::systemMainID() const {
    if (!service_) return std::nullopt;
    auto list = service_->activeDisplays(maxDisplays);
    if (list.empty()) return std::nullopt;
    for (const auto& d : list) {
        if (d.isMain) return d.id;
    }
    return list.front().id;
}

std::optional<DisplayTarget::DisplayID> DisplayTarget::currentDisplayID() const {
    auto preferred = virtualDisplayID();
    if (!preferred) preferred = selectedDisplayID();
    if (preferred && bounds(*preferred).width > 1) return preferred;
    return systemMainID();
}

DisplayBounds DisplayTarget::bounds(DisplayID id) const {
    return service_ ? service_->bounds(id) : DisplayBounds{};
}

DisplayBounds DisplayTarget::currentBounds() const {
    auto id = currentDisplayID();
    return id ? bounds(*id) : DisplayBounds{};
}

std::vector<DisplayInfo> DisplayTarget::activeDisplays(const L10n& l10n) const {
    std::vector<DisplayInfo> out;
    if (!service_) return out;
    auto current = currentDisplayID();
    int position = 0;
    for (const auto& d : service_->activeDisplays(maxDisplays)) {
        ++position;
        std::string name = d.name.empty() ? l10n.tf("显示器 %d", position) : d.name;
        out.emplace_back(d.id, std::move(name), static_cast<int64_t>(d.bounds.width),
                         static_cast<int64_t>(d.bounds.height), current && *current == d.id);
    }
    return out;
}

}  // namespace df
