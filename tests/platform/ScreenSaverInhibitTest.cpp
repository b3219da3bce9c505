// Keeping the display awake through the session bus: a private dbus-daemon of this test and
// a screen-saver service of its own on it, which records the Inhibit and UnInhibit calls.

#include "platform/linux/activity/ScreenSaverInhibit.h"
#include "tests/support/RequireService.h"
#include "tests/support/FakeBusService.h"
#include "tests/support/PrivateSessionBus.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace {

using PrivateBus = testsupport::PrivateSessionBus;

/// org.freedesktop.ScreenSaver as a desktop offers it: Inhibit answers with a new cookie.
testsupport::FakeBusService::Handler screenSaver() {
    return [cookies = dbus_uint32_t{0}](testsupport::FakeBusService& service, DBusConnection* connection,
                                        DBusMessage* message) mutable {
        const char* interface = "org.freedesktop.ScreenSaver";
        DBusError error;
        dbus_error_init(&error);
        if (dbus_message_is_method_call(message, interface, "Inhibit")) {
            const char* application = nullptr;
            const char* reason = nullptr;
            if (dbus_message_get_args(message, &error, DBUS_TYPE_STRING, &application, DBUS_TYPE_STRING, &reason,
                                      DBUS_TYPE_INVALID)) {
                dbus_uint32_t cookie = ++cookies;
                service.record("Inhibit " + std::string(application) + " " + reason + " -> " + std::to_string(cookie));
                DBusMessage* reply = dbus_message_new_method_return(message);
                dbus_message_append_args(reply, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
                dbus_connection_send(connection, reply, nullptr);
                dbus_message_unref(reply);
            }
        } else if (dbus_message_is_method_call(message, interface, "UnInhibit")) {
            dbus_uint32_t cookie = 0;
            if (dbus_message_get_args(message, &error, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID))
                service.record("UnInhibit " + std::to_string(cookie));
        }
        dbus_error_free(&error);
    };
}

class ScreenSaverInhibitTest : public ::testing::Test {
protected:
    void SetUp() override {
        DF_REQUIRE_TOOL("dbus-daemon");
        dbus_threads_init_default();
        ASSERT_FALSE(bus.address().empty());
    }
    PrivateBus bus;
};

TEST_F(ScreenSaverInhibitTest, NothingWithoutABusOrWithoutTheService) {
    EXPECT_EQ(createScreenSaverInhibit(""), nullptr);
    EXPECT_EQ(createScreenSaverInhibit("unix:path=/nonexistent/bus"), nullptr);
    EXPECT_EQ(createScreenSaverInhibit(bus.address()), nullptr);  // nobody owns the name
}

TEST_F(ScreenSaverInhibitTest, EachTokenInhibitsUntilItGoes) {
    testsupport::FakeBusService service(bus.address(), "org.freedesktop.ScreenSaver", screenSaver());
    ASSERT_TRUE(service.owned());
    auto awake = createScreenSaverInhibit(bus.address());
    ASSERT_NE(awake, nullptr);
    auto first = awake->begin("Brevox screen streaming");
    auto second = awake->begin("again");
    ASSERT_TRUE(service.waitForCalls(2));
    first.reset();
    second.reset();
    ASSERT_TRUE(service.waitForCalls(4));
    EXPECT_EQ(service.calls(), (std::vector<std::string>{"Inhibit Brevox Brevox screen streaming -> 1",
                                                         "Inhibit Brevox again -> 2", "UnInhibit 1", "UnInhibit 2"}));
}

}  // namespace
}  // namespace df
