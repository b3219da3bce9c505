// The host-side translations of the X11 event services that need no X server: pixel
// deltas to wheel notches, Mac key codes to keysyms under both Command settings.
#include <gtest/gtest.h>

#include "platform/linux/input/MacKeyCodes.h"
#include "platform/linux/input/WheelNotches.h"

#include <X11/XF86keysym.h>
#include <X11/keysym.h>

namespace df {
namespace {

TEST(WheelNotches, GathersPixelsIntoNotchesProportionallyAndDropsThemOnReversal) {
    struct Step {
        int32_t wheel1, wheel2;
        int vertical, horizontal;
    };
    const std::vector<Step> steps{
        {10, 0, 0, 0}, {10, 0, 0, 0}, {10, 0, 0, 0}, {10, 0, 0, 0}, {10, 0, 1, 0},  // slow pan: 50 px
        {-20, 0, 0, 0},                                                              // reversal
        {-40, 0, -1, 0},                                                             // 60 px down: 1 notch, 10 left
    };
    WheelNotches w(50, 40);
    for (size_t i = 0; i < steps.size(); ++i) {
        auto n = w.add(steps[i].wheel1, steps[i].wheel2);
        EXPECT_EQ(n.vertical, steps[i].vertical) << i;
        EXPECT_EQ(n.horizontal, steps[i].horizontal) << i;
    }
    auto n = w.add(-40, 30);  // 10 left over + 40 = 50 down: one notch; 30 px sideways: none
    EXPECT_EQ(n.vertical, -1);
    EXPECT_EQ(n.horizontal, 0);
    n = w.add(0, 20);
    EXPECT_EQ(n.horizontal, 1);

    // A fling's big deltas give many notches at once, capped per event.
    WheelNotches fling(50, 40);
    EXPECT_EQ(fling.add(-260, 0).vertical, -5);
    EXPECT_EQ(fling.add(2147483647, -2147483647 - 1).vertical, 40);
    EXPECT_EQ(fling.add(0, 0).vertical, 0);
    EXPECT_EQ(fling.add(50, 0).vertical, 1);  // nothing carried over from the capped one
}

TEST(MacKeyCodes, AnsiLayoutAndTheCommandSetting) {
    struct Case {
        uint16_t mac;
        uint32_t control;  // with Command acting as Control
        uint32_t super;    // with Command acting as Super
    };
    const std::vector<Case> cases{
        {0, XK_a, XK_a},           {8, XK_c, XK_c},           {29, XK_0, XK_0},
        {24, XK_equal, XK_equal},  {39, XK_apostrophe, XK_apostrophe},
        {36, XK_Return, XK_Return}, {48, XK_Tab, XK_Tab},      {49, XK_space, XK_space},
        {51, XK_BackSpace, XK_BackSpace}, {117, XK_Delete, XK_Delete}, {53, XK_Escape, XK_Escape},
        {55, XK_Control_L, XK_Super_L}, {54, XK_Control_R, XK_Super_R},
        {56, XK_Shift_L, XK_Shift_L}, {58, XK_Alt_L, XK_Alt_L}, {59, XK_Control_L, XK_Control_L},
        {122, XK_F1, XK_F1},       {103, XK_F11, XK_F11},     {90, XK_F20, XK_F20},
        {123, XK_Left, XK_Left},   {126, XK_Up, XK_Up},       {116, XK_Prior, XK_Prior},
        {82, XK_KP_0, XK_KP_0},    {76, XK_KP_Enter, XK_KP_Enter}, {74, XF86XK_AudioMute, XF86XK_AudioMute},
        {63, 0, 0},                {52, 0, 0},                {200, 0, 0},  {65535, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(macKeyCodeToKeysym(c.mac, CommandKey::control), c.control) << c.mac;
        EXPECT_EQ(macKeyCodeToKeysym(c.mac, CommandKey::super), c.super) << c.mac;
    }
    // Every letter, digit and punctuation key of the ANSI block has a keysym.
    for (uint16_t mac = 0; mac <= 50; ++mac) {
        if (mac == 10 || mac == 52) continue;
        EXPECT_NE(macKeyCodeToKeysym(mac, CommandKey::control), 0u) << mac;
    }
}

}  // namespace
}  // namespace df
