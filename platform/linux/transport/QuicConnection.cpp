#include "platform/linux/transport/QuicConnection.h"

#include "platform/linux/transport/QuicStream.h"

#include <asio/post.hpp>
#include <gnutls/crypto.h>

#include <chrono>
#include <cstring>
#include <ctime>

namespace df::transport {

namespace {

// Windows sized for a video stream of tens of Mbit/s over a LAN with room to spare; the
// owner's pace of reading is what finally holds the peer back.
constexpr uint64_t kStreamWindow = 8 * 1024 * 1024;
constexpr uint64_t kConnectionWindow = 16 * 1024 * 1024;
constexpr uint64_t kMaxStreamsBidi = 8;
// 0.12 paces the first flight by the initial RTT (333 ms by default), far above a LAN's.
constexpr ngtcp2_duration kInitialRtt = 10 * NGTCP2_MILLISECONDS;
constexpr size_t kMaxPacketsPerWrite = 64;

ngtcp2_tstamp now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * NGTCP2_SECONDS + static_cast<uint64_t>(ts.tv_nsec);
}

std::string cidKey(const uint8_t* data, size_t size) { return std::string(reinterpret_cast<const char*>(data), size); }

QuicConnection* from(void* self) { return static_cast<QuicConnection*>(self); }

}  // namespace

QuicConnection::QuicConnection(std::shared_ptr<QuicSocket> socket, QuicParameters parameters,
                               const asio::ip::udp::endpoint& remote, QuicConnectionEvents events, bool server)
    : server_(server),
      parameters_(std::move(parameters)),
      socket_(std::move(socket)),
      remote_(remote),
      remoteEndpoint_{normalizedHost(remote.address().to_string()), remote.port()},
      events_(std::move(events)),
      timer_(socket_->io().context()) {
    ref_.get_conn = connOf;
    ref_.user_data = this;
}

QuicConnection::~QuicConnection() {
    if (conn_) ngtcp2_conn_del(conn_);
}

ngtcp2_conn* QuicConnection::connOf(ngtcp2_crypto_conn_ref* ref) {
    return static_cast<QuicConnection*>(ref->user_data)->conn_;
}

std::shared_ptr<QuicConnection> QuicConnection::accept(std::shared_ptr<QuicSocket> socket,
                                                       const QuicParameters& parameters, const ngtcp2_pkt_hd& hd,
                                                       const ngtcp2_cid& originalDcid,
                                                       const asio::ip::udp::endpoint& remote,
                                                       QuicConnectionEvents events, TransportError& error) {
    std::shared_ptr<QuicConnection> self(new QuicConnection(std::move(socket), parameters, remote, std::move(events), true));
    ngtcp2_cid scid;
    scid.datalen = kServerCidLength;
    if (gnutls_rnd(GNUTLS_RND_RANDOM, scid.data, scid.datalen) != 0) {
        error = makeError(TransportError::Kind::other, "No random source");
        return nullptr;
    }
    if (!self->setUp(hd.scid, scid, hd.version, &hd, &originalDcid, error)) return nullptr;
    // The client addresses us by the ID our Retry gave it until it learns this one.
    self->cids_.insert(cidKey(hd.dcid.data, hd.dcid.datalen));
    self->cids_.insert(cidKey(scid.data, scid.datalen));
    if (self->events_.cidChanged) {
        for (const auto& cid : self->cids_) self->events_.cidChanged(self, cid, true);
    }
    return self;
}

std::shared_ptr<QuicConnection> QuicConnection::connect(std::shared_ptr<QuicSocket> socket,
                                                        const QuicParameters& parameters,
                                                        const asio::ip::udp::endpoint& remote,
                                                        QuicConnectionEvents events, TransportError& error) {
    std::shared_ptr<QuicConnection> self(new QuicConnection(std::move(socket), parameters, remote, std::move(events), false));
    ngtcp2_cid dcid, scid;
    dcid.datalen = 18;
    scid.datalen = 18;
    if (gnutls_rnd(GNUTLS_RND_RANDOM, dcid.data, dcid.datalen) != 0 ||
        gnutls_rnd(GNUTLS_RND_RANDOM, scid.data, scid.datalen) != 0) {
        error = makeError(TransportError::Kind::other, "No random source");
        return nullptr;
    }
    if (!self->setUp(dcid, scid, NGTCP2_PROTO_VER_V1, nullptr, nullptr, error)) return nullptr;
    return self;
}

