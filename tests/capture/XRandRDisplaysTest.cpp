// The XRandR display service on a real X server (Xvfb, monitors added by the test).
// Skipped without DISPLAY, failed under CI=true.

#include "platform/linux/displays/XRandRDisplays.h"
#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace df {
namespace testsupport {
/// Adds (or with width 0 removes) a RandR monitor without outputs on $DISPLAY, as
/// `xrandr --setmonitor` does; false when the display cannot be opened.
bool setMonitor(const char* name, int x, int width);
}  // namespace testsupport
namespace {
using testsupport::setMonitor;

TEST(XRandRDisplaysTest, ReportsMonitorsWithStableIdsBoundsAndPrimary) {
    DF_REQUIRE_SERVICE(std::getenv("DISPLAY"), "an X display ($DISPLAY)");
    auto displays = createXRandRDisplays();
    ASSERT_NE(displays, nullptr);
    // Split the screen into two monitors so that there is more than one display.
    ASSERT_TRUE(setMonitor("df-left", 0, 960));
    ASSERT_TRUE(setMonitor("df-right", 960, 960));
    auto list = displays->activeDisplays(16);
    std::optional<DisplayBounds> leftAgain;
    for (const auto& d : list) {
        if (d.name == "df-left") leftAgain = displays->bounds(d.id);
    }
    setMonitor("df-left", 0, 0);
    setMonitor("df-right", 0, 0);
    ASSERT_GE(list.size(), 2u);
    const DisplayDescription* left = nullptr;
    const DisplayDescription* right = nullptr;
    for (const auto& d : list) {
        if (d.name == "df-left") left = &d;
        if (d.name == "df-right") right = &d;
    }
    ASSERT_NE(left, nullptr);
    ASSERT_NE(right, nullptr);
    EXPECT_EQ(left->bounds, (DisplayBounds{0, 0, 960, 1080}));
    EXPECT_EQ(right->bounds, (DisplayBounds{960, 0, 960, 1080}));
    EXPECT_NE(left->id, right->id);
    EXPECT_EQ(leftAgain, left->bounds);
    EXPECT_EQ(displays->bounds(left->id), DisplayBounds{});  // removed: no longer active

    // The screen's own output keeps its ID between queries and connections. (Xvfb's modes
    // carry no dot clock, so its refresh rate reads as unknown.)
    auto again = createXRandRDisplays()->activeDisplays(16);
    ASSERT_FALSE(again.empty());
    EXPECT_EQ(again[0].id, displays->activeDisplays(16)[0].id);
    EXPECT_GE(again[0].refreshRate, 0);
    EXPECT_EQ(displays->bounds(0xfffffff0u), DisplayBounds{});
}

}  // namespace
}  // namespace df
