// The virtual display on real X servers: Xorg with the dummy driver (which can grow one)
// and Xvfb (which cannot). Each test starts its own server. Skipped without Xorg and its
// dummy driver or Xvfb, failed under CI=true.

#include "DuskFerryAgent/capture/VirtualDisplayShim.h"
#include "platform/linux/displays/CvtMode.h"
#include "platform/linux/displays/XRandRDisplays.h"
#include "platform/linux/displays/XRandRVirtualDisplays.h"
#include "tests/support/PrivateXorgDummy.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace df {
namespace {

std::string run(const std::string& command) {
    return testsupport::runOutput(command + " 2>&1").value_or("");
}

TEST(CvtModeTest, TimingsAreThoseOfTheCvtFormula) {
    struct Row {
        uint32_t w, h;
        double rate;
        CvtTimings want;
    };
    // The well-known CVT modelines of `cvt 1920 1080 60` and `cvt 1280 720 60`.
    const std::vector<Row> rows = {
        {1920, 1080, 60, {1920, 1080, 173000000, 2048, 2248, 2576, 1083, 1088, 1120, false, true}},
        {1280, 720, 60, {1280, 720, 74500000, 1344, 1472, 1664, 723, 728, 748, false, true}},
    };
    for (const auto& row : rows) {
        auto t = cvtTimings(row.w, row.h, row.rate);
        ASSERT_TRUE(t) << row.w << "x" << row.h;
        EXPECT_EQ(*t, row.want) << row.w << "x" << row.h;
        const double rate = static_cast<double>(t->dotClockHz) / (t->hTotal * t->vTotal);
        EXPECT_NEAR(rate, row.rate, 0.5);
    }
    // The agent's mode: its size, and a rate within half a hertz of 120.
    auto agent = cvtTimings(2560, 1440, 120);
    ASSERT_TRUE(agent);
    EXPECT_EQ(agent->width, 2560u);
    EXPECT_EQ(agent->height, 1440u);
    EXPECT_NEAR(static_cast<double>(agent->dotClockHz) / (agent->hTotal * agent->vTotal), 120, 0.5);
    EXPECT_FALSE(cvtTimings(0, 1080, 60));
    EXPECT_FALSE(cvtTimings(1920, 1080, 0));
}

TEST(XRandRVirtualDisplaysTest, CreateMakeMainAndDestroyOnTheDummyDriver) {
    DF_REQUIRE_SERVICE(testsupport::haveXorgDummyDriver(), "Xorg with the dummy video driver");
    testsupport::XorgDummy xorg(DF_XORG_DUMMY_CONF);
    ASSERT_FALSE(xorg.name().empty()) << "Xorg did not start";
    const std::string before = testsupport::xrandrLayout(xorg.name());

    auto host = createXRandRVirtualDisplays(xorg.name());
    auto displays = createXRandRDisplays(xorg.name());
    ASSERT_NE(host, nullptr);
    ASSERT_NE(displays, nullptr);
    std::vector<std::string> diagnostics;
    VirtualDisplayShim shim(host, [] { return int64_t{1700000000}; },
                            [&](const std::string& line) { diagnostics.push_back(line); });
    std::unique_ptr<VirtualDisplayHandle> handle;
    const uint32_t id = DFVirtualDisplayCreate(shim, 5120, 2880, 2, "Brevox Display", 120, handle);
    ASSERT_NE(id, 0u) << (diagnostics.empty() ? "" : diagnostics.back());
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->hostName(), "Brevox Display");
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].rfind("[DFVDisplay] created successfully displayID=" + std::to_string(id), 0), 0u)
        << diagnostics[0];

    // A second monitor of 2560x1440, named, right of the main display, on a grown screen.
    const std::string monitors = run("DISPLAY=" + xorg.name() + " xrandr --listmonitors");
    EXPECT_NE(monitors.find("Monitors: 2"), std::string::npos) << monitors;
    EXPECT_NE(monitors.find("Brevox Display 2560/600x1440/340+1920+0"), std::string::npos) << monitors;
    const auto list = displays->activeDisplays(16);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_TRUE(list[0].isMain);
    EXPECT_EQ(list[1].id, id);
    EXPECT_EQ(list[1].name, "Brevox Display");
    EXPECT_EQ(list[1].bounds, (DisplayBounds{1920, 0, 2560, 1440}));
    EXPECT_NEAR(list[1].refreshRate, 120, 0.5);

    // Made main: the primary display, the old main one in a row to its left.
    ASSERT_TRUE(host->configure({{id, 0, 0}, {list[0].id, -1920, 0}}, id));
    const auto main = displays->activeDisplays(16);
    ASSERT_EQ(main.size(), 2u);
    for (const auto& d : main) {
        EXPECT_EQ(d.isMain, d.id == id) << d.name;
        EXPECT_EQ(d.bounds, d.id == id ? (DisplayBounds{1920, 0, 2560, 1440}) : (DisplayBounds{0, 0, 1920, 1080}));
    }
    // And the other way round: the main display left, so the virtual one moves to x = 0.
    ASSERT_TRUE(host->configure({{id, 0, 0}, {list[0].id, 2560, 0}}, id));
    EXPECT_EQ(displays->bounds(id), (DisplayBounds{0, 0, 2560, 1440}));
    EXPECT_EQ(displays->bounds(list[0].id), (DisplayBounds{2560, 0, 1920, 1080}));
    EXPECT_NE(run("DISPLAY=" + xorg.name() + " xrandr --listmonitors").find("Brevox Display 2560/600x1440/340+0+0"),
              std::string::npos);

    // Gone again: the layout is exactly as before, and the output is free for the next one.
    DFVirtualDisplayDestroy(shim, std::move(handle));
    EXPECT_EQ(testsupport::xrandrLayout(xorg.name()), before);
    EXPECT_EQ(DFVirtualDisplayCreate(shim, 5120, 2880, 2, "Brevox Display", 120, handle), id);
    DFVirtualDisplayDestroy(shim, std::move(handle));
    EXPECT_EQ(testsupport::xrandrLayout(xorg.name()), before);
}

