#include "tools/phone/view/ViewInput.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace df::phone {

namespace {

// Mac virtual key codes by keysym, for the keys of a US keyboard. Printable keys are listed
// with their unshifted and shifted symbols; letters by their lower-case keysym.
constexpr std::pair<uint32_t, uint16_t> kKeys[] = {
    {XKB_KEY_a, 0}, {XKB_KEY_s, 1}, {XKB_KEY_d, 2}, {XKB_KEY_f, 3}, {XKB_KEY_h, 4},
    {XKB_KEY_g, 5}, {XKB_KEY_z, 6}, {XKB_KEY_x, 7}, {XKB_KEY_c, 8}, {XKB_KEY_v, 9},
    {XKB_KEY_b, 11}, {XKB_KEY_q, 12}, {XKB_KEY_w, 13}, {XKB_KEY_e, 14}, {XKB_KEY_r, 15},
    {XKB_KEY_y, 16}, {XKB_KEY_t, 17}, {XKB_KEY_o, 31}, {XKB_KEY_u, 32}, {XKB_KEY_i, 34},
    {XKB_KEY_p, 35}, {XKB_KEY_l, 37}, {XKB_KEY_j, 38}, {XKB_KEY_k, 40}, {XKB_KEY_n, 45},
    {XKB_KEY_m, 46},
    {XKB_KEY_1, 18}, {XKB_KEY_exclam, 18}, {XKB_KEY_2, 19}, {XKB_KEY_at, 19},
    {XKB_KEY_3, 20}, {XKB_KEY_numbersign, 20}, {XKB_KEY_4, 21}, {XKB_KEY_dollar, 21},
    {XKB_KEY_5, 23}, {XKB_KEY_percent, 23}, {XKB_KEY_6, 22}, {XKB_KEY_asciicircum, 22},
    {XKB_KEY_7, 26}, {XKB_KEY_ampersand, 26}, {XKB_KEY_8, 28}, {XKB_KEY_asterisk, 28},
    {XKB_KEY_9, 25}, {XKB_KEY_parenleft, 25}, {XKB_KEY_0, 29}, {XKB_KEY_parenright, 29},
    {XKB_KEY_minus, 27}, {XKB_KEY_underscore, 27}, {XKB_KEY_equal, 24}, {XKB_KEY_plus, 24},
    {XKB_KEY_bracketleft, 33}, {XKB_KEY_braceleft, 33}, {XKB_KEY_bracketright, 30},
    {XKB_KEY_braceright, 30}, {XKB_KEY_backslash, 42}, {XKB_KEY_bar, 42},
    {XKB_KEY_semicolon, 41}, {XKB_KEY_colon, 41}, {XKB_KEY_apostrophe, 39},
    {XKB_KEY_quotedbl, 39}, {XKB_KEY_comma, 43}, {XKB_KEY_less, 43}, {XKB_KEY_period, 47},
    {XKB_KEY_greater, 47}, {XKB_KEY_slash, 44}, {XKB_KEY_question, 44}, {XKB_KEY_grave, 50},
    {XKB_KEY_asciitilde, 50}, {XKB_KEY_space, 49},
    {XKB_KEY_Return, 36}, {XKB_KEY_Tab, 48}, {XKB_KEY_ISO_Left_Tab, 48}, {XKB_KEY_BackSpace, 51},
    {XKB_KEY_Escape, 53}, {XKB_KEY_Delete, 117}, {XKB_KEY_Insert, 114}, {XKB_KEY_Home, 115},
    {XKB_KEY_End, 119}, {XKB_KEY_Prior, 116}, {XKB_KEY_Next, 121}, {XKB_KEY_Left, 123},
    {XKB_KEY_Right, 124}, {XKB_KEY_Down, 125}, {XKB_KEY_Up, 126}, {XKB_KEY_Menu, 110},
    {XKB_KEY_F1, 122}, {XKB_KEY_F2, 120}, {XKB_KEY_F3, 99}, {XKB_KEY_F4, 118},
    {XKB_KEY_F5, 96}, {XKB_KEY_F6, 97}, {XKB_KEY_F7, 98}, {XKB_KEY_F8, 100},
    {XKB_KEY_F9, 101}, {XKB_KEY_F10, 109}, {XKB_KEY_F11, 103}, {XKB_KEY_F12, 111},
    {XKB_KEY_F13, 105}, {XKB_KEY_F14, 107}, {XKB_KEY_F15, 113}, {XKB_KEY_F16, 106},
    {XKB_KEY_F17, 64}, {XKB_KEY_F18, 79}, {XKB_KEY_F19, 80}, {XKB_KEY_F20, 90},
    {XKB_KEY_section, 10},  // the extra key left of 1 on ISO keyboards
    {XKB_KEY_KP_0, 82}, {XKB_KEY_KP_1, 83}, {XKB_KEY_KP_2, 84}, {XKB_KEY_KP_3, 85},
    {XKB_KEY_KP_4, 86}, {XKB_KEY_KP_5, 87}, {XKB_KEY_KP_6, 88}, {XKB_KEY_KP_7, 89},
    {XKB_KEY_KP_8, 91}, {XKB_KEY_KP_9, 92}, {XKB_KEY_KP_Decimal, 65}, {XKB_KEY_KP_Multiply, 67},
    {XKB_KEY_KP_Add, 69}, {XKB_KEY_KP_Subtract, 78}, {XKB_KEY_KP_Divide, 75},
    {XKB_KEY_KP_Enter, 76}, {XKB_KEY_KP_Equal, 81},
    {XKB_KEY_XF86AudioRaiseVolume, 72}, {XKB_KEY_XF86AudioLowerVolume, 73},
    {XKB_KEY_XF86AudioMute, 74},
};

// Keys that only change what other keys do. They are not sent on their own: every message
// carries the modifiers held at its time.
bool isModifierKey(uint32_t keysym) {
    return (keysym >= XKB_KEY_Shift_L && keysym <= XKB_KEY_Hyper_R) ||
           (keysym >= XKB_KEY_ISO_Lock && keysym <= XKB_KEY_ISO_Last_Group_Lock) ||
           keysym == XKB_KEY_Mode_switch || keysym == XKB_KEY_Num_Lock;
}

// Text that types something: no control characters (Return, Tab, Backspace and Escape come
// with text of their own and go as keys).
bool typesText(std::string_view text) {
    if (text.empty()) return false;
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

KeyModifiers keyModifiers(uint8_t held) {
    KeyModifiers m;
    if (held & ViewInput::shift) m |= KeyModifiers::shift;
    if (held & ViewInput::control) m |= KeyModifiers::control;
    if (held & ViewInput::alt) m |= KeyModifiers::option;
    if (held & ViewInput::meta) m |= KeyModifiers::command;
    return m;
}

}  // namespace

PictureRect fitPicture(int pictureWidth, int pictureHeight, int viewWidth, int viewHeight) {
    if (pictureWidth <= 0 || pictureHeight <= 0 || viewWidth <= 0 || viewHeight <= 0) return {};
    const double scale = std::min(static_cast<double>(viewWidth) / pictureWidth,
                                  static_cast<double>(viewHeight) / pictureHeight);
    const int w = std::clamp(static_cast<int>(std::lround(pictureWidth * scale)), 1, viewWidth);
    const int h = std::clamp(static_cast<int>(std::lround(pictureHeight * scale)), 1, viewHeight);
    return PictureRect{(viewWidth - w) / 2, (viewHeight - h) / 2, w, h};
}

std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym) {
    if (keysym >= XKB_KEY_A && keysym <= XKB_KEY_Z) keysym += XKB_KEY_a - XKB_KEY_A;
    for (const auto& [sym, code] : kKeys)
        if (sym == keysym) return code;
    return std::nullopt;
}

