#pragma once
// The secure random generator behind pairing codes and authentication nonces.
//
// A draw never returns unfilled bytes: a failing generator is retried a few times, and if it
// keeps failing the process aborts rather than hand out predictable codes or nonces.

#include <cstddef>
#include <cstdint>

namespace df::SecureRandom {

/// Fills `size` bytes from the system's cryptographically secure generator (OpenSSL
/// RAND_bytes, seeded from getrandom). Safe from any thread.
void fill(uint8_t* out, size_t size);

/// Tests replace the generator to exercise the failure path; nullptr restores the default.
/// A source returns false when it could not fill the buffer.
using Source = bool (*)(uint8_t* out, size_t size);
void setSourceForTesting(Source source);

}  // namespace df::SecureRandom
