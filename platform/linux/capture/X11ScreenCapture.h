#pragma once
// Screen capture on an X11 display: the displays are the RandR monitors (with the same IDs
// as the display service), each stream grabs its monitor through MIT-SHM on a thread of its
// own and learns what changed from XDamage.

#include "platform/ScreenCapture.h"

#include <memory>
#include <string>

namespace df {

/// `displayName` empty: the display the process was started on ($DISPLAY).
std::shared_ptr<ScreenCapture> createX11ScreenCapture(std::string displayName = "");

}  // namespace df
