#pragma once
// Which display of this computer is "the" display: the process-wide choices (the agent's
// virtual display, the display the phone selected), the rule that turns them into the
// current display, the system main display and the list of active displays.
//
// The values are written on the main thread (virtual display) and the server queue
// (selection) and read from the server and capture queues; each is one atomic word.

#include "platform/Displays.h"
#include "protocol/ControlMessage.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace df::DisplayTarget {

using DisplayID = uint32_t;

/// Largest number of active displays looked at.
inline constexpr size_t maxDisplays = 16;

/// Installs the host's display service; done once at start-up (tests install a fake).
/// Without one every display query answers "no displays".
void install(std::shared_ptr<Displays> service);
std::shared_ptr<Displays> service();

std::optional<DisplayID> virtualDisplayID();
void setVirtualDisplayID(std::optional<DisplayID> id);
std::optional<DisplayID> selectedDisplayID();
void setSelectedDisplayID(std::optional<DisplayID> id);

/// The first active display the host reports as main; else the first active display;
/// nothing when there are none.
std::optional<DisplayID> systemMainID();

/// The virtual display if present, else the selected display, provided its bounds are
/// wider than 1 point; otherwise the system main display.
std::optional<DisplayID> currentDisplayID();

/// Bounds of a display in points; all zero for one that is not active.
DisplayBounds bounds(DisplayID id);

/// Bounds of the current display; all zero when there is no display at all.
DisplayBounds currentBounds();

/// One DisplayInfo per active display (at most 16) in the host's order: the host's name
/// or the localised "Display %d" with the 1-based position, bounds truncated to integers,
/// `isCurrent` for the current display.
std::vector<DisplayInfo> activeDisplays();

}  // namespace df::DisplayTarget
