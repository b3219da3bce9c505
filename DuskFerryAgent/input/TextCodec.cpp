#include "DuskFerryAgent/input/TextCodec.h"

#include <cstdint>

namespace df::TextCodec {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one scalar at `i` and advances past it.
char32_t next(std::string_view s, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return kReplacement;
    }
    if (i + len > s.size()) {
        i = s.size();
        return kReplacement;
    }
    for (size_t k = 1; k < len; ++k) {
        uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            i += k;
            return kReplacement;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    i += len;
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
    return cp;
}

}  // namespace

std::u16string utf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        char32_t cp = next(utf8, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

size_t scalarCount(std::string_view utf8) {
    size_t count = 0;
    for (size_t i = 0; i < utf8.size(); ++count) (void)next(utf8, i);
    return count;
}

std::optional<char32_t> firstScalar(std::string_view utf8) {
    if (utf8.empty()) return std::nullopt;
    size_t i = 0;
    return next(utf8, i);
}

std::string asciiLowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace df::TextCodec
