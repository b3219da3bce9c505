#include "protocol/DeviceAuth.h"

namespace df::DeviceAuth {
const Bytes& hkdfInfo() { static const Bytes info; return info; }
Bytes makeNonce() { return {}; }
Bytes deriveKey(const Bytes&) { return {}; }
Bytes response(const Bytes&, const Bytes&) { return {}; }
bool verify(const Bytes&, const Bytes&, const Bytes&) { return false; }
KeyPair generateKeyPair() { return {}; }
std::optional<Bytes> publicKey(const Bytes&) { return std::nullopt; }
std::optional<Bytes> sharedSecret(const Bytes&, const Bytes&) { return std::nullopt; }
std::optional<Bytes> authenticationKey(const Bytes&, const Bytes&) { return std::nullopt; }
}  // namespace df::DeviceAuth
