#include "tools/phone/MediaReceiver.h"

#include "protocol/MediaPayloads.h"

#include <cmath>

namespace df::phone {

MediaReceiver::MediaReceiver(MediaOptions options, double now,
                             std::function<void(const std::string&)> log)
    : options_(std::move(options)), log_(std::move(log)), stats_(now) {
    if (options_.decodeVideo || !options_.snapshotPath.empty()) {
        try {
            decoder_ = std::make_unique<HevcDecoder>();
        } catch (const std::exception& e) {
            log_(std::string("video will not be decoded: ") + e.what());
        }
    }
    if (!options_.hevcPath.empty()) {
        hevcFile_.open(options_.hevcPath, std::ios::binary | std::ios::trunc);
        if (!hevcFile_) log_("cannot write " + options_.hevcPath);
    }
}

MediaReceiver::~MediaReceiver() { finish(); }

void MediaReceiver::videoConfig(const VideoConfig& config) {
    if (config_ && config_->width == config.width && config_->height == config.height &&
        config_->vps == config.vps && config_->sps == config.sps && config_->pps == config.pps)
        return;
    config_ = config;
    // New parameter sets take effect at the next keyframe, which carries them in the
    // rebuilt stream; until then the decoder keeps going on the old ones.
    writer_.setParameterSets({config.vps, config.sps, config.pps});
    while (!waitingVideo_.empty()) {
        useVideo(waitingVideo_.front().packet, waitingVideo_.front().arrival);
        waitingVideo_.pop_front();
    }
}

bool MediaReceiver::badVideo(const std::string& why) {
    stats_.badFrame();
    // A broken encoder would flood the terminal; the totals count every one.
    if (++reportedBad_ <= 10) log_("bad video frame: " + why);
    return false;
}

bool MediaReceiver::videoFrame(std::span<const uint8_t> payload, double now) {
    auto packet = VideoFramePacket::parse(payload);
    if (!packet) return badVideo("payload shorter than its 9-byte header");
    stats_.videoFrame(now, packet->pts, packet->data.size(), packet->isKeyframe);
    if (!std::isfinite(packet->pts)) return badVideo("presentation time is not a number");
    const FrameCheck check = checkFrame(packet->data, packet->isKeyframe);
    if (!check.wellFormed) return badVideo("length prefixes do not fit the frame");
    if (!check.flagMatches)
        return badVideo(packet->isKeyframe ? "marked as a keyframe but holds no IRAP picture"
                                           : "holds an IRAP picture but is not marked as a keyframe");
    if (!writer_.hasParameterSets() && (packet->isKeyframe || !waitingVideo_.empty())) {
        if (waitingVideo_.size() >= kMaxWaiting) {
            waitingVideo_.pop_front();
            return badVideo("no videoConfig after " + std::to_string(kMaxWaiting) + " frames");
        }
        waitingVideo_.push_back(Arrived{std::move(*packet), now});
        return true;
    }
    return useVideo(*packet, now);
}

bool MediaReceiver::useVideo(const VideoFramePacket& packet, double arrival) {
    const auto annexB = writer_.frame(packet.data, packet.isKeyframe);
    if (!annexB) return badVideo("cannot be rebuilt");
    if (hevcFile_.is_open()) {
        hevcSynced_ = hevcSynced_ || packet.isKeyframe;
        if (hevcSynced_)
            hevcFile_.write(reinterpret_cast<const char*>(annexB->data()),
                            static_cast<std::streamsize>(annexB->size()));
    }
    if (decoder_) {
        decoderSynced_ = decoderSynced_ || packet.isKeyframe;
        if (decoderSynced_) {
            const double start = options_.clock ? options_.clock() : 0.0;
            const int pictures = decoder_->decode(*annexB);
            if (pictures < 0) return badVideo("does not decode");
            if (pictures > 0 && options_.clock) stats_.pictureDecoded(arrival, start, options_.clock());
            if (pictures > 0 && options_.onPicture) options_.onPicture(decoder_->lastPicture());
        }
    }
    return true;
}

void MediaReceiver::audioConfig(const AudioConfig& config) {
    audioConfigured_ = true;
    const auto codec = AudioCodecKind::fromRawValue(config.codec);
    stats_.audioStream(codec && config.sampleRate > 0
                           ? std::optional<double>(codec->framesPerPacket() / config.sampleRate)
                           : std::nullopt);
    std::string why;
    audio_ = AudioDecoder::create(config.codec, static_cast<int>(std::lround(config.sampleRate)),
                                  static_cast<int>(config.channels), config.cookie, &why);
    if (!audio_) {
        log_("audio will not be decoded: " + why);
    } else if (!options_.wavPath.empty() && !wav_.isOpen()) {
        if (!wav_.open(options_.wavPath, audio_->sampleRate(), audio_->channels(), &why)) log_(why);
    }
    while (!waitingAudio_.empty()) {
        useAudio(waitingAudio_.front());
        waitingAudio_.pop_front();
    }
}

bool MediaReceiver::audioFrame(std::span<const uint8_t> payload, double now) {
    auto packet = AudioFramePacket::parse(payload);
    if (!packet) {
        ++audioErrors_;
        return false;
    }
    stats_.audioPacket(now, packet->pts, packet->data.size());
    if (!audioConfigured_) {
        if (waitingAudio_.size() >= kMaxWaiting) {
            waitingAudio_.pop_front();
            if (++audioErrors_ <= 10) log_("audio packets without an audioConfig");
        }
        waitingAudio_.push_back(std::move(*packet));
        return true;
    }
    return useAudio(*packet);
}

bool MediaReceiver::useAudio(const AudioFramePacket& packet) {
    if (!audio_) return true;  // announced with a codec this client cannot decode: counted only
    pcm_.clear();
    if (!audio_->decode(packet.data, pcm_)) {
        if (++audioErrors_ <= 10) log_("audio packet does not decode");
        return false;
    }
    audioFrames_ += static_cast<int64_t>(pcm_.size()) / audio_->channels();
    if (wav_.isOpen()) wav_.write(pcm_);
    return true;
}

std::optional<std::string> MediaReceiver::finish() {
    std::optional<std::string> problem;
    if (hevcFile_.is_open()) {
        hevcFile_.close();
        if (hevcFile_.fail()) problem = "cannot finish " + options_.hevcPath;
    }
    if (wav_.isOpen() && !wav_.close()) problem = "cannot finish " + options_.wavPath;
    if (!options_.snapshotPath.empty()) {
        const std::string path = std::exchange(options_.snapshotPath, std::string());
        if (decoder_) decoder_->flush();
        std::string why;
        if (!decoder_ || decoder_->lastPicture().width == 0)
            problem = "no picture was decoded, so no snapshot was written";
        else if (!writePng(path, decoder_->lastPicture(), &why))
            problem = path + ": " + why;
    }
    return problem;
}

}  // namespace df::phone
