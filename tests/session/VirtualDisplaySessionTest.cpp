// The virtual display end to end: the agent program on a private Xorg with the dummy driver
// (and on Xvfb, which cannot grow one) with the reference phone client asking for it.

#include "tests/support/PrivateXorgDummy.h"
#include "tests/support/PrivateXvfb.h"
#include "tests/support/RequireService.h"
#include "tests/support/VirtualDisplayTrial.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

namespace df {
namespace {

std::string run(const std::string& command) {
    return testsupport::runOutput(command + " 2>&1").value_or("");
}

TEST(VirtualDisplaySessionTest, ThePhoneTurnsItOnSeesItAndTheServerIsLeftAsFound) {
    DF_REQUIRE_SERVICE(testsupport::haveXorgDummyDriver(),
                       "Xorg with the dummy video driver");
    testsupport::XorgDummy xorg(DF_XORG_DUMMY_CONF);
    ASSERT_FALSE(xorg.name().empty()) << "Xorg did not start";
    const std::string before = testsupport::xrandrLayout(xorg.name());
    {
        testsupport::VirtualDisplayTrial trial(DF_AGENT_BIN, xorg.name());
        ASSERT_TRUE(trial.connect()) << trial.error();
        EXPECT_TRUE(trial.waitForPicture([](int w, int h) { return w == 1920 && h == 1080; }, 1));
        trial.sendVirtualDisplay(true);

        // The stream moves to the new display, decoded at its size; the hello acknowledgement
        // of the resync lists it as the current display.
        EXPECT_TRUE(trial.waitForPicture([](int w, int h) { return w == 2560 && h == 1440; }, 15));
        auto ack = trial.waitForPhoneLine("virtualDisplay=on", 5);
        ASSERT_TRUE(ack);
        EXPECT_NE(ack->find("Brevox Display\":2560x1440*"), std::string::npos) << *ack;
        // During the session it is the main display, the old one to its left.
        const std::string monitors = run("DISPLAY=" + xorg.name() + " xrandr --listmonitors");
        EXPECT_NE(monitors.find("*Brevox Display 2560/600x1440/340+1920+0"), std::string::npos) << monitors;
        EXPECT_NE(monitors.find("DUMMY0 1920/508x1080/286+0+0"), std::string::npos) << monitors;

        // The phone leaves: 3 s later the old main display is back; the display it asked
        // for stays.
        trial.stopPhone();
        std::string after;
        for (int i = 0; i < 100; ++i) {
            after = run("DISPLAY=" + xorg.name() + " xrandr --listmonitors");
            if (after.find("+*DUMMY0") != std::string::npos) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        EXPECT_NE(after.find("+*DUMMY0 1920/508x1080/286+0+0"), std::string::npos) << after;
        EXPECT_NE(after.find(" Brevox Display 2560/600x1440/340+1920+0"), std::string::npos) << after;
        trial.stopAgent();
    }
    EXPECT_EQ(testsupport::xrandrLayout(xorg.name()), before);
}

TEST(VirtualDisplaySessionTest, OnXvfbTheAgentSaysSoOnceAndStreamsOn) {
    DF_REQUIRE_TOOL("Xvfb");
    testsupport::Xvfb xvfb({1280, 720});
    ASSERT_FALSE(xvfb.name().empty());
    const std::string before = testsupport::xrandrLayout(xvfb.name());
    testsupport::VirtualDisplayTrial trial(DF_AGENT_BIN, xvfb.name());
    ASSERT_TRUE(trial.connect()) << trial.error();
    trial.sendVirtualDisplay(true);
    const std::string text = "This computer's display server cannot add a virtual display";
    EXPECT_TRUE(trial.waitForAgentLine(text, 5));
    trial.sendVirtualDisplay(true);
    EXPECT_TRUE(trial.waitForPhoneLine("virtualDisplay=off", 5));  // the resync's report
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const auto lines = trial.agentLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), text), 1);
    EXPECT_EQ(testsupport::xrandrLayout(xvfb.name()), before);
    trial.stopPhone();
}

}  // namespace
}  // namespace df
