#include "platform/fake/displays/FakeVirtualDisplays.h"

#include <algorithm>

namespace df::fake {

std::variant<VirtualDisplayCreated, VirtualDisplayFailure> FakeVirtualDisplays::create(const VirtualDisplaySpec& spec) {
    created_.push_back(spec);
    if (failure_) return *failure_;
    auto list = displays_->activeDisplays(64);
    double right = 0;
    for (const auto& d : list) right = std::max(right, d.bounds.x + d.bounds.width);
    DisplayDescription d;
    d.id = nextID_++;
    d.name = spec.name;
    d.bounds = {right, 0, static_cast<double>(spec.width), static_cast<double>(spec.height)};
    d.refreshRate = spec.refreshRate;
    list.push_back(d);
    displays_->setDisplays(list);
    return VirtualDisplayCreated{d.id, d.id, spec.name};
}

void FakeVirtualDisplays::destroy(uint64_t token) {
    destroyed_.push_back(token);
    auto list = displays_->activeDisplays(64);
    std::erase_if(list, [token](const DisplayDescription& d) { return d.id == token; });
    displays_->setDisplays(list);
}

bool FakeVirtualDisplays::configure(const std::vector<DisplayPlacement>& placements, uint32_t mainID) {
    configurations_.push_back({placements, mainID});
    auto list = displays_->activeDisplays(64);
    for (auto& d : list) {
        for (const auto& p : placements) {
            if (p.displayID == d.id) {
                d.bounds.x = static_cast<double>(p.x);
                d.bounds.y = static_cast<double>(p.y);
            }
        }
        d.isMain = d.id == mainID;
    }
    displays_->setDisplays(list);
    return true;
}

}  // namespace df::fake
