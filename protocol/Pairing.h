#pragma once
// The pairing code and the transport key derived from it. Pure functions, any thread.

#include "protocol/Bytes.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace df::Pairing {

/// Six decimal digits with leading zeros, drawn uniformly from the secure random generator.
std::string makeCode();

struct PskMaterial {
    Bytes key;       ///< SHA-256("duskferry-psk-v1:" + code), 32 bytes
    Bytes identity;  ///< "duskferry", 9 bytes
};

/// The draw behind makeCode over a given source of 64-bit random values: uniform over
/// 0...999999 without modulo bias (multiply by 10^6, keep the high word, redraw when the low
/// word falls below (2^64 - 10^6) mod 10^6).
uint64_t uniformCodeValue(const std::function<uint64_t()>& draw);

/// `value` as six digits with leading zeros.
std::string formatCode(uint64_t value);

/// The pre-shared key and identity for `code`. The code is hashed as given, unvalidated.
PskMaterial pskMaterial(std::string_view code);

}  // namespace df::Pairing
