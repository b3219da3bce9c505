#include "platform/linux/dbus/SessionBus.h"

namespace df {

DBusConnection* connectToSessionService(const std::string& busAddress, const char* service) {
    if (busAddress.empty()) return nullptr;
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* connection = dbus_connection_open_private(busAddress.c_str(), &error);
    if (!connection) {
        dbus_error_free(&error);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(connection, FALSE);
    const bool ready = dbus_bus_register(connection, &error) && dbus_bus_name_has_owner(connection, service, &error);
    dbus_error_free(&error);
    if (!ready) {
        closeSessionBus(connection);
        return nullptr;
    }
    return connection;
}

void closeSessionBus(DBusConnection* connection) {
    if (!connection) return;
    dbus_connection_close(connection);
    dbus_connection_unref(connection);
}

}  // namespace df
