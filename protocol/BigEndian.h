#pragma once
// Big-endian (network order) reads and writes used by the frame and payload codecs.

#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace df::BigEndian {

/// A payload length as the 32-bit field of a frame header. A longer payload cannot be
/// described; writing its length truncated would desynchronise the receiver, so it is refused.
inline uint32_t frameLength(size_t payloadSize) {
    if (payloadSize > std::numeric_limits<uint32_t>::max()) {
        throw std::length_error("frame payload longer than a 32-bit length can describe");
    }
    return static_cast<uint32_t>(payloadSize);
}

inline void put32(uint8_t* out, uint32_t v) {
    out[0] = static_cast<uint8_t>(v >> 24);
    out[1] = static_cast<uint8_t>(v >> 16);
    out[2] = static_cast<uint8_t>(v >> 8);
    out[3] = static_cast<uint8_t>(v);
}

inline uint32_t get32(const uint8_t* in) {
    return (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | uint32_t{in[3]};
}

inline void put64(uint8_t* out, uint64_t v) {
    put32(out, static_cast<uint32_t>(v >> 32));
    put32(out + 4, static_cast<uint32_t>(v));
}

inline uint64_t get64(const uint8_t* in) { return (uint64_t{get32(in)} << 32) | get32(in + 4); }

/// IEEE 754 binary64, most significant byte first.
inline void putDouble(uint8_t* out, double v) { put64(out, std::bit_cast<uint64_t>(v)); }
inline double getDouble(const uint8_t* in) { return std::bit_cast<double>(get64(in)); }

}  // namespace df::BigEndian
