#include "platform/linux/transport/QuicListener.h"

#include "platform/linux/transport/QuicStream.h"

#include <asio/dispatch.hpp>
#include <gnutls/crypto.h>

#include <ctime>

namespace df::transport {

namespace {
// A phone needs one connection; this bounds what unauthenticated peers can make us hold.
// When it is reached, a validated newcomer takes the place of the oldest handshake still
// unfinished: a phone completes its handshake in a round trip, so peers that leave theirs
// half-open cannot keep it out.
constexpr size_t kMaxConnections = 64;
// A Retry token is answered within a round trip; ten seconds leaves room for a slow radio
// and little for a replay.
constexpr ngtcp2_duration kRetryTokenLifetime = 10 * NGTCP2_SECONDS;

ngtcp2_tstamp now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NGTCP2_SECONDS + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

std::shared_ptr<QuicListener> QuicListener::make(const QuicParameters& parameters, uint16_t port,
                                                 std::string bindHost) {
    if (parameters.alpn.empty() || parameters.psk.key.empty() || parameters.psk.identity.empty()) {
        TransportError error;
        error.kind = TransportError::Kind::invalidArgument;
        error.description = "QUIC needs an application protocol and a pre-shared key";
        throw TransportException(std::move(error));
    }
    std::shared_ptr<QuicListener> listener(new QuicListener(parameters, port, std::move(bindHost)));
    if (gnutls_rnd(GNUTLS_RND_KEY, listener->tokenSecret_.data(), listener->tokenSecret_.size()) != 0) {
        throw TransportException(makeError(TransportError::Kind::other, "No random source for QUIC address validation"));
    }
    return listener;
}

std::optional<uint16_t> QuicListener::port() const {
    int port = boundPort_.load();
    if (port < 0) return std::nullopt;
    return static_cast<uint16_t>(port);
}

void QuicListener::report(ListenerState state, std::optional<TransportError> error) {
    toOwner([self = shared_from_this(), state, error = std::move(error)] {
        if (self->stateHandler_) self->stateHandler_(state, error);
    });
}

void QuicListener::toOwner(std::function<void()> task) const {
    if (queue_) {
        queue_->post(std::move(task));
    } else if (auto queue = weakQueue_.lock()) {
        queue->post(std::move(task));
    }
}

void QuicListener::releaseQueue() {
    weakQueue_ = queue_;
    queue_.reset();
}

void QuicListener::start(std::shared_ptr<DispatchQueue> queue) {
    if (started_.exchange(true)) return;
    queue_ = std::move(queue);
    io_ = bindingFor(queue_);
    io_->dispatch([self = shared_from_this()] { self->bindOnIo(); });
}

void QuicListener::bindOnIo() {
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
    socket_ = QuicSocket::open(*io_, asio::ip::udp::endpoint(address, requestedPort_), parameters_.serviceClass, ec);
    if (!socket_ && bindHost_.empty() && ec == asio::error::address_family_not_supported) {
        // A host without IPv6: every IPv4 address instead.
        socket_ = QuicSocket::open(*io_, asio::ip::udp::endpoint(asio::ip::udp::v4(), requestedPort_),
                                   parameters_.serviceClass, ec);
    }
    if (!socket_) {
        ended_ = true;
        report(ListenerState::failed, errorFrom(ec, false));
        releaseQueue();
        return;
    }
    boundPort_ = socket_->localEndpoint().port();
    socket_->startReceiving([weak = weak_from_this()](const asio::ip::udp::endpoint& from, const uint8_t* data,
                                                      size_t size) {
        if (auto self = weak.lock()) self->onPacket(from, data, size);
    });
    report(ListenerState::ready, std::nullopt);
}

void QuicListener::onPacket(const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size) {
    if (ended_) return;
    ngtcp2_version_cid vc;
    if (ngtcp2_pkt_decode_version_cid(&vc, data, size, QuicConnection::kServerCidLength) != 0) return;
    auto it = byCid_.find(std::string(reinterpret_cast<const char*>(vc.dcid), vc.dcidlen));
    if (it != byCid_.end()) {
        auto connection = it->second;
        connection->onPacket(from, data, size);
        return;
    }
    ngtcp2_pkt_hd hd;
    if (ngtcp2_accept(&hd, data, size) != 0) return;  // not a client's first Initial
    if (hd.type != NGTCP2_PKT_INITIAL) return;       // 0-RTT ahead of its Initial: we take none
    // Nothing of a handshake happens for an address that has not shown it receives our
    // datagrams: its first Initial only gets a Retry, stateless. A forged source address
    // never sees that token, so it never reaches TLS, the admission filter or the
    // handshake-failure report that feeds the lock-out.
    ngtcp2_cid originalDcid;
    if (!validatedAddress(from, hd, originalDcid)) {
        if (hd.token.len == 0 || hd.token.base[0] != NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) sendRetry(from, hd);
        return;  // a bad or stale Retry token is dropped: answering it would serve a forger
    }
    if (admission_ && !admission_(Endpoint{normalizedHost(from.address().to_string()), from.port()})) return;
    if (!makeRoom()) return;

    std::weak_ptr<QuicListener> weak = weak_from_this();
    QuicConnectionEvents events;
    events.newStream = [weak](std::shared_ptr<QuicStream> stream) {
        auto self = weak.lock();
        if (!self) return;
        self->toOwner([self, stream] {
            if (self->newConnection_) {
                self->newConnection_(stream);
            } else {
                stream->cancel();
            }
        });
    };
    events.handshakeFailed = [weak](const Endpoint& remote, const TransportError& error) {
        auto self = weak.lock();
        if (!self) return;
        self->toOwner([self, remote, error] {
            if (self->handshakeFailure_) self->handshakeFailure_(remote, error);
        });
    };
    events.cidChanged = [weak](const std::shared_ptr<QuicConnection>& connection, const std::string& cid, bool added) {
        auto self = weak.lock();
        if (!self) return;
        if (added) {
            self->byCid_[cid] = connection;
        } else {
            auto found = self->byCid_.find(cid);
            if (found != self->byCid_.end() && found->second == connection) self->byCid_.erase(found);
        }
    };
    TransportError error;
    auto connection = QuicConnection::accept(socket_, parameters_, hd, originalDcid, from, std::move(events), error);
    if (!connection) return;
    QuicConnection* key = connection.get();
    connections_[key] = connection;
    // Ended and established ones leave the front of the line, so it stays short.
    while (!arrivals_.empty()) {
        auto front = arrivals_.front().lock();
        if (front && !front->isClosed() && !front->handshakeCompleted()) break;
        arrivals_.pop_front();
    }
    arrivals_.push_back(connection);
    // Registered after creation: `closed` may run while the connection is being set up.
    std::weak_ptr<QuicListener> weakListener = weak_from_this();
    connection->onPacket(from, data, size);
    if (connection->isClosed()) {
        connections_.erase(key);
    } else {
        connection->setClosedHandler([weakListener, key](const TransportError&) {
            if (auto self = weakListener.lock()) self->connections_.erase(key);
        });
    }
}

bool QuicListener::makeRoom() {
    while (connections_.size() >= kMaxConnections && !arrivals_.empty()) {
        auto oldest = arrivals_.front().lock();
        arrivals_.pop_front();
        // Established connections are never displaced; they leave the line for good.
        if (!oldest || oldest->isClosed() || oldest->handshakeCompleted()) continue;
        // Not a failed handshake of that peer: no report, it was only slow.
        oldest->close(makeError(TransportError::Kind::cancelled, "QUIC handshake unfinished, its place taken"));
    }
    return connections_.size() < kMaxConnections;
}

bool QuicListener::validatedAddress(const asio::ip::udp::endpoint& from, const ngtcp2_pkt_hd& hd,
                                    ngtcp2_cid& originalDcid) const {
    if (hd.token.len == 0 || hd.token.base[0] != NGTCP2_CRYPTO_TOKEN_MAGIC_RETRY) return false;
    return ngtcp2_crypto_verify_retry_token(&originalDcid, hd.token.base, hd.token.len, tokenSecret_.data(),
                                            tokenSecret_.size(), hd.version,
                                            reinterpret_cast<const ngtcp2_sockaddr*>(from.data()),
                                            static_cast<ngtcp2_socklen>(from.size()), &hd.dcid,
                                            kRetryTokenLifetime, now()) == 0;
}

void QuicListener::sendRetry(const asio::ip::udp::endpoint& from, const ngtcp2_pkt_hd& hd) {
    ngtcp2_cid retryScid;
    retryScid.datalen = QuicConnection::kServerCidLength;
    if (gnutls_rnd(GNUTLS_RND_NONCE, retryScid.data, retryScid.datalen) != 0) return;
    uint8_t token[NGTCP2_CRYPTO_MAX_RETRY_TOKENLEN];
    const ngtcp2_ssize tokenLength = ngtcp2_crypto_generate_retry_token(
        token, tokenSecret_.data(), tokenSecret_.size(), hd.version, reinterpret_cast<const ngtcp2_sockaddr*>(from.data()),
        static_cast<ngtcp2_socklen>(from.size()), &retryScid, &hd.dcid, now());
    if (tokenLength < 0) return;
    // Smaller than the padded Initial it answers, so it amplifies nothing.
    uint8_t packet[256];
    const ngtcp2_ssize n = ngtcp2_crypto_write_retry(packet, sizeof packet, hd.version, &hd.scid, &retryScid, &hd.dcid,
                                                     token, static_cast<size_t>(tokenLength));
    if (n > 0) (void)socket_->send(from, packet, static_cast<size_t>(n));
}

void QuicListener::cancel() {
    if (!started_.exchange(true)) return;
    io_->dispatch([self = shared_from_this()] {
        if (self->ended_) return;
        self->ended_ = true;
        auto connections = std::move(self->connections_);
        self->connections_.clear();
        for (auto& [key, connection] : connections) {
            connection->close(makeError(TransportError::Kind::cancelled, "QUIC listener cancelled"));
        }
        self->byCid_.clear();
        self->arrivals_.clear();
        if (self->socket_) self->socket_->close();
        self->boundPort_ = -1;
        self->report(ListenerState::cancelled, std::nullopt);
        self->releaseQueue();
    });
}

}  // namespace df::transport
