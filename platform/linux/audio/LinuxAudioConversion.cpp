// Opus and AAC-LC converters: PCM taken from the caller is gathered as interleaved stereo
// float until a packet's worth is there, then encoded into exactly one packet.
#include "platform/linux/audio/AudioCookies.h"
#include "platform/linux/audio/LinuxAudio.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}
#include <opus/opus.h>

#include <cstring>
#include <deque>
#include <vector>

namespace df::linux_audio {

namespace {

constexpr int kRate = 48000;
constexpr int kChannels = 2;
constexpr int kBitrate = 128000;

uint32_t fourCC(const char (&code)[5]) {
    return (static_cast<uint32_t>(code[0]) << 24) | (static_cast<uint32_t>(code[1]) << 16) |
           (static_cast<uint32_t>(code[2]) << 8) | static_cast<uint32_t>(code[3]);
}

bool readable(const PcmFormat& format) {
    return format.sampleRate == kRate && (format.channels == 1 || format.channels == 2);
}

/// Interleaved stereo float frames not yet encoded; mono is spread to both sides.
class StereoFifo {
public:
    explicit StereoFifo(PcmFormat format) : format_(format) {}

    /// False when the buffer is not in the format the converter was built for.
    bool append(const PcmBuffer& buffer) {
        if (buffer.format != format_ || buffer.data.size() < size_t{buffer.frames} * format_.bytesPerFrame())
            return false;
        const size_t values = size_t{buffer.frames} * format_.channels;
        std::vector<float> in(values);
        if (format_.sampleType == PcmFormat::SampleType::float32) {
            std::memcpy(in.data(), buffer.data.data(), values * sizeof(float));
        } else {
            for (size_t i = 0; i < values; ++i) {
                int16_t v;
                std::memcpy(&v, buffer.data.data() + 2 * i, 2);
                in[i] = static_cast<float>(v) / 32768.0f;
            }
        }
        for (size_t f = 0; f < buffer.frames; ++f) {
            const float left = in[f * format_.channels];
            const float right = format_.channels == 2 ? in[f * 2 + 1] : left;
            samples_.push_back(left);
            samples_.push_back(right);
        }
        return true;
    }
    size_t frames() const { return samples_.size() / kChannels; }
    /// Moves the oldest `count` frames into `out` (interleaved).
    void take(size_t count, float* out) {
        std::copy_n(samples_.begin(), count * kChannels, out);
        samples_.erase(samples_.begin(), samples_.begin() + static_cast<ptrdiff_t>(count * kChannels));
    }

private:
    const PcmFormat format_;
    std::deque<float> samples_;
};

/// Pulls input until `fifo` holds `frames` frames. Nothing: enough; otherwise the result to
/// give back (input ran out, or a buffer of the wrong format).
std::optional<AudioConverter::Result> fill(StereoFifo& fifo, size_t frames, const AudioConverter::InputProvider& input) {
    while (fifo.frames() < frames) {
        auto buffer = input();
        if (!buffer) return AudioConverter::Result{};
        if (!fifo.append(*buffer)) return AudioConverter::Result{-50, std::nullopt};
    }
    return std::nullopt;
}

class OpusConverter final : public AudioConverter {
public:
    static constexpr int kFrames = 960;  // 20 ms
    static constexpr int kMaxPacket = 4000;

    static std::unique_ptr<OpusConverter> create(const PcmFormat& input) {
        int error = OPUS_OK;
        // Restricted low delay: CELT only, the smallest algorithmic delay Opus has.
        OpusEncoder* encoder = opus_encoder_create(kRate, kChannels, OPUS_APPLICATION_RESTRICTED_LOWDELAY, &error);
        if (!encoder || error != OPUS_OK) return nullptr;
        opus_encoder_ctl(encoder, OPUS_SET_BITRATE(kBitrate));
        opus_int32 lookahead = 0;
        opus_encoder_ctl(encoder, OPUS_GET_LOOKAHEAD(&lookahead));
        return std::unique_ptr<OpusConverter>(new OpusConverter(encoder, input, static_cast<uint16_t>(lookahead)));
    }
    ~OpusConverter() override { opus_encoder_destroy(encoder_); }

    Result convert(const InputProvider& input) override {
        if (auto early = fill(fifo_, kFrames, input)) return *early;
        std::vector<float> pcm(size_t{kFrames} * kChannels);
        fifo_.take(kFrames, pcm.data());
        Bytes packet(kMaxPacket);
        const opus_int32 n = opus_encode_float(encoder_, pcm.data(), kFrames, packet.data(), kMaxPacket);
        if (n < 0) return {n, std::nullopt};
        packet.resize(static_cast<size_t>(n));
        return {0, std::move(packet)};
    }
    std::optional<Bytes> magicCookie() const override {
        return opusIdentificationHeader(kChannels, preSkip_, kRate);
    }

private:
    OpusConverter(OpusEncoder* encoder, PcmFormat input, uint16_t preSkip)
        : encoder_(encoder), fifo_(input), preSkip_(preSkip) {}
    OpusEncoder* encoder_;
    StereoFifo fifo_;
    const uint16_t preSkip_;
};

class AacConverter final : public AudioConverter {
public:
    static constexpr int kFrames = 1024;

