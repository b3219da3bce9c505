// The injector on a real X server (Xvfb with openbox): XTest events, EWMH raising, a test
// client window recording what arrives, and xdotool reading the pointer back.
// GoogleTest before Xlib: Xlib's None and Bool macros break its headers.
#include <gtest/gtest.h>

#include "DuskFerryAgent/input/InputInjector.h"
#include "platform/SerialQueue.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/input/XTestInputEvents.h"
#include "tests/support/RequireService.h"
#include "XTestWindow.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <tuple>

namespace df::testsupport {
namespace {

using namespace std::chrono_literals;

// The display choices of a process with no selection: the main RandR monitor.
class RandRTargetDisplays final : public TargetDisplays {
public:
    explicit RandRTargetDisplays(std::shared_ptr<Displays> displays) : displays_(std::move(displays)) {}
    std::optional<uint32_t> virtualDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> selectedDisplayID() override { return std::nullopt; }
    std::optional<uint32_t> systemMainID() override {
        auto list = displays_->activeDisplays(16);
        for (const auto& d : list)
            if (d.isMain) return d.id;
        if (list.empty()) return std::nullopt;
        return list.front().id;
    }
    DisplayBounds bounds(uint32_t id) override { return displays_->bounds(id); }

private:
    std::shared_ptr<Displays> displays_;
};

bool windowManagerRunning(const char* display) {
    Display* d = XOpenDisplay(display);
    if (!d) return false;
    Atom actual = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    bool found = XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, "_NET_SUPPORTING_WM_CHECK", False), 0,
                                    1, False, AnyPropertyType, &actual, &format, &n, &after, &data) == Success &&
                 n > 0;
    if (data) XFree(data);
    XCloseDisplay(d);
    return found;
}

