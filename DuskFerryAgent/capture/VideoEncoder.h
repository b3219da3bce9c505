#pragma once
// One HEVC compression session of the host's video-compression service, tuned for low
// latency: takes captured pixel buffers of one fixed size, announces the stream's parameter
// sets as a VideoConfig whenever they change (always before the keyframe that needs them),
// hands every encoded frame on as a complete videoFrame wire frame, and keeps a smoothed
// per-frame encode time.
//
// Threads:
//  - encode, encodeRefinement and setForceKeyframe come from the capture queue, one at a time;
//  - update and encodeMsEWMA come from the session queue;
//  - onConfig and onFrame run on the compression service's output thread, one at a time;
//    receivers must not assume any queue;
//  - invalidate comes from the owner, on any thread.
// rateLock guards the bit-rate state, timingLock the submission times and the smoothed
// encode time; sessionLock guards the session pointer. No two are held together, and none
// is held while calling the service.
//
// A change of size or frame rate needs a new encoder; a change of bit rate does not.

#include "platform/DispatchQueue.h"
#include "platform/VideoCompression.h"
#include "protocol/Bytes.h"
#include "protocol/ControlMessage.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace df {

/// Why an encoder could not be made.
class EncoderError : public std::runtime_error {
public:
    enum class Kind { createFailed, chroma444Unsupported };

    /// No session could be created; `status` is the host's status of the last failed creation.
    static EncoderError createFailed(CompressionStatus status);
    /// The host refused the 4:4:4 profile.
    static EncoderError chroma444Unsupported();

    Kind kind() const { return kind_; }
    /// The creation status for createFailed, 0 otherwise.
    CompressionStatus status() const { return status_; }

private:
    EncoderError(Kind kind, CompressionStatus status, const char* what)
        : std::runtime_error(what), kind_(kind), status_(status) {}
    Kind kind_;
    CompressionStatus status_;
};

class VideoEncoder : public std::enable_shared_from_this<VideoEncoder> {
public:
    using ConfigHandler = std::function<void(const VideoConfig& config)>;
    /// The complete wire frame and whether it is a keyframe.
    using FrameHandler = std::function<void(Bytes wireFrame, bool isKeyframe)>;

    /// Keyframes come at least this often, in seconds (and every fps × this many frames).
    static constexpr int keyframeIntervalSeconds = 8;
    /// Within any one second the output may reach this multiple of the average bit rate.
    static constexpr double dataRateLimitFactor = 1.5;
    /// Submission times kept for frames not yet returned.
    static constexpr size_t maxPendingSubmits = 8;
    /// Weight of a new sample in the smoothed encode time.
    static constexpr double encodeTimeWeight = 0.1;
    /// A refinement frame is encoded at the smaller of these multiples of the initial and the
    /// current bit rate (never below the current one).
    static constexpr double refinementInitialFactor = 1.5;
    static constexpr double refinementCurrentFactor = 1.8;

    /// Profile-level texts the session is given.
    static constexpr const char* profileMain = "HEVC_Main_AutoLevel";
    static constexpr const char* profileMain444 = "HEVC_Main444_AutoLevel";

    /// Opens a session of `width` × `height` on `compression`: without `chroma444` first with
    /// low-latency rate control, then without; with it once, without. Throws EncoderError
    /// (createFailed(-1) without a service). `clock` times the encodes (null: the system
    /// clock).
    static std::shared_ptr<VideoEncoder> create(std::shared_ptr<VideoCompression> compression, int32_t width,
                                                int32_t height, int fps, double bitrateMbps, bool chroma444,
                                                ConfigHandler onConfig, FrameHandler onFrame,
                                                std::shared_ptr<const Clock> clock = nullptr);

    /// Does not invalidate the session: its owner does (invalidate()).
    ~VideoEncoder() = default;
    VideoEncoder(const VideoEncoder&) = delete;
    VideoEncoder& operator=(const VideoEncoder&) = delete;

    /// Submits one frame and returns at once; the output arrives later through onFrame (and
    /// onConfig). A buffer of another size than the encoder's is dropped (frames of an old
    /// size after an encoder swap). Restores the current bit rate after a refinement frame.
    void encode(std::shared_ptr<const PixelBuffer> buffer, MediaTime pts);
    /// Submits one keyframe at a raised bit rate; the next encode() restores the rate.
    void encodeRefinement(std::shared_ptr<const PixelBuffer> buffer, MediaTime pts);
    /// Changes the average bit rate of the running session.
    void update(double bitrateMbps);

    /// The next submitted frame is a keyframe.
    void setForceKeyframe(bool value) { forceKeyframe_.store(value); }
    bool forceKeyframe() const { return forceKeyframe_.load(); }

    /// Smoothed encode time in milliseconds; 0 before the first output.
    double encodeMsEWMA() const;
    /// The bit rate last asked for by update() or construction, in Mbit/s.
    double currentBitrateMbps() const;
    double initialBitrateMbps() const { return initialBitrateMbps_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    /// Invalidates the session with the host and forgets it; encode, encodeRefinement and
    /// update do nothing afterwards, and no output reaches onFrame or onConfig any more.
    void invalidate();
    bool isValid() const;

    /// Whole bits per second for `mbps` (truncated; 0 for a value that is not positive).
    static int64_t bitsPerSecond(double mbps);
    /// The data-rate limit for an average of `bitsPerSecond`: that many bits × 1.5 in bytes
    /// (truncated) per 1 second.
    static DataRateLimit dataRateLimit(int64_t bitsPerSecond);

private:
    VideoEncoder(int32_t width, int32_t height, double bitrateMbps, ConfigHandler onConfig, FrameHandler onFrame,
                 std::shared_ptr<const Clock> clock);

    void open(VideoCompression& compression, int fps, bool chroma444);
    std::shared_ptr<CompressionSession> currentSession() const;
    void setAverageBitRate(CompressionSession& session, double mbps);

    // Output thread (VideoEncoderOutput.cpp).
    void handleOutput(CompressionStatus status, const CompressedSample* sample);
    void emit(const CompressedSample& sample);
    void sendParameterSetsIfChanged(const HevcFormatDescription& format);

    mutable std::mutex sessionLock_;
    std::shared_ptr<CompressionSession> session_;

    const ConfigHandler onConfig_;
    const FrameHandler onFrame_;
    const int32_t width_;
    const int32_t height_;
    const std::shared_ptr<const Clock> clock_;

    /// Output thread only: the parameter sets last announced, in index order.
    std::vector<Bytes> lastParameterSets_;
    std::atomic<bool> forceKeyframe_{false};

    const double initialBitrateMbps_;
    mutable std::mutex rateLock_;
    double currentBitrateMbps_;
    bool boosted_ = false;
    /// The data-rate limit the session has, in bytes per second.
    int64_t dataRateLimitBytes_ = 0;

    mutable std::mutex timingLock_;
    std::deque<double> submitTimes_;  ///< uptime seconds, oldest first
    double encodeMsEWMA_ = 0;
};

}  // namespace df
