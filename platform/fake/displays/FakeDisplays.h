#pragma once
// In-memory display service for unit tests: the test sets the display list and reads
// back how often the host was asked.

#include "platform/Displays.h"

#include <mutex>

namespace df::fake {

class FakeDisplays final : public Displays {
public:
    void setDisplays(std::vector<DisplayDescription> displays);
    /// Changes one display's bounds (e.g. width 0 for a display that just went away).
    void setBounds(uint32_t id, DisplayBounds bounds);

    std::vector<DisplayDescription> activeDisplays(size_t maxCount) override;
    DisplayBounds bounds(uint32_t id) override;

    size_t listQueries() const;

private:
    mutable std::mutex mutex_;
    std::vector<DisplayDescription> displays_;
    size_t listQueries_ = 0;
};

}  // namespace df::fake
