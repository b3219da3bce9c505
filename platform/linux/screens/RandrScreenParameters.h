#pragma once
// Display-configuration news on X11: RandR screen-change, CRTC and output notifications on a
// connection and thread of their own.

#include "platform/ScreenParameters.h"

#include <memory>
#include <string>

namespace df {

/// Nothing when the display cannot be opened or lacks RandR.
std::shared_ptr<ScreenParameters> createRandrScreenParameters(const std::string& displayName = {});

}  // namespace df
