// Display choice on the fake display service.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/fake/displays/FakeDisplays.h"

#include <gtest/gtest.h>

#include <string>

namespace df {
namespace {

class DisplayTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{11, "DP-1", {0, 0, 1920, 1080}, false, 60},
                               {12, "", {1920, 0, 2560.7, 1440.9}, true, 144},
                               {13, "HDMI-1", {0, 1080, 1280, 720}, false, 60}});
    }
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    DisplayTarget target{displays};
    L10n english{std::vector<std::string>{"en"}};
    VirtualDisplayControl virtualDisplay;
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
        target.setVirtualDisplayID(row.virtualID);
        target.setSelectedDisplayID(row.selectedID);
        EXPECT_EQ(target.currentDisplayID(), row.current);
    }
    target.setSelectedDisplayID(13);
    displays->setBounds(13, {0, 0, 0, 0});  // just disconnected
    EXPECT_EQ(target.currentDisplayID(), 12u);
    EXPECT_EQ(target.currentBounds(), (DisplayBounds{1920, 0, 2560.7, 1440.9}));
}

TEST_F(DisplayTargetTest, ActiveDisplaysNameTruncateAndMarkCurrent) {
    auto list = target.activeDisplays(english);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0], DisplayInfo(11, "DP-1", 1920, 1080, false));
    EXPECT_EQ(list[1], DisplayInfo(12, "Display 2", 2560, 1440, true));
    EXPECT_EQ(list[2], DisplayInfo(13, "HDMI-1", 1280, 720, false));
}

TEST_F(DisplayTargetTest, MainIsFirstActiveWhenNoneIsMainAndAbsentWithoutDisplays) {
    displays->setDisplays({{21, "a", {0, 0, 800, 600}, false, 60}, {22, "b", {800, 0, 800, 600}, false, 60}});
    EXPECT_EQ(target.systemMainID(), 21u);
    displays->setDisplays({});
    EXPECT_EQ(target.systemMainID(), std::nullopt);
    EXPECT_EQ(target.currentDisplayID(), std::nullopt);
    EXPECT_TRUE(target.activeDisplays(english).empty());
    EXPECT_TRUE(DisplayTarget(nullptr).activeDisplays(english).empty()) << "no display service: no displays";
    std::vector<DisplayDescription> many(20, DisplayDescription{1, "x", {0, 0, 10, 10}, false, 0});
    for (uint32_t i = 0; i < many.size(); ++i) many[i].id = 100 + i;
    displays->setDisplays(many);
    EXPECT_EQ(target.activeDisplays(english).size(), 16u);
}

TEST_F(DisplayTargetTest, EmptyVirtualDisplaySlotsDoNothingInstalledOnesAreCalled) {
    virtualDisplay.setEnabled(true);
    virtualDisplay.enableAuto();
    virtualDisplay.setSessionActive(true);
    std::vector<std::string> calls;
    virtualDisplay.installSetEnabled([&](bool on) { calls.push_back(on ? "on" : "off"); });
    virtualDisplay.installEnableAuto([&] { calls.push_back("auto"); });
    virtualDisplay.installSetSessionActive([&](bool a) { calls.push_back(a ? "active" : "inactive"); });
    virtualDisplay.setEnabled(false);
    virtualDisplay.enableAuto();
    virtualDisplay.setSessionActive(true);
    EXPECT_EQ(calls, (std::vector<std::string>{"off", "auto", "active"}));
}

}  // namespace
}  // namespace df
