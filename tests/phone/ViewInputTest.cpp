// The viewer window's input as the phone's messages: where a window pixel lands on the
// computer's screen through a letterboxed picture, what the wheel and the keys send, and
// that every key the agent can press is one the window can send.

#include "platform/linux/input/MacKeyCodes.h"
#include "platform/linux/input/WheelNotches.h"
#include "tools/phone/view/ViewInput.h"

#include <gtest/gtest.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cmath>

namespace df::phone {
namespace {

using Kind = PointerEvent::Kind;
using Button = ViewInput::Button;

TEST(ViewInputTest, PictureIsFittedWithItsAspectAndCentred) {
    struct Case { int pw, ph, vw, vh; PictureRect want; };
    const Case cases[] = {
        {64, 64, 400, 200, {100, 0, 200, 200}},       // bars left and right
        {1920, 1080, 800, 800, {0, 175, 800, 450}},   // bars above and below
        {1920, 1080, 1920, 1080, {0, 0, 1920, 1080}}, // one to one
        {1280, 720, 2560, 1440, {0, 0, 2560, 1440}},  // enlarged
        {0, 0, 640, 360, {0, 0, 0, 0}},               // no picture yet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pw << "x" << c.ph << " in " << c.vw << "x" << c.vh);
        EXPECT_EQ(fitPicture(c.pw, c.ph, c.vw, c.vh), c.want);
    }
}

TEST(ViewInputTest, WindowPixelsLandOnThePictureAndBarsOnItsNearestEdge) {
    struct Case { int pw, ph, vw, vh; double x, y, absX, absY; };
    const double last64 = 63.5 / 64;  // centre of the last pixel: never past the screen's edge
    const Case cases[] = {
        {64, 64, 400, 200, 100, 0, 0.5 / 200, 0.5 / 200},      // top left pixel of the picture
        {64, 64, 400, 200, 299, 199, last64, last64},          // bottom right pixel
        {64, 64, 400, 200, 150, 50, 50.5 / 200, 50.5 / 200},
        {64, 64, 400, 200, 20, 100, 0, 100.5 / 200},           // left bar
        {64, 64, 400, 200, 390, 100, last64, 100.5 / 200},     // right bar
        {1920, 1080, 800, 800, 400, 10, 400.5 / 800, 0},       // top bar
        {1920, 1080, 800, 800, 0, 799, 0.5 / 800, 1079.5 / 1080},  // bottom bar
        {1920, 1080, 1920, 1080, 1919, 1079, 1919.5 / 1920, 1079.5 / 1080},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.pw << "x" << c.ph << " in " << c.vw << "x" << c.vh << " at "
                                        << c.x << "," << c.y);
        ViewInput input;
        input.setView(c.vw, c.vh);
        input.setPicture(c.pw, c.ph);
        const auto m = input.mouseMove(c.x, c.y);
        ASSERT_EQ(m.size(), 1u);
        const auto* p = m[0].get<PointerEvent>();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->kind, Kind::move);
        EXPECT_DOUBLE_EQ(*p->absX, c.absX);
        EXPECT_DOUBLE_EQ(*p->absY, c.absY);
    }
}

TEST(ViewInputTest, ButtonsDragAndRightClickAsThePhoneSendsThem) {
    ViewInput input;
    EXPECT_TRUE(input.mousePress(Button::left, 10, 10).empty()) << "no picture yet, nowhere to point";
    input.setView(100, 100);
    input.setPicture(100, 100);

    auto kinds = [](const ViewInput::Messages& ms) {
        std::vector<Kind> out;
        for (const auto& m : ms) out.push_back(m.get<PointerEvent>()->kind);
        return out;
    };
    using K = std::vector<Kind>;
    EXPECT_EQ(kinds(input.mouseMove(10, 10)), K{Kind::move});
    EXPECT_EQ(kinds(input.mouseMove(10, 10)), K{}) << "the same spot again sends nothing";
    EXPECT_EQ(kinds(input.mousePress(Button::left, 10, 10)), K{Kind::leftDown});
    EXPECT_EQ(kinds(input.mouseMove(30, 40)), K{Kind::move}) << "a move while down is the drag";
    EXPECT_EQ(kinds(input.mouseRelease(Button::left, 30, 40)), K{Kind::leftUp});
    EXPECT_EQ(kinds(input.mouseRelease(Button::left, 30, 40)), K{}) << "no second up";
    EXPECT_EQ(kinds(input.mousePress(Button::right, 50, 50)), K{Kind::rightClick});
    EXPECT_EQ(kinds(input.mouseRelease(Button::right, 50, 50)), K{});
    EXPECT_EQ(kinds(input.mousePress(Button::other, 50, 50)), K{});

    const auto down = input.mousePress(Button::left, 70.0, 20.0);
    ASSERT_EQ(down.size(), 1u);
    EXPECT_EQ(*down[0].get<PointerEvent>(), PointerEvent(Kind::leftDown, 0, 0, 70.5 / 100, 20.5 / 100));
}

TEST(ViewInputTest, WheelNotchesScrollTheComputerTheSameWay) {
    struct Case { int angleX, angleY; double dx, dy; int notchesUp, notchesLeft; };
    const Case cases[] = {
        {0, 120, 0, 50, 1, 0},      // away from the person: up (button 4 on the computer)
        {0, -240, 0, -100, -2, 0},  // two notches down
        {120, 0, 50, 0, 0, 1},      // tilt left (button 6)
        {-60, 0, -25, 0, 0, 0},     // half a notch: gathered by the computer, no click yet
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.angleX << "," << c.angleY);
        ViewInput input(50);
        const auto m = input.wheel(c.angleX, c.angleY);
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(*m[0].get<ScrollEvent>(), ScrollEvent(c.dx, c.dy));
        // The agent's default of 50 pixels a notch turns it back into wheel clicks.
        WheelNotches agent(50, 10);
        const auto n = agent.add(static_cast<int32_t>(std::lround(c.dy)), static_cast<int32_t>(std::lround(c.dx)));
        EXPECT_EQ(n.vertical, c.notchesUp);
        EXPECT_EQ(n.horizontal, c.notchesLeft);
    }
    EXPECT_TRUE(ViewInput().wheel(0, 0).empty());
}

