#pragma once
// Standard Base64 (RFC 4648 alphabet with "+" and "/", "=" padding, no line breaks), the form
// byte strings take inside control messages.

#include "protocol/Bytes.h"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace df::Base64 {

std::string encode(std::span<const uint8_t> bytes);
/// Nothing unless `text` is padded Base64 of the standard alphabet with nothing else in it.
std::optional<Bytes> decode(std::string_view text);

}  // namespace df::Base64
