// Pointer side of the injector: where messages land, which events each kind posts, click
// counting, and window raising after a click.
#include "InputTestSupport.h"

#include <cmath>
#include <limits>

namespace df::testsupport {
namespace {

using Kind = PointerEvent::Kind;

PointerEvent move(double dx, double dy) { return PointerEvent(Kind::move, dx, dy); }
PointerEvent at(Kind kind, double x, double y) { return PointerEvent(kind, 0, 0, x, y); }

TEST_F(InjectorTest, ClickSeriesCountWithoutUpperBoundAndResetAfterThePause) {
    struct Case {
        std::vector<double> gaps;  // seconds before each click after the first
        std::vector<int64_t> states;
    };
    const std::vector<Case> cases{
        {{0.39}, {1, 2}},
        {{0.41}, {1, 1}},
        {{0.39, 0.39}, {1, 2, 3}},
        {{0.3, 0.3, 0.3, 0.3}, {1, 2, 3, 4, 5}},
        {{0.1, 0.5, 0.1}, {1, 2, 1, 2}},
    };
    for (const auto& c : cases) {
        clock->advance(10);  // well apart from the previous case
        std::vector<int64_t> states;
        for (size_t i = 0; i <= c.gaps.size(); ++i) {
            if (i > 0) clock->advance(c.gaps[i - 1]);
            injector->handle(at(Kind::leftClick, 0.5, 0.5));
            auto e = take();
            ASSERT_EQ(types(e), (std::vector<T>{T::mouseMoved, T::leftMouseDown, T::leftMouseUp}));
            EXPECT_EQ(e[0].clickState, 1);
            EXPECT_EQ(e[1].clickState, e[2].clickState);
            states.push_back(e[1].clickState);
        }
        EXPECT_EQ(states, c.states);
    }
}

TEST_F(InjectorTest, EachKindPostsItsEventsWithClickStatesAndNoFlags) {
    struct Case {
        std::vector<Kind> kinds;
        std::vector<T> types;
        std::vector<int64_t> clickStates;
        std::vector<MouseButton> buttons;
    };
    using B = MouseButton;
    const std::vector<Case> cases{
        {{Kind::leftDown, Kind::move, Kind::move, Kind::leftUp, Kind::move},
         {T::leftMouseDown, T::leftMouseDragged, T::leftMouseDragged, T::leftMouseUp, T::mouseMoved},
         {1, 1, 1, 1, 1},
         {B::left, B::left, B::left, B::left, B::left}},
        {{Kind::doubleClick},
         {T::mouseMoved, T::leftMouseDown, T::leftMouseUp, T::leftMouseDown, T::leftMouseUp},
         {1, 1, 1, 2, 2},
         {B::left, B::left, B::left, B::left, B::left}},
        {{Kind::rightClick},
         {T::mouseMoved, T::rightMouseDown, T::rightMouseUp},
         {1, 1, 1},
         {B::left, B::right, B::right}},
    };
    for (const auto& c : cases) {
        for (Kind k : c.kinds) injector->handle(PointerEvent(k, 1, 1));
        auto e = take();
        ASSERT_EQ(types(e), c.types);
        for (size_t i = 0; i < e.size(); ++i) {
            EXPECT_EQ(e[i].clickState, c.clickStates[i]) << i;
            EXPECT_EQ(e[i].button, c.buttons[i]) << i;
            EXPECT_EQ(e[i].flags, std::optional<uint64_t>(EventFlags::none));
            EXPECT_TRUE(e[i].hasSource);
        }
        EXPECT_FALSE(injector->leftButtonDown());
    }
}

TEST_F(InjectorTest, ClicksDoNotChangeAHeldButtonAndDoubleClickLeavesTheCounterAlone) {
    injector->handle(at(Kind::leftDown, 0.5, 0.5));
    injector->handle(at(Kind::rightClick, 0.5, 0.5));
    injector->handle(at(Kind::leftClick, 0.5, 0.5));
    EXPECT_TRUE(injector->leftButtonDown());
    clock->advance(0.1);
    injector->handle(at(Kind::doubleClick, 0.5, 0.5));
    EXPECT_EQ(injector->clickCount(), 1);
    clock->advance(0.1);
    injector->handle(at(Kind::leftClick, 0.5, 0.5));
    EXPECT_EQ(injector->clickCount(), 2);  // the double click did not reset the series
    take();
    injector->handle(move(1, 0));
    EXPECT_EQ(take().at(0).type, T::leftMouseDragged);
}

TEST_F(InjectorTest, RelativeMotionStopsOnePointInsideAbsoluteOneLandsOnTheEdge) {
    struct Case {
        std::optional<ScreenPoint> cursor;
        PointerEvent message;
        ScreenPoint expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases{
        {ScreenPoint{1900, 1000}, move(100, 100), {1919, 1079}},
        {ScreenPoint{10, 10}, move(-50, -50), {0, 0}},
        {ScreenPoint{10, 10}, move(2.5, 0.25), {12.5, 10.25}},
        {ScreenPoint{10, 10}, at(Kind::move, 1.0, 1.0), {1920, 1080}},
        {ScreenPoint{10, 10}, at(Kind::move, 0.0, 0.5), {0, 540}},
        {ScreenPoint{10, 10}, at(Kind::move, -0.5, 1.5), {-960, 1620}},  // absolute: not clamped
        {std::nullopt, move(5, 5), {5, 5}},                                // unreadable cursor: 0,0
        {ScreenPoint{10, 10}, move(nan, 3), {10, 13}},                      // not a number: no motion
        {ScreenPoint{10, 10}, move(inf, -inf), {1919, 0}},
        {ScreenPoint{10, 10}, PointerEvent(Kind::move, 1, 1, 0.5, std::nullopt), {11, 11}},  // one absent: relative
    };
    for (const auto& c : cases) {
        events->setCursorPosition(c.cursor);
        injector->handle(c.message);
        auto e = take();
        ASSERT_EQ(e.size(), 1u);
        EXPECT_EQ(e[0].location, c.expected) << c.expected.x << "," << c.expected.y;
        EXPECT_EQ(injector->lastInjected(), c.expected);
    }
    // Absolute coordinates so large that they overflow still give finite positions.
    injector->handle(at(Kind::move, 1e308, -1e308));
    auto e = take();
    EXPECT_TRUE(std::isfinite(e.at(0).location.x) && std::isfinite(e.at(0).location.y));
}

TEST_F(InjectorTest, RelativeMoveFromAnotherDisplayContinuesFromTheLastInjectedPointOrTheCentre) {
    displays->boundsByID[2] = DisplayBounds{1920, 0, 1280, 800};
    displays->selectedID = 2;
    events->setCursorPosition(ScreenPoint{100, 100});  // on display 1, not the target
    injector->handle(move(10, 0));
    EXPECT_EQ(take().at(0).location, (ScreenPoint{1920 + 640 + 10, 400}));

    events->setCursorPosition(ScreenPoint{100, 100});
    injector->handle(move(10, 0));
    EXPECT_EQ(take().at(0).location, (ScreenPoint{1920 + 640 + 20, 400}));
}

TEST_F(InjectorTest, TargetRectangleFallsBackFromVirtualToMainToTheDefault) {
    struct Case {
        std::optional<uint32_t> virtualID, selectedID, mainID;
        ScreenPoint expectedCorner;  // where absolute (1, 1) lands
    };
    displays->boundsByID = {{1, {0, 0, 1920, 1080}}, {2, {1920, 0, 1280, 800}},
                            {3, {-800, 0, 800, 600}}, {4, {0, 0, 1, 1}}};
    const std::vector<Case> cases{
        {3, 2, 1, {0, 600}},                            // virtual display first
        {std::nullopt, 2, 1, {3200, 800}},               // then the selection
        {9, 2, 1, {1920, 1080}},                         // a gone virtual display: main, not selection
        {std::nullopt, 4, 1, {1920, 1080}},              // 1 point wide does not count
        {std::nullopt, std::nullopt, 4, {1920, 1080}},   // nor for the main display: the default
        {std::nullopt, std::nullopt, std::nullopt, {1920, 1080}},
    };
    for (const auto& c : cases) {
        displays->virtualID = c.virtualID;
        displays->selectedID = c.selectedID;
        displays->mainID = c.mainID;
        injector->handle(at(Kind::move, 1, 1));
        EXPECT_EQ(take().at(0).location, c.expectedCorner);
    }
}

TEST(CachedTargetDisplays, AsksTheHostOncePerAgeButFollowsANewSelectionAtOnce) {
    auto inner = std::make_shared<ScriptedDisplays>();
    inner->boundsByID[2] = DisplayBounds{1920, 0, 1280, 800};
    fake::ManualClock clock;
    auto cached = cachedTargetDisplays(inner, 0.25, clock);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(targetRect(*cached), (DisplayBounds{0, 0, 1920, 1080}));
    EXPECT_EQ(inner->queries, 2u);  // main display and its bounds, once

    inner->selectedID = 2;  // a new selection applies to the next message
    EXPECT_EQ(targetRect(*cached), (DisplayBounds{1920, 0, 1280, 800}));
    inner->boundsByID[2] = DisplayBounds{};  // display 2 unplugged: noticed after the age
    clock.advance(0.1);
    EXPECT_EQ(targetRect(*cached).width, 1280);
    clock.advance(0.2);
    EXPECT_EQ(targetRect(*cached), (DisplayBounds{0, 0, 1920, 1080}));
}

TEST_F(InjectorTest, RefusedEventsAreSkippedTheRestPostedAndStateStillChanges) {
    events->setRefuseCreation([](const InputEvent& e) { return e.type == T::leftMouseDown; });
    injector->handle(at(Kind::leftDown, 0.5, 0.5));
    EXPECT_TRUE(take().empty());
    EXPECT_TRUE(injector->leftButtonDown());
    injector->handle(at(Kind::doubleClick, 0.5, 0.5));
    EXPECT_EQ(types(take()), (std::vector<T>{T::mouseMoved, T::leftMouseUp, T::leftMouseUp}));
    injector->handle(at(Kind::leftClick, 0.5, 0.5));
    take();
    EXPECT_EQ(injector->clickCount(), 1);
}

TEST(InjectorSource, EventsArePostedWithoutASourceWhenTheHostRefusesOne) {
    auto queue = std::make_shared<fake::ManualQueue>();
    auto events = std::make_shared<fake::FakeInputEvents>();
    events->setSourceAvailable(false);
    auto injector = InputInjector::create(
        queue, {events, nullptr, std::make_shared<ScriptedDisplays>(), queue, queue});
    EXPECT_EQ(injector->source(), nullptr);
    injector->handle(PointerEvent(Kind::rightClick, 0, 0, 0.5, 0.5));
    auto posted = events->events();
    ASSERT_EQ(posted.size(), 3u);
    for (const auto& e : posted) EXPECT_FALSE(e.hasSource);
}

TEST_F(InjectorTest, NormalizedPositionIsRelativeToTheTargetAndAbsentElsewhere) {
    displays->boundsByID[2] = DisplayBounds{1920, 0, 1280, 800};
    displays->boundsByID[5] = DisplayBounds{0, 0, 0.5, 0.5};
    struct Case {
        std::optional<uint32_t> selected;
        std::optional<ScreenPoint> cursor;
        std::optional<InputInjector::NormalizedPosition> expected;
    };
    const std::vector<Case> cases{
        {std::nullopt, ScreenPoint{960, 270}, InputInjector::NormalizedPosition{0.5, 0.25}},
        {2, ScreenPoint{1920 + 320, 600}, InputInjector::NormalizedPosition{0.25, 0.75}},
        {2, ScreenPoint{100, 100}, std::nullopt},
        {2, ScreenPoint{3200, 100}, std::nullopt},  // the right edge is outside
        {std::nullopt, std::nullopt, InputInjector::NormalizedPosition{0, 0}},  // unreadable: 0,0
    };
    for (const auto& c : cases) {
        displays->selectedID = c.selected;
        events->setCursorPosition(c.cursor);
        EXPECT_EQ(injector->currentNormalizedPosition(), c.expected);
    }
}

// ---------------------------------------------------------------------------------------
// Raising after a click

class RaiseTest : public InjectorTest {
protected:
    static constexpr int32_t kOwn = 10, kFront = 20, kBehind = 30, kShell = 40;
    void SetUp() override {
        windows->setOwnPID(kOwn);
        windows->setFrontmostPID(kFront);
        windows->setApplicationClass(kFront, "Front");
        windows->setApplicationClass(kBehind, "Behind");
        windows->setApplicationClass(kShell, "Panel");
        windows->setWindows({
            {1, WindowKind::dock, kShell, DisplayBounds{0, 1000, 1920, 80}},       // a panel
            {2, WindowKind::normal, kOwn, DisplayBounds{0, 40, 200, 200}},         // the agent's own window
            {3, WindowKind::normal, kFront, DisplayBounds{300, 40, 400, 400}},     // the active application
            {4, WindowKind::notification, kShell, DisplayBounds{800, 40, 100, 100}},  // a notification
            {5, WindowKind::normal, kBehind, DisplayBounds{0, 0, 1920, 1080}},     // background window
        });
    }
    void click(double x, double y) {
        injector->handle(PointerEvent(Kind::leftClick, 0, 0, x / 1920, y / 1080));
        clock->advance(1);  // keep the clicks single
    }
};

TEST_F(RaiseTest, AClickOnABackgroundWindowRaisesAndActivatesItAfterTheClickEvents) {
    click(1000, 500);
    EXPECT_EQ(events->events().size(), 3u);
    EXPECT_EQ(windows->windowListQueries(), 0u);  // not on the pointer path
    axQueue->runUntilIdle();
    EXPECT_EQ(windows->raised(), (std::vector<uint64_t>{5}));
    EXPECT_EQ(windows->activated(), (std::vector<int32_t>{kBehind}));
}

TEST_F(RaiseTest, ClicksThatRaiseNothing) {
    struct Case {
        const char* what;
        ScreenPoint point;
    };
    // A system surface above the background window: the window below is the hit, but the
    // click landed on the surface, which stays as it is, and so does the window.
    const std::vector<Case> cases{
        {"top 30 points", {1000, 29}},
        {"own window", {100, 100}},
        {"frontmost application", {400, 100}},
        {"a notification over the window behind", {850, 100}},
        {"a panel over the window behind", {1000, 1050}},
    };
    for (const auto& c : cases) {
        click(c.point.x, c.point.y);
        axQueue->runUntilIdle();
        EXPECT_TRUE(windows->raised().empty()) << c.what;
    }
}

TEST_F(RaiseTest, TheWindowAtThePointDecidesAndOnlyApplicationWindowsAndDialogsRise) {
    // Window 6 lies on top of the background window where the click lands.
    struct Case {
        WindowKind kind;
        std::optional<int32_t> pid;
        std::optional<uint64_t> raised;
    };
    const std::vector<Case> cases{
        {WindowKind::normal, kBehind, 6},
        {WindowKind::dialog, kBehind, 6},
        {WindowKind::utility, kBehind, std::nullopt},  // a floating palette stays put
        {WindowKind::splash, kBehind, std::nullopt},
        {WindowKind::menu, kBehind, std::nullopt},
        {WindowKind::desktop, kShell, std::nullopt},
        {WindowKind::other, kShell, std::nullopt},     // a tooltip
        {WindowKind::normal, std::nullopt, 6},         // unreadable pid: go on
        {WindowKind::dialog, kOwn, std::nullopt},
    };
    for (const auto& c : cases) {
        auto local = std::make_shared<fake::FakeWindowServices>();
        windows = local;
        SetUp();
        auto list = windows->onScreenWindows();
        list.insert(list.begin(), WindowInfo{6, c.kind, c.pid, DisplayBounds{900, 400, 200, 200}});
        windows->setWindows(list);
        injector = InputInjector::create(eventQueue, {events, windows, displays, axQueue, momentumQueue});
        click(1000, 500);
        axQueue->runUntilIdle();
        if (c.raised) {
            EXPECT_EQ(windows->raised(), (std::vector<uint64_t>{*c.raised})) << static_cast<int>(c.kind);
        } else {
            EXPECT_TRUE(windows->raised().empty()) << static_cast<int>(c.kind);
        }
    }
}

TEST_F(RaiseTest, QueuedRaisingDoesNothingOnceTheInjectorIsGone) {
    click(1000, 500);
    injector.reset();
    axQueue->runUntilIdle();
    EXPECT_TRUE(windows->raised().empty());
    EXPECT_EQ(windows->windowListQueries(), 0u);
}

TEST_F(InjectorTest, DroppingTheInjectorReleasesWhatThePhoneHeld) {
    injector->handle(at(Kind::leftDown, 0.5, 0.5));
    injector.reset();
    EXPECT_EQ(events->releaseHeldInputCalls(), 1u);
}

}  // namespace
}  // namespace df::testsupport
