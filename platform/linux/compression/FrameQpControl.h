#pragma once
// Frame-level rate control for the x265 sessions: one base QP per picture, chosen from the
// sizes of the pictures already encoded. x265's own rate control does not follow a new
// target after the encoder is open, while a per-picture QP takes effect on the next picture,
// so this model reacts to a new average bit rate within a few frames and without a keyframe.
// Used on the session's encoder thread only.

#include <cstdint>

namespace df {

class FrameQpControl {
public:
    static constexpr int minQp = 10;
    static constexpr int maxQp = 51;

    /// `bitsPerSecond` is the target, `framesPerSecond` the expected rate (for the first
    /// picture's budget and when presentation times do not advance).
    void setTarget(int64_t bitsPerSecond, double framesPerSecond);
    /// The QP for the next picture at presentation time `seconds`.
    int nextQp(double seconds, bool keyframe);
    /// The size the picture just given a QP came out at.
    void encoded(int64_t bytes, bool keyframe);

    double bufferBits() const { return buffer_; }

private:
    double frameBudget() const;

    double bitRate_ = 2'000'000;
    double frameRate_ = 30;
    // Bits the stream is ahead of its target (negative: behind), drained at the target rate.
    double buffer_ = 0;
    // Bits a P picture takes at QP 0 under the model bits = complexity * 2^(-qp / 6); kept
    // apart for keyframes, which cost far more at the same QP.
    double complexity_ = 0;
    double keyComplexity_ = 0;
    double lastSeconds_ = 0;
    bool hasLast_ = false;
    int lastQp_ = 30;
    int pendingQp_ = 30;
};

}  // namespace df
