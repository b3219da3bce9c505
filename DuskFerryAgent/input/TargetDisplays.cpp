#include "DuskFerryAgent/input/TargetDisplays.h"

#include "DuskFerryAgent/capture/DisplayTarget.h"

#include <map>
#include <mutex>

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
    explicit DisplayTargetDisplays(std::shared_ptr<const DisplayTarget> target) : target_(std::move(target)) {}
    std::optional<uint32_t> virtualDisplayID() override { return target_->virtualDisplayID(); }
    std::optional<uint32_t> selectedDisplayID() override { return target_->selectedDisplayID(); }
    std::optional<uint32_t> systemMainID() override { return target_->systemMainID(); }
    DisplayBounds bounds(uint32_t id) override { return target_->bounds(id); }

private:
    const std::shared_ptr<const DisplayTarget> target_;
};
}  // namespace

std::shared_ptr<TargetDisplays> displayTargetDisplays(std::shared_ptr<const DisplayTarget> target) {
    return std::make_shared<DisplayTargetDisplays>(std::move(target));
}

namespace {
class CachedTargetDisplays final : public TargetDisplays {
public:
    CachedTargetDisplays(std::shared_ptr<TargetDisplays> inner, double maxAge, const Clock& clock)
        : inner_(std::move(inner)), maxAge_(maxAge), clock_(clock) {}

    std::optional<uint32_t> virtualDisplayID() override { return inner_->virtualDisplayID(); }
    std::optional<uint32_t> selectedDisplayID() override { return inner_->selectedDisplayID(); }

    std::optional<uint32_t> systemMainID() override {
        std::lock_guard lock(mutex_);
        double now = clock_.uptime();
        if (!mainAt_ || now - *mainAt_ >= maxAge_) {
            main_ = inner_->systemMainID();
            mainAt_ = now;
        }
        return main_;
    }

    DisplayBounds bounds(uint32_t id) override {
        std::lock_guard lock(mutex_);
        double now = clock_.uptime();
        auto it = bounds_.find(id);
        if (it == bounds_.end() || now - it->second.at >= maxAge_) {
            it = bounds_.insert_or_assign(id, Entry{inner_->bounds(id), now}).first;
        }
        return it->second.bounds;
    }

private:
    struct Entry {
        DisplayBounds bounds;
        double at = 0;
    };
    std::shared_ptr<TargetDisplays> inner_;
    const double maxAge_;
    const Clock& clock_;
    std::mutex mutex_;  // the session queue and "duskferry.input.ax" both ask
    std::optional<uint32_t> main_;
    std::optional<double> mainAt_;
    std::map<uint32_t, Entry> bounds_;
};
}  // namespace

std::shared_ptr<TargetDisplays> cachedTargetDisplays(std::shared_ptr<TargetDisplays> inner, double maxAge,
                                                     const Clock& clock) {
    return std::make_shared<CachedTargetDisplays>(std::move(inner), maxAge, clock);
}

}  // namespace df