bool QuicConnection::setUp(const ngtcp2_cid& dcid, const ngtcp2_cid& scid, uint32_t version, const ngtcp2_pkt_hd* hd,
                           const ngtcp2_cid* originalDcid, TransportError& error) {
    try {
        tls_ = server_ ? QuicTlsSession::server(parameters_, &ref_) : QuicTlsSession::client(parameters_, &ref_);
    } catch (const TransportException& e) {
        error = e.error();
        return false;
    }
    ngtcp2_callbacks callbacks{};
    if (server_) {
        callbacks.recv_client_initial = ngtcp2_crypto_recv_client_initial_cb;
    } else {
        callbacks.client_initial = ngtcp2_crypto_client_initial_cb;
        callbacks.recv_retry = ngtcp2_crypto_recv_retry_cb;
        callbacks.extend_max_local_streams_bidi = moreLocalStreams;
    }
    callbacks.recv_crypto_data = ngtcp2_crypto_recv_crypto_data_cb;
    callbacks.encrypt = ngtcp2_crypto_encrypt_cb;
    callbacks.decrypt = ngtcp2_crypto_decrypt_cb;
    callbacks.hp_mask = ngtcp2_crypto_hp_mask_cb;
    callbacks.update_key = ngtcp2_crypto_update_key_cb;
    callbacks.delete_crypto_aead_ctx = ngtcp2_crypto_delete_crypto_aead_ctx_cb;
    callbacks.delete_crypto_cipher_ctx = ngtcp2_crypto_delete_crypto_cipher_ctx_cb;
    callbacks.get_path_challenge_data = ngtcp2_crypto_get_path_challenge_data_cb;
    callbacks.version_negotiation = ngtcp2_crypto_version_negotiation_cb;
    callbacks.rand = random;
    callbacks.get_new_connection_id = newConnectionId;
    callbacks.remove_connection_id = removeConnectionId;
    callbacks.handshake_completed = handshakeDone;
    callbacks.stream_open = streamOpened;
    callbacks.recv_stream_data = streamData;
    callbacks.acked_stream_data_offset = streamAcked;
    callbacks.stream_close = streamClosed;
    callbacks.stream_reset = streamReset;
    callbacks.stream_stop_sending = streamStopSending;
    callbacks.extend_max_stream_data = streamWritable;

    ngtcp2_settings settings;
    ngtcp2_settings_default(&settings);
    settings.initial_ts = now();
    settings.initial_rtt = kInitialRtt;
    settings.max_window = kConnectionWindow;
    settings.max_stream_window = kStreamWindow;

    ngtcp2_transport_params params;
    ngtcp2_transport_params_default(&params);
    params.max_idle_timeout = static_cast<ngtcp2_duration>(parameters_.idleTimeoutMs) * NGTCP2_MILLISECONDS;
    params.initial_max_data = kConnectionWindow;
    params.initial_max_stream_data_bidi_local = kStreamWindow;
    params.initial_max_stream_data_bidi_remote = kStreamWindow;
    params.initial_max_stream_data_uni = 0;
    params.initial_max_streams_uni = 0;
    params.initial_max_streams_bidi = server_ ? kMaxStreamsBidi : 0;
    if (hd) {
        // The client checks both IDs against what it saw, so a Retry cannot be spliced in.
        params.original_dcid = originalDcid ? *originalDcid : hd->dcid;
        if (originalDcid) {
            params.retry_scid = hd->dcid;
            params.retry_scid_present = 1;
            settings.token = hd->token;
        }
    }

    const auto& local = socket_->localEndpoint();
    ngtcp2_path path{};
    path.local.addr = const_cast<ngtcp2_sockaddr*>(reinterpret_cast<const ngtcp2_sockaddr*>(local.data()));
    path.local.addrlen = static_cast<ngtcp2_socklen>(local.size());
    path.remote.addr = const_cast<ngtcp2_sockaddr*>(reinterpret_cast<const ngtcp2_sockaddr*>(remote_.data()));
    path.remote.addrlen = static_cast<ngtcp2_socklen>(remote_.size());

    int rv = server_ ? ngtcp2_conn_server_new(&conn_, &dcid, &scid, &path, version, &callbacks, &settings, &params,
                                              nullptr, this)
                     : ngtcp2_conn_client_new(&conn_, &dcid, &scid, &path, version, &callbacks, &settings, &params,
                                              nullptr, this);
    if (rv != 0) {
        conn_ = nullptr;
        error = makeError(TransportError::Kind::other, std::string("QUIC: ") + ngtcp2_strerror(rv), rv);
        return false;
    }
    ngtcp2_conn_set_tls_native_handle(conn_, tls_->native());
    packet_.resize(65536);
    return true;
}

