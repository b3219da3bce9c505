#include "tools/phone/AudioDecoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace df::phone {

namespace {

void setError(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

class OpusPacketDecoder final : public AudioDecoder {
public:
    OpusPacketDecoder(OpusDecoder* dec, int rate, int channels)
        : dec_(dec), rate_(rate), channels_(channels) {}
    ~OpusPacketDecoder() override { opus_decoder_destroy(dec_); }

    bool decode(std::span<const uint8_t> packet, std::vector<int16_t>& pcm) override {
        // 120 ms is the longest Opus packet.
        const int maxFrames = rate_ * 120 / 1000;
        const size_t at = pcm.size();
        pcm.resize(at + static_cast<size_t>(maxFrames) * channels_);
        const int n = opus_decode(dec_, packet.data(), static_cast<opus_int32>(packet.size()),
                                  pcm.data() + at, maxFrames, 0);
        pcm.resize(at + static_cast<size_t>(std::max(n, 0)) * channels_);
        return n >= 0;
    }
    int sampleRate() const override { return rate_; }
    int channels() const override { return channels_; }

private:
    OpusDecoder* dec_;
    int rate_;
    int channels_;
};

int16_t toS16(float v) {
    if (!(v == v)) return 0;  // NaN
    const float clamped = std::clamp(v, -1.0f, 1.0f);
    return static_cast<int16_t>(std::lrintf(clamped * 32767.0f));
}

class AacPacketDecoder final : public AudioDecoder {
public:
    AacPacketDecoder() = default;
    ~AacPacketDecoder() override {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&ctx_);
    }

    bool open(int rate, int channels, const Bytes& asc, std::string* error) {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
        if (!codec) {
            setError(error, "libavcodec has no AAC decoder");
            return false;
        }
        ctx_ = avcodec_alloc_context3(codec);
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!ctx_ || !packet_ || !frame_) {
            setError(error, "out of memory");
            return false;
        }
        ctx_->extradata = static_cast<uint8_t*>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (!ctx_->extradata) return false;
        std::memcpy(ctx_->extradata, asc.data(), asc.size());
        ctx_->extradata_size = static_cast<int>(asc.size());
        ctx_->sample_rate = rate;
        av_channel_layout_default(&ctx_->ch_layout, channels);
        if (avcodec_open2(ctx_, codec, nullptr) < 0) {
            setError(error, "the AAC decoder rejected the stream configuration");
            return false;
        }
        rate_ = rate;
        channels_ = channels;
        return true;
    }

    bool decode(std::span<const uint8_t> data, std::vector<int16_t>& pcm) override {
        if (av_new_packet(packet_, static_cast<int>(data.size())) < 0) return false;
        if (!data.empty()) std::memcpy(packet_->data, data.data(), data.size());
        const int sent = avcodec_send_packet(ctx_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) return false;
        for (;;) {
            const int r = avcodec_receive_frame(ctx_, frame_);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
            if (r < 0) return false;
            append(pcm);
            av_frame_unref(frame_);
        }
        return true;
    }
    int sampleRate() const override { return rate_; }
    int channels() const override { return channels_; }

private:
    // The decoder's native output is planar float; the WAV file and the tests want
    // interleaved 16-bit with the announced channel count (missing channels repeat the last).
    void append(std::vector<int16_t>& pcm) {
        const int frames = frame_->nb_samples;
        const int have = frame_->ch_layout.nb_channels;
        if (have < 1) return;
        const auto fmt = static_cast<AVSampleFormat>(frame_->format);
        const size_t at = pcm.size();
        pcm.resize(at + static_cast<size_t>(frames) * channels_);
        for (int i = 0; i < frames; ++i) {
            for (int c = 0; c < channels_; ++c) {
                const int src = std::min(c, have - 1);
                int16_t s = 0;
                switch (fmt) {
                    case AV_SAMPLE_FMT_FLTP:
                        s = toS16(reinterpret_cast<const float*>(frame_->extended_data[src])[i]);
                        break;
                    case AV_SAMPLE_FMT_FLT:
                        s = toS16(reinterpret_cast<const float*>(frame_->extended_data[0])[i * have + src]);
                        break;
                    case AV_SAMPLE_FMT_S16P:
                        s = reinterpret_cast<const int16_t*>(frame_->extended_data[src])[i];
                        break;
                    case AV_SAMPLE_FMT_S16:
                        s = reinterpret_cast<const int16_t*>(frame_->extended_data[0])[i * have + src];
                        break;
                    default:
                        break;
                }
                pcm[at + static_cast<size_t>(i) * channels_ + c] = s;
            }
        }
    }

