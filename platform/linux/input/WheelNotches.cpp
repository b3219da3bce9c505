#include "platform/linux/input/WheelNotches.h"

#include <cmath>

namespace df {

WheelNotches::WheelNotches(double pixelsPerNotch, int maxNotches)
    : pixelsPerNotch_(pixelsPerNotch > 0 ? pixelsPerNotch : 1), maxNotches_(maxNotches > 0 ? maxNotches : 1) {}

WheelNotches::Notches WheelNotches::add(int32_t wheel1, int32_t wheel2) {
    Notches n;
    n.vertical = addAxis(vertical_, wheel1);
    n.horizontal = addAxis(horizontal_, wheel2);
    return n;
}

int WheelNotches::addAxis(double& gathered, int32_t delta) {
    if (delta == 0) return 0;
    if ((gathered > 0 && delta < 0) || (gathered < 0 && delta > 0)) gathered = 0;
    gathered += delta;
    double whole = std::trunc(gathered / pixelsPerNotch_);
    if (std::fabs(whole) > maxNotches_) {
        gathered = 0;
        return whole > 0 ? maxNotches_ : -maxNotches_;
    }
    gathered -= whole * pixelsPerNotch_;
    return static_cast<int>(whole);
}

}  // namespace df
