#include "platform/linux/activity/ScreenSaverInhibit.h"
#include "platform/linux/dbus/SessionBus.h"

#include <dbus/dbus.h>

#include <cstdint>
#include <mutex>
#include <optional>

namespace df {

namespace {

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr const char* kInterface = "org.freedesktop.ScreenSaver";
constexpr const char* kApplication = "Brevox";
/// How long begin() waits for the desktop's answer.
constexpr int kReplyTimeoutMs = 2000;

class ScreenSaverInhibit final : public DisplayActivity, public std::enable_shared_from_this<ScreenSaverInhibit> {
public:
    explicit ScreenSaverInhibit(DBusConnection* connection) : connection_(connection) {}
    ~ScreenSaverInhibit() override {
        closeSessionBus(connection_);
    }
    ScreenSaverInhibit(const ScreenSaverInhibit&) = delete;
    ScreenSaverInhibit& operator=(const ScreenSaverInhibit&) = delete;

    std::unique_ptr<Token> begin(const std::string& reason) override {
        return std::make_unique<Held>(shared_from_this(), inhibit(reason));
    }

private:
    class Held final : public Token {
    public:
        Held(std::shared_ptr<ScreenSaverInhibit> owner, std::optional<uint32_t> cookie)
            : owner_(std::move(owner)), cookie_(cookie) {}
        ~Held() override {
            if (cookie_) owner_->uninhibit(*cookie_);
        }

    private:
        std::shared_ptr<ScreenSaverInhibit> owner_;
        std::optional<uint32_t> cookie_;
    };

    std::optional<uint32_t> inhibit(const std::string& reason) {
        DBusMessage* call = dbus_message_new_method_call(kService, kPath, kInterface, "Inhibit");
        if (!call) return std::nullopt;
        const char* application = kApplication;
        const char* text = reason.c_str();
        dbus_message_append_args(call, DBUS_TYPE_STRING, &application, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
        DBusError error;
        dbus_error_init(&error);
        DBusMessage* reply = nullptr;
        {
            std::lock_guard lock(mutex_);
            reply = dbus_connection_send_with_reply_and_block(connection_, call, kReplyTimeoutMs, &error);
        }
        dbus_message_unref(call);
        std::optional<uint32_t> cookie;
        dbus_uint32_t value = 0;
        if (reply && dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID)) cookie = value;
        if (reply) dbus_message_unref(reply);
        dbus_error_free(&error);
        return cookie;
    }

    void uninhibit(uint32_t cookie) {
        DBusMessage* call = dbus_message_new_method_call(kService, kPath, kInterface, "UnInhibit");
        if (!call) return;
        dbus_uint32_t value = cookie;
        dbus_message_append_args(call, DBUS_TYPE_UINT32, &value, DBUS_TYPE_INVALID);
        dbus_message_set_no_reply(call, TRUE);
        {
            std::lock_guard lock(mutex_);
            dbus_connection_send(connection_, call, nullptr);
            dbus_connection_flush(connection_);
        }
        dbus_message_unref(call);
    }

    std::mutex mutex_;  // one call on the connection at a time
    DBusConnection* connection_;
};

}  // namespace

std::shared_ptr<DisplayActivity> createScreenSaverInhibit(const std::string& busAddress) {
    dbus_threads_init_default();  // tokens may come and go on any thread
    DBusConnection* connection = connectToSessionService(busAddress, kService);
    if (!connection) return nullptr;
    return std::make_shared<ScreenSaverInhibit>(connection);
}

}  // namespace df
