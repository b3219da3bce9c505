#include "protocol/TransportParameters.h"

#include "protocol/Pairing.h"

namespace df::Pairing {

namespace {
PreSharedKey presharedKey(std::string_view code) {
    PskMaterial material = pskMaterial(code);
    return PreSharedKey{std::move(material.key), std::move(material.identity)};
}
}  // namespace

TlsOptions tlsOptions(std::string_view code) {
    TlsOptions options;
    options.psk = presharedKey(code);
    options.cipherSuites = {CipherSuite::pskWithAes128GcmSha256};
    // A client that offers an ephemeral-key PSK suite gets one, so that its recorded traffic
    // stays private even if the pairing code later leaks; 0x00A8-only clients are unaffected.
    options.preferredForwardSecretSuites = {CipherSuite::ecdhePskWithChacha20Poly1305,
                                            CipherSuite::dhePskWithAes128GcmSha256};
    options.minimumVersion = TlsVersion::tls12;
    options.maximumVersion = TlsVersion::tls12;
    return options;
}

TcpParameters parameters(std::string_view code) {
    TcpParameters p;
    p.tcp.noDelay = true;
    p.tcp.enableKeepalive = true;
    p.tcp.keepaliveIdle = 2;
    p.tcp.keepaliveInterval = 2;
    p.tcp.keepaliveCount = 3;
    p.tcp.connectionDropTime = 8;
    p.tls = tlsOptions(code);
    p.includePeerToPeer = false;
    p.serviceClass = ServiceClass::interactiveVideo;
    return p;
}

QuicParameters quicParameters(std::string_view code) {
    QuicParameters p;
    p.alpn = {std::string(quicAlpn)};
    p.idleTimeoutMs = 8000;
    p.psk = presharedKey(code);
    p.cipherSuites = {CipherSuite::tlsAes128GcmSha256};
    p.includePeerToPeer = false;
    p.serviceClass = ServiceClass::interactiveVideo;
    return p;
}

}  // namespace df::Pairing
