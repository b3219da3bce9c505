#include "platform/linux/desktop/DBusNotifier.h"
#include "platform/linux/dbus/SessionBus.h"

#include <dbus/dbus.h>

#include <cstdint>

namespace df {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

class DBusNotifier final : public DesktopNotifier {
public:
    explicit DBusNotifier(DBusConnection* connection) : connection_(connection) {}
    ~DBusNotifier() override {
        closeSessionBus(connection_);
    }
    DBusNotifier(const DBusNotifier&) = delete;
    DBusNotifier& operator=(const DBusNotifier&) = delete;

    // Notify(app_name s, replaces_id u, app_icon s, summary s, body s, actions as,
    //        hints a{sv}, expire_timeout i)
    void notify(const std::string& title, const std::string& body) override {
        DBusMessage* call = dbus_message_new_method_call(kService, kPath, kService, "Notify");
        if (!call) return;
        const char* app = "Brevox";
        dbus_uint32_t replaces = 0;
        const char* icon = "duskferry-agent";
        const char* summary = title.c_str();
        const char* text = body.c_str();
        dbus_int32_t timeout = -1;
        DBusMessageIter args, array;
        dbus_message_iter_init_append(call, &args);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &app);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_UINT32, &replaces);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &icon);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &summary);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "s", &array);
        dbus_message_iter_close_container(&args, &array);
        dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &array);
        dbus_message_iter_close_container(&args, &array);
        dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &timeout);
        dbus_message_set_no_reply(call, TRUE);
        dbus_connection_send(connection_, call, nullptr);
        dbus_connection_flush(connection_);
        dbus_message_unref(call);
    }

private:
    DBusConnection* connection_;
};

}  // namespace

std::unique_ptr<DesktopNotifier> createDBusNotifier(const std::string& busAddress) {
    DBusConnection* connection = connectToSessionService(busAddress, kService);
    if (!connection) return nullptr;
    return std::make_unique<DBusNotifier>(connection);
}

}  // namespace df
