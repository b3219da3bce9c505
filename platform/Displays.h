#pragma once
// The host's display service: which displays are active, where they are, which one is the
// main display. Linux: XRandR monitors (platform/linux/displays); tests: fake::FakeDisplays.
//
// Implementations are called from several queues (the server queue, the capture queue) and
// serialise access to their host connection themselves.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace df {

/// A rectangle in global display coordinates, in points (on X11 one point is one pixel),
/// origin at the top left of the screen, y downwards.
struct DisplayBounds {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    bool operator==(const DisplayBounds&) const = default;
};

struct DisplayDescription {
    uint32_t id = 0;          ///< stable for as long as the display stays connected
    std::string name;         ///< the host's name for it; empty when it has none
    DisplayBounds bounds;
    bool isMain = false;      ///< the host's primary display
    double refreshRate = 0;   ///< Hz; 0 when unknown
};

class Displays {
public:
    virtual ~Displays() = default;
    /// Active displays in the host's order, at most `maxCount` of them. Empty when there is
    /// none or the display server cannot be reached.
    virtual std::vector<DisplayDescription> activeDisplays(size_t maxCount) = 0;
    /// Bounds of an active display; all zero for an ID that is not active.
    virtual DisplayBounds bounds(uint32_t id) = 0;
};

}  // namespace df
