#pragma once
// The UDP socket under QUIC: one per listener (shared by all its connections) or per
// client connection. Runs on the io thread of its binding.

#include "platform/linux/transport/IoBinding.h"
#include "protocol/TransportParameters.h"

#include <asio/ip/udp.hpp>

#include <functional>
#include <vector>

namespace df::transport {

class QuicSocket final : public std::enable_shared_from_this<QuicSocket> {
public:
    using PacketHandler = std::function<void(const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size)>;

    /// Binds to `local`; for the IPv6 any-address, dual-stack. Fails with `ec`.
    static std::shared_ptr<QuicSocket> open(IoBinding io, const asio::ip::udp::endpoint& local,
                                            ServiceClass serviceClass, std::error_code& ec);
    ~QuicSocket();

    /// Feeds every datagram to `handler` until close().
    void startReceiving(PacketHandler handler);
    /// Sends one datagram now. False when the kernel's buffer is full: wait with whenWritable.
    /// Other errors drop the datagram, as the network would; QUIC recovers.
    bool send(const asio::ip::udp::endpoint& to, const uint8_t* data, size_t size);
    /// Sends `size` bytes as datagrams of `segment` bytes each (the last may be shorter) in
    /// one call, segmented by the kernel (UDP GSO) where it can, else one by one. Same
    /// false-when-full rule as send(); a partly sent batch is never reported as full.
    bool sendBatch(const asio::ip::udp::endpoint& to, const uint8_t* data, size_t size, size_t segment);
    /// Runs `ready` once the socket can take datagrams again.
    void whenWritable(std::function<void()> ready);
    void close();

    const asio::ip::udp::endpoint& localEndpoint() const { return local_; }
    int nativeHandle() { return socket_.native_handle(); }
    const IoBinding& io() const { return io_; }

private:
    explicit QuicSocket(IoBinding io) : io_(std::move(io)), socket_(io_.context()) {}
    void receiveNext();
    void drain();

    IoBinding io_;
    asio::ip::udp::socket socket_;
    asio::ip::udp::endpoint local_;
    asio::ip::udp::endpoint sender_;
    std::vector<uint8_t> buffer_;
    PacketHandler handler_;
    std::vector<std::function<void()>> writeWaiters_;
    bool waitingWritable_ = false;
    bool gso_ = true;
    bool closed_ = false;
};

}  // namespace df::transport
