// Keeping the display awake through the session bus: a private dbus-daemon of this test and
// a screen-saver service of its own on it, which records the Inhibit and UnInhibit calls.

#include "platform/linux/activity/ScreenSaverInhibit.h"
#include "tests/support/RequireService.h"
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

/// org.freedesktop.ScreenSaver as a desktop offers it, answering on a thread of its own.
class FakeScreenSaverService {
public:
    explicit FakeScreenSaverService(const std::string& address) {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_connection_open_private(address.c_str(), &error);
        if (connection_ && dbus_bus_register(connection_, &error)) {
            owned_ = dbus_bus_request_name(connection_, "org.freedesktop.ScreenSaver", DBUS_NAME_FLAG_DO_NOT_QUEUE,
                                           &error) == DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        }
        dbus_error_free(&error);
        if (owned_) thread_ = std::thread([this] { serve(); });
    }
    ~FakeScreenSaverService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (connection_) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }
    bool owned() const { return owned_; }
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    /// Waits up to 2 s for `count` calls.
    bool waitForCalls(size_t count) const {
        for (int i = 0; i < 200; ++i) {
            if (calls().size() >= count) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    void serve() {
        while (!stop_) {
            dbus_connection_read_write(connection_, 20);
            while (DBusMessage* message = dbus_connection_pop_message(connection_)) {
                handle(message);
                dbus_message_unref(message);
            }
        }
    }
    void handle(DBusMessage* message) {
        const char* interface = "org.freedesktop.ScreenSaver";
        DBusError error;
        dbus_error_init(&error);
        if (dbus_message_is_method_call(message, interface, "Inhibit")) {
            const char* application = nullptr;
            const char* reason = nullptr;
            if (dbus_message_get_args(message, &error, DBUS_TYPE_STRING, &application, DBUS_TYPE_STRING, &reason,
                                      DBUS_TYPE_INVALID)) {
                dbus_uint32_t cookie = ++cookies_;
                record("Inhibit " + std::string(application) + " " + reason + " -> " + std::to_string(cookie));
                DBusMessage* reply = dbus_message_new_method_return(message);
                dbus_message_append_args(reply, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID);
                dbus_connection_send(connection_, reply, nullptr);
                dbus_message_unref(reply);
            }
        } else if (dbus_message_is_method_call(message, interface, "UnInhibit")) {
            dbus_uint32_t cookie = 0;
            if (dbus_message_get_args(message, &error, DBUS_TYPE_UINT32, &cookie, DBUS_TYPE_INVALID))
                record("UnInhibit " + std::to_string(cookie));
        }
        dbus_error_free(&error);
    }
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }

    DBusConnection* connection_ = nullptr;
    bool owned_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    dbus_uint32_t cookies_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

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
    FakeScreenSaverService service(bus.address());
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
