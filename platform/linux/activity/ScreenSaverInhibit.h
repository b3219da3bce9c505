#pragma once
// Keeping the display awake through the desktop's screen-saver service on the session bus
// (org.freedesktop.ScreenSaver): Inhibit while a token lives, UnInhibit when it goes. Desktop
// environments whose own idle handling ignores the X screen saver honour this. One private
// bus connection for the service's life: the desktop also ends the inhibition when that
// connection goes.

#include "platform/DisplayActivity.h"

#include <memory>
#include <string>

namespace df {

/// Nothing when no bus answers at `busAddress` (the session bus's address, as
/// $DBUS_SESSION_BUS_ADDRESS gives it) or no service owns the screen-saver name there.
std::shared_ptr<DisplayActivity> createScreenSaverInhibit(const std::string& busAddress);

}  // namespace df
