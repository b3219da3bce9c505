#include "platform/linux/transport/QuicStream.h"

#include "platform/linux/transport/QuicConnection.h"

#include <algorithm>
#include <cerrno>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>

namespace df::transport {

std::shared_ptr<QuicStream> QuicStream::accepted(std::shared_ptr<QuicConnection> connection, int64_t id) {
    std::shared_ptr<QuicStream> stream(new QuicStream());
    stream->remote_ = connection->remoteEndpoint();
    stream->link_.setIo(connection->socket()->io());
    stream->fd_ = connection->nativeHandle();
    stream->id_ = id;
    stream->maxQueuedSendBytes_ = connection->parameters().maxQueuedSendBytes;
    stream->connection_ = std::move(connection);
    return stream;
}

std::shared_ptr<QuicStream> QuicStream::client(Endpoint remote, QuicParameters parameters) {
    std::shared_ptr<QuicStream> stream(new QuicStream());
    stream->remote_ = std::move(remote);
    stream->maxQueuedSendBytes_ = parameters.maxQueuedSendBytes;
    stream->clientParameters_ = std::move(parameters);
    return stream;
}

void QuicStream::report(ConnectionState state, std::optional<TransportError> error) {
    toOwner([self = shared_from_this(), state, error = std::move(error)] {
        if (self->stateHandler_) self->stateHandler_(state, error);
    });
}

void QuicStream::start(std::shared_ptr<DispatchQueue> queue) {
    link_.start(std::move(queue), [self = shared_from_this()] { self->startOnIo(); });
}

void QuicStream::startOnIo() {
    if (ended_) {
        if (endedBeforeStart_) {
            report(ConnectionState::failed, endedBeforeStart_);
        } else {
            report(ConnectionState::cancelled, std::nullopt);
        }
        return;
    }
    if (!clientParameters_) {
        if (connection_->isClosed()) {
            finish(ConnectionState::failed, makeError(TransportError::Kind::reset, "QUIC connection closed"));
            return;
        }
        // The peer opened it on an established connection: usable at once.
        ready_ = true;
        report(ConnectionState::ready, std::nullopt);
        pumpReceive();
        return;
    }

    report(ConnectionState::preparing, std::nullopt);
    std::error_code ec;
    auto address = asio::ip::make_address(remote_.host, ec);
    if (ec) {
        finish(ConnectionState::failed,
               makeError(TransportError::Kind::invalidArgument, "Invalid address " + remote_.host, ec.value()));
        return;
    }
    asio::ip::udp::endpoint local(address.is_v4() ? asio::ip::udp::v4() : asio::ip::udp::v6(), 0);
    auto socket = QuicSocket::open(link_.io(), local, clientParameters_->serviceClass, ec);
    if (!socket) {
        finish(ConnectionState::failed, errorFrom(ec, false));
        return;
    }
    fd_ = socket->nativeHandle();
    std::weak_ptr<QuicStream> weak = weak_from_this();
    QuicConnectionEvents events;
    events.established = [weak] {
        auto self = weak.lock();
        if (!self || self->ended_) return;
        // Opening a stream re-enters ngtcp2; not from inside its handshake callback.
        self->link_.io().post([self] {
            if (!self->ended_) self->connection_->openStream(self);
        });
    };
    events.closed = [weak](const TransportError& error) {
        if (auto self = weak.lock()) self->onEnded(error);
    };
    TransportError error;
    connection_ = QuicConnection::connect(socket, *clientParameters_, asio::ip::udp::endpoint(address, remote_.port),
                                          std::move(events), error);
    if (!connection_) {
        finish(ConnectionState::failed, error);
        return;
    }
    socket->startReceiving([weakConnection = std::weak_ptr<QuicConnection>(connection_)](
                               const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size) {
        if (auto connection = weakConnection.lock()) connection->onPacket(from, data, size);
    });
    connection_->start();
}

void QuicStream::onEstablished() {
    if (ended_) return;
    ready_ = true;
    report(ConnectionState::ready, std::nullopt);
    pumpReceive();
}

void QuicStream::onData(const uint8_t* data, size_t size, bool fin) {
    if (ended_) return;
    inbox_.insert(inbox_.end(), data, data + size);
    if (fin) peerFinished_ = true;
    pumpReceive();
}

void QuicStream::receive(size_t minimum, size_t maximum, ReceiveCompletion completion) {
    maximum = std::max<size_t>(maximum, 1);
    minimum = std::clamp<size_t>(minimum, 1, maximum);
    link_.onIo([self = shared_from_this(), minimum, maximum, completion = std::move(completion)]() mutable {
        if (self->receive_ || self->ended_) {
            TransportError error = self->receive_ ? makeError(TransportError::Kind::invalidArgument,
                                                              "A receive is already pending")
                                                  : cancelledError();
            self->toOwner([completion = std::move(completion), error] { completion({}, false, error); });
            return;
        }
        self->receive_ = PendingReceive{minimum, maximum, std::move(completion)};
        self->pumpReceive();
    });
}

void QuicStream::pumpReceive() {
    if (!receive_ || !ready_ || ended_) return;
    const size_t available = inbox_.size() - inboxStart_;
    if (available < receive_->minimum && !peerFinished_) return;
    if (available == 0 && !peerFinished_) return;
    const size_t n = std::min(available, receive_->maximum);
    Bytes chunk;
    if (inboxStart_ == 0 && n == inbox_.size()) {
        chunk.swap(inbox_);  // everything goes: hand the buffer over instead of copying it
        inbox_.reserve(std::min<size_t>(chunk.capacity(), 1u << 20));
    } else {
        chunk.assign(inbox_.begin() + static_cast<std::ptrdiff_t>(inboxStart_),
                     inbox_.begin() + static_cast<std::ptrdiff_t>(inboxStart_ + n));
        inboxStart_ += n;
    }
    if (inboxStart_ == inbox_.size()) {
        inbox_.clear();
        inboxStart_ = 0;
    } else if (inboxStart_ > (1u << 20) && inboxStart_ * 2 > inbox_.size()) {
        inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(inboxStart_));
        inboxStart_ = 0;
    }
    const bool complete = peerFinished_ && inboxStart_ == inbox_.size();
    auto pending = std::move(*receive_);
    receive_.reset();
    toOwner([completion = std::move(pending.completion), chunk = std::move(chunk), complete]() mutable {
        completion(std::move(chunk), complete, std::nullopt);
    });
    // Handed to the owner: the peer may send that much more.
    if (n > 0) connection_->consumed(id_, n);
}

