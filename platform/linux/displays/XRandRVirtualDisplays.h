#pragma once
// The virtual display and the display arrangement on an X11 server through XRandR.
//
// A virtual display is a disconnected output that accepts modes (the dummy video driver's
// DUMMY1 to DUMMY15, a GPU driver's virtual output) given a mode with CVT timings, switched
// on right of the other displays on a screen grown to hold it, and named by a RandR 1.5
// monitor over that output. Its display ID is the output's XID, as the display list
// (XRRandRDisplays) reports it. The arrangement moves CRTCs and sets the primary output;
// X has no negative coordinates, so an arrangement is shifted to start at (0, 0).
//
// Xvfb has no such output: create() then fails with `noOutput` and changes nothing.

#include "platform/VirtualDisplays.h"

#include <memory>
#include <string>

namespace df {

/// Keeps one connection to `displayName` (empty: $DISPLAY) for its life. Nothing when the
/// server cannot be reached or lacks RandR 1.5.
std::shared_ptr<VirtualDisplays> createXRandRVirtualDisplays(const std::string& displayName = {});

}  // namespace df
