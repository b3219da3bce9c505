#pragma once
// The pairing code and the transport key derived from it. Pure functions, any thread.

#include "protocol/Bytes.h"

#include <string>
#include <string_view>

namespace df::Pairing {

/// Six decimal digits with leading zeros, drawn uniformly from the secure random generator.
std::string makeCode();

struct PskMaterial {
    Bytes key;       ///< SHA-256("duskferry-psk-v1:" + code), 32 bytes
    Bytes identity;  ///< "duskferry", 9 bytes
};

/// The pre-shared key and identity for `code`. The code is hashed as given, unvalidated.
PskMaterial pskMaterial(std::string_view code);

}  // namespace df::Pairing
