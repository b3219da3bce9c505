#include "platform/linux/transport/QuicTls.h"

#include "platform/Transport.h"

#include <gnutls/crypto.h>
#include <ngtcp2/ngtcp2_crypto_gnutls.h>

#include <cstring>

namespace df::transport {

namespace {

// TLS 1.3 only, AES-128-GCM (TLS_AES_128_GCM_SHA256), PSK with ephemeral Diffie-Hellman so
// recorded traffic stays private if the code leaks later; no middlebox compatibility mode,
// which QUIC forbids.
constexpr const char* kPriority =
    "NORMAL:-VERS-ALL:+VERS-TLS1.3:-CIPHER-ALL:+AES-128-GCM:-KX-ALL:+ECDHE-PSK:"
    "-GROUP-ALL:+GROUP-X25519:+GROUP-SECP256R1:%DISABLE_TLS13_COMPAT_MODE";

[[noreturn]] void fail(const std::string& what, int rv) {
    TransportError error;
    error.kind = TransportError::Kind::invalidArgument;
    error.code = rv;
    error.description = what + ": " + gnutls_strerror(rv);
    throw TransportException(std::move(error));
}

// gnutls_session_set_ptr belongs to ngtcp2 (its conn_ref); our object hangs off the
// resumption-database pointer instead, unused here since resumption is off.
QuicTlsSession* sessionOf(gnutls_session_t session) {
    return static_cast<QuicTlsSession*>(gnutls_db_get_ptr(session));
}

int serverKey(gnutls_session_t session, const gnutls_datum_t* username, gnutls_datum_t* key) {
    auto* self = sessionOf(session);
    if (!self) return -1;
    const PreSharedKey& psk = self->parameters().psk;
    key->size = static_cast<unsigned int>(psk.key.size());
    key->data = static_cast<unsigned char*>(gnutls_malloc(key->size));
    if (!key->data) return -1;
    const bool known = username && username->size == psk.identity.size() &&
                       std::memcmp(username->data, psk.identity.data(), psk.identity.size()) == 0;
    if (known) {
        std::memcpy(key->data, psk.key.data(), psk.key.size());
    } else if (gnutls_rnd(GNUTLS_RND_RANDOM, key->data, key->size) != 0) {
        // Another identity gets a key nobody knows: its binder fails exactly like a wrong
        // code, and the identity we expect is not revealed by a different alert.
        gnutls_free(key->data);
        key->data = nullptr;
        return -1;
    }
    return 0;
}

int requireAlpn(gnutls_session_t session) {
    // GNUTLS_ALPN_MANDATORY refuses a different protocol but lets a ClientHello without the
    // extension through; the media stream only speaks its own protocol.
    gnutls_datum_t selected{};
    if (gnutls_alpn_get_selected_protocol(session, &selected) != 0) return GNUTLS_E_NO_APPLICATION_PROTOCOL;
    return 0;
}

}  // namespace

std::unique_ptr<QuicTlsSession> QuicTlsSession::server(const QuicParameters& parameters,
                                                        ngtcp2_crypto_conn_ref* ref) {
    std::unique_ptr<QuicTlsSession> self(new QuicTlsSession(parameters));
    self->ref_ = ref;
    int rv = gnutls_psk_allocate_server_credentials(&self->serverCredentials_);
    if (rv != 0) fail("PSK credentials", rv);
    gnutls_psk_set_server_credentials_function2(self->serverCredentials_, serverKey);
    rv = gnutls_init(&self->session_, GNUTLS_SERVER | GNUTLS_NO_TICKETS | GNUTLS_NO_END_OF_EARLY_DATA);
    if (rv != 0) fail("TLS session", rv);
    gnutls_db_set_ptr(self->session_, self.get());
    if ((rv = gnutls_priority_set_direct(self->session_, kPriority, nullptr)) != 0) fail("TLS priority", rv);
    if ((rv = gnutls_credentials_set(self->session_, GNUTLS_CRD_PSK, self->serverCredentials_)) != 0) {
        fail("TLS credentials", rv);
    }
    if (ngtcp2_crypto_gnutls_configure_server_session(self->session_) != 0) fail("QUIC TLS", GNUTLS_E_INTERNAL_ERROR);
    gnutls_session_set_ptr(self->session_, ref);
    std::vector<gnutls_datum_t> protocols;
    for (const auto& name : parameters.alpn) {
        protocols.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(name.data())),
                             static_cast<unsigned int>(name.size())});
    }
    if (protocols.empty()) fail("QUIC needs an application protocol", GNUTLS_E_INVALID_REQUEST);
    gnutls_alpn_set_protocols(self->session_, protocols.data(), static_cast<unsigned>(protocols.size()),
                              GNUTLS_ALPN_MANDATORY);
    gnutls_handshake_set_post_client_hello_function(self->session_, requireAlpn);
    return self;
}

std::unique_ptr<QuicTlsSession> QuicTlsSession::client(const QuicParameters& parameters,
                                                        ngtcp2_crypto_conn_ref* ref) {
    std::unique_ptr<QuicTlsSession> self(new QuicTlsSession(parameters));
    self->ref_ = ref;
    int rv = gnutls_psk_allocate_client_credentials(&self->clientCredentials_);
    if (rv != 0) fail("PSK credentials", rv);
    const PreSharedKey& psk = self->parameters_.psk;
    gnutls_datum_t identity{const_cast<unsigned char*>(psk.identity.data()), static_cast<unsigned>(psk.identity.size())};
    gnutls_datum_t key{const_cast<unsigned char*>(psk.key.data()), static_cast<unsigned>(psk.key.size())};
    if ((rv = gnutls_psk_set_client_credentials2(self->clientCredentials_, &identity, &key, GNUTLS_PSK_KEY_RAW)) != 0) {
        fail("PSK credentials", rv);
    }
    rv = gnutls_init(&self->session_, GNUTLS_CLIENT | GNUTLS_NO_TICKETS | GNUTLS_NO_END_OF_EARLY_DATA);
    if (rv != 0) fail("TLS session", rv);
    gnutls_db_set_ptr(self->session_, self.get());
    if ((rv = gnutls_priority_set_direct(self->session_, kPriority, nullptr)) != 0) fail("TLS priority", rv);
    if ((rv = gnutls_credentials_set(self->session_, GNUTLS_CRD_PSK, self->clientCredentials_)) != 0) {
        fail("TLS credentials", rv);
    }
    if (ngtcp2_crypto_gnutls_configure_client_session(self->session_) != 0) fail("QUIC TLS", GNUTLS_E_INTERNAL_ERROR);
    gnutls_session_set_ptr(self->session_, ref);
    std::vector<gnutls_datum_t> protocols;
    for (const auto& name : self->parameters_.alpn) {
        protocols.push_back({reinterpret_cast<unsigned char*>(const_cast<char*>(name.data())),
                             static_cast<unsigned int>(name.size())});
    }
    // An empty list sends no ALPN extension at all (the server refuses that).
    if (!protocols.empty()) {
        gnutls_alpn_set_protocols(self->session_, protocols.data(), static_cast<unsigned>(protocols.size()),
                                  GNUTLS_ALPN_MANDATORY);
    }
    return self;
}

QuicTlsSession::~QuicTlsSession() {
    if (session_) gnutls_deinit(session_);
    if (serverCredentials_) gnutls_psk_free_server_credentials(serverCredentials_);
    if (clientCredentials_) gnutls_psk_free_client_credentials(clientCredentials_);
}

}  // namespace df::transport
