#pragma once
// In-memory transport for unit tests. A FakeConnection records what its owner asked of it
// (sends, receives, cancel, keep-alive) and lets the test play the network: feed received
// bytes, end of stream or errors, move the state, and complete sends when it chooses. A
// FakeListener lets the test report states, hand out connections and report failed
// handshakes. Everything the owner is told is posted to the queue it started the object
// on, as the real transport does; the test runs that queue (ManualQueue::runUntilIdle).
//
// Test-side calls are made on the test thread, the same thread that runs the ManualQueue.

#include "platform/Transport.h"

#include <deque>
#include <vector>

namespace df::fake {

class FakeConnection final : public Connection,
                             public std::enable_shared_from_this<FakeConnection> {
public:
    struct Send {
        Bytes content;
        bool completed = false;
    };

    static std::shared_ptr<FakeConnection> make(Endpoint remote = {"192.0.2.10", 50000},
                                                 TransportProtocol protocol = TransportProtocol::tcpTls);

    // Connection
    TransportProtocol protocol() const override { return protocol_; }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void start(std::shared_ptr<DispatchQueue> queue) override;
    Endpoint remoteEndpoint() const override { return remote_; }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void send(Bytes content, SendCompletion completion) override;
    void cancel() override;
    bool setQuicKeepalive(double intervalSeconds) override;

    // What the owner did.
    bool started() const { return queue_ != nullptr; }
    const std::shared_ptr<DispatchQueue>& startedQueue() const { return queue_; }
    bool cancelled() const { return cancelCount_ > 0; }
    int cancelCount() const { return cancelCount_; }
    bool receivePending() const { return pendingReceive_.has_value(); }
    size_t lastReceiveMaximum() const { return lastMaximum_; }
    /// Times a receive was asked for while another was still pending (a caller fault).
    int overlappingReceives() const { return overlappingReceives_; }
    const std::vector<Send>& sends() const { return sends_; }
    /// All sent bytes in order.
    Bytes sentBytes() const;
    size_t pendingSendCount() const;
    std::optional<double> keepaliveInterval() const { return keepalive_; }

    // Playing the network.
    /// Moves to `state` and reports it. `failed` and `cancelled` also end pending work.
    void setState(ConnectionState state, std::optional<TransportError> error = std::nullopt);
    /// Bytes from the peer; delivered to receives in order, at most `maximum` at a time.
    void feed(const Bytes& data);
    void feedEndOfStream();
    /// The next (or pending) receive completes with `error`.
    void feedError(TransportError error);
    /// Completes the oldest `count` sends that have not completed yet.
    void completeSends(size_t count = SIZE_MAX, std::optional<TransportError> error = std::nullopt);
    /// When set, each send completes (posted) as soon as it is made.
    void setAutoCompleteSends(bool value) { autoComplete_ = value; }

private:
    FakeConnection(Endpoint remote, TransportProtocol protocol) : remote_(std::move(remote)), protocol_(protocol) {}
    struct PendingReceive {
        size_t minimum;
        size_t maximum;
        ReceiveCompletion completion;
    };
    void post(std::function<void()> task);
    void deliver();
    void endPending(const TransportError& error);

    Endpoint remote_;
    TransportProtocol protocol_;
    std::shared_ptr<DispatchQueue> queue_;
    std::vector<std::function<void()>> beforeStart_;
    StateHandler stateHandler_;
    ConnectionState state_ = ConnectionState::setup;
    std::optional<PendingReceive> pendingReceive_;
    Bytes inbound_;
    bool inboundEnded_ = false;
    std::optional<TransportError> inboundError_;
    std::vector<Send> sends_;
    std::deque<std::pair<size_t, SendCompletion>> sendCompletions_;  // index into sends_
    std::optional<double> keepalive_;
    size_t lastMaximum_ = 0;
    int overlappingReceives_ = 0;
    bool receiveOutstanding_ = false;  // asked for and its completion not yet run
    int cancelCount_ = 0;
    bool autoComplete_ = false;
};

class FakeListener final : public Listener, public std::enable_shared_from_this<FakeListener> {
public:
    static std::shared_ptr<FakeListener> make(TransportProtocol protocol, uint16_t requestedPort);

