#pragma once
// An independent check of the HEVC the agent sends: libavcodec's decoder fed with the
// stream as a phone rebuilds it (the parameter sets in front of a keyframe's NAL units, each
// unit given a start code instead of its 4-byte length), and the PSNR of a decoded picture
// against the planes it should show. Tests that use it link libavcodec and libavutil.

#include "protocol/Bytes.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace df::testsupport {

/// NAL unit types of the parameter sets.
inline constexpr int hevcVps = 32, hevcSps = 33, hevcPps = 34;

/// The NAL units of a sample in length-prefixed form; nothing when the lengths do not add
/// up to exactly the sample's size.
inline std::optional<std::vector<std::span<const uint8_t>>> splitLengthPrefixed(std::span<const uint8_t> sample) {
    std::vector<std::span<const uint8_t>> units;
    size_t at = 0;
    while (at + 4 <= sample.size()) {
        const size_t size = (size_t{sample[at]} << 24) | (size_t{sample[at + 1]} << 16) |
                            (size_t{sample[at + 2]} << 8) | sample[at + 3];
        at += 4;
        if (size == 0 || size > sample.size() - at) return std::nullopt;
        units.push_back(sample.subspan(at, size));
        at += size;
    }
    if (at != sample.size() || units.empty()) return std::nullopt;
    return units;
}

inline int hevcNalType(std::span<const uint8_t> unit) { return unit.empty() ? -1 : (unit[0] >> 1) & 0x3f; }

/// Annex B: `parameterSets` (may be empty) then the sample's units, each after a start code.
/// Nothing when the sample is not valid length-prefixed HEVC.
inline std::optional<Bytes> toAnnexB(const std::vector<Bytes>& parameterSets, std::span<const uint8_t> sample) {
    const auto units = splitLengthPrefixed(sample);
    if (!units) return std::nullopt;
    Bytes out;
    auto append = [&out](std::span<const uint8_t> unit) {
        static const uint8_t startCode[4] = {0, 0, 0, 1};
        out.insert(out.end(), startCode, startCode + 4);
        out.insert(out.end(), unit.begin(), unit.end());
    };
    for (const Bytes& set : parameterSets) append(set);
    for (auto unit : *units) append(unit);
    return out;
}

/// libavcodec's HEVC decoder, one picture out per access unit in (no delay).
class HevcDecoder {
public:
    HevcDecoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        context_->flags |= AV_CODEC_FLAG_LOW_DELAY;
        opened_ = avcodec_open2(context_, codec, nullptr) == 0;
    }
    ~HevcDecoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    HevcDecoder(const HevcDecoder&) = delete;
    HevcDecoder& operator=(const HevcDecoder&) = delete;

    /// Decodes one access unit in Annex B form; true when a picture came out (frame()).
    bool decode(const Bytes& annexB) {
        if (!opened_ || av_new_packet(packet_, static_cast<int>(annexB.size())) < 0) return false;
        std::memcpy(packet_->data, annexB.data(), annexB.size());
        const int sent = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        if (sent < 0) return false;
        return avcodec_receive_frame(context_, frame_) == 0;
    }
    const AVFrame* frame() const { return frame_; }

private:
    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
    bool opened_ = false;
};

/// One plane of 8-bit samples.
struct PlaneView {
    const uint8_t* data = nullptr;
    size_t stride = 0;
    int width = 0;
    int height = 0;
};

/// PSNR in dB over all samples of `reference` (planes of `frame` from `firstPlane` on, in
/// order: Y, Cb, Cr) against the same planes of `frame`; 99 for identical pictures.
inline double psnr(std::span<const PlaneView> reference, const AVFrame* frame, size_t firstPlane = 0) {
    double squared = 0;
    double samples = 0;
    for (size_t plane = 0; plane < reference.size(); ++plane) {
        const PlaneView& ref = reference[plane];
        for (int row = 0; row < ref.height; ++row) {
            const uint8_t* want = ref.data + static_cast<size_t>(row) * ref.stride;
            const uint8_t* got =
                frame->data[firstPlane + plane] + static_cast<ptrdiff_t>(row) * frame->linesize[firstPlane + plane];
            for (int col = 0; col < ref.width; ++col) {
                const double d = double(want[col]) - double(got[col]);
                squared += d * d;
            }
        }
        samples += double(ref.width) * ref.height;
    }
    const double mse = squared / samples;
    return mse <= 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace df::testsupport
