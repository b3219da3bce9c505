#pragma once
// Socket options the transport parameters ask for, set on a native descriptor.

#include "protocol/TransportParameters.h"

#include <system_error>

namespace df::transport {

/// DSCP AF41 (RFC 4594 multimedia conferencing): the class routers and Wi-Fi WMM map to
/// interactive video. Written into the TOS byte as DSCP << 2.
inline constexpr int kInteractiveVideoTos = 34 << 2;
/// SO_PRIORITY 5 puts the socket's packets in the video access class of WMM drivers.
inline constexpr int kInteractiveVideoPriority = 5;

/// Interactive video over TCP: writes wait while this many bytes wait unsent in the kernel.
/// Without a limit the send buffer grows to megabytes, which on a slow link holds seconds of
/// video the sender cannot take back, and a send completes (its bytes written) long before
/// they leave; with it, a send completes once the bytes before it are nearly all on the
/// network, so a slow link shows as slow completions to the sender's rate control.
inline constexpr int kInteractiveVideoNotSentLowat = 16 * 1024;

/// Keeps the descriptor out of programs the agent starts (the session's lock command).
/// Asio opens and accepts without SOCK_CLOEXEC, so every socket gets it right after.
void setCloseOnExec(int fd);

/// No-delay, keep-alive (idle, interval, count) and TCP_USER_TIMEOUT from `options`.
std::error_code applyTcpOptions(int fd, const TcpOptions& options);
/// Marks the socket's packets with the service class (IPv4 and IPv6 traffic classes).
/// Best effort: a host that refuses the marking still carries the traffic.
/// On a TCP socket of interactive video also limits the unsent bytes
/// (kInteractiveVideoNotSentLowat).
void applyServiceClass(int fd, ServiceClass serviceClass);

}  // namespace df::transport
