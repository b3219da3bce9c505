#include "platform/fake/transport/FakeTransport.h"

#include <algorithm>

namespace df::fake {

namespace {
TransportError cancelledError() {
    return {TransportError::Kind::cancelled, 125, "Operation canceled"};
}
}  // namespace

// ---- FakeConnection ----

std::shared_ptr<FakeConnection> FakeConnection::make(Endpoint remote, TransportProtocol protocol) {
    return std::shared_ptr<FakeConnection>(new FakeConnection(std::move(remote), protocol));
}

void FakeConnection::post(std::function<void()> task) {
    if (queue_) {
        queue_->post(std::move(task));
    } else {
        // Nothing reaches the owner before it started the connection.
        beforeStart_.push_back(std::move(task));
    }
}

void FakeConnection::start(std::shared_ptr<DispatchQueue> queue) {
    if (queue_) return;
    queue_ = std::move(queue);
    for (auto& task : beforeStart_) queue_->post(std::move(task));
    beforeStart_.clear();
    deliver();
}

void FakeConnection::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    if (receiveOutstanding_) {
        ++overlappingReceives_;
        return;
    }
    receiveOutstanding_ = true;
    lastMaximum_ = maximum;
    pendingReceive_ = PendingReceive{std::max<size_t>(minimum, 1), std::max<size_t>(maximum, 1),
                                     std::move(completion)};
    if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) {
        auto pending = std::move(*pendingReceive_);
        pendingReceive_.reset();
        post([self = shared_from_this(), c = std::move(pending.completion)] {
            self->receiveOutstanding_ = false;
            c({}, false, cancelledError());
        });
        return;
    }
    deliver();
}

void FakeConnection::deliver() {
    if (!pendingReceive_ || !queue_) return;
    const bool enough = inbound_.size() >= pendingReceive_->minimum;
    if (!enough && !inboundEnded_ && !inboundError_) return;
    if (inbound_.empty() && !inboundEnded_ && !inboundError_) return;
    size_t n = std::min(inbound_.size(), pendingReceive_->maximum);
    Bytes chunk(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(n));
    inbound_.erase(inbound_.begin(), inbound_.begin() + static_cast<std::ptrdiff_t>(n));
    // The end mark and errors travel with the last bytes, as the real transport reports them.
    bool complete = inbound_.empty() && inboundEnded_;
    std::optional<TransportError> error;
    if (inbound_.empty() && inboundError_) {
        error = inboundError_;
        inboundError_.reset();
    }
    auto completion = std::move(pendingReceive_->completion);
    pendingReceive_.reset();
    queue_->post([self = shared_from_this(), completion = std::move(completion), chunk = std::move(chunk), complete,
                  error]() mutable {
        self->receiveOutstanding_ = false;
        completion(std::move(chunk), complete, std::move(error));
    });
}

void FakeConnection::send(Bytes content, SendCompletion completion) {
    sends_.push_back(Send{std::move(content), false});
    size_t index = sends_.size() - 1;
    if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) {
        sends_[index].completed = true;
        if (completion) post([c = std::move(completion)] { c(cancelledError()); });
        return;
    }
    sendCompletions_.emplace_back(index, std::move(completion));
    if (autoComplete_) completeSends(1);
}

void FakeConnection::completeSends(size_t count, std::optional<TransportError> error) {
    while (count-- > 0 && !sendCompletions_.empty()) {
        auto [index, completion] = std::move(sendCompletions_.front());
        sendCompletions_.pop_front();
        sends_[index].completed = true;
        if (completion) post([c = std::move(completion), error] { c(error); });
    }
}

size_t FakeConnection::pendingSendCount() const { return sendCompletions_.size(); }

Bytes FakeConnection::sentBytes() const {
    Bytes all;
    for (const auto& s : sends_) all.insert(all.end(), s.content.begin(), s.content.end());
    return all;
}

void FakeConnection::endPending(const TransportError& error) {
    if (pendingReceive_) {
        auto completion = std::move(pendingReceive_->completion);
        pendingReceive_.reset();
        post([self = shared_from_this(), completion = std::move(completion), error] {
            self->receiveOutstanding_ = false;
            completion({}, false, error);
        });
    }
    completeSends(SIZE_MAX, error);
}

void FakeConnection::cancel() {
    ++cancelCount_;
    if (state_ == ConnectionState::cancelled || state_ == ConnectionState::failed) return;
    setState(ConnectionState::cancelled);
}

