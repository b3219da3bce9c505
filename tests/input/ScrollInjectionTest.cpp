// Scroll side of the injector: residuals, phases and the watchdog, momentum and its cancel.
#include "DuskFerryAgent/input/ScrollMath.h"
#include "InputTestSupport.h"

#include <cmath>
#include <limits>

namespace df::testsupport {
namespace {

using Phase = ScrollEvent::Phase;

class ScrollTest : public InjectorTest {
protected:
    // Runs momentum ticks until the run ends (or `limit` ticks) and returns their events.
    std::vector<InputEvent> coast(int limit = 1000) {
        for (int i = 0; i < limit && injector->momentumRunning(); ++i)
            momentumQueue->advance(ScrollMath::momentumInterval);
        return take();
    }
};

TEST_F(ScrollTest, QuarterPixelsPostAtTheSecondAndSixthMessageAndLeaveNoResidual) {
    std::vector<int> postedAt;
    for (int i = 1; i <= 8; ++i) {
        injector->handle(ScrollEvent(0.25, 0));
        auto e = take();
        if (!e.empty()) {
            postedAt.push_back(i);
            EXPECT_EQ(e[0].wheel2, 1);
            EXPECT_EQ(e[0].wheel1, 0);
            EXPECT_FALSE(e[0].scrollPhase.has_value());
        }
        EXPECT_LE(std::abs(injector->scrollResidualX()), 0.5);
    }
    EXPECT_EQ(postedAt, (std::vector<int>{2, 6}));
    EXPECT_EQ(injector->scrollResidualX(), 0.0);
}

TEST_F(ScrollTest, PhasesMapToTheirFieldValuesAndEndedPostsNoDeltas) {
    struct Step {
        ScrollEvent message;
        std::optional<int64_t> phase;
        int32_t wheel1;
        bool posted;
    };
    const std::vector<Step> steps{
        {ScrollEvent(0, 0, Phase::began), ScrollPhase::began, 0, true},
        {ScrollEvent(0, 7, Phase::changed), ScrollPhase::changed, 7, true},
        {ScrollEvent(0, -3.4, Phase::changed), ScrollPhase::changed, -3, true},
        {ScrollEvent(0, 50, Phase::ended, 0.0, 10.0), ScrollPhase::ended, 0, true},
        {ScrollEvent(0, 0), std::nullopt, 0, false},  // plain zero scroll: nothing
        {ScrollEvent(0, -5), std::nullopt, -5, true},
    };
    for (const auto& s : steps) {
        injector->handle(s.message);
        auto e = take();
        ASSERT_EQ(e.size(), s.posted ? 1u : 0u);
        if (!s.posted) continue;
        EXPECT_EQ(e[0].type, T::scrollWheel);
        EXPECT_EQ(e[0].scrollPhase, s.phase);
        EXPECT_EQ(e[0].wheel1, s.wheel1);
        EXPECT_EQ(e[0].flags, std::optional<uint64_t>(EventFlags::none));
        EXPECT_FALSE(e[0].momentumPhase.has_value());
    }
    EXPECT_FALSE(injector->scrollGestureActive());
}

TEST_F(ScrollTest, WatchdogEndsAnUnendedGestureWithoutMomentumAndALaterChangeBeginsAgain) {
    injector->handle(ScrollEvent(0, 1, Phase::began));
    eventQueue->advance(0.5);
    injector->handle(ScrollEvent(0, 1, Phase::changed, 0.0, 5000.0));
    take();
    eventQueue->advance(0.69);
    EXPECT_TRUE(take().empty());  // the deadline moved with the changed message
    eventQueue->advance(0.02);
    auto e = take();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].scrollPhase, std::optional<int64_t>(ScrollPhase::ended));
    EXPECT_EQ(e[0].wheel1, 0);
    EXPECT_FALSE(injector->scrollGestureActive());
    EXPECT_FALSE(injector->momentumRunning());
    eventQueue->advance(5);
    EXPECT_TRUE(take().empty());

    injector->handle(ScrollEvent(0, 2, Phase::changed));
    EXPECT_EQ(take().at(0).scrollPhase, std::optional<int64_t>(ScrollPhase::began));
    // A plain scroll disarms it: no ended event follows.
    injector->handle(ScrollEvent(0, 2));
    take();
    eventQueue->advance(1);
    EXPECT_TRUE(take().empty());
}