ViewInput::ViewInput(double pixelsPerNotch) : pixelsPerNotch_(pixelsPerNotch) {}

void ViewInput::setPicture(int width, int height) {
    pictureWidth_ = width;
    pictureHeight_ = height;
    rect_ = fitPicture(pictureWidth_, pictureHeight_, viewWidth_, viewHeight_);
}

void ViewInput::setView(int width, int height) {
    viewWidth_ = width;
    viewHeight_ = height;
    rect_ = fitPicture(pictureWidth_, pictureHeight_, viewWidth_, viewHeight_);
}

// A window pixel stands for its centre; positions off the picture go to its nearest edge
// pixel, so a drag that leaves the picture keeps moving along its border. The far edge is
// the centre of the last picture pixel: 1.0 would address the pixel just beyond the screen.
std::optional<ViewInput::Position> ViewInput::normalised(double x, double y) const {
    if (rect_.width <= 0 || rect_.height <= 0) return std::nullopt;
    const double nx = (x + 0.5 - rect_.x) / rect_.width;
    const double ny = (y + 0.5 - rect_.y) / rect_.height;
    const double maxX = (pictureWidth_ - 0.5) / pictureWidth_;
    const double maxY = (pictureHeight_ - 0.5) / pictureHeight_;
    return Position{std::clamp(nx, 0.0, maxX), std::clamp(ny, 0.0, maxY)};
}