bool FakeConnection::setQuicKeepalive(double intervalSeconds) {
    if (protocol_ != TransportProtocol::quic) return false;
    keepalive_ = intervalSeconds;
    return true;
}

void FakeConnection::setState(ConnectionState state, std::optional<TransportError> error) {
    state_ = state;
    if (state == ConnectionState::failed || state == ConnectionState::cancelled) {
        endPending(error ? *error : cancelledError());
    }
    if (stateHandler_) {
        post([self = shared_from_this(), state, error] {
            if (self->stateHandler_) self->stateHandler_(state, error);
        });
    }
}

void FakeConnection::feed(const Bytes& data) {
    inbound_.insert(inbound_.end(), data.begin(), data.end());
    deliver();
}

void FakeConnection::feedEndOfStream() {
    inboundEnded_ = true;
    deliver();
}

void FakeConnection::feedError(TransportError error) {
    inboundError_ = std::move(error);
    deliver();
}

// ---- FakeListener ----

std::shared_ptr<FakeListener> FakeListener::make(TransportProtocol protocol, uint16_t requestedPort) {
    return std::shared_ptr<FakeListener>(new FakeListener(protocol, requestedPort));
}

void FakeListener::post(std::function<void()> task) {
    if (queue_) queue_->post(std::move(task));
}

void FakeListener::start(std::shared_ptr<DispatchQueue> queue) {
    if (!queue_) queue_ = std::move(queue);
}

void FakeListener::cancel() {
    if (cancelled_) return;
    cancelled_ = true;
    setState(ListenerState::cancelled);
}

void FakeListener::setState(ListenerState state, std::optional<TransportError> error,
                            std::optional<uint16_t> boundPort) {
    if (state == ListenerState::ready) port_ = boundPort ? *boundPort : requestedPort_;
    if (state == ListenerState::failed) port_.reset();
    post([self = shared_from_this(), state, error] {
        if (self->stateHandler_) self->stateHandler_(state, error);
    });
}

std::shared_ptr<FakeConnection> FakeListener::injectConnection(std::shared_ptr<FakeConnection> connection) {
    post([self = shared_from_this(), connection] {
        if (self->newConnection_ && !self->cancelled_) {
            self->newConnection_(connection);
        }
    });
    return connection;
}

std::shared_ptr<FakeConnection> FakeListener::injectConnection(Endpoint remote) {
    return injectConnection(FakeConnection::make(std::move(remote), protocol_));
}

void FakeListener::reportHandshakeFailure(Endpoint remote, TransportError error) {
    post([self = shared_from_this(), remote = std::move(remote), error = std::move(error)] {
        if (self->handshakeFailure_) self->handshakeFailure_(remote, error);
    });
}

// ---- FakeTransportFactory ----

void FakeTransportFactory::throwIfScripted() {
    if (!nextListenerError_) return;
    TransportError error = std::move(*nextListenerError_);
    nextListenerError_.reset();
    throw TransportException(std::move(error));
}

std::shared_ptr<Listener> FakeTransportFactory::makeTcpTlsListener(const TcpParameters& parameters, uint16_t port,
                                                                   const std::string& bindHost) {
    throwIfScripted();
    auto listener = FakeListener::make(TransportProtocol::tcpTls, port);
    listeners_.push_back({listener, port, bindHost, parameters, std::nullopt});
    return listener;
}

std::shared_ptr<Listener> FakeTransportFactory::makeQuicListener(const QuicParameters& parameters, uint16_t port,
                                                                 const std::string& bindHost) {
    throwIfScripted();
    auto listener = FakeListener::make(TransportProtocol::quic, port);
    listeners_.push_back({listener, port, bindHost, std::nullopt, parameters});
    return listener;
}

std::shared_ptr<Connection> FakeTransportFactory::connectTcpTls(const Endpoint& remote,
                                                                const TcpParameters& parameters) {
    auto connection = FakeConnection::make(remote, TransportProtocol::tcpTls);
    connections_.push_back({connection, remote, parameters, std::nullopt});
    return connection;
}

std::shared_ptr<Connection> FakeTransportFactory::connectQuic(const Endpoint& remote,
                                                              const QuicParameters& parameters) {
    auto connection = FakeConnection::make(remote, TransportProtocol::quic);
    connections_.push_back({connection, remote, std::nullopt, parameters});
    return connection;
}

}  // namespace df::fake
