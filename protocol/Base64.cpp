#include "protocol/Base64.h"

#include <openssl/evp.h>

#include <climits>

namespace df::Base64 {
namespace {

bool inAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// OpenSSL's block codec works on int lengths; larger inputs are handled in slices whose
// sizes are multiples of its 3-byte / 4-character groups.
constexpr size_t kEncodeSlice = 3 * (1u << 26);
constexpr size_t kDecodeSlice = 4 * (1u << 26);

}  // namespace

std::string encode(std::span<const uint8_t> bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3), '\0');
    size_t written = 0;
    for (size_t at = 0; at < bytes.size(); at += kEncodeSlice) {
        const size_t n = std::min(kEncodeSlice, bytes.size() - at);
        // EVP_EncodeBlock writes a terminating NUL after the text; the slices are written in
        // order, so each NUL is overwritten by the next slice or lands on the string's own.
        written += static_cast<size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data() + written),
                                                       bytes.data() + at, static_cast<int>(n)));
    }
    out.resize(written);
    return out;
}

std::optional<Bytes> decode(std::string_view text) {
    // OpenSSL's block decoder tolerates surrounding white space and stray "=" characters, so
    // the strict form is checked here first.
    if (text.size() % 4 != 0) return std::nullopt;
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') padding = (text[text.size() - 2] == '=') ? 2 : 1;
    for (size_t i = 0; i < text.size() - padding; ++i) {
        if (!inAlphabet(text[i])) return std::nullopt;
    }

    Bytes out(text.size() / 4 * 3);
    size_t written = 0;
    for (size_t at = 0; at < text.size(); at += kDecodeSlice) {
        const size_t n = std::min(kDecodeSlice, text.size() - at);
        const int got = EVP_DecodeBlock(out.data() + written, reinterpret_cast<const unsigned char*>(text.data() + at),
                                        static_cast<int>(n));
        if (got < 0) return std::nullopt;
        written += static_cast<size_t>(got);
    }
    // The block decoder counts the padded positions as zero bytes.
    out.resize(written - padding);
    return out;
}

}  // namespace df::Base64