void QuicConnection::start() { write(); }

bool QuicConnection::handshakeCompleted() const { return conn_ && ngtcp2_conn_get_handshake_completed(conn_); }

// ---- packets in ----

void QuicConnection::onPacket(const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size) {
    if (closed_) return;
    auto self = shared_from_this();  // events may drop the last outside reference
    const auto& local = socket_->localEndpoint();
    ngtcp2_path path{};
    path.local.addr = const_cast<ngtcp2_sockaddr*>(reinterpret_cast<const ngtcp2_sockaddr*>(local.data()));
    path.local.addrlen = static_cast<ngtcp2_socklen>(local.size());
    path.remote.addr = const_cast<ngtcp2_sockaddr*>(reinterpret_cast<const ngtcp2_sockaddr*>(from.data()));
    path.remote.addrlen = static_cast<ngtcp2_socklen>(from.size());
    ngtcp2_pkt_info info{};
    int rv = ngtcp2_conn_read_pkt(conn_, &path, &info, data, size, now());
    if (rv != 0) {
        handleError(rv);
        return;
    }
    // One write after the whole run of datagrams the socket read at once, not one per
    // datagram: ACKs for a burst go out together.
    scheduleWrite();
}

// ---- packets out ----

void QuicConnection::scheduleWrite() {
    if (writeScheduled_ || closed_) return;
    writeScheduled_ = true;
    socket_->io().post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) return;
        self->writeScheduled_ = false;
        if (self->closed_) return;
        self->applyExtensions();
        self->write();
    });
}

void QuicConnection::consumed(int64_t streamId, size_t bytes) {
    if (closed_ || bytes == 0) return;
    pendingExtensions_[streamId] += bytes;
    scheduleWrite();
}

void QuicConnection::applyExtensions() {
    for (auto [id, bytes] : pendingExtensions_) {
        ngtcp2_conn_extend_max_stream_offset(conn_, id, bytes);
        ngtcp2_conn_extend_max_offset(conn_, bytes);
    }
    pendingExtensions_.clear();
}

std::shared_ptr<QuicStream> QuicConnection::nextStreamWithData() {
    // Round robin from the stream after the last one served, so one busy stream cannot
    // starve another.
    if (streams_.empty()) return nullptr;
    auto it = streams_.upper_bound(lastStream_);
    for (size_t i = 0; i < streams_.size(); ++i, ++it) {
        if (it == streams_.end()) it = streams_.begin();
        if (it->second->hasUnsent()) {
            lastStream_ = it->first;
            return it->second;
        }
    }
    return nullptr;
}

bool QuicConnection::sendBatch(size_t size, size_t segment) {
    if (socket_->sendBatch(remote_, packet_.data(), size, segment)) return true;
    blockedPacket_.assign(packet_.data(), packet_.data() + size);
    blockedSegment_ = segment;
    blocked_ = true;
    socket_->whenWritable([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->resumeAfterBlock();
    });
    return false;
}

void QuicConnection::resumeAfterBlock() {
    if (closed_ || !blocked_) return;
    if (!socket_->sendBatch(remote_, blockedPacket_.data(), blockedPacket_.size(), blockedSegment_)) {
        socket_->whenWritable([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->resumeAfterBlock();
        });
        return;
    }
    blocked_ = false;
    blockedPacket_.clear();
    flushTouched();
    write();
}

void QuicConnection::flushTouched() {
    for (auto& stream : touched_) stream->flushed();
    touched_.clear();
}

