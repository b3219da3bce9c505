#include "platform/linux/transport/QuicSocket.h"

#include "platform/linux/transport/SocketOptions.h"

#include <asio/ip/v6_only.hpp>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstring>

namespace df::transport {

namespace {
constexpr size_t kMaxDatagram = 65536;
constexpr int kSocketBuffer = 4 * 1024 * 1024;
constexpr int kDrainBatch = 64;
}  // namespace

std::shared_ptr<QuicSocket> QuicSocket::open(IoBinding io, const asio::ip::udp::endpoint& local,
                                             ServiceClass serviceClass, std::error_code& ec) {
    std::shared_ptr<QuicSocket> self(new QuicSocket(std::move(io)));
    auto& socket = self->socket_;
    socket.open(local.protocol(), ec);
    if (!ec) setCloseOnExec(socket.native_handle());
    // No SO_REUSEADDR: on UDP it would let a second listener share a taken port.
    if (!ec && local.address().is_v6() && local.address().is_unspecified()) socket.set_option(asio::ip::v6_only(false), ec);
    if (!ec) socket.bind(local, ec);
    if (!ec) socket.non_blocking(true, ec);
    if (ec) return nullptr;
    // Bursts at media rates overflow the default buffers; the kernel caps what it grants.
    (void)setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    (void)setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    applyServiceClass(socket.native_handle(), serviceClass);
    // Let the kernel hand over runs of datagrams from one sender in one read (UDP GRO).
    const int on = 1;
    (void)setsockopt(socket.native_handle(), IPPROTO_UDP, UDP_GRO, &on, sizeof on);
    self->local_ = socket.local_endpoint(ec);
    if (ec) return nullptr;
    self->buffer_.resize(kMaxDatagram);
    return self;
}

QuicSocket::~QuicSocket() { close(); }

void QuicSocket::startReceiving(PacketHandler handler) {
    handler_ = std::move(handler);
    receiveNext();
}

void QuicSocket::receiveNext() {
    if (closed_) return;
    socket_.async_wait(asio::socket_base::wait_read, [weak = weak_from_this()](const std::error_code& ec) {
        auto self = weak.lock();
        if (!self || self->closed_ || ec) return;
        self->drain();
        self->receiveNext();
    });
}

void QuicSocket::drain() {
    // Several reads per wake-up: one readiness wait, then read until the queue is empty.
    // A read may hold several datagrams coalesced by GRO; the control message gives their
    // size and they are split again here.
    for (int i = 0; i < kDrainBatch && !closed_; ++i) {
        sockaddr_storage from{};
        iovec iov{buffer_.data(), buffer_.size()};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = ::recvmsg(socket_.native_handle(), &message, MSG_DONTWAIT);
        if (n < 0) return;  // would block, or an ICMP error for an earlier datagram
        size_t segment = static_cast<size_t>(n);
        for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level == IPPROTO_UDP && c->cmsg_type == UDP_GRO) {
                int size = 0;
                std::memcpy(&size, CMSG_DATA(c), sizeof size);
                if (size > 0) segment = static_cast<size_t>(size);
            }
        }
        std::memcpy(sender_.data(), &from, std::min<size_t>(message.msg_namelen, sizeof(sockaddr_in6)));
        sender_.resize(message.msg_namelen);
        for (size_t offset = 0; offset < static_cast<size_t>(n) && handler_ && !closed_; offset += segment) {
            handler_(sender_, buffer_.data() + offset, std::min(segment, static_cast<size_t>(n) - offset));
        }
    }
}

bool QuicSocket::send(const asio::ip::udp::endpoint& to, const uint8_t* data, size_t size) {
    if (closed_) return true;
    std::error_code ec;
    socket_.send_to(asio::buffer(data, size), to, 0, ec);
    return ec != asio::error::would_block && ec != asio::error::try_again && ec != asio::error::no_buffer_space;
}

bool QuicSocket::sendBatch(const asio::ip::udp::endpoint& to, const uint8_t* data, size_t size, size_t segment) {
    if (closed_) return true;
    if (size <= segment) return send(to, data, size);
    if (gso_) {
        iovec iov{const_cast<uint8_t*>(data), size};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
        msghdr message{};
        message.msg_name = const_cast<sockaddr*>(to.data());
        message.msg_namelen = static_cast<socklen_t>(to.size());
        message.msg_iov = &iov;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&message);
        c->cmsg_level = IPPROTO_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t segmentSize = static_cast<uint16_t>(segment);
        std::memcpy(CMSG_DATA(c), &segmentSize, sizeof segmentSize);
        if (::sendmsg(socket_.native_handle(), &message, 0) >= 0) return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS) return false;
        if (errno != EIO && errno != EINVAL && errno != EOPNOTSUPP) return true;  // dropped, as the network might
        gso_ = false;  // no segmentation offload on this path: one datagram at a time
    }
    for (size_t offset = 0; offset < size; offset += segment) {
        if (!send(to, data + offset, std::min(segment, size - offset))) {
            if (offset == 0) return false;
            // The rest is lost like any dropped datagram; QUIC resends it.
            return true;
        }
    }
    return true;
}

void QuicSocket::whenWritable(std::function<void()> ready) {
    writeWaiters_.push_back(std::move(ready));
    if (waitingWritable_ || closed_) return;
    waitingWritable_ = true;
    socket_.async_wait(asio::socket_base::wait_write, [weak = weak_from_this()](const std::error_code&) {
        auto self = weak.lock();
        if (!self) return;
        self->waitingWritable_ = false;
        auto waiters = std::move(self->writeWaiters_);
        self->writeWaiters_.clear();
        for (auto& waiter : waiters) waiter();
    });
}

void QuicSocket::close() {
    if (closed_) return;
    closed_ = true;
    std::error_code ignored;
    socket_.close(ignored);
}

}  // namespace df::transport
