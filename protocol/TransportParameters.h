#pragma once
// The listener and connection settings derived from the pairing code, as plain data: what
// the TCP listener (TLS 1.2 with a pre-shared key) and the QUIC listener (TLS 1.3 with the
// same key) are built from. The host transport turns these values into socket options and
// TLS stack configuration; nothing here talks to the network. Pure functions, any thread.

#include "protocol/Bytes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace df {

/// TLS protocol versions by their wire value.
enum class TlsVersion : uint16_t { tls12 = 0x0303, tls13 = 0x0304 };

/// IANA cipher-suite numbers the transport knows.
namespace CipherSuite {
inline constexpr uint16_t pskWithAes128GcmSha256 = 0x00A8;         ///< TLS 1.2, the phone's suite
inline constexpr uint16_t dhePskWithAes128GcmSha256 = 0x00AA;      ///< TLS 1.2, forward secret
inline constexpr uint16_t ecdhePskWithChacha20Poly1305 = 0xCCAC;   ///< TLS 1.2, forward secret
inline constexpr uint16_t tlsAes128GcmSha256 = 0x1301;             ///< TLS 1.3 (QUIC)
}  // namespace CipherSuite

/// Traffic class the connection's packets are marked with.
enum class ServiceClass { bestEffort, interactiveVideo };

/// A phone that stops reading must not make the agent hold frames without end: the session
/// keeps a few frames in flight, a 4:4:4 keyframe is a few MB, so this is far above what a
/// healthy connection ever has waiting.
inline constexpr size_t kMaxQueuedSendBytes = 32 * 1024 * 1024;

struct PreSharedKey {
    Bytes key;       ///< 32 bytes for a pairing code
    Bytes identity;  ///< "duskferry"
};

struct TlsOptions {
    PreSharedKey psk;
    /// Suites in the order they were appended; the phone offers exactly these.
    std::vector<uint16_t> cipherSuites;
    /// Forward-secret PSK suites a listener accepts in preference when a client offers one,
    /// and that our own client offers first. Empty turns the preference off.
    std::vector<uint16_t> preferredForwardSecretSuites;
    TlsVersion minimumVersion = TlsVersion::tls12;
    TlsVersion maximumVersion = TlsVersion::tls12;
};

struct TcpOptions {
    bool noDelay = false;
    bool enableKeepalive = false;
    int keepaliveIdle = 0;        ///< seconds of silence before the first probe
    int keepaliveInterval = 0;    ///< seconds between probes
    int keepaliveCount = 0;       ///< unanswered probes before the connection is dropped
    int connectionDropTime = 0;   ///< seconds sent data may stay unacknowledged; 0 = system default
};

/// TCP listener and connection parameters: TCP options combined with TLS options.
struct TcpParameters {
    TcpOptions tcp;
    TlsOptions tls;
    bool includePeerToPeer = false;
    ServiceClass serviceClass = ServiceClass::bestEffort;
    /// Bytes of sends that may wait unsent on one connection (see the transport's rules).
    size_t maxQueuedSendBytes = kMaxQueuedSendBytes;
};

/// QUIC listener and connection parameters.
struct QuicParameters {
    std::vector<std::string> alpn;
    uint32_t idleTimeoutMs = 0;
    PreSharedKey psk;
    std::vector<uint16_t> cipherSuites;
    bool includePeerToPeer = false;
    ServiceClass serviceClass = ServiceClass::bestEffort;
    /// Bytes of sends that may wait unsent on one stream (see the transport's rules).
    size_t maxQueuedSendBytes = kMaxQueuedSendBytes;
};

namespace Pairing {

/// The QUIC application protocol the phone's media stream speaks.
inline constexpr std::string_view quicAlpn = "brevox-m1";
/// QUIC keep-alive interval applied to an established media stream's connection.
inline constexpr double quicKeepaliveInterval = 2.0;

/// TLS 1.2 only, the pairing-code key under identity "duskferry", suite 0x00A8, with the
/// forward-secret PSK suites preferred when both ends have them.
TlsOptions tlsOptions(std::string_view code);
/// TCP listener parameters: no-delay, keep-alive 2/2/3, drop time 8 s, TLS above,
/// no peer-to-peer interfaces, interactive-video class.
TcpParameters parameters(std::string_view code);
/// QUIC listener parameters: ALPN "brevox-m1", idle timeout 8000 ms, the same key,
/// TLS_AES_128_GCM_SHA256, no peer-to-peer interfaces, interactive-video class.
QuicParameters quicParameters(std::string_view code);

}  // namespace Pairing
}  // namespace df
