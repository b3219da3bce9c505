#include "platform/linux/transport/TcpTlsListener.h"

#include "platform/linux/transport/SocketOptions.h"
#include "platform/linux/transport/TcpTlsConnection.h"
#include "platform/linux/transport/TlsPskContext.h"

#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>

namespace df::transport {

std::shared_ptr<TcpTlsListener> TcpTlsListener::make(const TcpParameters& parameters, uint16_t port,
                                                     std::string bindHost) {
    std::shared_ptr<TcpTlsListener> listener(new TcpTlsListener(parameters, port, std::move(bindHost)));
    listener->tls_ = makeServerContext(parameters.tls);
    return listener;
}

TcpTlsListener::TcpTlsListener(TcpParameters parameters, uint16_t port, std::string bindHost)
    : parameters_(std::move(parameters)), requestedPort_(port), bindHost_(std::move(bindHost)) {}

std::optional<uint16_t> TcpTlsListener::port() const {
    int port = boundPort_.load();
    if (port < 0) return std::nullopt;
    return static_cast<uint16_t>(port);
}

void TcpTlsListener::report(ListenerState state, std::optional<TransportError> error) {
    toOwner([self = shared_from_this(), state, error = std::move(error)] {
        if (self->stateHandler_) self->stateHandler_(state, error);
    });
}

void TcpTlsListener::toOwner(std::function<void()> task) const {
    if (queue_) {
        queue_->post(std::move(task));
    } else if (auto queue = weakQueue_.lock()) {
        queue->post(std::move(task));
    }
}

void TcpTlsListener::releaseQueue() {
    weakQueue_ = queue_;
    queue_.reset();
}

void TcpTlsListener::start(std::shared_ptr<DispatchQueue> queue) {
    if (started_.exchange(true)) return;
    queue_ = std::move(queue);
    io_ = bindingFor(queue_);
    io_->dispatch([self = shared_from_this()] { self->bindOnIo(); });
}

void TcpTlsListener::bindOnIo() {
    if (ended_) return;
    std::error_code ec;
    asio::ip::address address = bindHost_.empty() ? asio::ip::address(asio::ip::address_v6::any())
                                                  : asio::ip::make_address(bindHost_, ec);
    if (ec) {
        ended_ = true;
        report(ListenerState::failed, makeError(TransportError::Kind::invalidArgument,
                                                "Invalid listening address " + bindHost_, ec.value()));
        releaseQueue();
        return;
    }
    acceptor_ = std::make_unique<asio::ip::tcp::acceptor>(io_->context());
    asio::ip::tcp::endpoint endpoint(address, requestedPort_);
    acceptor_->open(endpoint.protocol(), ec);
    // Every address of both families, as a phone may come over IPv4 or IPv6.
    if (!ec && address.is_v6() && bindHost_.empty()) acceptor_->set_option(asio::ip::v6_only(false), ec);
    if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
    if (ec == asio::error::address_family_not_supported && bindHost_.empty()) {
        // A host without IPv6: every IPv4 address instead.
        ec.clear();
        endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), requestedPort_);
        acceptor_->open(endpoint.protocol(), ec);
        if (!ec) acceptor_->set_option(asio::socket_base::reuse_address(true), ec);
    }
    if (!ec) setCloseOnExec(acceptor_->native_handle());
    if (!ec) acceptor_->bind(endpoint, ec);
    if (!ec) acceptor_->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        ended_ = true;
        std::error_code ignored;
        acceptor_->close(ignored);
        report(ListenerState::failed, errorFrom(ec, false));
        releaseQueue();
        return;
    }
    boundPort_ = acceptor_->local_endpoint(ec).port();
    report(ListenerState::ready, std::nullopt);
    accept();
}

void TcpTlsListener::accept() {
    acceptor_->async_accept(io_->context(), [self = shared_from_this()](const std::error_code& ec,
                                                                        asio::ip::tcp::socket socket) {
        if (self->ended_) return;
        if (ec) {
            if (ec == asio::error::operation_aborted) return;
            // Out of descriptors or memory, or a connection that died in the backlog: the
            // listener itself is fine, so wait a moment and go on accepting.
            self->retry_ = std::make_unique<asio::steady_timer>(self->io_->context(), std::chrono::milliseconds(100));
            self->retry_->async_wait([self](const std::error_code& waitError) {
                if (!waitError && !self->ended_) self->accept();
            });
            return;
        }
        setCloseOnExec(socket.native_handle());
        std::error_code optionError = applyTcpOptions(socket.native_handle(), self->parameters_.tcp);
        applyServiceClass(socket.native_handle(), self->parameters_.serviceClass);
        if (!optionError) {
            std::weak_ptr<TcpTlsListener> weak = self;
            auto connection = TcpTlsConnection::accepted(
                *self->io_, std::move(socket), self->tls_, self->parameters_.maxQueuedSendBytes, [weak](const Endpoint& remote, const TransportError& error) {
                    auto listener = weak.lock();
                    if (!listener) return;
                    listener->toOwner([listener, remote, error] {
                        if (listener->handshakeFailure_) listener->handshakeFailure_(remote, error);
                    });
                });
            self->toOwner([self, connection] {
                if (self->newConnection_) {
                    self->newConnection_(connection);
                } else {
                    connection->cancel();
                }
            });
        }
        self->accept();
    });
}

void TcpTlsListener::cancel() {
    if (!started_.exchange(true)) {
        // Never started: nothing is bound and no queue exists to report to.
        return;
    }
    io_->dispatch([self = shared_from_this()] {
        if (self->ended_) return;
        self->ended_ = true;
        std::error_code ignored;
        if (self->acceptor_) self->acceptor_->close(ignored);
        if (self->retry_) self->retry_->cancel();
        self->boundPort_ = -1;
        self->report(ListenerState::cancelled, std::nullopt);
        self->releaseQueue();
    });
}

}  // namespace df::transport