void QuicConnection::write() {
    if (closed_ || blocked_) return;
    auto self = shared_from_this();
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    const ngtcp2_tstamp ts = now();
    const size_t maxPacket = ngtcp2_conn_get_max_tx_udp_payload_size(conn_);
    const size_t quantum = std::max<size_t>(ngtcp2_conn_get_send_quantum(conn_) / maxPacket, 1);
    const size_t maxPackets = std::min(kMaxPacketsPerWrite, quantum);
    if (packet_.size() < maxPacket * kMaxPacketsPerWrite) packet_.resize(maxPacket * kMaxPacketsPerWrite);
    // Packets of one size are gathered into a batch that leaves in one system call (GSO);
    // a shorter packet ends a batch. Their streams' send completions fire once it has gone.
    size_t batched = 0;   // bytes in packet_
    size_t segment = 0;   // size of the batch's packets
    size_t packets = 0;
    auto flush = [&]() -> bool {
        if (batched == 0) return true;
        const bool sent = sendBatch(batched, segment);
        batched = 0;
        if (sent) flushTouched();
        return sent;
    };
    for (;;) {
        std::shared_ptr<QuicStream> stream = nextStreamWithData();
        ngtcp2_vec vecs[16];
        size_t count = 0;
        int64_t streamId = -1;
        if (stream) {
            count = stream->gatherUnsent(vecs, 16);
            streamId = stream->id();
        }
        ngtcp2_ssize accepted = -1;
        ngtcp2_ssize n = ngtcp2_conn_writev_stream(conn_, &ps.path, &info, packet_.data() + batched, maxPacket,
                                                   &accepted, NGTCP2_WRITE_STREAM_FLAG_MORE, streamId, vecs, count, ts);
        if (n < 0) {
            if (n == NGTCP2_ERR_WRITE_MORE) {
                stream->consumed(static_cast<size_t>(accepted));
                touched_.push_back(stream);
                continue;
            }
            if (n == NGTCP2_ERR_STREAM_DATA_BLOCKED) {
                stream->onBlocked();
                continue;
            }
            if (n == NGTCP2_ERR_STREAM_SHUT_WR || n == NGTCP2_ERR_STREAM_NOT_FOUND) {
                // The stream is being reset; its bytes will never go.
                stream->onEnded(makeError(TransportError::Kind::reset, "QUIC stream closed"));
                continue;
            }
            if (!flush()) return;
            handleError(static_cast<int>(n));
            return;
        }
        if (stream && accepted >= 0) {
            stream->consumed(static_cast<size_t>(accepted));
            touched_.push_back(stream);
        }
        if (n == 0) {
            flush();
            ngtcp2_conn_update_pkt_tx_time(conn_, ts);
            break;
        }
        const size_t size = static_cast<size_t>(n);
        bool ended = false;
        if (batched == 0) {
            segment = size;
            batched = size;
        } else if (size == segment) {
            batched += size;
        } else if (size < segment) {
            batched += size;  // a shorter last segment is allowed; it closes the batch
            ended = true;
        } else {
            // Larger than the batch's packets: send the batch, start a new one with this.
            const size_t start = batched;
            const bool sent = socket_->sendBatch(remote_, packet_.data(), start, segment);
            if (!sent) {
                // Keep only what was batched; this packet goes after the wait.
                blockedPacket_.assign(packet_.data(), packet_.data() + start);
                blockedPacket_.insert(blockedPacket_.end(), packet_.data() + start, packet_.data() + start + size);
                blockedSegment_ = segment;
                blocked_ = true;
                socket_->whenWritable([weak = weak_from_this()] {
                    if (auto self = weak.lock()) self->resumeAfterBlock();
                });
                ngtcp2_conn_update_pkt_tx_time(conn_, ts);
                return;
            }
            std::memmove(packet_.data(), packet_.data() + start, size);
            segment = size;
            batched = size;
        }
        ++packets;
        if (ended || packets % kMaxPacketsPerWrite == 0) {
            if (!flush()) {
                ngtcp2_conn_update_pkt_tx_time(conn_, ts);
                return;
            }
        }
        if (packets >= maxPackets) {
            // One send quantum per turn, so received ACKs and other connections get their
            // turn; then carry on at once (pacing, if any, makes writev_stream return 0).
            if (!flush()) {
                ngtcp2_conn_update_pkt_tx_time(conn_, ts);
                return;
            }
            ngtcp2_conn_update_pkt_tx_time(conn_, ts);
            scheduleWrite();
            break;
        }
    }
    scheduleTimer();
}