TEST_F(ScrollTest, FlingCoastsWithDecayingDeltasAndMomentumPhases) {
    injector->handle(ScrollEvent(0, 0, Phase::began));
    injector->handle(ScrollEvent(0, 0, Phase::ended, std::nullopt, -1200.0));
    take();
    auto e = coast();
    ASSERT_FALSE(e.empty());
    EXPECT_EQ(e.front().wheel1, -19);  // -1200 × 0.95 / 60
    EXPECT_EQ(e.front().momentumPhase, std::optional<int64_t>(MomentumPhase::begin));
    for (size_t i = 1; i + 1 < e.size(); ++i) {
        EXPECT_EQ(e[i].momentumPhase, std::optional<int64_t>(MomentumPhase::continues));
        EXPECT_LE(e[i].wheel1, 0);
        EXPECT_GE(e[i].wheel1, e[i - 1].wheel1);  // decaying towards zero
        EXPECT_FALSE(e[i].scrollPhase.has_value());
    }
    EXPECT_EQ(e.back().momentumPhase, std::optional<int64_t>(MomentumPhase::end));
    EXPECT_FALSE(injector->momentumRunning());
    momentumQueue->advance(1);
    EXPECT_TRUE(take().empty());
}

TEST_F(ScrollTest, CoastingLengthFollowsTheThresholds) {
    struct Case {
        double vx, vy;
        size_t ticks;  // 0: no momentum
    };
    const std::vector<Case> cases{
        {60, 40, 0},         // about 72: too slow
        {80, 0, 0},          // exactly the threshold: too slow
        {80.001, 0, 28},
        {0, 1000, 77},
        {600, -800, 77},     // the length counts, not one axis
    };
    for (const auto& c : cases) {
        injector->handle(ScrollEvent(0, 0, Phase::ended, c.vx, c.vy));
        take();
        EXPECT_EQ(coast().size(), c.ticks) << c.vx << "," << c.vy;
    }
}

TEST_F(ScrollTest, NewInputDuringMomentumPostsOneEndEventFirst) {
    struct Case {
        std::function<void(InputInjector&)> interrupt;
        std::vector<T> expected;
        size_t endEvents;
    };
    const std::vector<Case> cases{
        {[](InputInjector& i) { i.handle(ScrollEvent(0, 5)); }, {T::scrollWheel, T::scrollWheel}, 1},
        {[](InputInjector& i) { i.handle(PointerEvent(PointerEvent::Kind::leftClick, 0, 0, 0.5, 0.5)); },
         {T::scrollWheel, T::mouseMoved, T::leftMouseDown, T::leftMouseUp}, 1},
        {[](InputInjector& i) { i.handle(PointerEvent(PointerEvent::Kind::move, 1, 1)); }, {T::mouseMoved}, 0},
    };
    for (const auto& c : cases) {
        injector->handle(ScrollEvent(0, 0, Phase::ended, 0.0, 3000.0));
        momentumQueue->advance(0.05);
        take();
        c.interrupt(*injector);
        auto e = take();
        ASSERT_EQ(types(e), c.expected);
        if (c.endEvents) {
            EXPECT_EQ(e[0].momentumPhase, std::optional<int64_t>(MomentumPhase::end));
            EXPECT_EQ(e[0].wheel1, 0);
            EXPECT_FALSE(e[0].flags.has_value());  // left as the source gives them
            EXPECT_FALSE(injector->momentumRunning());
            momentumQueue->advance(1);
            EXPECT_TRUE(take().empty());
        } else {
            EXPECT_TRUE(injector->momentumRunning());
            injector->cancelMomentum();
            take();
        }
    }
    // Nothing runs: a cancel posts nothing.
    injector->cancelMomentum();
    EXPECT_TRUE(take().empty());
}

TEST_F(ScrollTest, DeltasAndVelocitiesBeyondThirtyTwoBitsOrNotFiniteAreClamped) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    injector->handle(ScrollEvent(1e300, -inf));
    auto e = take();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].wheel2, 2147483647);
    EXPECT_EQ(e[0].wheel1, -2147483647);
    EXPECT_LE(std::abs(injector->scrollResidualX()), 0.5);
    EXPECT_LE(std::abs(injector->scrollResidualY()), 0.5);

    injector->handle(ScrollEvent(nan, 0.75));
    e = take();
    ASSERT_EQ(e.size(), 1u);  // the residuals were not poisoned
    EXPECT_EQ(e[0].wheel2, 0);
    EXPECT_TRUE(std::isfinite(injector->scrollResidualX()));

    injector->handle(ScrollEvent(0, 0, Phase::ended, nan, -inf));
    take();
    momentumQueue->advance(ScrollMath::momentumInterval);
    e = take();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].wheel2, 0);
    EXPECT_LE(e[0].wheel1, -2000000000);
    injector->cancelMomentum();
}

TEST(ScrollMath, RoundsHalvesAwayFromZero) {
    const std::vector<std::pair<double, int32_t>> cases{
        {0.5, 1}, {-0.5, -1}, {1.49, 1}, {-2.5, -3}, {0.49999, 0}, {-19.0, -19}, {1e20, 2147483647}};
    for (auto [in, out] : cases) EXPECT_EQ(ScrollMath::roundToDelta(in), out) << in;
}

}  // namespace
}  // namespace df::testsupport
