#pragma once
// OpenSSL contexts for TLS with a pre-shared key and no certificates.

#include "protocol/TransportParameters.h"

#include <asio/ssl/context.hpp>
#include <memory>
#include <string>

namespace df::transport {

/// OpenSSL's name of a TLS 1.2 suite number, or empty when the transport does not know it.
std::string openSslCipherName(uint16_t suite);

/// Server context: only the versions and suites of `options` (forward-secret suites first,
/// chosen by the server's preference), the key under its identity. A client presenting
/// another identity is handed a random key, so it fails exactly like a wrong key and the
/// expected identity is not revealed. Throws TransportException on unusable options.
std::shared_ptr<asio::ssl::context> makeServerContext(const TlsOptions& options);
/// Client context offering the forward-secret suites first, then the base suites.
std::shared_ptr<asio::ssl::context> makeClientContext(const TlsOptions& options);

}  // namespace df::transport
