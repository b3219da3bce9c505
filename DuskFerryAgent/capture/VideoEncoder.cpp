#include "DuskFerryAgent/capture/VideoEncoder.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

namespace df {

EncoderError EncoderError::createFailed(CompressionStatus status) {
    return EncoderError(Kind::createFailed, status,
                        ("could not create the video compression session (status " + std::to_string(status) + ")")
                            .c_str());
}

EncoderError EncoderError::chroma444Unsupported() {
    return EncoderError(Kind::chroma444Unsupported, 0, "the video encoder does not support 4:4:4");
}

int64_t VideoEncoder::bitsPerSecond(double mbps) {
    double bits = mbps * 1'000'000.0;
    if (!(bits > 0)) return 0;  // also NaN
    // 2^63 is exactly representable; anything from there on does not fit.
    if (bits >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(bits);
}

DataRateLimit VideoEncoder::dataRateLimit(int64_t bitsPerSecond) {
    return DataRateLimit{static_cast<int64_t>(static_cast<double>(bitsPerSecond) * 0.125 * dataRateLimitFactor), 1.0};
}

std::shared_ptr<VideoEncoder> VideoEncoder::create(std::shared_ptr<VideoCompression> compression, int32_t width,
                                                   int32_t height, int fps, double bitrateMbps, bool chroma444,
                                                   ConfigHandler onConfig, FrameHandler onFrame,
                                                   std::shared_ptr<const Clock> clock) {
    if (!clock) clock = std::shared_ptr<const Clock>(std::shared_ptr<const Clock>{}, &Clock::system());
    std::shared_ptr<VideoEncoder> encoder(
        new VideoEncoder(width, height, bitrateMbps, std::move(onConfig), std::move(onFrame), std::move(clock)));
    if (!compression) throw EncoderError::createFailed(-1);
    encoder->open(*compression, fps, chroma444);
    return encoder;
}

VideoEncoder::VideoEncoder(int32_t width, int32_t height, double bitrateMbps, ConfigHandler onConfig,
                           FrameHandler onFrame, std::shared_ptr<const Clock> clock)
    : onConfig_(std::move(onConfig)),
      onFrame_(std::move(onFrame)),
      width_(width),
      height_(height),
      clock_(std::move(clock)),
      initialBitrateMbps_(bitrateMbps),
      currentBitrateMbps_(bitrateMbps) {}

// Runs inside create(), before anyone else can reach the encoder.
void VideoEncoder::open(VideoCompression& compression, int fps, bool chroma444) {
    using Key = CompressionPropertyKey;
    std::weak_ptr<VideoEncoder> weak = weak_from_this();
    auto output = [weak](CompressionStatus status, const CompressedSample* sample) {
        if (auto self = weak.lock()) self->handleOutput(status, sample);
    };

    const std::vector<bool> attempts = chroma444 ? std::vector<bool>{false} : std::vector<bool>{true, false};
    const int64_t averageBits = bitsPerSecond(initialBitrateMbps_);
    const DataRateLimit limit = dataRateLimit(averageBits);
    CompressionStatus lastCreateStatus = compressionSuccess;

    for (bool lowLatency : attempts) {
        CompressionSessionSettings settings{width_, height_, true, lowLatency};
        VideoCompression::Created created = compression.createSession(settings, output);
        if (!created.session) {
            lastCreateStatus = created.status;
            continue;
        }
        CompressionSession& session = *created.session;

        if (chroma444) {
            if (session.setProperty({Key::profileLevel, std::string(profileMain444)}) != compressionSuccess) {
                session.invalidate();
                throw EncoderError::chroma444Unsupported();
            }
        } else {
            session.setProperty({Key::profileLevel, std::string(profileMain)});
        }

        session.setProperty({Key::realTime, true});
        session.setProperty({Key::allowFrameReordering, false});
        session.setProperty({Key::maxFrameDelayCount, int64_t{0}});
        session.setProperty({Key::maxKeyFrameInterval, int64_t{fps} * keyframeIntervalSeconds});
        session.setProperty({Key::maxKeyFrameIntervalDuration, double{keyframeIntervalSeconds}});
        session.setProperty({Key::expectedFrameRate, int64_t{fps}});
        session.setProperty({Key::averageBitRate, averageBits});
        session.setProperty({Key::prioritizeEncodingSpeedOverQuality, true});
        CompressionStatus limitStatus = session.setProperty({Key::dataRateLimits, limit});
        if (lowLatency && limitStatus != compressionSuccess) {
            session.invalidate();
            continue;
        }

        session.prepareToEncodeFrames();
        {
            std::lock_guard lock(rateLock_);
            dataRateLimitBytes_ = limit.bytes;
        }
        std::lock_guard lock(sessionLock_);
        session_ = std::move(created.session);
        return;
    }
    throw EncoderError::createFailed(lastCreateStatus);
}

std::shared_ptr<CompressionSession> VideoEncoder::currentSession() const {
    std::lock_guard lock(sessionLock_);
    return session_;
}

bool VideoEncoder::isValid() const { return currentSession() != nullptr; }

void VideoEncoder::invalidate() {
    std::shared_ptr<CompressionSession> session;
    {
        std::lock_guard lock(sessionLock_);
        session = std::move(session_);
        session_.reset();
    }
    if (session) session->invalidate();
}

void VideoEncoder::setAverageBitRate(CompressionSession& session, double mbps) {
    session.setProperty({CompressionPropertyKey::averageBitRate, bitsPerSecond(mbps)});
}

void VideoEncoder::encode(std::shared_ptr<const PixelBuffer> buffer, MediaTime pts) {
    std::shared_ptr<CompressionSession> session = currentSession();
    if (!session) return;
    if (!buffer || buffer->width != width_ || buffer->height != height_) return;

    std::optional<double> restore;
    {
        std::lock_guard lock(rateLock_);
        if (boosted_) {
            boosted_ = false;
            restore = currentBitrateMbps_;
        }
    }
    if (restore) setAverageBitRate(*session, *restore);

    FrameOptions options;
    const bool forced = forceKeyframe_.exchange(false);
    if (forced) options.forceKeyFrame = true;

    {
        std::lock_guard lock(timingLock_);
        if (submitTimes_.size() >= maxPendingSubmits) submitTimes_.pop_front();
        submitTimes_.push_back(clock_->uptime());
    }

    if (session->encodeFrame(std::move(buffer), pts, options) != compressionSuccess) {
        {
            std::lock_guard lock(timingLock_);
            if (!submitTimes_.empty()) submitTimes_.pop_back();
        }
        // The keyframe someone asked for has not been made; the next frame carries the request.
        if (forced) forceKeyframe_.store(true);
    }
}

void VideoEncoder::encodeRefinement(std::shared_ptr<const PixelBuffer> buffer, MediaTime pts) {
    std::shared_ptr<CompressionSession> session = currentSession();
    if (!session) return;
    double boost = 0;
    {
        std::lock_guard lock(rateLock_);
        boost = std::min(initialBitrateMbps_ * refinementInitialFactor, currentBitrateMbps_ * refinementCurrentFactor);
        // After a raise above the initial rate the first term can fall below the current
        // rate; a refinement is never encoded at less than the ordinary frames.
        boost = std::max(boost, currentBitrateMbps_);
        // A refinement right after another must not have its boost undone by encode() below.
        boosted_ = false;
    }
    setAverageBitRate(*session, boost);
    forceKeyframe_.store(true);
    encode(std::move(buffer), pts);
    std::lock_guard lock(rateLock_);
    boosted_ = true;
}

void VideoEncoder::update(double bitrateMbps) {
    std::shared_ptr<CompressionSession> session = currentSession();
    if (!session) return;
    const int64_t averageBits = bitsPerSecond(bitrateMbps);
    std::optional<DataRateLimit> raisedLimit;
    {
        std::lock_guard lock(rateLock_);
        currentBitrateMbps_ = bitrateMbps;
        boosted_ = false;
        // The one-second cap stays as it is unless it would hold the new average down.
        DataRateLimit limit = dataRateLimit(averageBits);
        if (limit.bytes > dataRateLimitBytes_) {
            dataRateLimitBytes_ = limit.bytes;
            raisedLimit = limit;
        }
    }
    session->setProperty({CompressionPropertyKey::averageBitRate, averageBits});
    if (raisedLimit) session->setProperty({CompressionPropertyKey::dataRateLimits, *raisedLimit});
}

double VideoEncoder::currentBitrateMbps() const {
    std::lock_guard lock(rateLock_);
    return currentBitrateMbps_;
}

double VideoEncoder::encodeMsEWMA() const {
    std::lock_guard lock(timingLock_);
    return encodeMsEWMA_;
}

}  // namespace df
