// Desktop notifications on a private session bus: with no notification server the notifier
// is not made; with one (played by the test, owning org.freedesktop.Notifications) each
// notification arrives as a Notify call with the agent's name, the title and the text.

#include "platform/linux/desktop/DBusNotifier.h"
#include "tests/support/RequireService.h"
#include "tests/support/PrivateSessionBus.h"

#include <dbus/dbus.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

namespace df {
namespace {

using PrivateBus = testsupport::PrivateSessionBus;

DBusConnection* connect(const std::string& address) {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* c = dbus_connection_open_private(address.c_str(), &error);
    if (c && !dbus_bus_register(c, &error)) {
        dbus_connection_close(c);
        dbus_connection_unref(c);
        c = nullptr;
    }
    dbus_error_free(&error);
    return c;
}

TEST(DBusNotifierTest, NotificationsReachTheServerThatOwnsTheName) {
    PrivateBus bus;
    DF_REQUIRE_SERVICE(!bus.address().empty(), "dbus-daemon");
    EXPECT_EQ(createDBusNotifier(bus.address()), nullptr) << "no notification server yet";
    EXPECT_EQ(createDBusNotifier(""), nullptr);

    DBusConnection* server = connect(bus.address());
    ASSERT_NE(server, nullptr);
    DBusError error;
    dbus_error_init(&error);
    ASSERT_EQ(dbus_bus_request_name(server, "org.freedesktop.Notifications", DBUS_NAME_FLAG_DO_NOT_QUEUE, &error),
              DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER);
    auto notifier = createDBusNotifier(bus.address());
    ASSERT_NE(notifier, nullptr);
    notifier->notify("Brevox", "Received: photo.jpg → Downloads");

    DBusMessage* call = nullptr;
    for (int i = 0; i < 100 && !call; ++i) {
        dbus_connection_read_write(server, 50);
        while (DBusMessage* m = dbus_connection_pop_message(server)) {
            if (dbus_message_is_method_call(m, "org.freedesktop.Notifications", "Notify")) {
                call = m;
                break;
            }
            dbus_message_unref(m);
        }
    }
    ASSERT_NE(call, nullptr) << "no Notify call arrived";
    const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
    dbus_uint32_t replaces = 1;
    ASSERT_TRUE(dbus_message_get_args(call, &error, DBUS_TYPE_STRING, &app, DBUS_TYPE_UINT32, &replaces,
                                      DBUS_TYPE_STRING, &icon, DBUS_TYPE_STRING, &summary, DBUS_TYPE_STRING, &body,
                                      DBUS_TYPE_INVALID))
        << error.message;
    EXPECT_STREQ(app, "Brevox");
    EXPECT_EQ(replaces, 0u);
    EXPECT_STREQ(icon, "duskferry-agent");
    EXPECT_STREQ(summary, "Brevox");
    EXPECT_STREQ(body, "Received: photo.jpg → Downloads");
    EXPECT_STREQ(dbus_message_get_signature(call), "susssasa{sv}i");
    dbus_message_unref(call);
    dbus_error_free(&error);
    notifier.reset();
    dbus_connection_close(server);
    dbus_connection_unref(server);
}

}  // namespace
}  // namespace df
