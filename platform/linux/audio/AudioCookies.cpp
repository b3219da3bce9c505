#include "platform/linux/audio/AudioCookies.h"

namespace df::linux_audio {

namespace {

void putDescriptor(Bytes& out, uint8_t tag, const Bytes& body) {
    out.push_back(tag);
    const auto n = static_cast<uint32_t>(body.size());
    // Seven bits per byte, high bit set on all but the last.
    out.push_back(static_cast<uint8_t>(0x80 | ((n >> 21) & 0x7F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((n >> 14) & 0x7F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((n >> 7) & 0x7F)));
    out.push_back(static_cast<uint8_t>(n & 0x7F));
    out.insert(out.end(), body.begin(), body.end());
}

void put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

}  // namespace

Bytes aacElementaryStreamDescriptor(const Bytes& audioSpecificConfig, uint32_t bufferSizeBytes, uint32_t maxBitrate,
                                    uint32_t averageBitrate) {
    Bytes decoderConfig;
    decoderConfig.push_back(0x40);               // objectTypeIndication: MPEG-4 audio (14496-3)
    decoderConfig.push_back((0x05 << 2) | 0x01);  // streamType audio, not upstream, reserved bit 1
    decoderConfig.push_back(static_cast<uint8_t>(bufferSizeBytes >> 16));
    decoderConfig.push_back(static_cast<uint8_t>(bufferSizeBytes >> 8));
    decoderConfig.push_back(static_cast<uint8_t>(bufferSizeBytes));
    put32(decoderConfig, maxBitrate);
    put32(decoderConfig, averageBitrate);
    putDescriptor(decoderConfig, 0x05, audioSpecificConfig);

    Bytes es{0x00, 0x00, 0x00};  // ES_ID 0; no dependency, URL or OCR stream; priority 0
    putDescriptor(es, 0x04, decoderConfig);
    putDescriptor(es, 0x06, Bytes{0x02});

    Bytes out;
    putDescriptor(out, 0x03, es);
    return out;
}

Bytes opusIdentificationHeader(uint8_t channels, uint16_t preSkip, uint32_t inputSampleRate) {
    Bytes out{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, channels};
    out.push_back(static_cast<uint8_t>(preSkip));
    out.push_back(static_cast<uint8_t>(preSkip >> 8));
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(inputSampleRate >> shift));
    out.push_back(0);  // output gain, Q7.8 dB
    out.push_back(0);
    out.push_back(0);  // channel mapping family 0: no mapping table
    return out;
}

}  // namespace df::linux_audio
