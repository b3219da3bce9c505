#include "platform/linux/transport/TcpTlsConnection.h"

#include "platform/linux/transport/SocketOptions.h"

#include <algorithm>
#include <cerrno>
#include <asio/connect.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/ssl/error.hpp>
#include <asio/write.hpp>

namespace df::transport {

namespace {
constexpr size_t kMaximumReceive = 16 * 1024 * 1024;
// One TLS record's plaintext at most: what one read of the TLS stream can return anyway.
constexpr size_t kReadWindow = 16 * 1024;
}

std::shared_ptr<TcpTlsConnection> TcpTlsConnection::accepted(IoBinding io, asio::ip::tcp::socket socket,
                                                            std::shared_ptr<asio::ssl::context> tls,
                                                            size_t maxQueuedSendBytes,
                                                            HandshakeFailureSink onHandshakeFailure) {
    std::error_code ec;
    auto peer = socket.remote_endpoint(ec);
    Endpoint remote{normalizedHost(peer.address().to_string()), peer.port()};
    std::shared_ptr<TcpTlsConnection> connection(
        new TcpTlsConnection(std::move(remote), std::move(tls), maxQueuedSendBytes));
    connection->fd_ = socket.native_handle();
    connection->link_.setIo(std::move(io));
    // The TLS stream (OpenSSL's session, its BIO pair and asio's record buffers, some
    // 100 KB) is made once the peer has sent something: a crowd of connections that never
    // say a word costs a socket each, not a TLS session each.
    connection->silent_ = std::make_unique<asio::ip::tcp::socket>(std::move(socket));
    connection->onHandshakeFailure_ = std::move(onHandshakeFailure);
    return connection;
}

std::shared_ptr<TcpTlsConnection> TcpTlsConnection::client(Endpoint remote, TcpParameters parameters,
                                                          std::shared_ptr<asio::ssl::context> tls) {
    const size_t maxQueued = parameters.maxQueuedSendBytes;
    std::shared_ptr<TcpTlsConnection> connection(new TcpTlsConnection(std::move(remote), std::move(tls), maxQueued));
    connection->clientParameters_ = std::move(parameters);
    return connection;
}

TcpTlsConnection::TcpTlsConnection(Endpoint remote, std::shared_ptr<asio::ssl::context> tls,
                                   size_t maxQueuedSendBytes)
    : remote_(std::move(remote)), tls_(std::move(tls)), maxQueuedSendBytes_(maxQueuedSendBytes) {}

TcpTlsConnection::~TcpTlsConnection() {
    // The stream must go before the io binding that owns its io_context.
    stream_.reset();
    silent_.reset();
}

void TcpTlsConnection::setStateHandler(StateHandler handler) { stateHandler_ = std::move(handler); }

void TcpTlsConnection::report(ConnectionState state, std::optional<TransportError> error) {
    toOwner([self = shared_from_this(), state, error = std::move(error)] {
        if (self->stateHandler_) self->stateHandler_(state, error);
    });
}

void TcpTlsConnection::start(std::shared_ptr<DispatchQueue> queue) {
    link_.start(std::move(queue), [self = shared_from_this()] { self->startOnIo(); });
}

void TcpTlsConnection::startOnIo() {
    if (phase_ == Phase::ended) {
        // Cancelled before it was started.
        report(ConnectionState::cancelled, std::nullopt);
        return;
    }
    report(ConnectionState::preparing, std::nullopt);
    if (clientParameters_) {
        connect();
    } else {
        handshake();
    }
}

void TcpTlsConnection::connect() {
    phase_ = Phase::connecting;
    std::error_code ec;
    auto address = asio::ip::make_address(remote_.host, ec);
    if (ec) {
        fail(makeError(TransportError::Kind::invalidArgument, "Invalid address " + remote_.host, ec.value()));
        return;
    }
    asio::ip::tcp::socket socket(link_.io().context());
    socket.open(address.is_v4() ? asio::ip::tcp::v4() : asio::ip::tcp::v6(), ec);
    if (!ec) setCloseOnExec(socket.native_handle());
    if (!ec) ec = applyTcpOptions(socket.native_handle(), clientParameters_->tcp);
    if (ec) {
        fail(errorFrom(ec, false));
        return;
    }
    applyServiceClass(socket.native_handle(), clientParameters_->serviceClass);
    fd_ = socket.native_handle();
    stream_ = std::make_unique<Stream>(std::move(socket), *tls_);
    stream_->lowest_layer().async_connect(
        asio::ip::tcp::endpoint(address, remote_.port), [self = shared_from_this()](const std::error_code& ec) {
            if (self->phase_ != Phase::connecting) return;
            if (ec) {
                self->fail(errorFrom(ec, false));
                return;
            }
            self->handshake();
        });
}

void TcpTlsConnection::handshake() {
    phase_ = Phase::handshaking;
    if (!stream_) {
        // Accepted: wait for the ClientHello's first bytes (or the peer's end) before
        // making the TLS stream; the handshake then reads them as usual.
        silent_->async_wait(asio::ip::tcp::socket::wait_read, [self = shared_from_this()](const std::error_code&) {
            if (self->phase_ != Phase::handshaking || !self->silent_) return;
            self->stream_ = std::make_unique<Stream>(std::move(*self->silent_), *self->tls_);
            self->silent_.reset();
            self->handshake();
        });
        return;
    }
    const auto type = clientParameters_ ? asio::ssl::stream_base::client : asio::ssl::stream_base::server;
    stream_->async_handshake(type, [self = shared_from_this()](const std::error_code& ec) {
        if (self->phase_ != Phase::handshaking) return;
        if (ec) {
            TransportError error = errorFrom(ec, true);
            // Only a TLS-level failure says the peer tried a key; one that just hung up
            // mid-handshake is not counted against it.
            if (error.isHandshake() && self->onHandshakeFailure_) self->onHandshakeFailure_(self->remote_, error);
            // Whatever ended it, the handshake did not complete: a wrong code seen from the
            // client is often just the server hanging up after its alert.
            if (error.kind != TransportError::Kind::cancelled) {
                error.kind = TransportError::Kind::handshake;
                if (error.description.rfind("TLS handshake failed", 0) != 0) {
                    error.description = "TLS handshake failed: " + error.description;
                }
            }
            self->fail(error);
            return;
        }
        self->becomeReady();
    });
}

void TcpTlsConnection::becomeReady() {
    phase_ = Phase::ready;
    report(ConnectionState::ready, std::nullopt);
    pumpSend();
    pumpReceive();
}

void TcpTlsConnection::fail(const TransportError& error) { finish(ConnectionState::failed, error); }

void TcpTlsConnection::finish(ConnectionState state, std::optional<TransportError> error) {
    if (phase_ == Phase::ended) return;
    phase_ = Phase::ended;
    if (silent_) {
        std::error_code ignored;
        silent_->shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        silent_->close(ignored);
    }
    if (stream_) {
        std::error_code ignored;
        auto& socket = stream_->lowest_layer();
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
    }
    const TransportError ending = error ? *error : cancelledError();
    if (receive_) {
        auto pending = std::move(*receive_);
        receive_.reset();
        toOwner([pending = std::move(pending), ending]() mutable {
            // Bytes already read are handed over with the error rather than dropped.
            pending.completion(std::move(pending.data), false, ending);
        });
    }
    // Every send still queued completes once, with the error, in order, the one being
    // written first: its bytes stay until its handler, which sees the aborted operation,
    // but its completion goes now, ahead of the others.
    std::deque<PendingSend> queued;
    if (writing_ && !sends_.empty()) {
        if (auto completion = std::move(sends_.front().completion)) {
            sends_.front().completion = nullptr;
            toOwner([c = std::move(completion), ending] { c(ending); });
        }
        queued.assign(std::make_move_iterator(sends_.begin() + 1), std::make_move_iterator(sends_.end()));
        sends_.erase(sends_.begin() + 1, sends_.end());
    } else {
        queued.swap(sends_);
    }
    queuedBytes_ = 0;
    for (auto& pending : queued) {
        if (pending.completion) toOwner([c = std::move(pending.completion), ending] { c(ending); });
    }
    report(state, std::move(error));
    link_.release();
}

void TcpTlsConnection::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    maximum = std::clamp<size_t>(maximum, 1, kMaximumReceive);
    minimum = std::clamp<size_t>(minimum, 1, maximum);
    auto run = [self = shared_from_this(), minimum, maximum, completion = std::move(completion)]() mutable {
        if (self->receive_ || self->phase_ == Phase::ended || self->peerFinished_) {
            // A second receive while one is pending is refused rather than reordered.
            TransportError error = self->receive_ ? makeError(TransportError::Kind::invalidArgument,
                                                              "A receive is already pending")
                                                  : cancelledError();
            const bool ended = self->peerFinished_ && !self->receive_ && self->phase_ != Phase::ended;
            self->toOwner([completion = std::move(completion), error, ended] {
                if (ended) {
                    completion({}, true, std::nullopt);
                } else {
                    completion({}, false, error);
                }
            });
            return;
        }
        self->receive_ = PendingReceive{minimum, maximum, std::move(completion), {}};
        self->pumpReceive();
    };
    link_.onIo(std::move(run));
}

