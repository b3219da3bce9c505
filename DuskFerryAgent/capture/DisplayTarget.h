#pragma once
// Which display of this computer is "the" display: the agent's choices (its virtual
// display, the display the phone selected), the rule that turns them into the current
// display, the system main display and the list of active displays, over the host's
// display service. One per agent, shared by the sessions and the input injector.
//
// The choices are written on the main thread (virtual display) and the server queue
// (selection) and read from the server, input and capture queues; each is one atomic
// word. The display service is fixed at construction.

#include "platform/Displays.h"
#include "protocol/ControlMessage.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace df {

class L10n;

class DisplayTarget {
public:
    using DisplayID = uint32_t;

    /// Largest number of active displays looked at.
    static constexpr size_t maxDisplays = 16;

    /// Over the host's display service; without one every display query answers "no
    /// displays".
    explicit DisplayTarget(std::shared_ptr<Displays> service);
    DisplayTarget(const DisplayTarget&) = delete;
    DisplayTarget& operator=(const DisplayTarget&) = delete;

    const std::shared_ptr<Displays>& service() const { return service_; }

    std::optional<DisplayID> virtualDisplayID() const;
    void setVirtualDisplayID(std::optional<DisplayID> id);
    std::optional<DisplayID> selectedDisplayID() const;
    void setSelectedDisplayID(std::optional<DisplayID> id);

    /// The first active display the host reports as main; else the first active display;
    /// nothing when there are none.
    std::optional<DisplayID> systemMainID() const;

    /// The virtual display if present, else the selected display, provided its bounds are
    /// wider than 1 point; otherwise the system main display.
    std::optional<DisplayID> currentDisplayID() const;

    /// Bounds of a display in points; all zero for one that is not active.
    DisplayBounds bounds(DisplayID id) const;

    /// Bounds of the current display; all zero when there is no display at all.
    DisplayBounds currentBounds() const;

    /// One DisplayInfo per active display (at most 16) in the host's order: the host's name
    /// or the localised "Display %d" with the 1-based position, bounds truncated to integers,
    /// `isCurrent` for the current display.
    std::vector<DisplayInfo> activeDisplays(const L10n& l10n) const;

    /// The displays as read once from the host, with the choices in effect at that moment.
    /// Each question above costs a query of the display server (a round trip on X11); work
    /// that asks several of them together (the hello acknowledgement) asks a snapshot, so
    /// the answers also agree with each other.
    class Snapshot {
    public:
        std::optional<DisplayID> virtualDisplayID() const { return virtual_; }
        std::optional<DisplayID> selectedDisplayID() const { return selected_; }
        std::optional<DisplayID> systemMainID() const;
        std::optional<DisplayID> currentDisplayID() const;
        DisplayBounds bounds(DisplayID id) const;
        DisplayBounds currentBounds() const;
        std::vector<DisplayInfo> activeDisplays(const L10n& l10n) const;

    private:
        friend class DisplayTarget;
        std::vector<DisplayDescription> displays_;  ///< every active display the host lists
        std::optional<DisplayID> virtual_;
        std::optional<DisplayID> selected_;
    };
    Snapshot snapshot() const;

private:
    const std::shared_ptr<Displays> service_;
    // An optional 32-bit ID packed into one atomic word: bit 32 marks "present".
    std::atomic<uint64_t> virtual_{0};
    std::atomic<uint64_t> selected_{0};
};

}  // namespace df
