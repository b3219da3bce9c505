#pragma once
// Binary payloads of the videoFrame, audioFrame and fileChunk frames, and the fixed audio
// stream parameters of each audio codec. All multi-byte numbers are big-endian. Parsers
// yield nothing for a malformed payload and never read beyond it. Pure; any thread.

#include "protocol/Bytes.h"
#include "protocol/ControlMessage.h"  // fromRawValue

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace df {

/// One compressed video frame. Payload: isKeyframe byte (1 = key frame), pts as a big-endian
/// IEEE 754 binary64, then the frame bytes.
struct VideoFramePacket {
    static constexpr size_t headerSize = 9;

    double pts = 0;  ///< presentation time in seconds
    bool isKeyframe = false;
    Bytes data;      ///< the compressed frame as the encoder delivered it

    VideoFramePacket() = default;
    VideoFramePacket(double pts, bool isKeyframe, Bytes data) : pts(pts), isKeyframe(isKeyframe), data(std::move(data)) {}

    /// Nothing when the payload is shorter than 10 bytes. isKeyframe is true only for byte 1.
    static std::optional<VideoFramePacket> parse(std::span<const uint8_t> payload);

    /// The payload (9 + data size bytes).
    Bytes encoded() const;

    /// A complete videoFrame wire frame (header included, 14 + count bytes) written straight
    /// from the encoder's output region into one buffer reserved at its final size. Like every
    /// frame encoder, throws std::length_error for a frame whose length needs more than 32 bits.
    static Bytes wireEncode(double pts, bool isKeyframe, const uint8_t* bytes, size_t count);

    bool operator==(const VideoFramePacket&) const = default;
};

/// One compressed audio packet. Payload: pts as big-endian binary64, then the packet.
struct AudioFramePacket {
    static constexpr size_t headerSize = 8;

    double pts = 0;  ///< presentation time in seconds of the audio the packet encodes
    Bytes data;

    AudioFramePacket() = default;
    AudioFramePacket(double pts, Bytes data) : pts(pts), data(std::move(data)) {}

    /// Nothing when the payload is shorter than 9 bytes.
    static std::optional<AudioFramePacket> parse(std::span<const uint8_t> payload);

    /// The payload (8 + data size bytes).
    Bytes encoded() const;

    /// A complete audioFrame wire frame (13 + count bytes) in one buffer.
    static Bytes wireEncode(double pts, const uint8_t* bytes, size_t count);

    bool operator==(const AudioFramePacket&) const = default;
};

/// Payload of a fileChunk frame: the transfer's fileID (big-endian 32-bit), then the bytes.
namespace FileChunk {
inline constexpr size_t headerSize = 4;

struct Decoded {
    uint32_t fileID = 0;
    Bytes chunk;
    bool operator==(const Decoded&) const = default;
};

/// The payload (4 + chunk size bytes).
Bytes encode(uint32_t fileID, std::span<const uint8_t> chunk);
/// Nothing when the payload is shorter than 4 bytes; the chunk may be empty.
std::optional<Decoded> decode(std::span<const uint8_t> payload);
/// A complete fileChunk wire frame (9 + chunk size bytes) in one buffer.
Bytes wireEncode(uint32_t fileID, std::span<const uint8_t> chunk);
}  // namespace FileChunk

/// The compressed-stream description an audio encoder is asked for (field meanings as in an
/// audio stream basic description; 0 means variable or not applicable).
struct AudioStreamDescription {
    double sampleRate = 0;
    uint32_t formatID = 0;  ///< four-character code, first character in the high byte
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
    bool operator==(const AudioStreamDescription&) const = default;
};

/// Audio codecs the agent knows. Used like an enumeration (AudioCodecKind::opus, switch),
/// with the fixed stream parameters of each case.
class AudioCodecKind {
public:
    enum Value : uint8_t { opus, aacEld, aacLc };

    static constexpr double sampleRate = 48000;
    static constexpr uint32_t channels = 2;

    constexpr AudioCodecKind(Value value) : value_(value) {}  // NOLINT: implicit by design
    constexpr operator Value() const { return value_; }       // NOLINT: allows switch and ==

    /// opus, aacEld, aacLc in that order.
    static constexpr std::array<Value, 3> allCases() { return {opus, aacEld, aacLc}; }
    /// "opus", "aac-eld" or "aac-lc"; nothing for any other text.
    static std::optional<AudioCodecKind> fromRawValue(std::string_view text);

    /// "opus", "aac-eld", "aac-lc".
    std::string_view rawValue() const;
    /// 'opus', 'aace', 'aac '.
    uint32_t formatID() const;
    /// 960, 480, 1024.
    uint32_t framesPerPacket() const;
    /// 48000 Hz, formatID, flags 0, variable packets, framesPerPacket, 2 channels.
    AudioStreamDescription streamDescription() const;

private:
    Value value_;
};

inline std::string_view rawValue(AudioCodecKind kind) { return kind.rawValue(); }
template <>
std::optional<AudioCodecKind> fromRawValue<AudioCodecKind>(std::string_view text);

}  // namespace df