ViewInput::Messages ViewInput::pointer(PointerEvent::Kind kind, double x, double y) {
    const auto at = normalised(x, y);
    if (!at) return {};
    if (kind == PointerEvent::Kind::move && lastSent_ == at) return {};
    lastSent_ = at;
    return {PointerEvent(kind, 0, 0, at->x, at->y)};
}

ViewInput::Messages ViewInput::mouseMove(double x, double y) {
    return pointer(PointerEvent::Kind::move, x, y);
}

ViewInput::Messages ViewInput::mousePress(Button button, double x, double y) {
    switch (button) {
        case Button::left: {
            auto m = pointer(PointerEvent::Kind::leftDown, x, y);
            leftDown_ = leftDown_ || !m.empty();
            return m;
        }
        // The phone has no separate right button: a right click is one message, sent when
        // the button goes down, where a desktop opens its context menu.
        case Button::right: return pointer(PointerEvent::Kind::rightClick, x, y);
        case Button::other: return {};
    }
    return {};
}

ViewInput::Messages ViewInput::mouseRelease(Button button, double x, double y) {
    if (button != Button::left || !leftDown_) return {};
    auto m = pointer(PointerEvent::Kind::leftUp, x, y);
    if (m.empty() && lastSent_) m = {PointerEvent(PointerEvent::Kind::leftUp, 0, 0, lastSent_->x, lastSent_->y)};
    leftDown_ = false;
    return m;
}

ViewInput::Messages ViewInput::wheel(int angleX, int angleY) {
    if (angleX == 0 && angleY == 0) return {};
    return {ScrollEvent(angleX * pixelsPerNotch_ / kNotchAngle, angleY * pixelsPerNotch_ / kNotchAngle)};
}

ViewInput::Messages ViewInput::keyPress(uint32_t keysym, std::string_view text, uint8_t modifiers,
                                        bool autoRepeat) {
    (void)autoRepeat;  // a held key repeats as further downs, as a keyboard does
    if (isModifierKey(keysym)) return {};
    const bool shortcut = modifiers & (control | alt | meta);
    if (!shortcut && typesText(text)) return {TextInput(std::string(text), KeyModifiers())};
    const auto code = macKeyCodeForKeysym(keysym);
    if (!code) return {};
    keysDown_.insert(*code);
    return {KeyEvent(*code, true, keyModifiers(modifiers))};
}

ViewInput::Messages ViewInput::keyRelease(uint32_t keysym, uint8_t modifiers, bool autoRepeat) {
    if (autoRepeat) return {};
    const auto code = macKeyCodeForKeysym(keysym);
    if (!code || !keysDown_.erase(*code)) return {};
    return {KeyEvent(*code, false, keyModifiers(modifiers))};
}

ViewInput::Messages ViewInput::focusLost() {
    Messages m;
    for (uint16_t code : keysDown_) m.push_back(KeyEvent(code, false, KeyModifiers()));
    keysDown_.clear();
    if (leftDown_ && lastSent_) m.push_back(PointerEvent(PointerEvent::Kind::leftUp, 0, 0, lastSent_->x, lastSent_->y));
    leftDown_ = false;
    return m;
}

}  // namespace df::phone
