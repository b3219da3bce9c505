#include "platform/linux/activity/XScreenSaverActivity.h"

#include "platform/linux/x11/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

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

// Tokens may overlap (a session replaced by the next one): the screen saver stays suspended
// until the last one goes. Tokens hold the service, so it outlives them.
class XScreenSaverDisplayActivity final : public DisplayActivity,
                                          public std::enable_shared_from_this<XScreenSaverDisplayActivity> {
public:
    explicit XScreenSaverDisplayActivity(std::unique_ptr<XConnection> connection)
        : connection_(std::move(connection)) {}

    std::unique_ptr<Token> begin(const std::string&) override {
        std::lock_guard lock(mutex_);
        if (tokens_++ == 0) suspend(true);
        return std::make_unique<Held>(shared_from_this());
    }

private:
    class Held final : public Token {
    public:
        explicit Held(std::shared_ptr<XScreenSaverDisplayActivity> owner) : owner_(std::move(owner)) {}
        ~Held() override { owner_->end(); }

    private:
        std::shared_ptr<XScreenSaverDisplayActivity> owner_;
    };

    void end() {
        std::lock_guard lock(mutex_);
        if (--tokens_ == 0) suspend(false);
    }

    // Under mutex_. A connection that broke is opened again once; the suspension belongs
    // to the connection, so a new one is suspended afresh.
    void suspend(bool on) {
        for (int attempt = 0; attempt < 2; ++attempt) {
            Display* display = connection_->get();
            if (!display) return;
            if (on) XResetScreenSaver(display);
            XScreenSaverSuspend(display, on ? True : False);
            XFlush(display);
            if (!connection_->broken()) return;
        }
    }

    std::mutex mutex_;
    std::unique_ptr<XConnection> connection_;
    int tokens_ = 0;
};

}  // namespace

std::shared_ptr<DisplayActivity> createXScreenSaverDisplayActivity(const std::string& displayName) {
    auto connection = std::make_unique<XConnection>(displayName, [](Display* display) {
        int eventBase = 0;
        int errorBase = 0;
        return XScreenSaverQueryExtension(display, &eventBase, &errorBase) == True;
    });
    if (!connection->get()) return nullptr;
    return std::make_shared<XScreenSaverDisplayActivity>(std::move(connection));
}

std::shared_ptr<UserActivity> createXScreenSaverActivity(const std::string& displayName) {
    auto connection = std::make_unique<XConnection>(displayName);
    if (!connection->get()) return nullptr;
    return std::make_shared<XScreenSaverActivity>(std::move(connection));
}

}  // namespace df
