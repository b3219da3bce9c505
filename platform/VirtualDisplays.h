#pragma once
// The host's display configuration: adding a software display of a given mode and taking
// it away again, and arranging the active displays (origins and the main display).
// Linux: XRandR on a display server that has a spare output (platform/linux/displays);
// tests: fake::FakeVirtualDisplays.
//
// Called on the main queue only; implementations keep their host connection to themselves.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace df {

/// What the agent asks for: one display with exactly one mode.
struct VirtualDisplaySpec {
    std::string name;            ///< shown by the host where it lets a display be named
    uint32_t width = 0;          ///< the mode, in pixels
    uint32_t height = 0;
    double refreshRate = 0;      ///< Hz
    uint32_t widthMillimetres = 0;
    uint32_t heightMillimetres = 0;
    uint32_t vendorID = 0;
    uint32_t productID = 0;
    uint32_t serialNumber = 0;
};

struct VirtualDisplayCreated {
    uint32_t displayID = 0;      ///< the ID the display service (Displays) lists it under
    uint64_t token = 0;          ///< hands it back to destroy()
    std::string hostName;        ///< the name the host shows for it: the name asked for, or the
                                 ///< output's own name where the host cannot name displays
};

struct VirtualDisplayFailure {
    enum class Kind {
        noOutput,      ///< nothing on this host can take a new mode (e.g. Xvfb)
        modeRejected,  ///< the mode could not be made or given to the output
        applyFailed,   ///< the display could not be switched on (screen too small, ...)
    };
    Kind kind = Kind::noOutput;
    std::string detail;          ///< for the diagnostic line
};

/// A display at an origin in global coordinates (points, y downwards). Coordinates may be
/// negative: the main display is at (0, 0) and the others lie around it, as on a host whose
/// main display defines the origin. Hosts without negative coordinates shift the whole
/// arrangement so that it starts at 0.
struct DisplayPlacement {
    uint32_t displayID = 0;
    int64_t x = 0;
    int64_t y = 0;
    bool operator==(const DisplayPlacement&) const = default;
};

class VirtualDisplays {
public:
    virtual ~VirtualDisplays() = default;
    /// Adds a display right of the existing ones, growing the desktop as needed. Nothing
    /// is left changed on failure.
    virtual std::variant<VirtualDisplayCreated, VirtualDisplayFailure> create(const VirtualDisplaySpec& spec) = 0;
    /// Takes the display away and gives back the room it took. The main display goes back
    /// to the one that was main before the display was added when the removed one was main.
    /// An unknown token is ignored.
    virtual void destroy(uint64_t token) = 0;
    /// Moves the listed displays to their origins and makes `mainID` the main display, as one
    /// change. Displays not listed keep their places. False (and nothing changed) when the
    /// host refuses.
    virtual bool configure(const std::vector<DisplayPlacement>& placements, uint32_t mainID) = 0;
};

}  // namespace df