    static std::unique_ptr<AacConverter> create(const PcmFormat& input) {
        std::unique_ptr<AacConverter> self(new AacConverter(input));
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return nullptr;
        self->ctx_ = avcodec_alloc_context3(codec);
        self->frame_ = av_frame_alloc();
        self->packet_ = av_packet_alloc();
        if (!self->ctx_ || !self->frame_ || !self->packet_) return nullptr;
        AVCodecContext* ctx = self->ctx_;
        ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
        ctx->sample_rate = kRate;
        av_channel_layout_default(&ctx->ch_layout, kChannels);
        ctx->bit_rate = kBitrate;
        ctx->profile = FF_PROFILE_AAC_LOW;
        // The AudioSpecificConfig goes to extradata, the packets are raw (no ADTS).
        ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        // The fast coder keeps a live stream's CPU cost low.
        av_opt_set(ctx->priv_data, "aac_coder", "fast", 0);
        if (avcodec_open2(ctx, codec, nullptr) < 0 || ctx->frame_size != kFrames || ctx->extradata_size < 2)
            return nullptr;
        self->frame_->format = AV_SAMPLE_FMT_FLTP;
        self->frame_->nb_samples = kFrames;
        self->frame_->sample_rate = kRate;
        if (av_channel_layout_copy(&self->frame_->ch_layout, &ctx->ch_layout) < 0) return nullptr;
        if (av_frame_get_buffer(self->frame_, 0) < 0) return nullptr;
        const Bytes asc(ctx->extradata, ctx->extradata + ctx->extradata_size);
        // Buffer: the largest raw AAC frame, 6144 bits per channel.
        self->cookie_ = aacElementaryStreamDescriptor(asc, 6144 / 8 * kChannels, kBitrate, kBitrate);
        return self;
    }
    ~AacConverter() override {
        av_packet_free(&packet_);
        av_frame_free(&frame_);
        avcodec_free_context(&ctx_);
    }

    Result convert(const InputProvider& input) override {
        for (;;) {
            // The encoder holds frames back at first (its priming); a packet waiting comes first.
            const int received = avcodec_receive_packet(ctx_, packet_);
            if (received == 0) {
                Bytes packet(packet_->data, packet_->data + packet_->size);
                av_packet_unref(packet_);
                return {0, std::move(packet)};
            }
            if (received != AVERROR(EAGAIN)) return {received, std::nullopt};
            if (auto early = fill(fifo_, kFrames, input)) return *early;
            if (const int status = sendFrame(); status < 0) return {status, std::nullopt};
        }
    }
    std::optional<Bytes> magicCookie() const override { return cookie_; }

private:
    explicit AacConverter(PcmFormat input) : fifo_(input) {}

    int sendFrame() {
        // The encoder may still hold the previous frame's buffer.
        if (const int status = av_frame_make_writable(frame_); status < 0) return status;
        std::vector<float> interleaved(size_t{kFrames} * kChannels);
        fifo_.take(kFrames, interleaved.data());
        auto* left = reinterpret_cast<float*>(frame_->data[0]);
        auto* right = reinterpret_cast<float*>(frame_->data[1]);
        for (int i = 0; i < kFrames; ++i) {
            left[i] = interleaved[size_t(i) * 2];
            right[i] = interleaved[size_t(i) * 2 + 1];
        }
        frame_->pts = pts_;
        pts_ += kFrames;
        return avcodec_send_frame(ctx_, frame_);
    }

    AVCodecContext* ctx_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    StereoFifo fifo_;
    std::optional<Bytes> cookie_;
    int64_t pts_ = 0;
};

class LinuxAudioConversion final : public AudioConversion {
public:
    bool supportsOutputFormat(const AudioStreamDescription& output) const override {
        if (output.sampleRate != kRate || output.channelsPerFrame != kChannels) return false;
        return (output.formatID == fourCC("opus") && output.framesPerPacket == OpusConverter::kFrames) ||
               (output.formatID == fourCC("aac ") && output.framesPerPacket == AacConverter::kFrames);
    }

    std::unique_ptr<AudioConverter> createConverter(const PcmFormat& input,
                                                    const AudioStreamDescription& output) override {
        if (!supportsOutputFormat(output) || !readable(input)) return nullptr;
        if (output.formatID == fourCC("opus")) return OpusConverter::create(input);
        return AacConverter::create(input);
    }
};

}  // namespace

std::shared_ptr<AudioConversion> makeLinuxAudioConversion() { return std::make_shared<LinuxAudioConversion>(); }

}  // namespace df::linux_audio