void QuicStream::send(Bytes content, SendCompletion completion) {
    link_.onIo([self = shared_from_this(), content = std::move(content), completion = std::move(completion)]() mutable {
        if (self->ended_) {
            if (completion) self->toOwner([completion = std::move(completion)] { completion(cancelledError()); });
            return;
        }
        if (content.empty()) {
            // Nothing to packetise: done once everything before it is.
            if (self->firstUncompleted_ == self->outgoing_.size()) {
                if (completion) self->toOwner([completion = std::move(completion)] { completion(std::nullopt); });
                return;
            }
        }
        const size_t unsent = static_cast<size_t>(self->queuedOffset_ - self->flushedOffset_);
        if (content.size() > self->maxQueuedSendBytes_ - std::min(unsent, self->maxQueuedSendBytes_)) {
            // The peer is not taking what we send: end the stream rather than hold more.
            const TransportError error = makeError(
                TransportError::Kind::overloaded,
                "More than " + std::to_string(self->maxQueuedSendBytes_) + " bytes waited unsent to " +
                    self->remote_.description(),
                ENOBUFS);
            // Queued without its bytes behind the others, so completions keep send order.
            self->outgoing_.push_back(Outgoing{Bytes{}, self->queuedOffset_, std::move(completion)});
            self->finish(ConnectionState::failed, error);
            if (self->connection_ && !self->clientParameters_) self->connection_->shutdownStream(self->id_);
            return;
        }
        self->queuedOffset_ += content.size();
        self->outgoing_.push_back(Outgoing{std::move(content), self->queuedOffset_, std::move(completion)});
        if (self->ready_) self->connection_->scheduleWrite();
    });
}