void TcpTlsConnection::pumpReceive() {
    if (!receive_ || reading_ || phase_ != Phase::ready) return;
    PendingReceive& pending = *receive_;
    if (pending.data.size() >= pending.minimum) {
        auto done = std::move(pending);
        receive_.reset();
        toOwner([done = std::move(done)]() mutable { done.completion(std::move(done.data), false, std::nullopt); });
        return;
    }
    // Read straight into the bytes handed to the owner; never more than it asked for, so
    // an owner that stops receiving holds the peer back through TCP flow control. The
    // buffer grows by one record's room per read: an owner asking for up to a megabyte
    // must not cost a megabyte, zero-filled, for every receive (most are a few bytes) nor
    // for every idle connection waiting for its first frame.
    const size_t have = pending.data.size();
    const size_t window = std::min(kReadWindow, pending.maximum - have);
    pending.data.resize(have + window);
    reading_ = true;
    stream_->async_read_some(
        asio::buffer(pending.data.data() + have, window),
        [self = shared_from_this(), have](const std::error_code& ec, size_t n) {
            self->reading_ = false;
            if (!self->receive_) return;  // ended meanwhile; already completed
            PendingReceive& pending = *self->receive_;
            pending.data.resize(have + n);
            if (self->phase_ == Phase::ended) return;
            if (ec) {
                const bool endOfStream = ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
                if (endOfStream) {
                    // The peer finished sending (close_notify, or a bare FIN). It may still
                    // read what we send, so the connection stays; the owner decides.
                    self->peerFinished_ = true;
                    auto done = std::move(pending);
                    self->receive_.reset();
                    self->toOwner([done = std::move(done)]() mutable {
                        done.completion(std::move(done.data), true, std::nullopt);
                    });
                    return;
                }
                self->fail(errorFrom(ec, false));
                return;
            }
            self->pumpReceive();
        });
}

