#pragma once
// Conversions of the phone's UTF-8 text for typing. Pure functions, any thread.
// Malformed UTF-8 (which a JSON decoder should not let through) becomes U+FFFD.

#include <optional>
#include <string>
#include <string_view>

namespace df::TextCodec {

std::u16string utf16(std::string_view utf8);
/// Unicode scalars in the text (each malformed sequence counts as one).
size_t scalarCount(std::string_view utf8);
/// The first Unicode scalar; nothing for empty text.
std::optional<char32_t> firstScalar(std::string_view utf8);
/// Upper-case ASCII letters lowered; everything else unchanged.
std::string asciiLowercased(std::string_view text);

}  // namespace df::TextCodec
