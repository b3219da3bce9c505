#pragma once
// Captures one display through the host's screen-capture service for one capture generation
// of a session: hands every complete frame to the video encoder, keeps a still screen sharp
// (a keyframe re-send, then one refinement at a raised bit rate), swaps in a new encoder and
// capture size when the quality changes, and reports its liveness to the heartbeat. It sends
// nothing itself: output leaves through the callbacks given at construction.
//
// Threads:
//  - start() blocks and runs in a task off the session queue;
//  - stop(), updateQuality(), requestKeyframe(), liveness() and averageEncodeMs() come from
//    the session queue; stop() may come from any thread, also while start() runs;
//  - screen samples, the idle-refinement timer and encoder swaps run on the video queue, which
//    alone touches the frame state (last complete frame, refinement stage, dirty streak, timer);
//  - the stream reports a stop of its own on a thread of the capture service.
// lifecycleLock_ guards stopped_, stream_, encoder_, the native size, lastOutputAt_ and
// streamFailed_; it is held only for short reads and writes, never across a call into the
// capture service or an encoder.
//
// System audio, when a codec was negotiated and both audio callbacks were given: start()
// creates an audio encoder beside the video encoder and an audio capture stream that delivers
// on the audio queue ("duskferry.capture.audio"), the only thread the audio encoder runs on.
// Audio that cannot be recorded is reported once on stderr and the video goes on without it.

#include "DuskFerryAgent/capture/AudioEncoder.h"
#include "DuskFerryAgent/capture/VideoEncoder.h"
#include "platform/AudioCapture.h"
#include "platform/AudioConversion.h"
#include "platform/DispatchQueue.h"
#include "platform/ScreenCapture.h"
#include "platform/VideoCompression.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <utility>

namespace df {

class DisplayTarget;

/// Why start() found nothing to capture.
class CaptureStartError : public std::runtime_error {
public:
    enum class Kind { noDisplay };
    static CaptureStartError noDisplay() { return CaptureStartError(Kind::noDisplay, "no display to capture"); }
    Kind kind() const { return kind_; }

private:
    CaptureStartError(Kind kind, const char* what) : std::runtime_error(what), kind_(kind) {}
    Kind kind_;
};

/// A failure the capture service reported, passed on unchanged.
class ScreenCaptureFailure : public std::runtime_error {
public:
    explicit ScreenCaptureFailure(ScreenCaptureError error)
        : std::runtime_error(error.message.empty() ? "screen capture failed" : error.message),
          error_(std::move(error)) {}
    const ScreenCaptureError& error() const { return error_; }

private:
    ScreenCaptureError error_;
};

/// One snapshot of the shareable content kept ready so that a start needs no request of its
/// own. One per agent; prewarm() at launch, after a display reconfiguration and whenever a
/// start consumed the snapshot.
class PrewarmedContent : public std::enable_shared_from_this<PrewarmedContent> {
public:
    /// Requests run on `background`, never on the caller's thread.
    PrewarmedContent(std::shared_ptr<ScreenCapture> capture, std::shared_ptr<DispatchQueue> background);

    /// Refreshes the snapshot in the background; a failed request clears it. Never fails.
    void prewarm();
    /// The snapshot, leaving none behind.
    std::optional<ShareableContent> take();

private:
    const std::shared_ptr<ScreenCapture> capture_;
    const std::shared_ptr<DispatchQueue> background_;
    std::mutex lock_;
    std::optional<ShareableContent> content_;
};

class CaptureEngine : public std::enable_shared_from_this<CaptureEngine> {
public:
    /// The host services and queues an engine works with.
    struct Services {
        std::shared_ptr<ScreenCapture> capture;
        std::shared_ptr<VideoCompression> compression;
        std::shared_ptr<const DisplayTarget> displays;
        /// Serial, user-interactive: screen samples, the idle timer, encoder swaps. Its clock
        /// is the engine's clock.
        std::shared_ptr<DispatchQueue> videoQueue;
        /// May be null: every start then asks for the content itself.
        std::shared_ptr<PrewarmedContent> prewarmed;
        /// Times the encoders; null: the system clock.
        std::shared_ptr<const Clock> encoderClock;
        /// System audio; any of the three null: the engine captures no audio.
        std::shared_ptr<AudioCapture> audioCapture;
        std::shared_ptr<AudioConversion> audioConversion;
        /// Serial, user-initiated ("duskferry.capture.audio"): audio buffers and the audio encoder.
        std::shared_ptr<DispatchQueue> audioQueue;
    };

    /// The audio half of a capture: the codec negotiated with the phone (nothing: no audio)
    /// and where the audio encoder's output goes.
    struct Audio {
        std::optional<AudioCodecKind> codec;
        AudioEncoder::ConfigHandler onConfig;
        AudioEncoder::PacketHandler onPacket;
    };

    struct Settings {
        int fps = 60;
        double bitrateMbps = 10;
        int maxLongEdge = 1920;
        bool chroma444 = false;
    };

    /// How the heartbeat sees the capture.
    struct Liveness {
        bool streamFailed = false;
        double lastOutputAt = 0;  ///< uptime of the last valid screen sample of any status
    };

    /// Capture counts as alive for this long after the last screen sample.
    static constexpr double livenessWindowSeconds = 30;
    /// A complete frame whose changed area is under this share of the display is small.
    static constexpr double smallDirtyShare = 0.05;
    /// After this many small frames in a row the keyframe re-send comes sooner.
    static constexpr int smallDirtyStreakForQuickResend = 10;
    static constexpr double idleTimerInterval = 0.2;
    static constexpr double keyframeResendDelay = 0.4;
    static constexpr double quickKeyframeResendDelay = 0.2;
    static constexpr double refinementDelay = 1.2;

