#pragma once
// Framing shared by every stream connection with the phone (control, TCP media, QUIC media):
// a one-byte kind, a four-byte big-endian payload length, then the payload.

#include "protocol/Bytes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace df {

namespace DFConstants {
/// The version a client states in `Hello.protocolVersion`.
inline constexpr int64_t protocolVersion = 1;
/// DNS-SD service type of the agent's TCP listener.
inline constexpr std::string_view bonjourType = "_duskferry._tcp";
/// TCP port of the agent's listener.
inline constexpr int64_t port = 52525;
/// Largest payload length a parser accepts (16 MiB; exactly this much is accepted).
inline constexpr int64_t maxFramePayload = 16777216;
}  // namespace DFConstants

enum class WireKind : uint8_t {
    control = 1,     ///< one control message as UTF-8 JSON
    videoFrame = 2,  ///< a VideoFramePacket
    fileChunk = 3,   ///< a FileChunk payload
    mediaHello = 4,  ///< the media token; first frame of a media connection
    audioFrame = 5,  ///< an AudioFramePacket
};

/// The kind for a raw byte; nothing for 0 and 6..255.
constexpr std::optional<WireKind> wireKind(uint8_t rawValue) {
    if (rawValue >= 1 && rawValue <= 5) return static_cast<WireKind>(rawValue);
    return std::nullopt;
}
constexpr uint8_t rawValue(WireKind kind) { return static_cast<uint8_t>(kind); }

/// Size of the frame header (kind byte + 32-bit length).
inline constexpr size_t kWireHeaderSize = 5;

/// One frame: its kind and its payload (without header).
struct WireFrame {
    WireKind kind = WireKind::control;
    Bytes payload;

    WireFrame() = default;
    WireFrame(WireKind kind, Bytes payload) : kind(kind), payload(std::move(payload)) {}

    /// Header then payload, built in one allocation of 5 + payload size bytes. The length is
    /// not checked against maxFramePayload; senders keep their payloads below it. A payload
    /// beyond 2^32 - 1 bytes has no length field and throws std::length_error.
    Bytes encoded() const;

    /// Same bytes as WireFrame(kind, payload).encoded() without first copying the payload
    /// into a frame value.
    static Bytes encode(WireKind kind, std::span<const uint8_t> payload);

    bool operator==(const WireFrame&) const = default;
};

/// Cuts a received byte stream into frames. One parser per received stream; not locked:
/// its owner calls append and reset only from the owner's serial queue.
///
/// A length field above the payload limit (maxFramePayload unless set lower) puts the parser in the corrupted state (checked as
/// soon as a header is complete, before the payload arrives): append then yields nothing
/// and keeps nothing until reset; the owner closes the connection. Frames of an unknown kind
/// are skipped. A header's length never makes the parser reserve memory ahead of the bytes:
/// the pending payload's capacity grows with what has arrived (at most twice that).
class WireParser {
public:
    WireParser() = default;

    /// Adds received bytes; returns the frames completed by them, in stream order.
    std::vector<WireFrame> append(std::span<const uint8_t> data);
    std::vector<WireFrame> append(const uint8_t* data, size_t size) { return append(std::span(data, size)); }

    /// The largest payload accepted from now on (at most maxFramePayload); a longer length
    /// corrupts the stream. A peer that has not authenticated yet is held to a small limit.
    void setPayloadLimit(uint32_t limit) {
        payloadLimit_ = std::min<uint32_t>(limit, static_cast<uint32_t>(DFConstants::maxFramePayload));
    }

    /// Set when an oversized length was read; read it after every append.
    bool corrupted() const { return corrupted_; }

    /// Forgets any partial frame and clears corrupted (a new connection takes the parser over).
    void reset();

    /// Bytes received but not yet returned as a whole frame (header included).
    size_t bufferedBytes() const { return headerSize_ + pending_.size(); }

    /// Memory the parser holds for the pending frame (header plus payload capacity).
    size_t reservedBytes() const { return kWireHeaderSize + pending_.capacity(); }

private:
    void corrupt();

    // The pending frame: its header bytes as received so far, then (once the header is whole)
    // its payload as received so far. Whole frames found in an append's data are copied
    // straight out of that data, so each payload is copied once.
    uint8_t header_[kWireHeaderSize] = {};
    size_t headerSize_ = 0;
    uint32_t pendingLength_ = 0;
    Bytes pending_;
    bool corrupted_ = false;
    uint32_t payloadLimit_ = static_cast<uint32_t>(DFConstants::maxFramePayload);
};

}  // namespace df
