// Display choice on the fake display service.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "platform/fake/displays/FakeDisplays.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace df {
namespace {

class DisplayTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LANGUAGE", "en", 1);
        displays->setDisplays({{11, "DP-1", {0, 0, 1920, 1080}, false, 60},
                               {12, "", {1920, 0, 2560.7, 1440.9}, true, 144},
                               {13, "HDMI-1", {0, 1080, 1280, 720}, false, 60}});
        DisplayTarget::install(displays);
        DisplayTarget::setSelectedDisplayID(std::nullopt);
        DisplayTarget::setVirtualDisplayID(std::nullopt);
    }
    void TearDown() override {
        DisplayTarget::install(nullptr);
        DisplayTarget::setSelectedDisplayID(std::nullopt);
        DisplayTarget::setVirtualDisplayID(std::nullopt);
        VirtualDisplayControl::clear();
    }
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
};

TEST_F(DisplayTargetTest, CurrentDisplayPrefersVirtualThenSelectedWhenTheyHaveWidth) {
    struct Row {
        std::optional<uint32_t> virtualID, selectedID;
        uint32_t current;
    };
    const std::vector<Row> rows{
        {std::nullopt, std::nullopt, 12},  // the main display
        {std::nullopt, 13, 13},
        {11, 13, 11},
        {99, 13, 12},  // a virtual display that is gone: not the selected one, the main one
        {std::nullopt, 99, 12},
    };
    for (const auto& row : rows) {
        DisplayTarget::setVirtualDisplayID(row.virtualID);
        DisplayTarget::setSelectedDisplayID(row.selectedID);
        EXPECT_EQ(DisplayTarget::currentDisplayID(), row.current);
    }
    DisplayTarget::setSelectedDisplayID(13);
    displays->setBounds(13, {0, 0, 0, 0});  // just disconnected
    EXPECT_EQ(DisplayTarget::currentDisplayID(), 12u);
    EXPECT_EQ(DisplayTarget::currentBounds(), (DisplayBounds{1920, 0, 2560.7, 1440.9}));
}

TEST_F(DisplayTargetTest, ActiveDisplaysNameTruncateAndMarkCurrent) {
    auto list = DisplayTarget::activeDisplays();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], DisplayInfo(11, "DP-1", 1920, 1080, false));
    EXPECT_EQ(list[1], DisplayInfo(12, "Display 2", 2560, 1440, true));
    EXPECT_EQ(list[2], DisplayInfo(13, "HDMI-1", 1280, 720, false));
}

TEST_F(DisplayTargetTest, MainIsFirstActiveWhenNoneIsMainAndAbsentWithoutDisplays) {
    displays->setDisplays({{21, "a", {0, 0, 800, 600}, false, 60}, {22, "b", {800, 0, 800, 600}, false, 60}});
    EXPECT_EQ(DisplayTarget::systemMainID(), 21u);
    displays->setDisplays({});
    EXPECT_EQ(DisplayTarget::systemMainID(), std::nullopt);
    EXPECT_EQ(DisplayTarget::currentDisplayID(), std::nullopt);
    EXPECT_TRUE(DisplayTarget::activeDisplays().empty());
    std::vector<DisplayDescription> many(20, DisplayDescription{1, "x", {0, 0, 10, 10}, false, 0});
    for (uint32_t i = 0; i < many.size(); ++i) many[i].id = 100 + i;
    displays->setDisplays(many);
    EXPECT_EQ(DisplayTarget::activeDisplays().size(), 16u);
}

TEST_F(DisplayTargetTest, EmptyVirtualDisplaySlotsDoNothingInstalledOnesAreCalled) {
    VirtualDisplayControl::setEnabled(true);
    VirtualDisplayControl::enableAuto();
    VirtualDisplayControl::setSessionActive(true);
    std::vector<std::string> calls;
    VirtualDisplayControl::installSetEnabled([&](bool on) { calls.push_back(on ? "on" : "off"); });
    VirtualDisplayControl::installEnableAuto([&] { calls.push_back("auto"); });
    VirtualDisplayControl::installSetSessionActive([&](bool a) { calls.push_back(a ? "active" : "inactive"); });
    VirtualDisplayControl::setEnabled(false);
    VirtualDisplayControl::enableAuto();
    VirtualDisplayControl::setSessionActive(true);
    EXPECT_EQ(calls, (std::vector<std::string>{"off", "auto", "active"}));
}

}  // namespace
}  // namespace df
