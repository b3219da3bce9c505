#include "DuskFerryAgent/capture/AudioEncoder.h"

namespace df {

PcmFormat AudioEncoder::standardPcmFormat() {
    return PcmFormat{AudioCodecKind::sampleRate, AudioCodecKind::channels, PcmFormat::SampleType::float32};
}

std::optional<AudioCodecKind> AudioEncoder::negotiate(const std::vector<std::string>& clientCodecs,
                                                      AudioConversion& conversion) {
    for (const auto& name : clientCodecs) {
        const auto codec = AudioCodecKind::fromRawValue(name);
        if (!codec) continue;
        const auto output = codec->streamDescription();
        if (!conversion.supportsOutputFormat(output)) continue;
        if (!conversion.createConverter(standardPcmFormat(), output)) continue;
        return codec;
    }
    return std::nullopt;
}

std::shared_ptr<AudioEncoder> AudioEncoder::create(std::shared_ptr<AudioConversion> conversion, AudioCodecKind codec,
                                                   ConfigHandler onConfig, PacketHandler onPacket) {
    if (!conversion || !conversion->supportsOutputFormat(codec.streamDescription())) return nullptr;
    return std::shared_ptr<AudioEncoder>(
        new AudioEncoder(std::move(conversion), codec, std::move(onConfig), std::move(onPacket)));
}

AudioEncoder::AudioEncoder(std::shared_ptr<AudioConversion> conversion, AudioCodecKind codec, ConfigHandler onConfig,
                           PacketHandler onPacket)
    : conversion_(std::move(conversion)),
      codec_(codec),
      onConfig_(std::move(onConfig)),
      onPacket_(std::move(onPacket)),
      outputFormat_(codec.streamDescription()) {}

void AudioEncoder::handle(const AudioSample& sample) {
    if (!sample.valid || !sample.format) return;
    const PcmFormat format = *sample.format;
    const uint32_t frames = sample.frames;
    if (frames < 1) return;

    if (!converter_ || !inputFormat_ || *inputFormat_ != format) {
        // A new capture format needs a new converter; what the old one still held is dropped.
        // The phone's decoder is unaffected, so no second AudioConfig goes out.
        converter_ = conversion_->createConverter(format, outputFormat_);
        inputFormat_ = format;
        pendingInput_.clear();
        if (!converter_) {
            inputFormat_.reset();
            return;
        }
    }

    const size_t bytes = static_cast<size_t>(frames) * format.bytesPerFrame();
    if (sample.data.size() < bytes) return;
    pendingInput_.push_back(PcmBuffer{format, frames, Bytes(sample.data.begin(), sample.data.begin() + bytes)});
    drain(sample.presentationTime.seconds());
}

void AudioEncoder::drain(double pts) {
    for (;;) {
        bool ranOut = false;
        // Runs synchronously inside convert(), on this queue.
        const auto input = [this, &ranOut]() -> std::optional<PcmBuffer> {
            if (pendingInput_.empty()) {
                ranOut = true;
                return std::nullopt;
            }
            PcmBuffer next = std::move(pendingInput_.front());
            pendingInput_.pop_front();
            return next;
        };
        auto result = converter_->convert(input);
        if (result.status != 0 || !result.packet) return;
        if (!configSent_) {
            configSent_ = true;
            if (onConfig_)
                onConfig_(AudioConfig(std::string(codec_.rawValue()), AudioCodecKind::sampleRate,
                                      AudioCodecKind::channels, converter_->magicCookie()));
        }
        if (onPacket_) onPacket_(AudioFramePacket(pts, std::move(*result.packet)));
        if (ranOut) return;
    }
}

}  // namespace df
