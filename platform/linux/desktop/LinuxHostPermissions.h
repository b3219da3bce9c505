#pragma once
// Checks what this host provides for the agent: the X display with XTest, the MIT-SHM and
// DAMAGE extensions screen capture uses, a sound server (libpulse, which PipeWire's pulse
// server answers too) and the Avahi daemon. Each check opens and closes its own short
// connection, so a service started or stopped later is seen at the next check. Main thread.

#include "platform/HostPermissions.h"

#include <memory>
#include <string>

namespace df {

/// `displayName` empty: the display of $DISPLAY.
std::unique_ptr<HostPermissions> createLinuxHostPermissions(std::string displayName = {});

/// Whether a connection to the X display `displayName` can be opened now.
bool xDisplayOpens(const std::string& displayName);

}  // namespace df
