#include "platform/linux/transport/QuicSocket.h"

#include "platform/linux/transport/SocketOptions.h"

#include <asio/ip/v6_only.hpp>
#include <sys/socket.h>

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
    // No SO_REUSEADDR: on UDP it would let a second listener share a taken port.
    if (!ec && local.address().is_v6() && local.address().is_unspecified()) socket.set_option(asio::ip::v6_only(false), ec);
    if (!ec) socket.bind(local, ec);
    if (!ec) socket.non_blocking(true, ec);
    if (ec) return nullptr;
    // Bursts at media rates overflow the default buffers; the kernel caps what it grants.
    (void)setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof kSocketBuffer);
    (void)setsockopt(socket.native_handle(), SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
    applyServiceClass(socket.native_handle(), serviceClass);
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
    // Several datagrams per wake-up: one readiness wait, then read until the queue is empty.
    for (int i = 0; i < kDrainBatch && !closed_; ++i) {
        std::error_code ec;
        size_t n = socket_.receive_from(asio::buffer(buffer_), sender_, 0, ec);
        if (ec) return;  // would_block, or an ICMP error for an earlier datagram
        if (handler_) handler_(sender_, buffer_.data(), n);
    }
}

bool QuicSocket::send(const asio::ip::udp::endpoint& to, const uint8_t* data, size_t size) {
    if (closed_) return true;
    std::error_code ec;
    socket_.send_to(asio::buffer(data, size), to, 0, ec);
    return ec != asio::error::would_block && ec != asio::error::try_again && ec != asio::error::no_buffer_space;
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
