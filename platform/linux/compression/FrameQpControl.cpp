#include "platform/linux/compression/FrameQpControl.h"

#include <algorithm>
#include <cmath>

namespace df {

namespace {
// How many seconds of surplus or deficit the next pictures pay back over.
constexpr double repaySeconds = 0.5;
// Credit that an idle stretch may build up, in seconds of the target rate.
constexpr double maxCreditSeconds = 0.25;
// Weight of the newest picture in the complexity estimate.
constexpr double complexityWeight = 0.4;
// Largest QP change from one P picture to the next, so a single odd picture does not swing
// the quality.
constexpr int maxStep = 6;
}  // namespace

void FrameQpControl::setTarget(int64_t bitsPerSecond, double framesPerSecond) {
    if (bitsPerSecond > 0 && static_cast<double>(bitsPerSecond) != bitRate_) {
        // The surplus or deficit stays the same stretch of time at the new rate: bits saved
        // at 8 Mb/s would otherwise starve the first second at 2 Mb/s (and the other way round).
        buffer_ *= static_cast<double>(bitsPerSecond) / bitRate_;
        bitRate_ = static_cast<double>(bitsPerSecond);
    }
    if (framesPerSecond > 0) frameRate_ = framesPerSecond;
}

double FrameQpControl::frameBudget() const { return bitRate_ / frameRate_; }

int FrameQpControl::nextQp(double seconds, bool keyframe) {
    if (hasLast_) {
        double elapsed = std::clamp(seconds - lastSeconds_, 0.0, 1.0);
        if (elapsed <= 0) elapsed = 1.0 / frameRate_;
        buffer_ -= bitRate_ * elapsed;
        buffer_ = std::max(buffer_, -bitRate_ * maxCreditSeconds);
    }
    lastSeconds_ = seconds;
    hasLast_ = true;

    double budget = frameBudget();
    double target = budget * (1.0 - buffer_ / (bitRate_ * repaySeconds));
    target = std::clamp(target, budget * 0.2, budget * 3.0);
    double model = keyframe ? keyComplexity_ : complexity_;
    if (keyframe && model <= 0 && complexity_ > 0) model = complexity_ * 4;
    int qp = lastQp_;
    // A keyframe may take a few frames' share, and after a still stretch (the still screen's
    // re-send and refinement) all the stretch saved: nothing follows that needs it, and the
    // last picture of a still screen is the one that stays on the phone.
    if (keyframe) target = std::max(target * 4, -buffer_);
    if (model > 0) {
        qp = static_cast<int>(std::lround(6.0 * std::log2(model / target)));
        if (!keyframe) qp = std::clamp(qp, lastQp_ - maxStep, lastQp_ + maxStep);
    }
    qp = std::clamp(qp, minQp, maxQp);
    if (!keyframe) lastQp_ = qp;
    pendingQp_ = qp;
    return qp;
}

void FrameQpControl::encoded(int64_t bytes, bool keyframe) {
    double bits = static_cast<double>(bytes) * 8;
    buffer_ += bits;
    double complexity = std::max(bits, 1.0) * std::exp2(pendingQp_ / 6.0);
    double& model = keyframe ? keyComplexity_ : complexity_;
    model = model <= 0 ? complexity : model * (1 - complexityWeight) + complexity * complexityWeight;
}

}  // namespace df
