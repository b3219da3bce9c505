#include "DuskFerryAgent/capture/DisplayTarget.h"

#include "DuskFerryAgent/shell/L10n.h"

#include <atomic>
#include <mutex>

namespace df::DisplayTarget {
namespace {

// An optional 32-bit ID packed into one atomic word: bit 32 marks "present".
constexpr uint64_t kPresent = uint64_t{1} << 32;

uint64_t pack(std::optional<DisplayID> id) { return id ? (kPresent | *id) : 0; }
std::optional<DisplayID> unpack(uint64_t v) {
    if (!(v & kPresent)) return std::nullopt;
    return static_cast<DisplayID>(v & 0xffffffffu);
}

std::atomic<uint64_t> gVirtual{0};
std::atomic<uint64_t> gSelected{0};

std::mutex gServiceMutex;
std::shared_ptr<Displays> gService;

}  // namespace

void install(std::shared_ptr<Displays> s) {
    std::lock_guard lock(gServiceMutex);
    gService = std::move(s);
}

std::shared_ptr<Displays> service() {
    std::lock_guard lock(gServiceMutex);
    return gService;
}

std::optional<DisplayID> virtualDisplayID() { return unpack(gVirtual.load()); }
void setVirtualDisplayID(std::optional<DisplayID> id) { gVirtual.store(pack(id)); }
std::optional<DisplayID> selectedDisplayID() { return unpack(gSelected.load()); }
void setSelectedDisplayID(std::optional<DisplayID> id) { gSelected.store(pack(id)); }

std::optional<DisplayID> systemMainID() {
    auto s = service();
    if (!s) return std::nullopt;
    auto list = s->activeDisplays(maxDisplays);
    if (list.empty()) return std::nullopt;
    for (const auto& d : list) {
        if (d.isMain) return d.id;
    }
    return list.front().id;
}

std::optional<DisplayID> currentDisplayID() {
    auto preferred = virtualDisplayID();
    if (!preferred) preferred = selectedDisplayID();
    if (preferred && bounds(*preferred).width > 1) return preferred;
    return systemMainID();
}

DisplayBounds bounds(DisplayID id) {
    auto s = service();
    return s ? s->bounds(id) : DisplayBounds{};
}

DisplayBounds currentBounds() {
    auto id = currentDisplayID();
    return id ? bounds(*id) : DisplayBounds{};
}

std::vector<DisplayInfo> activeDisplays() {
    std::vector<DisplayInfo> out;
    auto s = service();
    if (!s) return out;
    auto current = currentDisplayID();
    int position = 0;
    for (const auto& d : s->activeDisplays(maxDisplays)) {
        ++position;
        std::string name = d.name.empty() ? L10n::tf("显示器 %d", position) : d.name;
        out.emplace_back(d.id, std::move(name), static_cast<int64_t>(d.bounds.width),
                         static_cast<int64_t>(d.bounds.height), current && *current == d.id);
    }
    return out;
}

}  // namespace df::DisplayTarget
