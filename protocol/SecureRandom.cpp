#include "protocol/SecureRandom.h"

#include <openssl/rand.h>

#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace df::SecureRandom {
namespace {

bool opensslSource(uint8_t* out, size_t size) {
    while (size > 0) {
        const int n = static_cast<int>(size > INT_MAX ? INT_MAX : size);
        if (RAND_bytes(out, n) != 1) return false;
        out += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::atomic<Source> g_source{nullptr};

constexpr int kAttempts = 3;

}  // namespace

void fill(uint8_t* out, size_t size) {
    Source source = g_source.load(std::memory_order_acquire);
    if (source == nullptr) source = &opensslSource;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (source(out, size)) return;
    }
    // Continuing would hand out a guessable pairing code or nonce; there is no safe fallback.
    std::memset(out, 0, size);
    std::fputs("duskferry: the secure random generator failed; stopping\n", stderr);
    std::abort();
}

void setSourceForTesting(Source source) { g_source.store(source, std::memory_order_release); }

}  // namespace df::SecureRandom
