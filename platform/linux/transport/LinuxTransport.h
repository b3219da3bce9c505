#pragma once
// The transport on Linux: TCP with TLS 1.2 PSK on Asio + OpenSSL 3, QUIC on ngtcp2 with
// GnuTLS over an Asio UDP socket. Sockets live on the io_context of the SerialQueue an
// object is started on (one hop less for every event); objects started on another kind of
// queue use a shared network thread "duskferry.net" and post their callbacks across.

#include "platform/Transport.h"

namespace df {

std::shared_ptr<TransportFactory> makeLinuxTransportFactory();

/// The socket under a connection made by this transport (TCP: its own socket; QUIC: the
/// UDP socket it shares with its connection), or -1. For diagnostics and tests that read
/// socket options back.
int linuxSocketDescriptor(const Connection& connection);

}  // namespace df
