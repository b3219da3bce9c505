#pragma once
// Reaching a desktop service on the user's session bus (the screen saver, the file manager,
// the notification server): a private connection of the caller's own, so that no other
// library's use of the shared connection can get in its way.

#include <dbus/dbus.h>

#include <string>

namespace df {

/// A private, registered connection to the bus at `busAddress` on which `service` has an
/// owner; nothing when the bus cannot be reached or nobody offers the service. A bus that
/// goes away later does not end the process. End it with closeSessionBus(). Any thread.
DBusConnection* connectToSessionService(const std::string& busAddress, const char* service);
void closeSessionBus(DBusConnection* connection);

}  // namespace df
