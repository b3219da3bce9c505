// The X11 host services keep one connection for their life and open a new one only after
// it broke. Each test runs its own X server (Xvfb on a display number of its own), so that
// it can stop the server and start it again under the services.

// GoogleTest before Xlib: Xlib defines None as a macro, which GoogleTest uses as a name.
#include <gtest/gtest.h>

#include "platform/linux/activity/XScreenSaverActivity.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/x11/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;

bool xvfbInstalled() { return ::access("/usr/bin/Xvfb", X_OK) == 0; }

// An Xvfb of this test alone, on the first display number from 150 with no server.
class PrivateXServer {
public:
    PrivateXServer() {
        for (int n = 150; n < 200; ++n) {
            if (std::filesystem::exists("/tmp/.X11-unix/X" + std::to_string(n)) ||
                std::filesystem::exists("/tmp/.X" + std::to_string(n) + "-lock"))
                continue;
            number_ = n;
            if (start()) return;
        }
        number_ = -1;
    }
    ~PrivateXServer() { stop(); }

    bool running() const { return pid_ > 0; }
    std::string name() const { return ":" + std::to_string(number_); }

    bool start() {
        pid_ = ::fork();
        if (pid_ == 0) {
            // -noreset: by default the server resets when its last client leaves, as the
            // probe below does, and refuses connections while it does.
            std::string display = name();
            ::execl("/usr/bin/Xvfb", "Xvfb", display.c_str(), "-screen", "0", "800x600x24", "+extension",
                    "RANDR", "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
            std::_Exit(127);
        }
        for (int i = 0; i < 100; ++i) {
            if (Display* d = XOpenDisplay(name().c_str())) {
                XCloseDisplay(d);
                return true;
            }
            std::this_thread::sleep_for(50ms);
        }
        stop();
        return false;
    }

    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    void restart() {
        stop();
        ASSERT_TRUE(start()) << "Xvfb " << name() << " did not start again";
    }

private:
    int number_ = -1;
    pid_t pid_ = -1;
};

class X11Connection : public ::testing::Test {
protected:
    void SetUp() override {
        if (!xvfbInstalled()) GTEST_SKIP() << "Xvfb is not installed";
        ASSERT_TRUE(server_.running()) << "no private X server";
    }
    PrivateXServer server_;
};

TEST_F(X11Connection, KeepsOneConnectionUntilItBreaksThenOpensANewOne) {
    int prepared = 0;
    XConnection connection(server_.name(), [&](Display*) {
        ++prepared;
        return true;
    });
    Display* first = connection.get();
    ASSERT_NE(first, nullptr);
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(connection.get(), first);
        XNoOp(first);
        XSync(first, False);
    }
    EXPECT_EQ(connection.generation(), 1u);
    EXPECT_EQ(prepared, 1);
    EXPECT_FALSE(connection.broken());

    // The server goes away: the next request finds the connection broken, and the process
    // goes on (Xlib's own handling would have ended it).
    server_.stop();
    XNoOp(first);
    XSync(first, False);
    EXPECT_TRUE(connection.broken());
    EXPECT_EQ(connection.get(), nullptr);  // nothing to connect to yet

    server_.restart();
    Display* second = connection.get();
    ASSERT_NE(second, nullptr);
    EXPECT_FALSE(connection.broken());
    EXPECT_EQ(connection.generation(), 2u);
    EXPECT_EQ(prepared, 2);
    EXPECT_EQ(connection.get(), second);
}

TEST_F(X11Connection, AConnectionThePreparationRefusesIsNotHandedOut) {
    XConnection connection(server_.name(), [](Display*) { return false; });
    EXPECT_EQ(connection.get(), nullptr);
    EXPECT_EQ(connection.generation(), 0u);
}

// The idle time the X server counts since the last input or screen-saver reset.
std::optional<unsigned long> idleMilliseconds(const std::string& display) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) return std::nullopt;
    std::optional<unsigned long> idle;
    int eventBase = 0, errorBase = 0;
    if (XScreenSaverQueryExtension(d, &eventBase, &errorBase)) {
        if (XScreenSaverInfo* info = XScreenSaverAllocInfo()) {
            if (XScreenSaverQueryInfo(d, DefaultRootWindow(d), info)) idle = info->idle;
            XFree(info);
        }
    }
    XCloseDisplay(d);
    return idle;
}

TEST_F(X11Connection, DeclaringUserActivityResetsTheIdleTimeAlsoAfterTheServerRestarted) {
    auto activity = createXScreenSaverActivity(server_.name());
    ASSERT_TRUE(activity);
    for (int round = 0; round < 2; ++round) {
        std::this_thread::sleep_for(1200ms);
        auto before = idleMilliseconds(server_.name());
        if (!before) GTEST_SKIP() << "the X server has no MIT-SCREEN-SAVER extension";
        EXPECT_GE(*before, 1000u) << "round " << round;
        activity->declare("test");
        auto after = idleMilliseconds(server_.name());
        ASSERT_TRUE(after);
        EXPECT_LT(*after, 500u) << "round " << round;
        if (round == 0) server_.restart();
    }
}

// Whether the X server's screen saver is on; nothing without the extension.
std::optional<bool> screenSaverOn(const std::string& display) {
    Display* d = XOpenDisplay(display.c_str());
    if (!d) return std::nullopt;
    std::optional<bool> on;
    int eventBase = 0, errorBase = 0;
    if (XScreenSaverQueryExtension(d, &eventBase, &errorBase)) {
        if (XScreenSaverInfo* info = XScreenSaverAllocInfo()) {
            if (XScreenSaverQueryInfo(d, DefaultRootWindow(d), info)) on = info->state == ScreenSaverOn;
            XFree(info);
        }
    }
    XCloseDisplay(d);
    return on;
}

TEST_F(X11Connection, KeepingTheDisplayAwakeHoldsTheScreenSaverOffUntilTheLastTokenGoes) {
    {
        Display* d = XOpenDisplay(server_.name().c_str());
        ASSERT_NE(d, nullptr);
        XSetScreenSaver(d, 1, 0, DontPreferBlanking, AllowExposures);  // on after 1 s idle
        XCloseDisplay(d);
    }
    std::this_thread::sleep_for(1500ms);
    auto before = screenSaverOn(server_.name());
    if (!before) GTEST_SKIP() << "the X server has no MIT-SCREEN-SAVER extension";
    ASSERT_TRUE(*before);

    auto awake = createXScreenSaverDisplayActivity(server_.name());
    ASSERT_TRUE(awake);
    auto first = awake->begin("test");
    auto second = awake->begin("test");
    EXPECT_EQ(screenSaverOn(server_.name()), false);  // reset at once
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(screenSaverOn(server_.name()), false);
    first.reset();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(screenSaverOn(server_.name()), false);
    second.reset();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(screenSaverOn(server_.name()), true);
}

TEST_F(X11Connection, DisplaysAreReadAgainFromARestartedServer) {
    auto displays = createXRandRDisplays(server_.name());
    ASSERT_TRUE(displays);
    ASSERT_EQ(displays->activeDisplays(8).size(), 1u);
    server_.restart();
    // The first query may be the one that finds the old connection broken.
    auto list = displays->activeDisplays(8);
    if (list.empty()) list = displays->activeDisplays(8);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].bounds, (DisplayBounds{0, 0, 800, 600}));
}

}  // namespace
}  // namespace df
