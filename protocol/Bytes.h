#pragma once
#include <cstdint>
#include <vector>

namespace df {
/// An owned byte string (payloads, keys, nonces, tokens).
using Bytes = std::vector<uint8_t>;
}  // namespace df