void TcpTlsConnection::send(Bytes content, SendCompletion completion) {
    link_.onIo([self = shared_from_this(), content = std::move(content), completion = std::move(completion)]() mutable {
        if (self->phase_ == Phase::ended) {
            if (completion) self->toOwner([completion = std::move(completion)] { completion(cancelledError()); });
            return;
        }
        if (content.size() > self->maxQueuedSendBytes_ - std::min(self->queuedBytes_, self->maxQueuedSendBytes_)) {
            // The peer is not taking what we send: end the connection rather than hold more.
            const TransportError error = makeError(
                TransportError::Kind::overloaded,
                "More than " + std::to_string(self->maxQueuedSendBytes_) + " bytes waited unsent to " +
                    self->remote_.description(),
                ENOBUFS);
            // Queued behind the others, so every completion still comes in send order.
            self->sends_.push_back(PendingSend{std::move(content), std::move(completion)});
            self->fail(error);
            return;
        }
        self->queuedBytes_ += content.size();
        self->sends_.push_back(PendingSend{std::move(content), std::move(completion)});
        self->pumpSend();
    });
}

void TcpTlsConnection::pumpSend() {
    if (writing_ || sends_.empty() || phase_ != Phase::ready) return;
    writing_ = true;
    // async_write on the TLS stream completes once every record of the message has been
    // written to the socket: the moment the completion may report the bytes as gone.
    asio::async_write(*stream_, asio::buffer(sends_.front().content),
                      [self = shared_from_this()](const std::error_code& ec, size_t) {
                          self->writing_ = false;
                          PendingSend done = std::move(self->sends_.front());
                          self->sends_.pop_front();
                          self->queuedBytes_ -= std::min(self->queuedBytes_, done.content.size());
                          std::optional<TransportError> error;
                          if (ec) error = self->phase_ == Phase::ended ? cancelledError() : errorFrom(ec, false);
                          if (done.completion) {
                              self->toOwner([c = std::move(done.completion), error] { c(error); });
                          }
                          if (ec) {
                              self->fail(*error);
                              return;
                          }
                          self->pumpSend();
                      });
}

void TcpTlsConnection::cancel() {
    const bool started = link_.started();
    auto run = [self = shared_from_this(), started] {
        if (!started && self->phase_ == Phase::idle) {
            // Not started: close the socket now; start() would report `cancelled`.
            self->phase_ = Phase::ended;
            std::error_code ignored;
            if (self->silent_) self->silent_->close(ignored);
            if (self->stream_) {
                self->stream_->lowest_layer().close(ignored);
            }
            return;
        }
        self->finish(ConnectionState::cancelled, std::nullopt);
    };
    link_.onIoWhenKnown(std::move(run));  // a client never started has no socket yet
}

}  // namespace df::transport
