#include "protocol/Pairing.h"

#include "protocol/SecureRandom.h"

#include <openssl/sha.h>

#include <cstdio>
#include <cstring>

namespace df::Pairing {
namespace {

constexpr std::string_view kPskLabel = "duskferry-psk-v1:";
constexpr std::string_view kPskIdentity = "duskferry";
constexpr uint64_t kCodeRange = 1000000;

struct Product128 {
    uint64_t high;
    uint64_t low;
};

// Full 64 x 64 -> 128-bit product from 32-bit halves (no compiler extension needed).
Product128 multiply(uint64_t a, uint64_t b) {
    const uint64_t aLo = a & 0xffffffffu, aHi = a >> 32;
    const uint64_t bLo = b & 0xffffffffu, bHi = b >> 32;
    const uint64_t loLo = aLo * bLo;
    const uint64_t hiLo = aHi * bLo;
    const uint64_t loHi = aLo * bHi;
    const uint64_t hiHi = aHi * bHi;
    const uint64_t cross = (loLo >> 32) + (hiLo & 0xffffffffu) + loHi;
    return {hiHi + (hiLo >> 32) + (cross >> 32), (cross << 32) | (loLo & 0xffffffffu)};
}

}  // namespace

uint64_t uniformCodeValue(const std::function<uint64_t()>& draw) {
    // Lemire's multiply-and-reject: the high word of r * range is uniform over [0, range)
    // once the low words below (2^64 - range) mod range are redrawn.
    const uint64_t threshold = (0 - kCodeRange) % kCodeRange;
    for (;;) {
        const Product128 p = multiply(draw(), kCodeRange);
        if (p.low >= threshold) return p.high;
    }
}

std::string formatCode(uint64_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(value % kCodeRange));
    return text;
}

std::string makeCode() {
    return formatCode(uniformCodeValue([]() -> uint64_t {
        uint8_t bytes[8];
        SecureRandom::fill(bytes, sizeof bytes);
        uint64_t r = 0;
        std::memcpy(&r, bytes, sizeof r);
        return r;
    }));
}

PskMaterial pskMaterial(std::string_view code) {
    std::string text;
    text.reserve(kPskLabel.size() + code.size());
    text.append(kPskLabel).append(code);

    PskMaterial material;
    material.key.resize(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), material.key.data());
    material.identity.assign(kPskIdentity.begin(), kPskIdentity.end());
    return material;
}

}  // namespace df::Pairing
