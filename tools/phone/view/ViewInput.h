#pragma once
// What a person does in the viewer window, turned into the messages a phone sends: the
// pointer as absolute positions on the picture, wheel turns as scroll amounts, typing as
// text, and keys that type nothing (or that come with Control, Alt or Meta) as key presses
// by Mac virtual key code. Knows nothing of the toolkit: the window hands it positions in
// its own pixels, buttons, wheel angles and X keysyms (what Qt reports as a key's native
// virtual key on X11 and Wayland). Used on the window's thread only.

#include "protocol/ControlMessage.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace df::phone {

/// Where the picture is drawn in the window, in whole window pixels: as large as fits with
/// its aspect kept, centred, with bars on the two other sides.
struct PictureRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool operator==(const PictureRect&) const = default;
};

/// Empty (width 0) while either size is not positive.
PictureRect fitPicture(int pictureWidth, int pictureHeight, int viewWidth, int viewHeight);

/// The Mac virtual key code of the key that gives this keysym on a US keyboard (an
/// upper-case letter or a shifted symbol gives its key's code); nothing for keys without one.
std::optional<uint16_t> macKeyCodeForKeysym(uint32_t keysym);

class ViewInput {
public:
    using Messages = std::vector<ControlMessage>;

    enum class Button { left, right, other };

    /// Modifier keys held, as a bit set.
    enum Modifier : uint8_t { shift = 1, control = 2, alt = 4, meta = 8 };

    /// One wheel notch in eighths of a degree, the unit X and Qt count wheel turns in.
    static constexpr int kNotchAngle = 120;

    /// `pixelsPerNotch`: the scroll amount a notch of the wheel sends.
    explicit ViewInput(double pixelsPerNotch = 50);

    /// The stream's picture size (0 while there is none: the pointer then sends nothing).
    void setPicture(int width, int height);
    /// The size of the window's drawing area.
    void setView(int width, int height);
    PictureRect pictureRect() const { return rect_; }

    /// Positions are window pixels; a position on a bar counts as the nearest picture edge.
    Messages mouseMove(double x, double y);
    Messages mousePress(Button button, double x, double y);
    Messages mouseRelease(Button button, double x, double y);
    /// Wheel angles in eighths of a degree; positive y is away from the person (up),
    /// positive x is to the left.
    Messages wheel(int angleX, int angleY);
    Messages keyPress(uint32_t keysym, std::string_view text, uint8_t modifiers, bool autoRepeat);
    Messages keyRelease(uint32_t keysym, uint8_t modifiers, bool autoRepeat);
    /// The window lost the keyboard or closes: releases what this side still holds down
    /// on the computer (keys, the left button), since their releases will not come here.
    Messages focusLost();

private:
    struct Position {
        double x = 0;
        double y = 0;
        bool operator==(const Position&) const = default;
    };
    std::optional<Position> normalised(double x, double y) const;
    Messages pointer(PointerEvent::Kind kind, double x, double y);

    double pixelsPerNotch_;
    int pictureWidth_ = 0;
    int pictureHeight_ = 0;
    int viewWidth_ = 0;
    int viewHeight_ = 0;
    PictureRect rect_;
    std::optional<Position> lastSent_;
    bool leftDown_ = false;
    std::set<uint16_t> keysDown_;  ///< Mac key codes sent down and not yet up
};

}  // namespace df::phone
