#pragma once
// Recording display configuration for unit tests, over a FakeDisplays list: a created
// display joins the list right of the others (ID 1000, 1001, ...), a destroyed one leaves
// it, an arrangement moves the listed displays and sets the main flag. The test can make
// creation fail and reads back every request.

#include "platform/VirtualDisplays.h"
#include "platform/fake/displays/FakeDisplays.h"

#include <memory>
#include <optional>

namespace df::fake {

class FakeVirtualDisplays final : public VirtualDisplays {
public:
    explicit FakeVirtualDisplays(std::shared_ptr<FakeDisplays> displays) : displays_(std::move(displays)) {}

    /// Every later create() fails with this.
    void failWith(std::optional<VirtualDisplayFailure> failure) { failure_ = std::move(failure); }

    std::variant<VirtualDisplayCreated, VirtualDisplayFailure> create(const VirtualDisplaySpec& spec) override;
    void destroy(uint64_t token) override;
    bool configure(const std::vector<DisplayPlacement>& placements, uint32_t mainID) override;

    struct Configuration {
        std::vector<DisplayPlacement> placements;
        uint32_t mainID = 0;
    };
    const std::vector<VirtualDisplaySpec>& created() const { return created_; }
    const std::vector<uint64_t>& destroyed() const { return destroyed_; }
    const std::vector<Configuration>& configurations() const { return configurations_; }

private:
    std::shared_ptr<FakeDisplays> displays_;
    std::optional<VirtualDisplayFailure> failure_;
    std::vector<VirtualDisplaySpec> created_;
    std::vector<uint64_t> destroyed_;
    std::vector<Configuration> configurations_;
    uint32_t nextID_ = 1000;
};

}  // namespace df::fake
