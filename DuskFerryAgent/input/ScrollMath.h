#pragma once
// Arithmetic of scroll deltas shared by the residual bookkeeping and the momentum ticks.
// Pure functions, any thread.
//
// Posted deltas are signed 32-bit pixels. Inputs that cannot be posted are clamped rather
// than dropped: not-a-number counts as 0, and anything beyond the 32-bit range (including
// infinities) posts the largest delta of that sign. Release velocities are clamped to the
// range whose per-tick delta (one sixtieth) still fits.

#include <cstdint>

namespace df::ScrollMath {

inline constexpr double maxDelta = 2147483647.0;
inline constexpr double minDelta = -2147483648.0;
/// Largest velocity magnitude, in pixels per second, taken from the phone.
inline constexpr double maxVelocity = maxDelta * 60.0;

/// Rounds to the nearest integer, halves away from zero, clamped to the 32-bit range;
/// not-a-number gives 0.
int32_t roundToDelta(double value);

/// A finite value within ±limit; not-a-number gives 0.
double clampFinite(double value, double limit);

/// One step of the residual bookkeeping: adds `delta` to `residual`, returns the whole
/// pixels to post and leaves the remainder (always within −0.5 .. 0.5) in `residual`.
int32_t accumulate(double& residual, double delta);

/// One momentum tick: decays the velocities by 0.95 and gives the per-tick deltas
/// (velocity / 60, rounded) and the speed after the decay.
struct MomentumStep {
    int32_t deltaX = 0;
    int32_t deltaY = 0;
    double speed = 0;
};
MomentumStep momentumStep(double& vx, double& vy);

inline constexpr double momentumDecay = 0.95;
inline constexpr double momentumStartSpeed = 80.0;  ///< a fling must be faster than this
inline constexpr double momentumStopSpeed = 20.0;   ///< coasting ends below this
inline constexpr double momentumInterval = 0.016;   ///< seconds between ticks

}  // namespace df::ScrollMath
