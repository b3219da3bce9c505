#pragma once
// A desktop service played by a test on a session bus (a private one of the test's): owns a
// well-known name and answers method calls on a thread of its own with the test's handler,
// which records what it was asked in a list the test reads.

#include <dbus/dbus.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace df::testsupport {

class FakeBusService {
public:
    /// Handles one incoming message (on the service's thread); `connection` sends replies.
    using Handler = std::function<void(FakeBusService& service, DBusConnection* connection, DBusMessage* message)>;

    FakeBusService(const std::string& address, const char* name, Handler handler) : handler_(std::move(handler)) {
        DBusError error;
        dbus_error_init(&error);
        connection_ = dbus_connection_open_private(address.c_str(), &error);
        if (connection_ && dbus_bus_register(connection_, &error)) {
            owned_ = dbus_bus_request_name(connection_, name, DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) ==
                     DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER;
        }
        dbus_error_free(&error);
        if (owned_) thread_ = std::thread([this] { serve(); });
    }
    ~FakeBusService() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (connection_) {
            dbus_connection_close(connection_);
            dbus_connection_unref(connection_);
        }
    }
    FakeBusService(const FakeBusService&) = delete;
    FakeBusService& operator=(const FakeBusService&) = delete;

    bool owned() const { return owned_; }
    /// For the handler: one call as the test expects to read it.
    void record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
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
                handler_(*this, connection_, message);
                dbus_message_unref(message);
            }
        }
    }

    Handler handler_;
    DBusConnection* connection_ = nullptr;
    bool owned_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

}  // namespace df::testsupport
