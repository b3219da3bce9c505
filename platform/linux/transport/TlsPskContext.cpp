#include "platform/linux/transport/TlsPskContext.h"

#include "platform/Transport.h"

#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <cstring>

namespace df::transport {

namespace {

// Lives as long as the SSL_CTX (freed by its ex_data slot's free callback would be more
// code than this: the asio context owns it through the shared_ptr deleter below).
struct PskState {
    PreSharedKey psk;
};

int pskIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

const PskState* stateOf(SSL* ssl) {
    return static_cast<const PskState*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), pskIndex()));
}

unsigned int serverPsk(SSL* ssl, const char* identity, unsigned char* psk, unsigned int maxLength) {
    const PskState* state = stateOf(ssl);
    if (!state || state->psk.key.size() > maxLength) return 0;
    const auto& expected = state->psk.identity;
    const size_t length = identity ? std::strlen(identity) : 0;
    const bool known = length == expected.size() && std::memcmp(identity, expected.data(), length) == 0;
    if (!known) {
        // Same handshake failure as a wrong key: the identity stays private.
        if (RAND_bytes(psk, static_cast<int>(state->psk.key.size())) != 1) return 0;
        return static_cast<unsigned int>(state->psk.key.size());
    }
    std::memcpy(psk, state->psk.key.data(), state->psk.key.size());
    return static_cast<unsigned int>(state->psk.key.size());
}

unsigned int clientPsk(SSL* ssl, const char* /*hint*/, char* identity, unsigned int maxIdentityLength,
                       unsigned char* psk, unsigned int maxPskLength) {
    const PskState* state = stateOf(ssl);
    if (!state || state->psk.identity.size() + 1 > maxIdentityLength || state->psk.key.size() > maxPskLength) {
        return 0;
    }
    std::memcpy(identity, state->psk.identity.data(), state->psk.identity.size());
    identity[state->psk.identity.size()] = '\0';
    std::memcpy(psk, state->psk.key.data(), state->psk.key.size());
    return static_cast<unsigned int>(state->psk.key.size());
}

[[noreturn]] void fail(const std::string& what) {
    TransportError error;
    error.kind = TransportError::Kind::invalidArgument;
    error.description = what;
    throw TransportException(std::move(error));
}

std::string cipherList(const TlsOptions& options) {
    std::string list;
    auto add = [&](uint16_t suite) {
        std::string name = openSslCipherName(suite);
        if (name.empty()) fail("Unsupported TLS cipher suite " + std::to_string(suite));
        if (!list.empty()) list += ':';
        list += name;
    };
    for (uint16_t suite : options.preferredForwardSecretSuites) add(suite);
    for (uint16_t suite : options.cipherSuites) add(suite);
    return list;
}

std::shared_ptr<asio::ssl::context> makeContext(const TlsOptions& options, bool server) {
    if (options.psk.key.empty() || options.psk.key.size() > PSK_MAX_PSK_LEN) fail("Invalid pre-shared key");
    if (options.psk.identity.empty() || options.psk.identity.size() > PSK_MAX_IDENTITY_LEN ||
        std::memchr(options.psk.identity.data(), 0, options.psk.identity.size())) {
        fail("Invalid pre-shared key identity");
    }
    if (options.cipherSuites.empty()) fail("No TLS cipher suite");
    auto context = std::make_shared<asio::ssl::context>(server ? asio::ssl::context::tls_server
                                                               : asio::ssl::context::tls_client);
    SSL_CTX* ctx = context->native_handle();
    if (SSL_CTX_set_min_proto_version(ctx, static_cast<int>(options.minimumVersion)) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, static_cast<int>(options.maximumVersion)) != 1) {
        fail("Unsupported TLS version");
    }
    if (SSL_CTX_set_cipher_list(ctx, cipherList(options).c_str()) != 1) fail("Unsupported TLS cipher suite");
    // No resumption and no renegotiation: every connection proves the key afresh.
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                                 (server ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0));
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // Writes of any size go out as they are; asio keeps the buffer until they complete.
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    if (server) SSL_CTX_set_dh_auto(ctx, 1);

    auto* state = new PskState{options.psk};
    SSL_CTX_set_ex_data(ctx, pskIndex(), state);
    if (server) {
        SSL_CTX_set_psk_server_callback(ctx, serverPsk);
    } else {
        SSL_CTX_set_psk_client_callback(ctx, clientPsk);
    }
    // The state dies with the context.
    return std::shared_ptr<asio::ssl::context>(context.get(), [context, state](asio::ssl::context*) mutable {
        context.reset();
        delete state;
    });
}

}  // namespace

std::string openSslCipherName(uint16_t suite) {
    switch (suite) {
        case CipherSuite::pskWithAes128GcmSha256: return "PSK-AES128-GCM-SHA256";
        case CipherSuite::dhePskWithAes128GcmSha256: return "DHE-PSK-AES128-GCM-SHA256";
        case CipherSuite::ecdhePskWithChacha20Poly1305: return "ECDHE-PSK-CHACHA20-POLY1305";
        default: return {};
    }
}

std::shared_ptr<asio::ssl::context> makeServerContext(const TlsOptions& options) { return makeContext(options, true); }
std::shared_ptr<asio::ssl::context> makeClientContext(const TlsOptions& options) { return makeContext(options, false); }

}  // namespace df::transport