    // Listener
    TransportProtocol protocol() const override { return protocol_; }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setNewConnectionHandler(NewConnectionHandler handler) override { newConnection_ = std::move(handler); }
    void setHandshakeFailureHandler(HandshakeFailureHandler handler) override { handshakeFailure_ = std::move(handler); }
    void setAdmissionFilter(AdmissionFilter filter) override { admission_ = std::move(filter); }
    void start(std::shared_ptr<DispatchQueue> queue) override;
    std::optional<uint16_t> port() const override { return port_; }
    void cancel() override;

    /// What the owner's admission filter answers for a peer about to begin a handshake
    /// (true when there is no filter).
    bool admits(const Endpoint& remote) const { return !admission_ || admission_(remote); }

    uint16_t requestedPort() const { return requestedPort_; }
    bool started() const { return queue_ != nullptr; }
    bool cancelled() const { return cancelled_; }
    bool hasNewConnectionHandler() const { return static_cast<bool>(newConnection_); }

    /// Reports `state`; `ready` also sets the bound port (the requested one, or `boundPort`).
    void setState(ListenerState state, std::optional<TransportError> error = std::nullopt,
                  std::optional<uint16_t> boundPort = std::nullopt);
    /// Hands a new connection to the owner. Returns it for convenience.
    std::shared_ptr<FakeConnection> injectConnection(std::shared_ptr<FakeConnection> connection);
    std::shared_ptr<FakeConnection> injectConnection(Endpoint remote);
    void reportHandshakeFailure(Endpoint remote, TransportError error = {TransportError::Kind::handshake, 0,
                                                                         "handshake failed"});

private:
    FakeListener(TransportProtocol protocol, uint16_t port) : protocol_(protocol), requestedPort_(port) {}
    void post(std::function<void()> task);

    TransportProtocol protocol_;
    uint16_t requestedPort_;
    std::optional<uint16_t> port_;
    std::shared_ptr<DispatchQueue> queue_;
    StateHandler stateHandler_;
    NewConnectionHandler newConnection_;
    HandshakeFailureHandler handshakeFailure_;
    AdmissionFilter admission_;
    bool cancelled_ = false;
};

/// Records every listener and connection the owner made, with the parameters it used.
class FakeTransportFactory final : public TransportFactory {
public:
    struct MadeListener {
        std::shared_ptr<FakeListener> listener;
        uint16_t port;
        std::string bindHost;
        std::optional<TcpParameters> tcp;
        std::optional<QuicParameters> quic;
    };
    struct MadeConnection {
        std::shared_ptr<FakeConnection> connection;
        Endpoint remote;
        std::optional<TcpParameters> tcp;
        std::optional<QuicParameters> quic;
    };

    std::shared_ptr<Listener> makeTcpTlsListener(const TcpParameters& parameters, uint16_t port,
                                                 const std::string& bindHost = {}) override;
    std::shared_ptr<Listener> makeQuicListener(const QuicParameters& parameters, uint16_t port,
                                               const std::string& bindHost = {}) override;
    std::shared_ptr<Connection> connectTcpTls(const Endpoint& remote, const TcpParameters& parameters) override;
    std::shared_ptr<Connection> connectQuic(const Endpoint& remote, const QuicParameters& parameters) override;

    /// The next listener creation throws TransportException with `error`.
    void failNextListener(TransportError error) { nextListenerError_ = std::move(error); }

    const std::vector<MadeListener>& listeners() const { return listeners_; }
    const std::vector<MadeConnection>& connections() const { return connections_; }

private:
    void throwIfScripted();

    std::vector<MadeListener> listeners_;
    std::vector<MadeConnection> connections_;
    std::optional<TransportError> nextListenerError_;
};

}  // namespace df::fake