size_t QuicStream::gatherUnsent(ngtcp2_vec* vecs, size_t max) const {
    size_t count = 0;
    for (size_t i = firstUnsent_; i < outgoing_.size() && count < max; ++i) {
        const Outgoing& out = outgoing_[i];
        const uint64_t start = out.endOffset - out.content.size();
        const size_t skip = consumedOffset_ > start ? static_cast<size_t>(consumedOffset_ - start) : 0;
        if (skip >= out.content.size()) continue;
        vecs[count].base = const_cast<uint8_t*>(out.content.data() + skip);
        vecs[count].len = out.content.size() - skip;
        ++count;
    }
    return count;
}

void QuicStream::consumed(size_t bytes) {
    consumedOffset_ += bytes;
    while (firstUnsent_ < outgoing_.size() && outgoing_[firstUnsent_].endOffset <= consumedOffset_) ++firstUnsent_;
}

void QuicStream::flushed() {
    flushedOffset_ = consumedOffset_;
    // A message is done once its last byte left in a datagram; the bytes stay with us
    // until acknowledged, as ngtcp2 resends from them.
    while (firstUncompleted_ < outgoing_.size() && outgoing_[firstUncompleted_].endOffset <= flushedOffset_) {
        if (auto completion = std::move(outgoing_[firstUncompleted_].completion)) {
            toOwner([completion = std::move(completion)] { completion(std::nullopt); });
        }
        outgoing_[firstUncompleted_].completion = nullptr;
        ++firstUncompleted_;
    }
}

void QuicStream::onAcked(uint64_t offset) {
    while (!outgoing_.empty() && firstUncompleted_ > 0 && outgoing_.front().endOffset <= offset) {
        outgoing_.pop_front();
        --firstUncompleted_;
        if (firstUnsent_ > 0) --firstUnsent_;
    }
}

void QuicStream::onEnded(const TransportError& error) {
    if (ended_) return;
    if (!link_.started()) {
        // Reported when the owner starts it.
        ended_ = true;
        endedBeforeStart_ = error;
        return;
    }
    finish(error.kind == TransportError::Kind::cancelled ? ConnectionState::cancelled : ConnectionState::failed,
           error);
}

void QuicStream::finish(ConnectionState state, std::optional<TransportError> error) {
    if (ended_) return;
    ended_ = true;
    const TransportError ending = error ? *error : cancelledError();
    if (receive_) {
        auto pending = std::move(*receive_);
        receive_.reset();
        toOwner([completion = std::move(pending.completion), ending] { completion({}, false, ending); });
    }
    // Completions of bytes that never went: each once, in order, with the error. The bytes
    // themselves stay until the stream object goes, as ngtcp2 may still refer to them.
    while (firstUncompleted_ < outgoing_.size()) {
        if (auto completion = std::move(outgoing_[firstUncompleted_].completion)) {
            toOwner([completion = std::move(completion), ending] { completion(ending); });
        }
        outgoing_[firstUncompleted_].completion = nullptr;
        ++firstUncompleted_;
    }
    report(state, std::move(error));
    link_.release();
    if (clientParameters_ && connection_ && !connection_->isClosed()) {
        // The client's QUIC connection exists for this one stream: it goes with it. Posted,
        // since this may run inside one of ngtcp2's callbacks.
        link_.io().post([connection = connection_] { connection->close(cancelledError()); });
    }
}

void QuicStream::cancel() {
    auto run = [self = shared_from_this()] {
        const bool started = self->link_.started();
        if (self->ended_) {
            if (self->clientParameters_ && self->connection_) self->connection_->close(cancelledError());
            return;
        }
        if (started) {
            self->finish(ConnectionState::cancelled, std::nullopt);
        } else {
            self->ended_ = true;
        }
        if (!self->connection_) return;
        if (self->clientParameters_) {
            // The client's QUIC connection exists for this one stream.
            self->connection_->close(cancelledError());
        } else {
            self->connection_->shutdownStream(self->id_);
        }
    };
    link_.onIoWhenKnown(std::move(run));
}

bool QuicStream::setQuicKeepalive(double intervalSeconds) {
    link_.onIo([self = shared_from_this(), intervalSeconds] {
        if (self->connection_) self->connection_->setKeepalive(intervalSeconds);
    });
    return true;
}

}  // namespace df::transport