    AVCodecContext* ctx_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int rate_ = 0;
    int channels_ = 0;
};

int samplingFrequencyIndex(int rate) {
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000,
                                24000, 22050, 16000, 12000, 11025, 8000, 7350};
    for (int i = 0; i < 13; ++i)
        if (rates[i] == rate) return i;
    return -1;
}

// The AudioSpecificConfig for a stream announced without a cookie: object type, frequency
// index and channel configuration are enough for AAC-LC. AAC-ELD needs its ELD-specific
// configuration, which only the encoder knows, so it cannot be guessed.
std::optional<Bytes> defaultAacLcConfig(int rate, int channels) {
    const int freq = samplingFrequencyIndex(rate);
    if (freq < 0 || channels < 1 || channels > 7) return std::nullopt;
    const int objectType = 2;  // AAC LC
    const uint16_t bits = static_cast<uint16_t>((objectType << 11) | (freq << 7) | (channels << 3));
    return Bytes{static_cast<uint8_t>(bits >> 8), static_cast<uint8_t>(bits & 0xFF)};
}

// One MPEG-4 descriptor: a tag byte, a length of up to four bytes of seven bits each (high
// bit: more follow), the body.
struct Descriptor {
    uint8_t tag = 0;
    std::span<const uint8_t> body;
    std::span<const uint8_t> rest;
};

std::optional<Descriptor> readDescriptor(std::span<const uint8_t> in) {
    if (in.empty()) return std::nullopt;
    size_t at = 1;
    uint32_t length = 0;
    for (int i = 0; i < 4; ++i) {
        if (at >= in.size()) return std::nullopt;
        const uint8_t b = in[at++];
        length = (length << 7) | (b & 0x7F);
        if (!(b & 0x80)) break;
        if (i == 3) return std::nullopt;
    }
    if (length > in.size() - at) return std::nullopt;
    return Descriptor{in[0], in.subspan(at, length), in.subspan(at + length)};
}

// The AudioSpecificConfig inside an elementary-stream descriptor (ES_Descriptor, tag 3 →
// DecoderConfigDescriptor, tag 4 → DecoderSpecificInfo, tag 5), the cookie the phone's
// converter takes for AAC.
std::optional<Bytes> audioSpecificConfigOf(std::span<const uint8_t> cookie) {
    auto es = readDescriptor(cookie);
    if (!es || es->tag != 0x03 || es->body.size() < 3) return std::nullopt;
    const uint8_t flags = es->body[2];
    size_t skip = 3;
    if (flags & 0x80) skip += 2;  // dependsOn_ES_ID
    if (flags & 0x40) {           // URL
        if (es->body.size() <= skip) return std::nullopt;
        skip += 1 + es->body[skip];
    }
    if (flags & 0x20) skip += 2;  // OCR_ES_Id
    if (skip > es->body.size()) return std::nullopt;
    auto d = readDescriptor(es->body.subspan(skip));
    while (d && d->tag != 0x04) d = readDescriptor(d->rest);
    if (!d || d->body.size() < 13) return std::nullopt;
    auto info = readDescriptor(d->body.subspan(13));
    while (info && info->tag != 0x05) info = readDescriptor(info->rest);
    if (!info || info->body.empty()) return std::nullopt;
    return Bytes(info->body.begin(), info->body.end());
}

}  // namespace

std::optional<Bytes> AudioDecoder::aacConfigFromCookie(std::span<const uint8_t> cookie) {
    if (cookie.empty()) return std::nullopt;
    if (cookie[0] == 0x03) return audioSpecificConfigOf(cookie);
    return Bytes(cookie.begin(), cookie.end());
}

