#pragma once
// The host's system-audio capture: what the computer plays, recorded as linear PCM and
// delivered in small buffers, each with its format and presentation time, on a queue the
// caller names.
// Linux: libpulse recording the default sink's monitor (platform/linux/audio); tests:
// fake::FakeAudioCapture.
//
// What callers rely on:
//  1. createStream() makes a stream without starting it and never fails; a host without a
//     sound server shows itself only once the stream runs (guarantee 5).
//  2. start() returns at once: connecting to the sound server and waiting for it happen on a
//     thread of the service, never on the caller's. Calling it twice, or after stop(), does
//     nothing.
//  3. Every buffer is handed to the sample handler on the queue given at creation, posted
//     there (never inline from a call the owner made), one at a time in capture order. A
//     buffer holds `frames` interleaved frames of its format; the presentation time is the
//     capture time of its first frame in seconds of CLOCK_MONOTONIC, the clock the screen
//     capture stamps its frames with, so audio and video can be kept in step.
//  4. The stream follows the host's current output: when the default output device changes,
//     the stream records the new one without a word to the owner.
//  5. A stream that cannot record (no sound server, the server went away) reports it once
//     through the unavailable handler, on a thread of the service, and delivers no more
//     buffers. Nothing else of the host depends on it (the screen keeps streaming).
//  6. stop() ends the stream: once it returned, no sample handler call starts and the
//     unavailable handler is not called. Idempotent; the destructor stops a running stream.
//
// Threading: every method may be called from any thread except the handlers' own.

#include "platform/DispatchQueue.h"
#include "platform/VideoCompression.h"
#include "protocol/Bytes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace df {

/// A linear PCM format, interleaved.
struct PcmFormat {
    enum class SampleType : uint8_t { float32, int16 };

    double sampleRate = 48000;
    uint32_t channels = 2;
    SampleType sampleType = SampleType::float32;

    uint32_t bytesPerFrame() const { return channels * (sampleType == SampleType::float32 ? 4u : 2u); }
    bool operator==(const PcmFormat&) const = default;
};

/// One captured buffer of PCM.
struct AudioSample {
    /// False for a buffer the host marks as unusable.
    bool valid = true;
    /// Nothing when the host could not say what the bytes are.
    std::optional<PcmFormat> format;
    /// Number of frames in `data`.
    uint32_t frames = 0;
    Bytes data;
    MediaTime presentationTime;
};

/// Why a stream cannot record.
struct AudioCaptureError {
    std::string message;
    bool operator==(const AudioCaptureError&) const = default;
};

/// What a stream asks the host for; the host converts to it.
struct AudioCaptureConfiguration {
    double sampleRate = 48000;
    uint32_t channels = 2;
    bool operator==(const AudioCaptureConfiguration&) const = default;
};

class AudioCaptureStream {
public:
    virtual ~AudioCaptureStream() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
};

class AudioCapture {
public:
    using SampleHandler = std::function<void(const AudioSample& sample)>;
    using UnavailableHandler = std::function<void(const AudioCaptureError& error)>;

    virtual ~AudioCapture() = default;
    /// A stream of the system's audio output in `configuration`, delivering buffers to
    /// `onSample` on `sampleQueue` and reporting to `onUnavailable` when it cannot record.
    virtual std::shared_ptr<AudioCaptureStream> createStream(const AudioCaptureConfiguration& configuration,
                                                             std::shared_ptr<DispatchQueue> sampleQueue,
                                                             SampleHandler onSample,
                                                             UnavailableHandler onUnavailable) = 0;
};

}  // namespace df