    /// Starts nothing.
    static std::shared_ptr<CaptureEngine> create(Services services, Settings settings,
                                                 VideoEncoder::ConfigHandler onConfig,
                                                 VideoEncoder::FrameHandler onFrame, Audio audio = {});
    ~CaptureEngine();
    CaptureEngine(const CaptureEngine&) = delete;
    CaptureEngine& operator=(const CaptureEngine&) = delete;

    /// Picks the display, creates the encoder, configures and starts the stream; blocks.
    /// Throws CaptureStartError, EncoderError or ScreenCaptureFailure. Returns without error,
    /// having left nothing running, when the engine is stopped before or during the start.
    void start();
    /// Idempotent; the engine never runs again.
    void stop();
    /// The next encoded frame is a keyframe.
    void requestKeyframe();
    /// New frame rate, bit rate and size limit for the running capture: a new encoder and a
    /// stream reconfiguration. `completion(true)` on the video queue once the new encoder is
    /// in place, `completion(false)` when nothing changed. The creation settings stay as given.
    void updateQuality(int fps, double bitrateMbps, int maxLongEdge, std::function<void(bool)> completion);
    /// The encoder's smoothed encode time; nothing without an encoder or before its first output.
    std::optional<double> averageEncodeMs() const;
    Liveness liveness() const;
    /// The current encoder, read under the lifecycle lock (bit-rate changes go to it);
    /// nothing before a start made one or after stop().
    std::shared_ptr<VideoEncoder> encoder() const { return currentEncoder(); }
    static bool isAlive(const Liveness& liveness, double now) {
        return !liveness.streamFailed && now - liveness.lastOutputAt < livenessWindowSeconds;
    }

    const Settings& settings() const { return settings_; }
    /// The chosen display's size in pixels; 0 before a start chose one.
    std::pair<int32_t, int32_t> nativePixelSize() const;

    // The rules the engine works by.
    /// (width, height) with the longer side at most `maxLongEdge`, aspect kept, both even.
    static std::pair<int32_t, int32_t> clamp(int32_t width, int32_t height, int32_t maxLongEdge);
    /// Pixels per point of `display`: its mode's pixel width over point width, at least 1;
    /// 2 without a usable mode.
    static int32_t scaleFactor(const ShareableDisplay& display);
    /// The preferred display (virtual, else selected) when listed, else the first active one,
    /// else the first one.
    static std::optional<ShareableDisplay> chooseDisplay(const ShareableContent& content,
                                                         std::optional<uint32_t> virtualDisplayID,
                                                         std::optional<uint32_t> selectedDisplayID);
    static StreamConfiguration makeStreamConfiguration(int32_t width, int32_t height, int fps, bool chroma444);
    /// Pictures the stream may hand over at once for `fps`.
    static int32_t queueDepth(int fps) { return fps > 60 ? 9 : 6; }

    /// What the idle timer does on a tick of a still screen.
    enum class RefineStep { none, resendKeyframe, refine };
    static RefineStep refineStep(int refineStage, double idleSeconds, int smallDirtyStreak);

private:
    CaptureEngine(Services services, Settings settings, VideoEncoder::ConfigHandler onConfig,
                  VideoEncoder::FrameHandler onFrame, Audio audio);

    double now() const { return videoQueue_->now(); }
    std::shared_ptr<VideoEncoder> currentEncoder() const;
    ShareableContent enumerateContent();
    std::shared_ptr<VideoEncoder> makeEncoder(int32_t width, int32_t height, int fps, double bitrateMbps) const;

    // Video queue (CaptureEngineFrames.cpp).
    void handleScreenSample(const ScreenSample& sample);
    void startIdleTimer();
    void idleTick();
    void swapEncoder(std::shared_ptr<VideoEncoder> next, std::optional<ScreenCaptureError> error,
                     const std::function<void(bool)>& completion);
    void streamStoppedWithError();
    /// The audio encoder and an unstarted capture stream feeding it; null when no audio is wanted
    /// or the host cannot encode the codec.
    std::shared_ptr<AudioCaptureStream> makeAudioStream();

    const Services services_;
    const Settings settings_;
    const VideoEncoder::ConfigHandler onConfig_;
    const VideoEncoder::FrameHandler onFrame_;
    const Audio audio_;
    const std::shared_ptr<DispatchQueue> videoQueue_;
    /// Set by start() before the audio stream exists; only the audio queue uses it afterwards.
    std::shared_ptr<AudioEncoder> audioEncoder_;

    mutable std::mutex lifecycleLock_;
    bool stopped_ = false;
    std::shared_ptr<ScreenCaptureStream> stream_;
    std::shared_ptr<VideoEncoder> encoder_;
    std::shared_ptr<AudioCaptureStream> audioStream_;
    int32_t nativePixelWidth_ = 0;
    int32_t nativePixelHeight_ = 0;
    double lastOutputAt_;
    bool streamFailed_ = false;

    // Video queue only.
    std::shared_ptr<const PixelBuffer> lastCompleteBuffer_;
    MediaTime lastCompletePTS_;
    double lastCompleteAt_ = 0;
    int refineStage_ = 2;  ///< 0 fresh frame, 1 keyframe re-sent, 2 refined or nothing to refine
    WorkItemRef idleTimer_;
    int smallDirtyStreak_ = 0;
    double displayPointArea_ = 0;
};

}  // namespace df
