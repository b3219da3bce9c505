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

}  // namespace df::Utf8