// ---- timers ----

void QuicConnection::scheduleTimer() {
    if (closed_) return;
    const ngtcp2_tstamp expiry = ngtcp2_conn_get_expiry(conn_);
    // Re-arming costs a system call per packet; a timer already due earlier stays, fires
    // early, and arms the right time then.
    if (armedExpiry_ != 0 && expiry >= armedExpiry_) return;
    if (expiry == UINT64_MAX) return;
    armedExpiry_ = expiry;
    // asio's steady clock is CLOCK_MONOTONIC, the clock of ngtcp2's timestamps here.
    timer_.expires_at(std::chrono::steady_clock::time_point(std::chrono::nanoseconds(expiry)));
    timer_.async_wait([weak = weak_from_this()](const std::error_code& ec) {
        if (ec) return;
        if (auto self = weak.lock()) {
            self->armedExpiry_ = 0;
            self->onTimer();
        }
    });
}

void QuicConnection::onTimer() {
    if (closed_) return;
    auto self = shared_from_this();
    int rv = ngtcp2_conn_handle_expiry(conn_, now());
    if (rv != 0) {
        handleError(rv);
        return;
    }
    write();
}

void QuicConnection::setKeepalive(double intervalSeconds) {
    if (closed_) return;
    ngtcp2_conn_set_keep_alive_timeout(
        conn_, intervalSeconds > 0 ? static_cast<ngtcp2_duration>(intervalSeconds * NGTCP2_SECONDS) : UINT64_MAX);
    scheduleTimer();
}

// ---- streams ----

void QuicConnection::openStream(const std::shared_ptr<QuicStream>& stream) {
    if (closed_) return;
    int64_t id = -1;
    int rv = ngtcp2_conn_open_bidi_stream(conn_, &id, stream.get());
    if (rv == NGTCP2_ERR_STREAM_ID_BLOCKED) {
        waitingForStreamId_.push_back(stream);
        return;
    }
    if (rv != 0) {
        stream->onEnded(makeError(TransportError::Kind::other, std::string("QUIC: ") + ngtcp2_strerror(rv), rv));
        return;
    }
    stream->assignId(id);
    streams_[id] = stream;
    stream->onEstablished();
    scheduleWrite();
}

void QuicConnection::shutdownStream(int64_t streamId) {
    if (closed_ || streamId < 0) return;
    ngtcp2_conn_shutdown_stream(conn_, streamId, 0);
    scheduleWrite();
}

// ---- closing ----

TransportError QuicConnection::peerCloseError() const {
    ngtcp2_connection_close_error ccerr;
    ngtcp2_conn_get_connection_close_error(conn_, &ccerr);
    const bool tlsAlert = ccerr.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_TRANSPORT &&
                          (ccerr.error_code & ~uint64_t{0xff}) == NGTCP2_CRYPTO_ERROR;
    if (tlsAlert && !handshakeCompleted()) {
        return makeError(TransportError::Kind::handshake,
                         "QUIC handshake failed: TLS alert " + std::to_string(ccerr.error_code & 0xff),
                         static_cast<int>(ccerr.error_code));
    }
    if (ccerr.type == NGTCP2_CONNECTION_CLOSE_ERROR_CODE_TYPE_APPLICATION && ccerr.error_code == 0) {
        return makeError(TransportError::Kind::reset, "QUIC connection closed by the peer");
    }
    return makeError(TransportError::Kind::reset,
                     "QUIC connection closed by the peer (code " + std::to_string(ccerr.error_code) + ")",
                     static_cast<int>(ccerr.error_code));
}

