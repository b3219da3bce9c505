#pragma once
// The display ID of a RandR monitor, shared by every X11 service that names displays (the
// display list, screen capture), so that an ID chosen from one is found by the other: the
// monitor's first output, else its name atom for a monitor without outputs.

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <cstdint>

namespace df {

inline uint32_t randrMonitorDisplayID(const XRRMonitorInfo& monitor) {
    return monitor.noutput > 0 ? static_cast<uint32_t>(monitor.outputs[0]) : static_cast<uint32_t>(monitor.name);
}

}  // namespace df
