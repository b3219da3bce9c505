#include "platform/fake/audio/FakeAudio.h"

#include <algorithm>

namespace df::fake {

FakeAudioCaptureStream::FakeAudioCaptureStream(AudioCaptureConfiguration configuration,
                                               std::shared_ptr<DispatchQueue> queue,
                                               AudioCapture::SampleHandler onSample,
                                               AudioCapture::UnavailableHandler onUnavailable)
    : configuration_(configuration),
      queue_(std::move(queue)),
      onSample_(std::make_shared<AudioCapture::SampleHandler>(std::move(onSample))),
      onUnavailable_(std::move(onUnavailable)) {}

void FakeAudioCaptureStream::start() {
    std::lock_guard lock(mutex_);
    if (!stopped_) started_ = true;
}

void FakeAudioCaptureStream::stop() {
    std::lock_guard lock(mutex_);
    stopped_ = true;
}

bool FakeAudioCaptureStream::isStarted() const {
    std::lock_guard lock(mutex_);
    return started_;
}

bool FakeAudioCaptureStream::isStopped() const {
    std::lock_guard lock(mutex_);
    return stopped_;
}

void FakeAudioCaptureStream::deliver(AudioSample sample) {
    {
        std::lock_guard lock(mutex_);
        if (!started_ || stopped_) return;
    }
    queue_->post([this, handler = onSample_, sample = std::move(sample)] {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return;
        }
        (*handler)(sample);
    });
}

void FakeAudioCaptureStream::failWith(const AudioCaptureError& error) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
    }
    if (onUnavailable_) onUnavailable_(error);
}

std::shared_ptr<AudioCaptureStream> FakeAudioCapture::createStream(const AudioCaptureConfiguration& configuration,
                                                                   std::shared_ptr<DispatchQueue> sampleQueue,
                                                                   SampleHandler onSample,
                                                                   UnavailableHandler onUnavailable) {
    auto stream = std::make_shared<FakeAudioCaptureStream>(configuration, std::move(sampleQueue), std::move(onSample),
                                                           std::move(onUnavailable));
    std::lock_guard lock(mutex_);
    streams_.push_back(stream);
    return stream;
}

std::vector<std::shared_ptr<FakeAudioCaptureStream>> FakeAudioCapture::streams() const {
    std::lock_guard lock(mutex_);
    return streams_;
}

std::shared_ptr<FakeAudioCaptureStream> FakeAudioCapture::lastStream() const {
    std::lock_guard lock(mutex_);
    return streams_.empty() ? nullptr : streams_.back();
}

AudioSample pcmSample(PcmFormat format, uint32_t frames, double pts, uint8_t firstValue) {
    AudioSample sample;
    sample.format = format;
    sample.frames = frames;
    const uint32_t frameBytes = format.bytesPerFrame();
    sample.data.resize(static_cast<size_t>(frames) * frameBytes);
    for (uint32_t i = 0; i < frames; ++i)
        std::fill_n(sample.data.begin() + static_cast<ptrdiff_t>(i) * frameBytes, frameBytes,
                    static_cast<uint8_t>(firstValue + i));
    sample.presentationTime = MediaTime{static_cast<int64_t>(pts * 1000000), 1000000};
    return sample;
}

namespace {

class CountingConverter final : public AudioConverter {
public:
    CountingConverter(PcmFormat input, uint32_t framesPerPacket, std::optional<Bytes> cookie)
        : input_(input), framesPerPacket_(framesPerPacket), cookie_(std::move(cookie)) {}

    Result convert(const InputProvider& input) override {
        while (held_.size() < framesPerPacket_) {
            auto buffer = input();
            if (!buffer) return {};
            if (buffer->format != input_) return {-50, std::nullopt};
            const uint32_t frameBytes = buffer->format.bytesPerFrame();
            for (uint32_t i = 0; i < buffer->frames; ++i) held_.push_back(buffer->data[i * frameBytes]);
        }
        Bytes packet{static_cast<uint8_t>(sequence_ >> 24), static_cast<uint8_t>(sequence_ >> 16),
                     static_cast<uint8_t>(sequence_ >> 8), static_cast<uint8_t>(sequence_)};
        ++sequence_;
        packet.insert(packet.end(), held_.begin(), held_.begin() + framesPerPacket_);
        held_.erase(held_.begin(), held_.begin() + framesPerPacket_);
        return {0, std::move(packet)};
    }
    std::optional<Bytes> magicCookie() const override { return cookie_; }

private:
    const PcmFormat input_;
    const uint32_t framesPerPacket_;
    const std::optional<Bytes> cookie_;
    std::vector<uint8_t> held_;
    uint32_t sequence_ = 0;
};

}  // namespace

void FakeAudioConversion::setUnsupported(std::set<uint32_t> formatIDs) {
    std::lock_guard lock(mutex_);
    unsupported_ = std::move(formatIDs);
}

void FakeAudioConversion::setCookie(std::optional<Bytes> cookie) {
    std::lock_guard lock(mutex_);
    cookie_ = std::move(cookie);
}

void FakeAudioConversion::refuseInput(PcmFormat format) {
    std::lock_guard lock(mutex_);
    refused_.push_back(format);
}

std::vector<PcmFormat> FakeAudioConversion::builtFor() const {
    std::lock_guard lock(mutex_);
    return built_;
}

bool FakeAudioConversion::supportsOutputFormat(const AudioStreamDescription& output) const {
    std::lock_guard lock(mutex_);
    return output.framesPerPacket > 0 && !unsupported_.contains(output.formatID);
}

std::unique_ptr<AudioConverter> FakeAudioConversion::createConverter(const PcmFormat& input,
                                                                     const AudioStreamDescription& output) {
    if (!supportsOutputFormat(output)) return nullptr;
    std::lock_guard lock(mutex_);
    if (std::find(refused_.begin(), refused_.end(), input) != refused_.end()) return nullptr;
    built_.push_back(input);
    return std::make_unique<CountingConverter>(input, output.framesPerPacket, cookie_);
}

}  // namespace df::fake