void QuicConnection::handleError(int liberr) {
    if (closed_) return;
    auto self = shared_from_this();
    if (liberr == NGTCP2_ERR_DRAINING) {
        teardown(peerCloseError());
        return;
    }
    if (liberr == NGTCP2_ERR_IDLE_CLOSE) {
        teardown(makeError(TransportError::Kind::timedOut, "QUIC connection timed out (idle)", liberr));
        return;
    }
    if (liberr == NGTCP2_ERR_DROP_CONN || liberr == NGTCP2_ERR_HANDSHAKE_TIMEOUT) {
        teardown(makeError(TransportError::Kind::timedOut, std::string("QUIC: ") + ngtcp2_strerror(liberr), liberr));
        return;
    }
    ngtcp2_connection_close_error ccerr;
    TransportError error;
    if (liberr == NGTCP2_ERR_CRYPTO) {
        const uint8_t alert = ngtcp2_conn_get_tls_alert(conn_);
        ngtcp2_connection_close_error_set_transport_error_tls_alert(&ccerr, alert, nullptr, 0);
        error = makeError(handshakeCompleted() ? TransportError::Kind::protocol : TransportError::Kind::handshake,
                          "QUIC handshake failed: TLS alert " + std::to_string(alert), liberr);
    } else {
        ngtcp2_connection_close_error_set_transport_error_liberr(&ccerr, liberr, nullptr, 0);
        error = makeError(handshakeCompleted() ? TransportError::Kind::protocol : TransportError::Kind::handshake,
                          std::string("QUIC: ") + ngtcp2_strerror(liberr), liberr);
    }
    sendConnectionClose(ccerr);
    teardown(error);
}

void QuicConnection::sendConnectionClose(const ngtcp2_connection_close_error& ccerr) {
    if (ngtcp2_conn_is_in_closing_period(conn_) || ngtcp2_conn_is_in_draining_period(conn_)) return;
    ngtcp2_path_storage ps;
    ngtcp2_path_storage_zero(&ps);
    ngtcp2_pkt_info info{};
    ngtcp2_ssize n = ngtcp2_conn_write_connection_close(conn_, &ps.path, &info, packet_.data(), packet_.size(),
                                                        &ccerr, now());
    if (n > 0) (void)socket_->send(remote_, packet_.data(), static_cast<size_t>(n));
}

void QuicConnection::close(const TransportError& reason) {
    if (closed_) return;
    auto self = shared_from_this();
    ngtcp2_connection_close_error ccerr;
    ngtcp2_connection_close_error_set_application_error(&ccerr, 0, nullptr, 0);
    sendConnectionClose(ccerr);
    teardown(reason);
}

void QuicConnection::teardown(const TransportError& error) {
    if (closed_) return;
    auto self = shared_from_this();
    closed_ = true;
    timer_.cancel();
    if (error.isHandshake() && !handshakeFailureReported_ && events_.handshakeFailed) {
        handshakeFailureReported_ = true;
        events_.handshakeFailed(remoteEndpoint_, error);
    }
    auto streams = std::move(streams_);
    streams_.clear();
    auto waiting = std::move(waitingForStreamId_);
    waitingForStreamId_.clear();
    touched_.clear();
    for (auto& [id, stream] : streams) stream->onEnded(error);
    for (auto& stream : waiting) stream->onEnded(error);
    if (events_.cidChanged) {
        for (const auto& cid : cids_) events_.cidChanged(self, cid, false);
    }
    cids_.clear();
    if (events_.closed) events_.closed(error);
    events_ = {};
}

// ---- ngtcp2 callbacks (inside read_pkt / writev_stream / handle_expiry) ----

void QuicConnection::random(uint8_t* dest, size_t destlen, const ngtcp2_rand_ctx*) {
    (void)gnutls_rnd(GNUTLS_RND_RANDOM, dest, destlen);
}

int QuicConnection::newConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t cidlen, void* self) {
    if (gnutls_rnd(GNUTLS_RND_RANDOM, cid->data, cidlen) != 0 ||
        gnutls_rnd(GNUTLS_RND_RANDOM, token, NGTCP2_STATELESS_RESET_TOKENLEN) != 0) {
        return NGTCP2_ERR_CALLBACK_FAILURE;
    }
    cid->datalen = cidlen;
    auto* connection = from(self);
    // Every ID we issue must route to this connection until it is retired.
    std::string key = cidKey(cid->data, cidlen);
    connection->cids_.insert(key);
    if (connection->events_.cidChanged) connection->events_.cidChanged(connection->shared_from_this(), key, true);
    return 0;
}

