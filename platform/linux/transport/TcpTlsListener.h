#pragma once
// Accepts TCP connections on a port and hands each out as a TcpTlsConnection whose TLS
// handshake runs when its owner starts it (so a locked-out remote is cancelled before any
// key material is used). The acceptor runs on the io_context of the start queue.

#include "platform/Transport.h"
#include "platform/linux/transport/IoBinding.h"

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <optional>

namespace df::transport {

class TcpTlsListener final : public Listener, public std::enable_shared_from_this<TcpTlsListener> {
public:
    /// Throws TransportException when the TLS options are unusable.
    static std::shared_ptr<TcpTlsListener> make(const TcpParameters& parameters, uint16_t port, std::string bindHost);

    TransportProtocol protocol() const override { return TransportProtocol::tcpTls; }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setNewConnectionHandler(NewConnectionHandler handler) override { newConnection_ = std::move(handler); }
    void setHandshakeFailureHandler(HandshakeFailureHandler handler) override { handshakeFailure_ = std::move(handler); }
    // Accepted TCP connections reach the owner before their handshake; it refuses them there.
    void setAdmissionFilter(AdmissionFilter) override {}
    void start(std::shared_ptr<DispatchQueue> queue) override;
    std::optional<uint16_t> port() const override;
    void cancel() override;

private:
    TcpTlsListener(TcpParameters parameters, uint16_t port, std::string bindHost);
    void bindOnIo();
    void accept();
    void report(ListenerState state, std::optional<TransportError> error);
    /// Posts `task` to the owner's queue; once the listener has ended, only while the owner
    /// still keeps that queue. Io thread.
    void toOwner(std::function<void()> task) const;
    /// The listener has ended: it holds its owner's queue weakly from now on. Io thread.
    void releaseQueue();

    TcpParameters parameters_;
    uint16_t requestedPort_;
    std::string bindHost_;
    std::shared_ptr<asio::ssl::context> tls_;
    std::shared_ptr<DispatchQueue> queue_;  // set by start(), then io thread
    std::weak_ptr<DispatchQueue> weakQueue_;
    std::optional<IoBinding> io_;
    std::unique_ptr<asio::ip::tcp::acceptor> acceptor_;
    std::unique_ptr<asio::steady_timer> retry_;
    StateHandler stateHandler_;
    NewConnectionHandler newConnection_;
    HandshakeFailureHandler handshakeFailure_;
    std::atomic<int> boundPort_{-1};
    std::atomic<bool> started_{false};
    bool ended_ = false;  // io thread
};

}  // namespace df::transport
