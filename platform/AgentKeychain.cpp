#include "platform/AgentKeychain.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace df {

namespace {
void appendEscaped(std::string& out, uint8_t byte) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
}

bool isAlphanumeric(UChar32 c) {
    // Letters, marks and digits in the Unicode sense (general categories L*, M*, N*).
    return (U_GET_GC_MASK(c) & (U_GC_L_MASK | U_GC_M_MASK | U_GC_N_MASK)) != 0;
}
}  // namespace

std::string AgentKeychain::fileName(std::string_view key) {
    std::string out;
    out.reserve(key.size() * 3);
    const auto* bytes = reinterpret_cast<const uint8_t*>(key.data());
    int32_t length = static_cast<int32_t>(key.size());
    int32_t i = 0;
    while (i < length) {
        int32_t start = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c >= 0 && isAlphanumeric(c)) {
            out.append(key.substr(static_cast<size_t>(start), static_cast<size_t>(i - start)));
        } else {
            // Other characters, and bytes of a malformed sequence, byte by byte.
            for (int32_t b = start; b < i; ++b) appendEscaped(out, bytes[b]);
        }
    }
    return out;
}

}  // namespace df
