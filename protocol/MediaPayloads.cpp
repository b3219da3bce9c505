#include "protocol/MediaPayloads.h"

#include "protocol/BigEndian.h"
#include "protocol/WireFrame.h"

#include <cstring>

namespace df {
namespace {

constexpr uint32_t fourCC(const char (&code)[5]) {
    return (uint32_t{static_cast<uint8_t>(code[0])} << 24) | (uint32_t{static_cast<uint8_t>(code[1])} << 16) |
           (uint32_t{static_cast<uint8_t>(code[2])} << 8) | uint32_t{static_cast<uint8_t>(code[3])};
}

void copyInto(uint8_t* out, const uint8_t* bytes, size_t count) {
    if (count > 0) std::memcpy(out, bytes, count);
}

}  // namespace

// ---- VideoFramePacket

std::optional<VideoFramePacket> VideoFramePacket::parse(std::span<const uint8_t> payload) {
    if (payload.size() < headerSize + 1) return std::nullopt;
    return VideoFramePacket(BigEndian::getDouble(payload.data() + 1), payload[0] == 1,
                            Bytes(payload.begin() + headerSize, payload.end()));
}

Bytes VideoFramePacket::encoded() const {
    Bytes out(headerSize + data.size());
    out[0] = isKeyframe ? 1 : 0;
    BigEndian::putDouble(out.data() + 1, pts);
    copyInto(out.data() + headerSize, data.data(), data.size());
    return out;
}

Bytes VideoFramePacket::wireEncode(double pts, bool isKeyframe, const uint8_t* bytes, size_t count) {
    // Frame header, packet header and the encoder's bytes written once into one buffer reserved
    // at its final size; appending (rather than sizing the vector) skips zero-filling it first.
    const uint32_t length = BigEndian::frameLength(headerSize + count);
    Bytes out;
    out.reserve(kWireHeaderSize + headerSize + count);
    out.resize(kWireHeaderSize + headerSize);
    out[0] = rawValue(WireKind::videoFrame);
    BigEndian::put32(out.data() + 1, length);
    out[5] = isKeyframe ? 1 : 0;
    BigEndian::putDouble(out.data() + 6, pts);
    if (count > 0) out.insert(out.end(), bytes, bytes + count);
    return out;
}

// ---- AudioFramePacket

std::optional<AudioFramePacket> AudioFramePacket::parse(std::span<const uint8_t> payload) {
    if (payload.size() < headerSize + 1) return std::nullopt;
    return AudioFramePacket(BigEndian::getDouble(payload.data()), Bytes(payload.begin() + headerSize, payload.end()));
}

Bytes AudioFramePacket::encoded() const {
    Bytes out(headerSize + data.size());
    BigEndian::putDouble(out.data(), pts);
    copyInto(out.data() + headerSize, data.data(), data.size());
    return out;
}

Bytes AudioFramePacket::wireEncode(double pts, const uint8_t* bytes, size_t count) {
    const uint32_t length = BigEndian::frameLength(headerSize + count);
    Bytes out(kWireHeaderSize + headerSize + count);
    uint8_t* p = out.data();
    p[0] = rawValue(WireKind::audioFrame);
    BigEndian::put32(p + 1, length);
    BigEndian::putDouble(p + 5, pts);
    copyInto(p + kWireHeaderSize + headerSize, bytes, count);
    return out;
}

// ---- FileChunk

namespace FileChunk {

Bytes encode(uint32_t fileID, std::span<const uint8_t> chunk) {
    Bytes out(headerSize + chunk.size());
    BigEndian::put32(out.data(), fileID);
    copyInto(out.data() + headerSize, chunk.data(), chunk.size());
    return out;
}

std::optional<Decoded> decode(std::span<const uint8_t> payload) {
    if (payload.size() < headerSize) return std::nullopt;
    return Decoded{BigEndian::get32(payload.data()), Bytes(payload.begin() + headerSize, payload.end())};
}

Bytes wireEncode(uint32_t fileID, std::span<const uint8_t> chunk) {
    const uint32_t length = BigEndian::frameLength(headerSize + chunk.size());
    Bytes out(kWireHeaderSize + headerSize + chunk.size());
    uint8_t* p = out.data();
    p[0] = rawValue(WireKind::fileChunk);
    BigEndian::put32(p + 1, length);
    BigEndian::put32(p + 5, fileID);
    copyInto(p + kWireHeaderSize + headerSize, chunk.data(), chunk.size());
    return out;
}

}  // namespace FileChunk

// ---- AudioCodecKind

std::optional<AudioCodecKind> AudioCodecKind::fromRawValue(std::string_view text) {
    for (Value v : allCases()) {
        if (AudioCodecKind(v).rawValue() == text) return AudioCodecKind(v);
    }
    return std::nullopt;
}

template <>
std::optional<AudioCodecKind> fromRawValue<AudioCodecKind>(std::string_view text) {
    return AudioCodecKind::fromRawValue(text);
}

std::string_view AudioCodecKind::rawValue() const {
    switch (value_) {
        case opus: return "opus";
        case aacEld: return "aac-eld";
        case aacLc: return "aac-lc";
    }
    return {};
}

uint32_t AudioCodecKind::formatID() const {
    switch (value_) {
        case opus: return fourCC("opus");
        case aacEld: return fourCC("aace");
        case aacLc: return fourCC("aac ");
    }
    return 0;
}

uint32_t AudioCodecKind::framesPerPacket() const {
    switch (value_) {
        case opus: return 960;
        case aacEld: return 480;
        case aacLc: return 1024;
    }
    return 0;
}

AudioStreamDescription AudioCodecKind::streamDescription() const {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatID = formatID();
    d.formatFlags = 0;
    d.bytesPerPacket = 0;
    d.framesPerPacket = framesPerPacket();
    d.bytesPerFrame = 0;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 0;
    return d;
}

}  // namespace df
