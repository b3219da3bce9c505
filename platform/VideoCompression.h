#pragma once
// The host's video-compression service: HEVC compression sessions that take captured pixel
// buffers and deliver compressed samples to a per-frame output handler.
// Linux: libx265 (platform/linux, later); tests: fake::FakeVideoCompression.
//
// What callers rely on:
//  1. createSession either returns a session with status 0 or no session with the host's
//     nonzero status; a failed creation leaves nothing to invalidate.
//  2. setProperty applies one property at once and returns its own status (0 = accepted),
//     so the caller decides per property whether a rejection matters. Properties are applied
//     in the order they are set; a later value of the same key replaces the earlier one,
//     also while frames are being encoded (the average bit rate is changed that way).
//  3. encodeFrame returns at once. A nonzero status means the frame was not taken and its
//     output handler is never called for it; status 0 means the handler is called exactly
//     once for that frame, with status 0 and a sample, with status 0 and no sample (the
//     frame was dropped), or with a nonzero status.
//  4. Outputs arrive in submission order, one at a time (never two handler calls at once),
//     on a thread of the service, never inline from inside a call the caller made.
//  5. A sample's bytes are NAL units each preceded by a 4-byte big-endian length, with no
//     start codes; the parameter sets (VPS, SPS, PPS, in that order) are not repeated in the
//     sample but are held by its format description.
//  6. After invalidate() the handler is not called again, and every further call on the
//     session does nothing and returns a nonzero status. invalidate() is idempotent.
//
// Threading: createSession, setProperty, prepareToEncodeFrames and invalidate may be called
// from any thread; encodeFrame from one thread at a time (the capture queue). setProperty
// may run concurrently with encodeFrame (a bit-rate change from the session queue).

#include "protocol/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace df {

/// The host's status code: 0 is success, anything else a failure (signed 32-bit, as the
/// host reports it).
using CompressionStatus = int32_t;
inline constexpr CompressionStatus compressionSuccess = 0;

/// A rational media time: value / timescale seconds.
struct MediaTime {
    int64_t value = 0;
    int32_t timescale = 1;

    /// value / timescale; 0 for a timescale that is not positive.
    double seconds() const { return timescale > 0 ? static_cast<double>(value) / timescale : 0.0; }
    bool operator==(const MediaTime&) const = default;
};

/// Layout of a pixel buffer's planes. i420 and i444: three 8-bit planes Y, Cb, Cr (the
/// chroma planes half size in both directions for i420, full size for i444), full range,
/// BT.709. bgra: one plane of 4 bytes per pixel, blue first.
enum class PixelFormat : uint8_t { i420, i444, bgra };

/// One captured picture. Made by the capture side, immutable once handed to a session
/// (shared as shared_ptr<const PixelBuffer>), so any thread may read it.
struct PixelBuffer {
    struct Plane {
        Bytes bytes;
        size_t stride = 0;  ///< bytes from one row to the next
    };

    PixelFormat format = PixelFormat::i420;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<Plane> planes;

    /// A zero-filled buffer with tightly packed planes of `format`. Odd sizes round the
    /// i420 chroma planes up.
    static PixelBuffer make(PixelFormat format, int32_t width, int32_t height);
};

/// The settings a session takes after creation. Each key has one value type:
///  profileLevel: std::string ("HEVC_Main_AutoLevel", "HEVC_Main444_AutoLevel")
///  realTime, allowFrameReordering, prioritizeEncodingSpeedOverQuality: bool
///  maxFrameDelayCount, maxKeyFrameInterval (frames), expectedFrameRate (frames per second),
///  averageBitRate (bits per second): int64_t
///  maxKeyFrameIntervalDuration (seconds): double
///  dataRateLimits: DataRateLimit
enum class CompressionPropertyKey : uint8_t {
    profileLevel,
    realTime,
    allowFrameReordering,
    maxFrameDelayCount,
    maxKeyFrameInterval,
    maxKeyFrameIntervalDuration,
    expectedFrameRate,
    averageBitRate,
    prioritizeEncodingSpeedOverQuality,
    dataRateLimits,
};

