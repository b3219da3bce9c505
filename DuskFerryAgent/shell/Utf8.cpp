#include "DuskFerryAgent/shell/Utf8.h"

#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <limits>

namespace df::Utf8 {

namespace {
// Byte offset after `count` code points.
size_t offsetAfter(std::string_view text, size_t count, size_t* counted, bool* valid) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    // ICU indexes with int32_t; text longer than that is cut (never the case for our texts).
    int32_t length = static_cast<int32_t>(std::min<size_t>(text.size(), std::numeric_limits<int32_t>::max()));
    int32_t i = 0;
    size_t n = 0;
    bool ok = text.size() == static_cast<size_t>(length);
    while (i < length && n < count) {
        UChar32 c = 0;
        int32_t start = i;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            ok = false;
            i = start + 1;  // each malformed byte counts as one character
        }
        ++n;
    }
    if (counted) *counted = n;
    if (valid) *valid = ok;
    return static_cast<size_t>(i);
}
}  // namespace

bool isValid(std::string_view text) {
    bool valid = true;
    offsetAfter(text, std::numeric_limits<size_t>::max(), nullptr, &valid);
    return valid;
}

size_t length(std::string_view text) {
    size_t counted = 0;
    offsetAfter(text, std::numeric_limits<size_t>::max(), &counted, nullptr);
    return counted;
}

std::string_view prefix(std::string_view text, size_t count) {
    return text.substr(0, offsetAfter(text, count, nullptr, nullptr));
}

std::string displaySafe(std::string_view text, size_t maxLength) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t length = static_cast<int32_t>(std::min<size_t>(text.size(), std::numeric_limits<int32_t>::max()));
    std::string out;
    out.reserve(std::min<size_t>(text.size(), maxLength * 4 + 3));
    size_t kept = 0;
    int32_t i = 0;
    while (i < length) {
        UChar32 c = 0;
        int32_t start = i;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) {
            c = 0xFFFD;
            i = start + 1;
        }
        const bool control = c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
        const bool bidi = c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) ||
                          (c >= 0x2066 && c <= 0x2069);
        if (control || bidi) continue;
        if (kept == maxLength) {
            out += "…";
            break;
        }
        uint8_t buffer[U8_MAX_LENGTH];
        int32_t n = 0;
        UBool error = false;
        U8_APPEND(buffer, n, U8_MAX_LENGTH, c, error);
        if (!error) out.append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
        ++kept;
    }
    return out;
}

}  // namespace df::Utf8