int QuicConnection::removeConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* self) {
    auto* connection = from(self);
    std::string key = cidKey(cid->data, cid->datalen);
    if (connection->cids_.erase(key) && connection->events_.cidChanged) {
        connection->events_.cidChanged(connection->shared_from_this(), key, false);
    }
    return 0;
}

int QuicConnection::handshakeDone(ngtcp2_conn*, void* self) {
    auto* connection = from(self);
    if (!connection->server_ && connection->events_.established) connection->events_.established();
    return 0;
}

int QuicConnection::moreLocalStreams(ngtcp2_conn*, uint64_t, void* self) {
    auto* connection = from(self);
    if (connection->waitingForStreamId_.empty()) return 0;
    auto waiting = std::move(connection->waitingForStreamId_);
    connection->waitingForStreamId_.clear();
    // Opening streams re-enters ngtcp2; do it after this callback returns.
    connection->socket_->io().post([weak = connection->weak_from_this(), waiting] {
        auto c = weak.lock();
        if (!c) return;
        for (const auto& stream : waiting) c->openStream(stream);
    });
    return 0;
}

int QuicConnection::streamOpened(ngtcp2_conn*, int64_t streamId, void* self) {
    auto* connection = from(self);
    // Only bidirectional streams the client opened carry media (ID bits 0b00).
    if (!connection->server_ || (streamId & 0x3) != 0) return 0;
    auto stream = QuicStream::accepted(connection->shared_from_this(), streamId);
    ngtcp2_conn_set_stream_user_data(connection->conn_, streamId, stream.get());
    connection->streams_[streamId] = stream;
    if (connection->events_.newStream) connection->events_.newStream(stream);
    return 0;
}

int QuicConnection::streamData(ngtcp2_conn*, uint32_t flags, int64_t streamId, uint64_t, const uint8_t* data,
                               size_t size, void* self, void*) {
    auto* connection = from(self);
    auto it = connection->streams_.find(streamId);
    if (it == connection->streams_.end()) {
        // Nobody reads this stream any more; keep the connection's window open.
        connection->pendingExtensions_[streamId] += size;
        connection->scheduleWrite();
        return 0;
    }
    it->second->onData(data, size, (flags & NGTCP2_STREAM_DATA_FLAG_FIN) != 0);
    return 0;
}

int QuicConnection::streamAcked(ngtcp2_conn*, int64_t streamId, uint64_t offset, uint64_t length, void* self,
                                void*) {
    auto* connection = from(self);
    auto it = connection->streams_.find(streamId);
    if (it != connection->streams_.end()) it->second->onAcked(offset + length);
    return 0;
}

int QuicConnection::streamClosed(ngtcp2_conn*, uint32_t, int64_t streamId, uint64_t, void* self, void*) {
    auto* connection = from(self);
    auto it = connection->streams_.find(streamId);
    if (it != connection->streams_.end()) {
        auto stream = it->second;
        connection->streams_.erase(it);
        stream->onEnded(makeError(TransportError::Kind::reset, "QUIC stream closed by the peer"));
    }
    // Let the phone open a new media stream later on the same connection.
    if (connection->server_ && (streamId & 0x3) == 0) ngtcp2_conn_extend_max_streams_bidi(connection->conn_, 1);
    return 0;
}

int QuicConnection::streamReset(ngtcp2_conn*, int64_t streamId, uint64_t, uint64_t, void* self, void*) {
    auto* connection = from(self);
    auto it = connection->streams_.find(streamId);
    if (it != connection->streams_.end()) {
        it->second->onEnded(makeError(TransportError::Kind::reset, "QUIC stream reset by the peer"));
    }
    return 0;
}

int QuicConnection::streamStopSending(ngtcp2_conn*, int64_t streamId, uint64_t, void* self, void*) {
    return streamReset(nullptr, streamId, 0, 0, self, nullptr);
}

int QuicConnection::streamWritable(ngtcp2_conn*, int64_t streamId, uint64_t, void* self, void*) {
    auto* connection = from(self);
    auto it = connection->streams_.find(streamId);
    if (it != connection->streams_.end()) it->second->onWritable();
    return 0;
}

}  // namespace df::transport