const char* toString(CompressionPropertyKey key);

/// At most `bytes` of output within any `seconds`-long stretch.
struct DataRateLimit {
    int64_t bytes = 0;
    double seconds = 0;
    bool operator==(const DataRateLimit&) const = default;
};

struct CompressionProperty {
    using Value = std::variant<bool, int64_t, double, std::string, DataRateLimit>;
    CompressionPropertyKey key = CompressionPropertyKey::realTime;
    Value value;
    bool operator==(const CompressionProperty&) const = default;
};

/// What a session is created for. The codec is always HEVC ("hvc1").
struct CompressionSessionSettings {
    int32_t width = 0;
    int32_t height = 0;
    /// Fail the creation rather than fall back to a slower encoder where the host has a
    /// choice; a host with a single (software) encoder uses that one.
    bool requireHardwareAcceleration = true;
    /// Rate control that keeps each frame near the average size (lower latency).
    bool enableLowLatencyRateControl = false;
    bool operator==(const CompressionSessionSettings&) const = default;
};

/// Options of one submitted frame.
struct FrameOptions {
    /// Absent: no option given. True asks for a keyframe.
    std::optional<bool> forceKeyFrame;
    bool operator==(const FrameOptions&) const = default;
};

/// The format of the samples of a stream: here, the HEVC parameter sets. Read from the
/// output thread; implementations are immutable once handed out.
class HevcFormatDescription {
public:
    virtual ~HevcFormatDescription() = default;
    /// Number of parameter sets; nothing when the host cannot tell.
    virtual std::optional<size_t> parameterSetCount() const = 0;
    /// One parameter set without start code or length prefix; nothing when it cannot be read.
    virtual std::optional<Bytes> parameterSet(size_t index) const = 0;
};

/// Per-sample flags. Each key may be absent.
struct SampleAttachments {
    /// True: the sample depends on earlier ones (not a sync sample).
    std::optional<bool> notSync;
    bool operator==(const SampleAttachments&) const = default;
};

/// One compressed frame as the session delivers it.
struct CompressedSample {
    /// Absent when the sample has no attachment array at all.
    std::optional<std::vector<SampleAttachments>> attachments;
    /// May be null.
    std::shared_ptr<const HevcFormatDescription> formatDescription;
    /// Absent when the sample has no readable data buffer. Format as in guarantee 5.
    std::optional<Bytes> data;
    MediaTime presentationTime;
};

class CompressionSession {
public:
    /// `sample` is null when the status is a failure or the frame produced no output.
    using OutputHandler = std::function<void(CompressionStatus status, const CompressedSample* sample)>;

    virtual ~CompressionSession() = default;

    virtual CompressionStatus setProperty(const CompressionProperty& property) = 0;
    /// Allocates what encoding needs; called once after the properties.
    virtual CompressionStatus prepareToEncodeFrames() = 0;
    /// Submits one frame; returns at once (guarantee 3). No duration is given.
    virtual CompressionStatus encodeFrame(std::shared_ptr<const PixelBuffer> buffer, MediaTime presentationTime,
                                          const FrameOptions& options) = 0;
    /// Ends the session (guarantee 6). Its owner calls it; a session is not invalidated by
    /// being released.
    virtual void invalidate() = 0;
};

class VideoCompression {
public:
    struct Created {
        std::shared_ptr<CompressionSession> session;  ///< null on failure
        CompressionStatus status = compressionSuccess;
    };

    virtual ~VideoCompression() = default;
    /// An HEVC session of the given size; every output goes to `output` (guarantees 3, 4).
    virtual Created createSession(const CompressionSessionSettings& settings,
                                  CompressionSession::OutputHandler output) = 0;
};

}  // namespace df
