#include "DuskFerryAgent/input/ScrollMath.h"

#include <algorithm>
#include <cmath>

namespace df::ScrollMath {

int32_t roundToDelta(double value) {
    if (std::isnan(value)) return 0;
    double r = std::round(value);  // halves away from zero
    return static_cast<int32_t>(std::clamp(r, minDelta, maxDelta));
}

double clampFinite(double value, double limit) {
    if (std::isnan(value)) return 0;
    return std::clamp(value, -limit, limit);
}

int32_t accumulate(double& residual, double delta) {
    double sum = residual + clampFinite(delta, maxDelta);
    int32_t whole = roundToDelta(sum);
    // Only differs from sum − whole when the sum was clamped: the excess that no 32-bit
    // delta can carry is dropped instead of piling up.
    residual = std::clamp(sum - static_cast<double>(whole), -0.5, 0.5);
    return whole;
}

MomentumStep momentumStep(double& vx, double& vy) {
    vx *= momentumDecay;
    vy *= momentumDecay;
    MomentumStep step;
    step.speed = std::hypot(vx, vy);
    step.deltaY = roundToDelta(vy / 60.0);
    step.deltaX = roundToDelta(vx / 60.0);
    return step;
}

}  // namespace df::ScrollMath