TEST(XRandRVirtualDisplaysTest, XvfbHasNoOutputForItAndNothingChanges) {
    DF_REQUIRE_TOOL("Xvfb");
    testsupport::Xvfb xvfb({1920, 1080});
    ASSERT_FALSE(xvfb.name().empty());
    const std::string before = testsupport::xrandrLayout(xvfb.name());
    // A server started a moment ago on a loaded machine may turn the first connection away;
    // a few tries within a second tell that from a server without RandR 1.5.
    auto host = createXRandRVirtualDisplays(xvfb.name());
    for (int i = 0; i < 10 && !host; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        host = createXRandRVirtualDisplays(xvfb.name());
    }
    ASSERT_NE(host, nullptr);
    std::vector<std::string> diagnostics;
    VirtualDisplayShim shim(host, [] { return int64_t{5}; }, [&](const std::string& line) { diagnostics.push_back(line); });
    std::unique_ptr<VirtualDisplayHandle> handle;
    EXPECT_EQ(DFVirtualDisplayCreate(shim, 5120, 2880, 2, "Brevox Display", 120, handle), 0u);
    EXPECT_FALSE(handle);
    ASSERT_TRUE(shim.lastFailure());
    EXPECT_EQ(shim.lastFailure()->kind, VirtualDisplayFailure::Kind::noOutput);
    ASSERT_EQ(diagnostics.size(), 1u);
    EXPECT_EQ(diagnostics[0].rfind("[DFVDisplay] no output can take a virtual display", 0), 0u) << diagnostics[0];
    EXPECT_EQ(testsupport::xrandrLayout(xvfb.name()), before);
}

}  // namespace
}  // namespace df
