#pragma once
// Pixel scroll deltas to whole wheel notches. X has no pixel scrolling for synthesised
// input, only the wheel buttons (4/5 vertical, 6/7 horizontal); pixels are gathered per
// axis until they make a notch, so that slow pans and fast flings both scroll in proportion
// to the finger's travel. A change of direction drops the gathered pixels of the old one.
//
// Not thread-safe; the owner serialises calls.

#include <cstdint>

namespace df {

class WheelNotches {
public:
    struct Notches {
        int vertical = 0;    ///< positive: up (button 4)
        int horizontal = 0;  ///< positive: left (button 6)
    };

    /// `pixelsPerNotch` > 0; at most `maxNotches` are released per call on each axis, so
    /// that an absurd delta cannot flood the server with button clicks.
    WheelNotches(double pixelsPerNotch, int maxNotches);

    /// Wheel 1 is vertical, wheel 2 horizontal, as on the posted events.
    Notches add(int32_t wheel1, int32_t wheel2);

private:
    int addAxis(double& gathered, int32_t delta);

    double pixelsPerNotch_;
    int maxNotches_;
    double vertical_ = 0;
    double horizontal_ = 0;
};

}  // namespace df
