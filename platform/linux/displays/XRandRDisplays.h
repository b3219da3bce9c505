#pragma once
// Displays on an X11 server through XRandR 1.5 monitors.
//
// Each RandR monitor is one display. Its ID is the XID of its first output (a 32-bit value
// that stays the same while the output stays connected); a monitor without outputs (one
// added with XRRSetMonitor, as the virtual display is) is identified by its name atom.
// Bounds are the monitor geometry (one point is one pixel), the primary monitor is the main
// display, the refresh rate comes from the mode of the output's CRTC.

#include "platform/Displays.h"

#include <string>

namespace df {

/// Keeps one connection to `displayName` (empty: $DISPLAY) for its life, opened again only
/// after it broke (XConnection). Nothing when the server cannot be reached or lacks RandR 1.5.
std::shared_ptr<Displays> createXRandRDisplays(const std::string& displayName = {});

}  // namespace df
