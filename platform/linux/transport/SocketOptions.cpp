#include "platform/linux/transport/SocketOptions.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>

namespace df::transport {

void setCloseOnExec(int fd) {
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0) (void)::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

namespace {
std::error_code setInt(int fd, int level, int name, int value) {
    if (setsockopt(fd, level, name, &value, sizeof value) != 0) return {errno, std::system_category()};
    return {};
}
}  // namespace

std::error_code applyTcpOptions(int fd, const TcpOptions& options) {
    std::error_code ec;
    auto set = [&](int level, int name, int value) {
        if (!ec) ec = setInt(fd, level, name, value);
    };
    set(IPPROTO_TCP, TCP_NODELAY, options.noDelay ? 1 : 0);
    set(SOL_SOCKET, SO_KEEPALIVE, options.enableKeepalive ? 1 : 0);
    if (options.enableKeepalive) {
        if (options.keepaliveIdle > 0) set(IPPROTO_TCP, TCP_KEEPIDLE, options.keepaliveIdle);
        if (options.keepaliveInterval > 0) set(IPPROTO_TCP, TCP_KEEPINTVL, options.keepaliveInterval);
        if (options.keepaliveCount > 0) set(IPPROTO_TCP, TCP_KEEPCNT, options.keepaliveCount);
    }
    // The drop time: how long sent data may stay unacknowledged before the kernel gives up.
    if (options.connectionDropTime > 0) set(IPPROTO_TCP, TCP_USER_TIMEOUT, options.connectionDropTime * 1000);
    return ec;
}

void applyServiceClass(int fd, ServiceClass serviceClass) {
    if (serviceClass != ServiceClass::interactiveVideo) return;
    // A dual-stack socket carries IPv4 traffic under IP_TOS and IPv6 under IPV6_TCLASS; one
    // of the two fails on a single-family socket, which is fine.
    (void)setInt(fd, IPPROTO_IP, IP_TOS, kInteractiveVideoTos);
    (void)setInt(fd, IPPROTO_IPV6, IPV6_TCLASS, kInteractiveVideoTos);
    (void)setInt(fd, SOL_SOCKET, SO_PRIORITY, kInteractiveVideoPriority);
    // Fails on a UDP socket (QUIC), which has no send queue of its own to bound.
    (void)setInt(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, kInteractiveVideoNotSentLowat);
}

}  // namespace df::transport