TEST(ViewInputTest, TypingIsTextAndOtherKeysArePressesWithTheirModifiers) {
    using V = ViewInput;
    const auto none = KeyModifiers();
    struct Case { uint32_t keysym; const char* text; uint8_t held; std::optional<ControlMessage> want; };
    const Case cases[] = {
        {XKB_KEY_a, "a", 0, TextInput("a", none)},
        {XKB_KEY_A, "A", V::shift, TextInput("A", none)},  // the text already says shift
        {XKB_KEY_eacute, "\xC3\xA9", 0, TextInput("\xC3\xA9", none)},
        {XKB_KEY_space, " ", 0, TextInput(" ", none)},
        {XKB_KEY_c, "\x03", V::control, KeyEvent(8, true, KeyModifiers::control)},
        {XKB_KEY_T, "\x14", V::control | V::shift, KeyEvent(17, true, KeyModifiers::control | KeyModifiers::shift)},
        {XKB_KEY_exclam, "!", V::control | V::shift, KeyEvent(18, true, KeyModifiers::control | KeyModifiers::shift)},
        {XKB_KEY_s, "s", V::meta, KeyEvent(1, true, KeyModifiers::command)},
        {XKB_KEY_Left, "", V::alt, KeyEvent(123, true, KeyModifiers::option)},
        {XKB_KEY_Return, "\r", 0, KeyEvent(36, true, none)},
        {XKB_KEY_BackSpace, "\b", 0, KeyEvent(51, true, none)},
        {XKB_KEY_Escape, "\x1b", 0, KeyEvent(53, true, none)},
        {XKB_KEY_ISO_Left_Tab, "", V::shift, KeyEvent(48, true, KeyModifiers::shift)},
        {XKB_KEY_F5, "", 0, KeyEvent(96, true, none)},
        {XKB_KEY_KP_Enter, "\r", 0, KeyEvent(76, true, none)},
        {XKB_KEY_Control_L, "", V::control, std::nullopt},  // modifiers travel on each message
        {XKB_KEY_Super_L, "", V::meta, std::nullopt},
        {XKB_KEY_eacute, "\xC3\xA9", V::control, std::nullopt},  // no key of that name
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "keysym 0x" << std::hex << c.keysym << " held " << int(c.held));
        ViewInput input;
        const auto m = input.keyPress(c.keysym, c.text, c.held, false);
        if (!c.want) {
            EXPECT_TRUE(m.empty());
            continue;
        }
        ASSERT_EQ(m.size(), 1u);
        EXPECT_EQ(m[0], *c.want);
    }
}

TEST(ViewInputTest, KeysGoUpOnceAndFocusLossReleasesWhatIsHeld) {
    ViewInput input;
    input.setView(100, 100);
    input.setPicture(100, 100);
    using M = ViewInput::Messages;
    const auto ctrl = KeyModifiers::control;

    EXPECT_EQ(input.keyPress(XKB_KEY_c, "\x03", ViewInput::control, false), (M{KeyEvent(8, true, ctrl)}));
    EXPECT_EQ(input.keyRelease(XKB_KEY_c, 0, true), M{}) << "a repeat's release is not the key going up";
    EXPECT_EQ(input.keyPress(XKB_KEY_c, "\x03", ViewInput::control, true), (M{KeyEvent(8, true, ctrl)}));
    EXPECT_EQ(input.keyRelease(XKB_KEY_c, 0, false), (M{KeyEvent(8, false, KeyModifiers())}));
    EXPECT_EQ(input.keyRelease(XKB_KEY_c, 0, false), M{});
    EXPECT_EQ(input.keyPress(XKB_KEY_x, "x", 0, false), (M{TextInput("x", KeyModifiers())}));
    EXPECT_EQ(input.keyRelease(XKB_KEY_x, 0, false), M{}) << "typed text has no key to release";

    input.keyPress(XKB_KEY_Up, "", 0, false);
    input.keyPress(XKB_KEY_Shift_L, "", ViewInput::shift, false);
    input.mousePress(Button::left, 49, 49);
    EXPECT_EQ(input.focusLost(),
              (M{KeyEvent(126, false, KeyModifiers()), PointerEvent(Kind::leftUp, 0, 0, 0.495, 0.495)}));
    EXPECT_EQ(input.focusLost(), M{});
    EXPECT_EQ(input.keyRelease(XKB_KEY_Up, 0, false), M{});
}

TEST(ViewInputTest, EveryKeyTheAgentPressesCanBeSentFromTheWindow) {
    int checked = 0;
    for (uint16_t code = 0; code < 128; ++code) {
        const uint32_t keysym = macKeyCodeToKeysym(code, CommandKey::super);
        const bool modifierKey = (keysym >= XKB_KEY_Shift_L && keysym <= XKB_KEY_Hyper_R) || keysym == XKB_KEY_Num_Lock;
        if (keysym == 0 || modifierKey) continue;
        SCOPED_TRACE(testing::Message() << "Mac key " << code << ", keysym 0x" << std::hex << keysym);
        EXPECT_EQ(macKeyCodeForKeysym(keysym), code);
        ++checked;
    }
    EXPECT_GT(checked, 90);
}

}  // namespace
}  // namespace df::phone
