// The capture engine on its video queue: screen samples, the dirty-area streak, the idle
// refinement of a still screen and the encoder swap.
#include "DuskFerryAgent/capture/CaptureEngine.h"

#include <cmath>
#include <limits>

namespace df {
namespace {

/// `time` + numerator/denominator seconds, exact when the timescale allows it.
MediaTime offset(MediaTime time, int64_t numerator, int32_t denominator) {
    if (time.timescale <= 0) return time;
    if (time.timescale % denominator == 0)
        return MediaTime{time.value + numerator * (time.timescale / denominator), time.timescale};
    const int64_t scale = static_cast<int64_t>(time.timescale) * denominator;
    if (scale <= std::numeric_limits<int32_t>::max())
        return MediaTime{time.value * denominator + numerator * time.timescale, static_cast<int32_t>(scale)};
    const double seconds = time.seconds() + static_cast<double>(numerator) / denominator;
    return MediaTime{static_cast<int64_t>(std::llround(seconds * time.timescale)), time.timescale};
}

bool sameSize(const PixelBuffer& buffer, const VideoEncoder& encoder) {
    return buffer.width == encoder.width() && buffer.height == encoder.height();
}

}  // namespace

CaptureEngine::RefineStep CaptureEngine::refineStep(int refineStage, double idleSeconds, int smallDirtyStreak) {
    if (refineStage == 0) {
        const double delay =
            smallDirtyStreak >= smallDirtyStreakForQuickResend ? quickKeyframeResendDelay : keyframeResendDelay;
        return idleSeconds > delay ? RefineStep::resendKeyframe : RefineStep::none;
    }
    if (refineStage == 1) return idleSeconds > refinementDelay ? RefineStep::refine : RefineStep::none;
    return RefineStep::none;
}

void CaptureEngine::handleScreenSample(const ScreenSample& sample) {
    if (!sample.valid) return;
    {
        std::lock_guard lock(lifecycleLock_);
        lastOutputAt_ = now();
    }
    if (!sample.status || *sample.status != ScreenFrameStatus::complete) return;
    if (!sample.image) return;

    if (displayPointArea_ > 0 && sample.dirtyRects) {
        double changed = 0;
        for (const auto& rect : *sample.dirtyRects)
            if (std::isfinite(rect.width) && std::isfinite(rect.height) && rect.width > 0 && rect.height > 0)
                changed += rect.width * rect.height;
        if (changed / displayPointArea_ < smallDirtyShare)
            ++smallDirtyStreak_;
        else
            smallDirtyStreak_ = 0;
    }

    const auto encoder = currentEncoder();
    // A frame still in the old size after an encoder swap is neither encoded (the encoder
    // drops it) nor kept: refining it would send a picture of the wrong size.
    if (encoder && !sameSize(*sample.image, *encoder)) return;
    lastCompleteBuffer_ = sample.image;
    lastCompletePTS_ = sample.presentationTime;
    lastCompleteAt_ = now();
    refineStage_ = 0;
    if (encoder) encoder->encode(sample.image, sample.presentationTime);
}

void CaptureEngine::startIdleTimer() {
    if (idleTimer_) return;
    {
        // A stop that came between the end of the start and this task has already cleaned
        // up the video queue; a timer made now would tick for the rest of the engine's life.
        std::lock_guard lock(lifecycleLock_);
        if (stopped_) return;
    }
    idleTimer_ = videoQueue_->repeating(idleTimerInterval, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->idleTick();
    });
}

void CaptureEngine::idleTick() {
    if (refineStage_ > 1 || !lastCompleteBuffer_) return;
    const auto encoder = currentEncoder();
    if (!encoder) return;
    switch (refineStep(refineStage_, now() - lastCompleteAt_, smallDirtyStreak_)) {
    case RefineStep::none:
        break;
    case RefineStep::resendKeyframe:
        refineStage_ = 1;
        encoder->setForceKeyframe(true);
        encoder->encode(lastCompleteBuffer_, offset(lastCompletePTS_, 24, 60));
        break;
    case RefineStep::refine:
        refineStage_ = 2;
        encoder->encodeRefinement(lastCompleteBuffer_, offset(lastCompletePTS_, 48, 60));
        break;
    }
}

void CaptureEngine::swapEncoder(std::shared_ptr<VideoEncoder> next, std::optional<ScreenCaptureError> error,
                                const std::function<void(bool)>& completion) {
    if (error) {
        next->invalidate();
        return completion(false);
    }
    std::shared_ptr<VideoEncoder> old;
    {
        std::unique_lock lock(lifecycleLock_);
        if (stopped_) {
            lock.unlock();
            next->invalidate();
            return completion(false);
        }
        old = std::exchange(encoder_, next);
    }
    if (old) old->invalidate();
    lastCompleteBuffer_.reset();
    refineStage_ = 2;
    next->setForceKeyframe(true);
    completion(true);
}

}  // namespace df
