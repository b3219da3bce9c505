#pragma once
// Device authentication: P-256 key agreement on raw keys, HKDF-SHA256 to an authentication
// key, and an HMAC-SHA256 challenge response. Pure functions apart from random draws; any thread.

#include "protocol/Bytes.h"

#include <optional>
#include <string_view>

namespace df::DeviceAuth {

/// "duskferry-device-auth-v1" (24 bytes).
const Bytes& hkdfInfo();

/// 32 bytes from the secure random generator.
Bytes makeNonce();

/// HKDF-SHA256(ikm = sharedSecret, salt = empty, info = hkdfInfo), 32 bytes.
Bytes deriveKey(const Bytes& sharedSecret);

/// HMAC-SHA256(key, nonce), 32 bytes.
Bytes response(const Bytes& key, const Bytes& nonce);

/// Constant-time check of `hmac` against response(key, nonce); any length but 32 is false.
bool verify(const Bytes& key, const Bytes& nonce, const Bytes& hmac);

// Key handling shared by the agent's trust store and the phone client.
// Private keys are 32-byte big-endian scalars; public keys are 64 bytes raw (X then Y).
struct KeyPair {
    Bytes privateKey;
    Bytes publicKey;
};
KeyPair generateKeyPair();
/// The raw public key for a private scalar; nothing for an invalid scalar.
std::optional<Bytes> publicKey(const Bytes& privateKey);
/// The 32-byte ECDH shared secret (the X coordinate); nothing when either key is invalid.
std::optional<Bytes> sharedSecret(const Bytes& privateKey, const Bytes& peerPublicKey);
/// sharedSecret then deriveKey.
std::optional<Bytes> authenticationKey(const Bytes& privateKey, const Bytes& peerPublicKey);

}  // namespace df::DeviceAuth
