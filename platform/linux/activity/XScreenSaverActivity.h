#pragma once
// User activity on an X11 server: the screen saver is reset, which also turns a display
// that DPMS put to sleep back on. One connection for the service's life (XConnection).
// Keeping the display awake: the screen saver is reset and suspended (which also holds off
// DPMS) while a token lives, on a connection of its own; the server ends the suspension by
// itself if that connection goes.

#include "platform/DisplayActivity.h"
#include "platform/UserActivity.h"

#include <memory>
#include <string>

namespace df {

/// Nothing when `displayName` (empty: $DISPLAY) cannot be opened.
std::shared_ptr<UserActivity> createXScreenSaverActivity(const std::string& displayName = {});

/// Nothing when `displayName` (empty: $DISPLAY) cannot be opened or lacks the
/// MIT-SCREEN-SAVER extension.
std::shared_ptr<DisplayActivity> createXScreenSaverDisplayActivity(const std::string& displayName = {});

}  // namespace df