// The window manager may still be starting when the first test runs.
bool hasWindowManager(const char* display) {
    for (int i = 0; i < 50; ++i) {
        if (windowManagerRunning(display)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

// Keys currently held on the server, as seen by any client.
int keysDown(const char* display) {
    Display* d = XOpenDisplay(display);
    char keys[32] = {};
    XQueryKeymap(d, keys);
    XCloseDisplay(d);
    int n = 0;
    for (char k : keys) n += __builtin_popcount(static_cast<unsigned char>(k));
    return n;
}

// A CARDINAL on the root window as the window manager publishes it; -1 when it has none.
long rootCardinal(const char* display, const char* name) {
    Display* d = XOpenDisplay(display);
    Atom actual = None;
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    long value = -1;
    if (XGetWindowProperty(d, DefaultRootWindow(d), XInternAtom(d, name, False), 0, 1, False, XA_CARDINAL, &actual,
                           &format, &n, &after, &data) == Success &&
        data && n == 1) {
        value = static_cast<long>(*reinterpret_cast<unsigned long*>(data));
    }
    if (data) XFree(data);
    XCloseDisplay(d);
    return value;
}

// Waits until the root property reads `expected` (the window manager answers requests in
// its own time); what it read last.
long waitForRootCardinal(const char* display, const char* name, long expected) {
    long value = rootCardinal(display, name);
    for (int i = 0; i < 200 && value != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        value = rootCardinal(display, name);
    }
    return value;
}

// Puts a desktop-wide state of the window manager back, so that a failing test does not
// leave the next ones on another desktop or with the windows hidden.
struct RestoreRootState {
    const char* display;
    const char* name;
    long value;
    ~RestoreRootState() {
        Display* d = XOpenDisplay(display);
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = DefaultRootWindow(d);
        event.xclient.message_type = XInternAtom(d, name, False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = value;
        XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XCloseDisplay(d);
        waitForRootCardinal(display, name, value);
    }
};

bool viewable(const char* display, Window w) {
    Display* d = XOpenDisplay(display);
    XWindowAttributes attrs{};
    bool shown = XGetWindowAttributes(d, w, &attrs) && attrs.map_state == IsViewable;
    XCloseDisplay(d);
    return shown;
}

class XInputIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        display_ = std::getenv("DISPLAY");
        DF_REQUIRE_SERVICE(display_ && *display_, "an X display ($DISPLAY)");
        DF_REQUIRE_SERVICE(hasWindowManager(display_), "an EWMH window manager");
        createInjector({});
    }
    void TearDown() override {
        injector_.reset();
        if (queue_) queue_->stop();
    }

    void createInjector(XTestInputOptions options) {
        injector_.reset();
        events_ = createXTestInputEvents(options);
        ASSERT_TRUE(events_) << "XTest on " << display_;
        windows_ = createEwmhWindowServices();
        auto randr = createXRandRDisplays();
        ASSERT_TRUE(randr);
        displays_ = std::make_shared<RandRTargetDisplays>(randr);
        rect_ = targetRect(*displays_);
        if (!queue_) queue_ = SerialQueue::create("duskferry.server");
        InputInjector::Services services{events_, windows_, displays_, nullptr, nullptr};
        services.gestureChord = gestureChord_;
        queue_->sync([&] { injector_ = InputInjector::create(queue_, services); });
    }

    template <class Message>
    void send(const Message& m) {
        queue_->sync([&] { injector_->handle(m); });
    }
    PointerEvent at(PointerEvent::Kind kind, double x, double y) const {
        return PointerEvent(kind, 0, 0, (x - rect_.x) / rect_.width, (y - rect_.y) / rect_.height);
    }
    void focus(XTestWindow& w) {
        w.activate();
        for (int i = 0; i < 300 && (activeWindow(display_) != w.id() || inputFocus(display_) != w.id()); ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ASSERT_EQ(activeWindow(display_), w.id());
        ASSERT_EQ(inputFocus(display_), w.id());
    }

    const char* display_ = nullptr;
    std::shared_ptr<InputEvents> events_;
    std::shared_ptr<WindowServices> windows_;
    std::shared_ptr<TargetDisplays> displays_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<InputInjector> injector_;
    std::function<std::string(SystemGesture)> gestureChord_;
    DisplayBounds rect_;
    const long pidA_ = 4000001, pidB_ = 4000002;  // stand-in applications, not this process
};

TEST_F(XInputIntegration, PointerMessagesMoveTheRealPointer) {
    send(at(PointerEvent::Kind::move, rect_.x + rect_.width / 4, rect_.y + rect_.height / 2));
    auto loc = xdotoolMouseLocation();
    ASSERT_TRUE(loc) << "xdotool getmouselocation";
    EXPECT_EQ(*loc, std::make_pair(static_cast<int>(rect_.x + rect_.width / 4), static_cast<int>(rect_.y + rect_.height / 2)));

    send(PointerEvent(PointerEvent::Kind::move, 10, 5));
    EXPECT_EQ(xdotoolMouseLocation(), std::make_pair(loc->first + 10, loc->second + 5));

    send(PointerEvent(PointerEvent::Kind::move, 1e6, 1e6));  // stops one point inside
    EXPECT_EQ(xdotoolMouseLocation(), std::make_pair(static_cast<int>(rect_.x + rect_.width - 1),
                                                     static_cast<int>(rect_.y + rect_.height - 1)));
    std::optional<InputInjector::NormalizedPosition> pos;
    queue_->sync([&] { pos = injector_->currentNormalizedPosition(); });
    ASSERT_TRUE(pos);
    EXPECT_NEAR(pos->x, 1.0, 1e-3);
    EXPECT_NEAR(pos->y, 1.0, 1e-3);
}

TEST_F(XInputIntegration, ClickReachesTheWindowBehindAndRaisesIt) {
    XTestWindow a(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    XTestWindow b(display_, 400, 250, 600, 400, pidB_, "df-test-b");
    ASSERT_TRUE(a.ok() && b.ok());
    focus(b);
    ASSERT_EQ(stackingOrder(display_).back(), b.id());

    send(at(PointerEvent::Kind::leftClick, 200, 300));  // on a, beside b
    ASSERT_TRUE(a.waitFor([](const auto& ev) {
        for (const auto& e : ev)
            if (e.type == ButtonRelease && e.detail == 1) return true;
        return false;
    }));
    auto ev = a.events();
    auto press = std::find_if(ev.begin(), ev.end(), [](const auto& e) { return e.type == ButtonPress; });
    ASSERT_NE(press, ev.end());
    EXPECT_EQ(press->detail, 1u);
    EXPECT_EQ(std::make_pair(press->x, press->y), std::make_pair(200, 300));
    for (int i = 0; i < 200 && stackingOrder(display_).back() != a.id(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(stackingOrder(display_).back(), a.id());
    EXPECT_TRUE(b.events().empty());
}

TEST_F(XInputIntegration, RaisingBringsTheWindowUnderThePointForwardAndSkipsTheExclusions) {
    XTestWindow a(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    XTestWindow b(display_, 400, 250, 600, 400, pidB_, "df-test-b");
    ASSERT_TRUE(a.ok() && b.ok());
    focus(b);
    WindowRaiser raiser(windows_, displays_);

    // The frontmost application's own window, and the strip at the top: nothing moves.
    raiser.raiseWindowIfNeeded({700, 500}, rect_);
    raiser.raiseWindowIfNeeded({200, rect_.y + 10}, rect_);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(stackingOrder(display_).back(), b.id());

    auto hit = raiser.frontmostWindow({200, 300});
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->pid, pidA_);
    EXPECT_EQ(hit->applicationClass, std::optional<std::string>("df-test-a"));
    raiser.raiseWindowIfNeeded({200, 300}, rect_);
    for (int i = 0; i < 200 && activeWindow(display_) != a.id(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(stackingOrder(display_).back(), a.id());
    EXPECT_EQ(activeWindow(display_), a.id());
    EXPECT_TRUE(a.events().empty());  // raised without a click
}

TEST_F(XInputIntegration, DragPressesMovesWithTheButtonHeldAndReleases) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    w.clear();
    send(at(PointerEvent::Kind::leftDown, 200, 200));
    send(PointerEvent(PointerEvent::Kind::move, 30, 10));
    send(PointerEvent(PointerEvent::Kind::move, 30, 10));
    send(PointerEvent(PointerEvent::Kind::leftUp, 0, 0));
    ASSERT_TRUE(w.waitFor([](const auto& ev) { return !ev.empty() && ev.back().type == ButtonRelease; }));
    auto ev = w.events();
    auto firstButton = std::find_if(ev.begin(), ev.end(), [](const auto& e) { return e.type != MotionNotify; });
    ASSERT_NE(firstButton, ev.end());
    EXPECT_EQ(firstButton->type, ButtonPress);
    int drags = 0;
    for (const auto& e : ev)
        if (e.type == MotionNotify && (e.state & Button1Mask)) ++drags;
    EXPECT_GE(drags, 2);
    EXPECT_EQ(std::make_pair(ev.back().x, ev.back().y), std::make_pair(260, 220));
}

TEST_F(XInputIntegration, ClicksCarryNoModifiersAndMovesLeaveAHeldKeyAlone) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    send(KeyEvent(56, true, KeyModifiers()));  // the phone holds Shift
    ASSERT_TRUE(w.waitFor([](const auto& ev) { return !ev.empty() && ev.back().type == KeyPress; }));
    w.clear();
    send(at(PointerEvent::Kind::move, 250, 250));
    send(at(PointerEvent::Kind::leftClick, 300, 300));
    send(PointerEvent(PointerEvent::Kind::move, 5, 5));
    ASSERT_TRUE(w.waitFor([](const auto& ev) {
        return std::any_of(ev.begin(), ev.end(), [](const auto& e) { return e.type == ButtonRelease; });
    }));
    std::this_thread::sleep_for(50ms);
    auto ev = w.events();
    for (const auto& e : ev) {
        if (e.type == ButtonPress) {
            EXPECT_EQ(e.state & ShiftMask, 0u);  // a plain click
        }
        if (e.type == MotionNotify && e.x == 250) {
            EXPECT_NE(e.state & ShiftMask, 0u);
        }
    }
    // Shift went up only around the click and is held again afterwards.
    int shiftPresses = 0, shiftReleases = 0;
    for (const auto& e : ev) {
        shiftPresses += e.type == KeyPress && e.keysym == XK_Shift_L;
        shiftReleases += e.type == KeyRelease && e.keysym == XK_Shift_L;
    }
    EXPECT_EQ(shiftReleases, 2);  // around the button press and the release
    EXPECT_EQ(shiftPresses, 2);
    EXPECT_EQ(keysDown(display_), 1);
    send(KeyEvent(56, false, KeyModifiers()));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, TypedTextArrivesAsTheRightKeysymsAndLeavesNoKeyDown) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    w.clear();
    const std::u32string expected = U"Hello, w\u00f6rld! \u00f1 \u20ac \u2603 \U0001F600 \u03a9 \u4f60\u597d";
    send(TextInput("Hello, w\xc3\xb6rld! \xc3\xb1 \xe2\x82\xac \xe2\x98\x83 \xf0\x9f\x98\x80 \xce\xa9 "
                   "\xe4\xbd\xa0\xe5\xa5\xbd",
                   KeyModifiers()));
    w.waitFor([&](const auto&) { return w.typedText().size() >= expected.size(); });
    auto typed = w.typedText();
    EXPECT_EQ(std::vector<uint32_t>(typed.begin(), typed.end()),
              std::vector<uint32_t>(expected.begin(), expected.end()));
    if (typed != expected) {
        for (const auto& e : w.events())
            std::fprintf(stderr, "type=%d kc=%u ks=%lx\n", e.type, e.detail, static_cast<unsigned long>(e.keysym));
    }
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, CommandShortcutArrivesAsTheHostShortcutOfTheSetting) {
    struct Case {
        CommandKey command;
        unsigned mask;
    };
    for (const auto& c : {Case{CommandKey::control, ControlMask}, Case{CommandKey::super, Mod4Mask}}) {
        XTestInputOptions options;
        options.command = c.command;
        createInjector(options);
        XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
        ASSERT_TRUE(w.ok());
        focus(w);
        w.clear();
        send(TextInput("c", KeyModifiers::command));                              // typed shortcut
        send(KeyEvent(9, true, KeyModifiers::command));                           // Command+V by key
        send(KeyEvent(9, false, KeyModifiers::command));
        send(TextInput("z", KeyModifiers::command | KeyModifiers::shift));        // redo
        ASSERT_TRUE(w.waitFor([](const auto& ev) {
            int presses = 0;
            for (const auto& e : ev) presses += e.type == KeyPress && e.keysym != XK_Shift_L &&
                                                e.keysym != XK_Control_L && e.keysym != XK_Super_L;
            return presses >= 3;
        }));
        std::vector<std::pair<KeySym, unsigned>> presses;
        for (const auto& e : w.events())
            if (e.type == KeyPress && (e.keysym < XK_Shift_L || e.keysym > XK_Hyper_R))
                presses.emplace_back(e.keysym, e.state & (ShiftMask | ControlMask | Mod1Mask | Mod4Mask));
        const std::vector<std::pair<KeySym, unsigned>> expected{
            {XK_c, c.mask}, {XK_v, c.mask}, {XK_Z, c.mask | ShiftMask}};
        EXPECT_EQ(presses, expected);
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(keysDown(display_), 0);  // no modifier left behind
    }
}

TEST_F(XInputIntegration, MacKeyCodesArriveAsTheirKeysymsWithHeldModifiers) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    w.clear();
    const std::vector<std::pair<uint16_t, KeySym>> keys{
        {36, XK_Return}, {48, XK_Tab}, {51, XK_BackSpace}, {53, XK_Escape}, {117, XK_Delete},
        {122, XK_F1}, {111, XK_F12}, {105, XK_F13}, {90, XK_F20}, {115, XK_Home}, {121, XK_Next},
        {126, XK_Up}, {123, XK_Left}, {83, XK_KP_1}, {69, XK_KP_Add}, {76, XK_KP_Enter},
        {50, XK_grave}, {42, XK_backslash}, {18, XK_1}};
    for (auto [mac, keysym] : keys) {
        send(KeyEvent(mac, true, KeyModifiers()));
        send(KeyEvent(mac, false, KeyModifiers()));
    }
    // Shift held as a key of its own, then a letter with the shift flag.
    send(KeyEvent(56, true, KeyModifiers()));
    send(KeyEvent(0, true, KeyModifiers::shift));
    send(KeyEvent(0, false, KeyModifiers::shift));
    send(KeyEvent(56, false, KeyModifiers()));
    ASSERT_TRUE(w.waitFor([&](const auto& ev) {
        return std::count_if(ev.begin(), ev.end(), [](const auto& e) { return e.type == KeyRelease; }) >=
               static_cast<long>(keys.size() + 2);
    }));
    std::vector<KeySym> got;
    for (const auto& e : w.events())
        if (e.type == KeyPress) got.push_back(e.keysym);
    std::vector<KeySym> expected;
    for (auto [mac, keysym] : keys) expected.push_back(keysym);
    expected.push_back(XK_Shift_L);
    expected.push_back(XK_A);
    EXPECT_EQ(got, expected);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, ScrollFlingProducesWheelClicksThatDecayAndStop) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    send(at(PointerEvent::Kind::move, 300, 300));
    w.clear();
    send(ScrollEvent(0, -30, ScrollEvent::Phase::began));
    send(ScrollEvent(0, -40, ScrollEvent::Phase::changed));
    send(ScrollEvent(0, -40, ScrollEvent::Phase::ended, 0.0, -3000.0));
    // Coasting lasts about 1.4 s at this speed.
    std::this_thread::sleep_for(2000ms);
    auto ev = w.events();
    std::vector<std::chrono::steady_clock::time_point> downs;
    for (const auto& e : ev) {
        if (e.type != ButtonPress) continue;
        EXPECT_EQ(e.detail, 5u);  // negative deltas scroll down
        downs.push_back(e.at);
    }
    ASSERT_GE(downs.size(), 8u);
    // Decay: the last clicks come further apart than the first ones of the momentum.
    auto gap = [&](size_t i) { return downs[i + 1] - downs[i]; };
    EXPECT_GT(gap(downs.size() - 2), gap(2) + 20ms);
    // And it stops.
    size_t before = w.events().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(w.events().size(), before);
    bool running = true;
    queue_->sync([&] { running = injector_->momentumRunning(); });
    EXPECT_FALSE(running);
}

TEST_F(XInputIntegration, LockChordLocksTheSessionAndTypesNothing) {
    auto marker = std::filesystem::temp_directory_path() / ("df-lock-" + std::to_string(getpid()));
    std::filesystem::remove(marker);
    XTestInputOptions options;
    options.lockCommands = {{"false"}, {"sh", "-c", "echo locked > '" + marker.string() + "'"}};
    createInjector(options);
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    w.clear();
    postScreenLockChord(*events_);
    for (int i = 0; i < 300 && !std::filesystem::exists(marker); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(std::filesystem::exists(marker));
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(w.events().empty());
    EXPECT_EQ(keysDown(display_), 0);
    std::filesystem::remove(marker);
}

TEST_F(XInputIntegration, DroppingTheInjectorReleasesHeldKeysAndButtons) {
    send(at(PointerEvent::Kind::leftDown, 300, 300));
    send(KeyEvent(56, true, KeyModifiers()));
    send(KeyEvent(0, true, KeyModifiers::shift));
    EXPECT_GE(keysDown(display_), 2);
    queue_->sync([&] { injector_.reset(); });
    Display* d = XOpenDisplay(display_);
    Window r = 0, c = 0;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, DefaultRootWindow(d), &r, &c, &rx, &ry, &wx, &wy, &mask);
    XCloseDisplay(d);
    EXPECT_EQ(mask & Button1Mask, 0u);
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, ShowDesktopGestureTogglesTheWindowManagersShowingDesktopMode) {
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    ASSERT_EQ(rootCardinal(display_, "_NET_SHOWING_DESKTOP"), 0);
    RestoreRootState restore{display_, "_NET_SHOWING_DESKTOP", 0};
    send(SystemGesture::showDesktop);
    EXPECT_EQ(waitForRootCardinal(display_, "_NET_SHOWING_DESKTOP", 1), 1);
    EXPECT_FALSE(viewable(display_, w.id())) << "the window should be out of the way";
    send(SystemGesture::showDesktop);
    EXPECT_EQ(waitForRootCardinal(display_, "_NET_SHOWING_DESKTOP", 0), 0);
    for (int i = 0; i < 200 && !viewable(display_, w.id()); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(viewable(display_, w.id())) << "the window should be back";
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, SpaceGesturesSwitchOneDesktopAndWrapAround) {
    const long count = rootCardinal(display_, "_NET_NUMBER_OF_DESKTOPS");
    ASSERT_GE(count, 3) << "the window manager should offer several desktops";
    ASSERT_EQ(rootCardinal(display_, "_NET_CURRENT_DESKTOP"), 0);
    RestoreRootState restore{display_, "_NET_CURRENT_DESKTOP", 0};
    struct Step {
        SystemGesture gesture;
        long expected;
    };
    const std::vector<Step> steps{
        {SystemGesture::spaceRight, 1},
        {SystemGesture::spaceLeft, 0},
        {SystemGesture::spaceLeft, count - 1},  // past the first: the last
        {SystemGesture::spaceRight, 0},          // past the last: the first
    };
    for (const auto& step : steps) {
        send(step.gesture);
        EXPECT_EQ(waitForRootCardinal(display_, "_NET_CURRENT_DESKTOP", step.expected), step.expected);
    }
    EXPECT_EQ(keysDown(display_), 0);
}

TEST_F(XInputIntegration, OverviewGesturesPressTheChordOfTheirSetting) {
    gestureChord_ = [](SystemGesture g) {
        return g == SystemGesture::appExpose ? std::string("Shift+F7") : std::string("Super");
    };
    createInjector({});
    XTestWindow w(display_, 100, 100, 600, 400, pidA_, "df-test-a");
    ASSERT_TRUE(w.ok());
    focus(w);
    w.clear();
    send(SystemGesture::missionControl);
    send(SystemGesture::appExpose);
    auto keyEvents = [](const std::vector<ReceivedEvent>& events) {
        std::vector<std::tuple<int, KeySym, unsigned>> out;
        for (const auto& e : events)
            if (e.type == KeyPress || e.type == KeyRelease) out.emplace_back(e.type, e.keysym, e.state & ShiftMask);
        return out;
    };
    w.waitFor([&](const auto& events) { return keyEvents(events).size() >= 6; });
    // Super alone down and up (the overview key), then Shift, F7 with Shift held, and the
    // releases in reverse order. The client reads the keysym with Shift applied.
    auto got = keyEvents(w.events());
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], std::make_tuple(KeyPress, static_cast<KeySym>(XK_Super_L), 0u));
    EXPECT_EQ(got[1], std::make_tuple(KeyRelease, static_cast<KeySym>(XK_Super_L), 0u));
    EXPECT_EQ(std::get<0>(got[2]), KeyPress);
    EXPECT_EQ(std::get<0>(got[3]), KeyPress);
    EXPECT_EQ(std::get<2>(got[3]), static_cast<unsigned>(ShiftMask));
    EXPECT_EQ(std::get<0>(got[4]), KeyRelease);
    EXPECT_EQ(std::get<0>(got[5]), KeyRelease);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(keysDown(display_), 0);
    // A name this host has no key for presses nothing.
    EXPECT_FALSE(events_->pressKeyChord("Super+NoSuchKey"));
    EXPECT_FALSE(events_->pressKeyChord(""));
}

}  // namespace
}  // namespace df::testsupport
