#pragma once
// GnuTLS sessions for QUIC: TLS 1.3 with the external pre-shared key, forward-secret key
// exchange (ECDHE-PSK), AES-128-GCM only, no certificates, ALPN required.

#include "protocol/TransportParameters.h"

#include <gnutls/gnutls.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <memory>

namespace df::transport {

/// Owns a gnutls session and the credentials it uses. Created on the io thread.
class QuicTlsSession {
public:
    /// Server: answers the PSK identity with the key (another identity gets a random key,
    /// so it fails like a wrong key) and rejects a ClientHello without the ALPN.
    static std::unique_ptr<QuicTlsSession> server(const QuicParameters& parameters, ngtcp2_crypto_conn_ref* ref);
    static std::unique_ptr<QuicTlsSession> client(const QuicParameters& parameters, ngtcp2_crypto_conn_ref* ref);
    ~QuicTlsSession();

    QuicTlsSession(const QuicTlsSession&) = delete;
    QuicTlsSession& operator=(const QuicTlsSession&) = delete;

    gnutls_session_t native() const { return session_; }
    const QuicParameters& parameters() const { return parameters_; }

private:
    explicit QuicTlsSession(QuicParameters parameters) : parameters_(std::move(parameters)) {}

    QuicParameters parameters_;
    gnutls_session_t session_ = nullptr;
    gnutls_psk_server_credentials_t serverCredentials_ = nullptr;
    gnutls_psk_client_credentials_t clientCredentials_ = nullptr;
    ngtcp2_crypto_conn_ref* ref_ = nullptr;
};

}  // namespace df::transport
