#pragma once
// One TCP connection secured with TLS 1.2 and the pairing-code key, either accepted by a
// TcpTlsListener or made by the client side. All socket and TLS work runs on the
// io_context of its binding; every event is posted to the queue the owner started it on.

#include "platform/Transport.h"
#include "platform/linux/transport/OwnerLink.h"

#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>
#include <optional>

namespace df::transport {

class TcpTlsConnection final : public Connection, public std::enable_shared_from_this<TcpTlsConnection> {
public:
    using HandshakeFailureSink = std::function<void(const Endpoint&, const TransportError&)>;

    /// Server side: an accepted socket on `io`; the handshake runs when started.
    static std::shared_ptr<TcpTlsConnection> accepted(IoBinding io, asio::ip::tcp::socket socket,
                                                      std::shared_ptr<asio::ssl::context> tls,
                                                      size_t maxQueuedSendBytes,
                                                      HandshakeFailureSink onHandshakeFailure);
    /// Client side: connects to `remote` on the queue's io_context when started.
    static std::shared_ptr<TcpTlsConnection> client(Endpoint remote, TcpParameters parameters,
                                                    std::shared_ptr<asio::ssl::context> tls);

    ~TcpTlsConnection() override;

    TransportProtocol protocol() const override { return TransportProtocol::tcpTls; }
    void setStateHandler(StateHandler handler) override;
    void start(std::shared_ptr<DispatchQueue> queue) override;
    Endpoint remoteEndpoint() const override { return remote_; }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void send(Bytes content, SendCompletion completion) override;
    void cancel() override;
    bool setQuicKeepalive(double) override { return false; }

    int nativeHandle() const { return fd_.load(); }

private:
    using Stream = asio::ssl::stream<asio::ip::tcp::socket>;
    enum class Phase { idle, connecting, handshaking, ready, ended };
    struct PendingSend {
        Bytes content;
        SendCompletion completion;
    };
    struct PendingReceive {
        size_t minimum;
        size_t maximum;
        ReceiveCompletion completion;
        Bytes data;
    };

    TcpTlsConnection(Endpoint remote, std::shared_ptr<asio::ssl::context> tls, size_t maxQueuedSendBytes);

    // All of these run on the io thread.
    void startOnIo();
    void connect();
    void handshake();
    void becomeReady();
    void fail(const TransportError& error);
    void finish(ConnectionState state, std::optional<TransportError> error);
    void pumpReceive();
    void pumpSend();
    void report(ConnectionState state, std::optional<TransportError> error);
    void toOwner(std::function<void()> task) const { link_.toOwner(std::move(task)); }

    Endpoint remote_;
    std::shared_ptr<asio::ssl::context> tls_;
    std::optional<TcpParameters> clientParameters_;
    HandshakeFailureSink onHandshakeFailure_;
    OwnerLink link_;  // declared before stream_, which must go first
    std::unique_ptr<Stream> stream_;
    std::unique_ptr<asio::ip::tcp::socket> silent_;  // accepted, before the peer's first bytes
    StateHandler stateHandler_;
    std::atomic<int> fd_{-1};

    // io thread only
    Phase phase_ = Phase::idle;
    std::optional<PendingReceive> receive_;
    bool reading_ = false;
    bool peerFinished_ = false;
    std::deque<PendingSend> sends_;
    size_t queuedBytes_ = 0;  // of sends_, the one being written included
    const size_t maxQueuedSendBytes_;
    bool writing_ = false;
};

}  // namespace df::transport
