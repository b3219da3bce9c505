#include "platform/Transport.h"

namespace df {

std::string Endpoint::description() const {
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

const char* toString(ConnectionState state) {
    switch (state) {
        case ConnectionState::setup: return "setup";
        case ConnectionState::preparing: return "preparing";
        case ConnectionState::ready: return "ready";
        case ConnectionState::failed: return "failed";
        case ConnectionState::cancelled: return "cancelled";
    }
    return "unknown";
}

const char* toString(ListenerState state) {
    switch (state) {
        case ListenerState::setup: return "setup";
        case ListenerState::ready: return "ready";
        case ListenerState::failed: return "failed";
        case ListenerState::cancelled: return "cancelled";
    }
    return "unknown";
}

namespace Pairing {
void applyQUICKeepalive(Connection& connection) {
    if (connection.protocol() != TransportProtocol::quic) return;
    connection.setQuicKeepalive(quicKeepaliveInterval);
}
}  // namespace Pairing

}  // namespace df
