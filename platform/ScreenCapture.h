#pragma once
// The host's screen-capture service: the displays that can be captured, and one capture
// stream per display that delivers screen samples (a status, the picture when complete, the
// changed areas) on a queue the caller names.
// Linux: XShm grabs with XDamage (platform/linux, later); tests: fake::FakeScreenCapture.
//
// What callers rely on:
//  1. shareableContent() answers the displays as the host sees them at that moment, or an
//     error; the codes screenCaptureNoDisplay and screenCaptureDisplayUnavailable mean that
//     there is nothing to capture right now.
//  2. createStream() makes a stream without starting it; a failure makes none. The sample and
//     stopped-with-error handlers are kept by the stream until it has stopped.
//  3. start() blocks until the stream runs or failed to; samples come only after a successful
//     start. A failed stream can be dropped without stop().
//  4. Every sample is handed to the sample handler on the queue given at creation, posted
//     there (never inline from a call the owner made), one at a time in capture order.
//     A sample with status complete carries a picture in the configured format and size;
//     any other status carries no picture.
//  5. A frame is delivered only when something changed, at most one per minimum frame
//     interval; at most `queueDepth` pictures are in the owner's hands at once (a sample whose
//     picture is still held may be dropped by the host).
//  6. updateConfiguration() applies a new configuration to the running stream; its
//     completion fires exactly once, on a thread of the service, with no error once samples
//     in the new configuration follow, or with the error (the old configuration stays).
//  7. stop() ends the stream: no sample reaches the handler after its completion fired, and
//     the completion fires exactly once. Calling it again is harmless.
//  8. A stream that the host ends on its own (display gone, server lost) reports it once
//     through the stopped-with-error handler, on a thread of the service, and delivers no
//     more samples.
//
// Threading: every method may be called from any thread; start() blocks its caller and so
// is called from a task off the owner's serial queue.

#include "platform/DispatchQueue.h"
#include "platform/Displays.h"
#include "platform/VideoCompression.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

/// The host's error code for a capture failure.
struct ScreenCaptureError {
    int32_t code = 0;
    std::string message;
    bool operator==(const ScreenCaptureError&) const = default;
};

/// No display can be captured (none attached, or the display server refuses).
inline constexpr int32_t screenCaptureNoDisplay = -3813;
/// The display asked for is not available (switched off, removed).
inline constexpr int32_t screenCaptureDisplayUnavailable = -3814;

/// The current mode of a display.
struct ScreenDisplayMode {
    int32_t pixelWidth = 0;
    int32_t pointWidth = 0;
    bool operator==(const ScreenDisplayMode&) const = default;
};

/// A display that can be captured. Sizes are in points (on X11 one point is one pixel).
struct ShareableDisplay {
    uint32_t id = 0;
    int32_t width = 0;
    int32_t height = 0;
    /// The display server shows something on it.
    bool active = false;
    /// Nothing when the host cannot tell the mode.
    std::optional<ScreenDisplayMode> mode;
    bool operator==(const ShareableDisplay&) const = default;
};

/// One answer of the service: the displays in the host's order.
struct ShareableContent {
    std::vector<ShareableDisplay> displays;
};

/// What a stream produces.
struct StreamConfiguration {
    /// Size of the pictures, in pixels (scaled from the display).
    int32_t width = 0;
    int32_t height = 0;
    /// At most one frame within this time.
    MediaTime minimumFrameInterval{1, 60};
    /// PixelFormat::i420 (4:2:0, full range) or PixelFormat::bgra.
    PixelFormat pixelFormat = PixelFormat::i420;
    /// Pictures the owner may hold at once.
    int32_t queueDepth = 6;
    /// Whether the pointer is drawn into the pictures.
    bool showsCursor = false;
    bool operator==(const StreamConfiguration&) const = default;
};

/// The host's frame status: complete carries a new picture; idle means nothing changed since
/// the last frame; the others tell the stream's own state.
enum class ScreenFrameStatus : int32_t { complete = 0, idle = 1, blank = 2, suspended = 3, started = 4, stopped = 5 };

/// A changed area of the display, in display points.
using DirtyRect = DisplayBounds;

/// One delivery of a stream.
struct ScreenSample {
    /// False for a sample the host marks as unusable.
    bool valid = true;
    /// Nothing when the host gave no status.
    std::optional<ScreenFrameStatus> status;
    /// The picture; only with status complete.
    std::shared_ptr<const PixelBuffer> image;
    MediaTime presentationTime;
    /// The areas changed since the previous frame; nothing when the host does not say.
    std::optional<std::vector<DirtyRect>> dirtyRects;
};

class ScreenCaptureStream {
public:
    using Completion = std::function<void(std::optional<ScreenCaptureError> error)>;
    virtual ~ScreenCaptureStream() = default;
    /// Blocks until the stream runs (nothing) or failed to (the error).
    virtual std::optional<ScreenCaptureError> start() = 0;
    virtual void updateConfiguration(const StreamConfiguration& configuration, Completion completion) = 0;
    virtual void stop(Completion completion) = 0;
};

class ScreenCapture {
public:
    using SampleHandler = std::function<void(const ScreenSample& sample)>;
    using ErrorHandler = std::function<void(const ScreenCaptureError& error)>;

    struct Content {
        std::optional<ShareableContent> content;  ///< present on success
        std::optional<ScreenCaptureError> error;  ///< present on failure
    };
    struct Created {
        std::shared_ptr<ScreenCaptureStream> stream;  ///< present on success
        std::optional<ScreenCaptureError> error;      ///< present on failure
    };

    virtual ~ScreenCapture() = default;
    /// Blocks for one question to the display server.
    virtual Content shareableContent() = 0;
    /// A stream of display `displayID`, delivering samples to `onSample` on `sampleQueue` and
    /// reporting a stop of its own to `onStoppedWithError`.
    virtual Created createStream(uint32_t displayID, const StreamConfiguration& configuration,
                                 std::shared_ptr<DispatchQueue> sampleQueue, SampleHandler onSample,
                                 ErrorHandler onStoppedWithError) = 0;
};

}  // namespace df
