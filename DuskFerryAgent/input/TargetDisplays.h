#pragma once
// What the injector needs to know about displays to place the pointer: the agent's display
// choices and the bounds of a display. The agent wires the real one
// (displayTargetDisplays(), over its DisplayTarget); unit tests give their own.
//
// Called on the session queue (pointer messages) and on "duskferry.input.ax" (raising);
// implementations must be safe to call from both.

#include "platform/DispatchQueue.h"
#include "platform/Displays.h"

#include <cstdint>
#include <memory>
#include <optional>

namespace df {

class TargetDisplays {
public:
    virtual ~TargetDisplays() = default;
    virtual std::optional<uint32_t> virtualDisplayID() = 0;
    virtual std::optional<uint32_t> selectedDisplayID() = 0;
    virtual std::optional<uint32_t> systemMainID() = 0;
    /// Bounds in global points; all zero for a display that is not active.
    virtual DisplayBounds bounds(uint32_t id) = 0;
};

/// The rectangle of the display the phone controls: the virtual display, else the selected
/// display, when its bounds are wider than 1 point; otherwise the main display when its
/// bounds are wider than 1 point; otherwise 1920 × 1080 at the origin, so that pointer
/// messages never fail.
DisplayBounds targetRect(TargetDisplays& displays);

class DisplayTarget;

/// The agent's display choices and its host display service.
std::shared_ptr<TargetDisplays> displayTargetDisplays(std::shared_ptr<const DisplayTarget> target);

/// Answers the main display and display bounds from what `inner` said less than `maxAge`
/// seconds ago, so that a stream of pointer messages does not ask the display server for
/// every one. The choices themselves (virtual, selected) are read live each time, so a
/// new selection applies at once; a display that goes away is noticed within `maxAge`.
std::shared_ptr<TargetDisplays> cachedTargetDisplays(std::shared_ptr<TargetDisplays> inner, double maxAge,
                                                     const Clock& clock = Clock::system());

}  // namespace df
