#include "platform/linux/activity/XScreenSaverActivity.h"

#include "platform/linux/x11/XConnection.h"

#include <X11/Xlib.h>

#include <mutex>

namespace df {

namespace {

class XScreenSaverActivity final : public UserActivity {
public:
    explicit XScreenSaverActivity(std::unique_ptr<XConnection> connection) : connection_(std::move(connection)) {}

    void declare(const std::string&) override {
        std::lock_guard lock(mutex_);
        // A connection to a server that restarted only shows it is broken when it is
        // written to: then the wake goes again on a new one.
        for (int attempt = 0; attempt < 2; ++attempt) {
            Display* display = connection_->get();
            if (!display) return;
            XForceScreenSaver(display, ScreenSaverReset);
            XResetScreenSaver(display);
            XFlush(display);
            if (!connection_->broken()) return;
        }
    }

private:
    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
};

}  // namespace

std::shared_ptr<UserActivity> createXScreenSaverActivity(const std::string& displayName) {
    auto connection = std::make_unique<XConnection>(displayName);
    if (!connection->get()) return nullptr;
    return std::make_shared<XScreenSaverActivity>(std::move(connection));
}

}  // namespace df
