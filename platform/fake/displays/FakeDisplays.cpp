#include "platform/fake/displays/FakeDisplays.h"

#include <algorithm>

namespace df::fake {

void FakeDisplays::setDisplays(std::vector<DisplayDescription> displays) {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
}

void FakeDisplays::setBounds(uint32_t id, DisplayBounds bounds) {
    std::lock_guard lock(mutex_);
    for (auto& d : displays_) {
        if (d.id == id) d.bounds = bounds;
    }
}

std::vector<DisplayDescription> FakeDisplays::activeDisplays(size_t maxCount) {
    std::lock_guard lock(mutex_);
    ++listQueries_;
    std::vector<DisplayDescription> out(displays_.begin(),
                                        displays_.begin() + static_cast<std::ptrdiff_t>(std::min(maxCount, displays_.size())));
    return out;
}

DisplayBounds FakeDisplays::bounds(uint32_t id) {
    std::lock_guard lock(mutex_);
    for (const auto& d : displays_) {
        if (d.id == id) return d.bounds;
    }
    return {};
}

size_t FakeDisplays::listQueries() const {
    std::lock_guard lock(mutex_);
    return listQueries_;
}

}  // namespace df::fake
