#pragma once
// The shown cursor on X11: XFixes cursor notifications and the cursor's image and name
// (toolkits name their cursors through libXcursor), on a connection and thread of their
// own; the standard cursors' images come from the user's Xcursor theme at its size.

#include "platform/SystemCursor.h"

#include <memory>
#include <string>

namespace df {

/// Nothing when the display cannot be opened or lacks XFixes.
std::shared_ptr<SystemCursor> createXFixesSystemCursor(const std::string& displayName = {});

}  // namespace df