std::unique_ptr<AudioDecoder> AudioDecoder::create(const std::string& codec, int sampleRate,
                                                   int channels, const std::optional<Bytes>& cookie,
                                                   std::string* error) {
    if (channels < 1 || channels > 8 || sampleRate < 8000 || sampleRate > 192000) {
        setError(error, "unusable audio parameters: " + std::to_string(sampleRate) + " Hz, " +
                            std::to_string(channels) + " channels");
        return nullptr;
    }
    if (codec == "opus") {
        // libopus decodes at 8, 12, 16, 24 or 48 kHz; the agent always sends 48 kHz.
        int err = OPUS_OK;
        OpusDecoder* dec = opus_decoder_create(sampleRate, channels, &err);
        if (!dec || err != OPUS_OK) {
            setError(error, std::string("libopus: ") + opus_strerror(err));
            return nullptr;
        }
        return std::make_unique<OpusPacketDecoder>(dec, sampleRate, channels);
    }
    if (codec == "aac-lc" || codec == "aac-eld") {
        std::optional<Bytes> asc;
        if (cookie && !cookie->empty()) {
            asc = aacConfigFromCookie(*cookie);
            if (!asc) {
                setError(error, "the AAC cookie holds no AudioSpecificConfig");
                return nullptr;
            }
        }
        if (!asc) {
            if (codec == "aac-eld") {
                setError(error, "an AAC-ELD stream without a cookie cannot be decoded");
                return nullptr;
            }
            asc = defaultAacLcConfig(sampleRate, channels);
            if (!asc) {
                setError(error, "no AAC configuration for " + std::to_string(sampleRate) + " Hz");
                return nullptr;
            }
        }
        auto dec = std::make_unique<AacPacketDecoder>();
        if (!dec->open(sampleRate, channels, *asc, error)) return nullptr;
        return dec;
    }
    setError(error, "unknown audio codec \"" + codec + "\"");
    return nullptr;
}

WavWriter::~WavWriter() { close(); }

bool WavWriter::open(const std::string& path, int sampleRate, int channels, std::string* error) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        setError(error, "cannot open " + path + " for writing");
        return false;
    }
    sampleRate_ = sampleRate;
    channels_ = channels;
    dataBytes_ = 0;
    failed_ = false;
    if (!writeHeader()) {
        setError(error, "cannot write to " + path);
        return false;
    }
    return true;
}

bool WavWriter::writeHeader() {
    // RIFF sizes are 32-bit; a longer recording keeps the largest size it can state.
    const uint32_t data = static_cast<uint32_t>(std::min<uint64_t>(dataBytes_, 0xFFFFFFFFu - 36));
    const uint32_t blockAlign = static_cast<uint32_t>(channels_) * 2;
    const uint32_t byteRate = static_cast<uint32_t>(sampleRate_) * blockAlign;
    uint8_t h[44];
    auto put32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    auto put16 = [&](int at, uint16_t v) {
        h[at] = static_cast<uint8_t>(v);
        h[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    std::memcpy(h, "RIFF", 4);
    put32(4, 36 + data);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);  // PCM
    put16(22, static_cast<uint16_t>(channels_));
    put32(24, static_cast<uint32_t>(sampleRate_));
    put32(28, byteRate);
    put16(32, static_cast<uint16_t>(blockAlign));
    put16(34, 16);
    std::memcpy(h + 36, "data", 4);
    put32(40, data);
    if (std::fseek(file_, 0, SEEK_SET) != 0) return false;
    if (std::fwrite(h, 1, sizeof h, file_) != sizeof h) return false;
    return std::fseek(file_, 0, SEEK_END) == 0;
}

bool WavWriter::write(std::span<const int16_t> samples) {
    if (!file_ || failed_) return false;
    // WAV is little-endian; write byte by byte so the file is right on any host.
    std::vector<uint8_t> bytes(samples.size() * 2);
    for (size_t i = 0; i < samples.size(); ++i) {
        const auto v = static_cast<uint16_t>(samples[i]);
        bytes[2 * i] = static_cast<uint8_t>(v);
        bytes[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
        failed_ = true;
        return false;
    }
    dataBytes_ += bytes.size();
    return true;
}

bool WavWriter::close() {
    if (!file_) return !failed_;
    bool ok = !failed_ && writeHeader();
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    return ok;
}

}  // namespace df::phone
