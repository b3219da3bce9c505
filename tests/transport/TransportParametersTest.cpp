// The listener settings derived from a pairing code, row by row.
#include "protocol/TransportParameters.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <string>

namespace df {
namespace {

Bytes sha256(const std::string& text) {
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
    return digest;
}

const Bytes kIdentity{'d', 'u', 's', 'k', 'f', 'e', 'r', 'r', 'y'};

TEST(TransportParameters, TcpListenerSettings) {
    TcpParameters p = Pairing::parameters("004217");
    EXPECT_TRUE(p.tcp.noDelay);
    EXPECT_TRUE(p.tcp.enableKeepalive);
    EXPECT_EQ(p.tcp.keepaliveIdle, 2);
    EXPECT_EQ(p.tcp.keepaliveInterval, 2);
    EXPECT_EQ(p.tcp.keepaliveCount, 3);
    EXPECT_EQ(p.tcp.connectionDropTime, 8);
    EXPECT_FALSE(p.includePeerToPeer);
    EXPECT_EQ(p.serviceClass, ServiceClass::interactiveVideo);
    EXPECT_EQ(p.tls.minimumVersion, TlsVersion::tls12);
    EXPECT_EQ(p.tls.maximumVersion, TlsVersion::tls12);
    EXPECT_EQ(p.tls.cipherSuites, (std::vector<uint16_t>{0x00A8}));
    EXPECT_EQ(p.tls.psk.key, sha256("duskferry-psk-v1:004217"));
    EXPECT_EQ(p.tls.psk.identity, kIdentity);
    for (uint16_t suite : p.tls.preferredForwardSecretSuites) {
        EXPECT_TRUE(suite == 0xCCAC || suite == 0x00AA) << suite;
    }
}

TEST(TransportParameters, QuicListenerSettingsShareTheKey) {
    QuicParameters q = Pairing::quicParameters("999999");
    EXPECT_EQ(q.alpn, (std::vector<std::string>{"brevox-m1"}));
    EXPECT_EQ(q.idleTimeoutMs, 8000u);
    EXPECT_EQ(q.cipherSuites, (std::vector<uint16_t>{0x1301}));
    EXPECT_EQ(q.psk.key, Pairing::tlsOptions("999999").psk.key);
    EXPECT_EQ(q.psk.identity, kIdentity);
    EXPECT_FALSE(q.includePeerToPeer);
    EXPECT_EQ(q.serviceClass, ServiceClass::interactiveVideo);
    EXPECT_NE(q.psk.key, Pairing::quicParameters("999998").psk.key);
}

}  // namespace
}  // namespace df
