#pragma once
// In-memory audio services for unit tests.
//
// FakeAudioCapture: the test plays the host. It reads back the streams asked for, delivers
// buffers through a stream (posted on the stream's queue, as the host would) and reports a
// stream unavailable. No thread of its own.
//
// FakeAudioConversion: converters that count frames and emit one packet per output packet's
// worth of frames. A packet's bytes are its sequence number (4 bytes, big-endian) followed by
// the first byte of every frame it holds, so tests can tell which input went where. The test
// chooses the output formats the host cannot produce and the cookie, and reads back the
// converters built (their input formats).

#include "platform/AudioCapture.h"
#include "platform/AudioConversion.h"

#include <mutex>
#include <set>
#include <vector>

namespace df::fake {

class FakeAudioCaptureStream final : public AudioCaptureStream {
public:
    FakeAudioCaptureStream(AudioCaptureConfiguration configuration, std::shared_ptr<DispatchQueue> queue,
                           AudioCapture::SampleHandler onSample, AudioCapture::UnavailableHandler onUnavailable);

    void start() override;
    void stop() override;

    const AudioCaptureConfiguration& configuration() const { return configuration_; }
    bool isStarted() const;
    bool isStopped() const;

    /// Posts `sample` to the stream's queue; dropped unless the stream runs.
    void deliver(AudioSample sample);
    /// The host cannot record: reports it inline on the test's thread.
    void failWith(const AudioCaptureError& error);

private:
    const AudioCaptureConfiguration configuration_;
    const std::shared_ptr<DispatchQueue> queue_;
    const std::shared_ptr<AudioCapture::SampleHandler> onSample_;
    const AudioCapture::UnavailableHandler onUnavailable_;
    mutable std::mutex mutex_;
    bool started_ = false;
    bool stopped_ = false;
};

class FakeAudioCapture final : public AudioCapture {
public:
    std::shared_ptr<AudioCaptureStream> createStream(const AudioCaptureConfiguration& configuration,
                                                     std::shared_ptr<DispatchQueue> sampleQueue,
                                                     SampleHandler onSample,
                                                     UnavailableHandler onUnavailable) override;
    std::vector<std::shared_ptr<FakeAudioCaptureStream>> streams() const;
    std::shared_ptr<FakeAudioCaptureStream> lastStream() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeAudioCaptureStream>> streams_;
};

/// `frames` frames of `format` whose every byte of frame i is the low byte of `firstValue + i`.
AudioSample pcmSample(PcmFormat format, uint32_t frames, double pts, uint8_t firstValue = 0);

class FakeAudioConversion final : public AudioConversion {
public:
    /// Output formats (by format identifier) the host cannot produce.
    void setUnsupported(std::set<uint32_t> formatIDs);
    /// The cookie every converter built from now on answers.
    void setCookie(std::optional<Bytes> cookie);
    /// Input formats the host refuses to build a converter from.
    void refuseInput(PcmFormat format);

    /// The input format of every converter built, in order.
    std::vector<PcmFormat> builtFor() const;

    bool supportsOutputFormat(const AudioStreamDescription& output) const override;
    std::unique_ptr<AudioConverter> createConverter(const PcmFormat& input,
                                                    const AudioStreamDescription& output) override;

private:
    mutable std::mutex mutex_;
    std::set<uint32_t> unsupported_;
    std::optional<Bytes> cookie_;
    std::vector<PcmFormat> refused_;
    std::vector<PcmFormat> built_;
};

}  // namespace df::fake
