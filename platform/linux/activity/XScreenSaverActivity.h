#pragma once
// User activity on an X11 server: the screen saver is reset, which also turns a display
// that DPMS put to sleep back on. One connection for the service's life (XConnection).

#include "platform/UserActivity.h"

#include <memory>
#include <string>

namespace df {

/// Nothing when `displayName` (empty: $DISPLAY) cannot be opened.
std::shared_ptr<UserActivity> createXScreenSaverActivity(const std::string& displayName = {});

}  // namespace df
