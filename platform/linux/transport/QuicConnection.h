#pragma once
// One QUIC connection (ngtcp2 + GnuTLS), server or client side, and the table of its
// streams. Everything here runs on the io thread of its socket's binding; ngtcp2 is never
// re-entered from its own callbacks (work they cause is posted to the io thread).

#include "platform/Transport.h"
#include "platform/linux/transport/QuicSocket.h"
#include "platform/linux/transport/QuicTls.h"

#include <asio/steady_timer.hpp>
#include <ngtcp2/ngtcp2.h>
#include <ngtcp2/ngtcp2_crypto.h>

#include <map>
#include <set>
#include <string>

namespace df::transport {

class QuicStream;
class QuicConnection;

/// What a connection tells whoever routes its packets (the listener, or the client stream).
struct QuicConnectionEvents {
    /// Server: the peer opened a bidirectional stream.
    std::function<void(std::shared_ptr<QuicStream>)> newStream;
    /// The TLS handshake failed (a wrong key or ALPN), before the connection closes.
    std::function<void(const Endpoint&, const TransportError&)> handshakeFailed;
    /// Client: the handshake completed.
    std::function<void()> established;
    /// A connection ID this side issued starts or stops being valid.
    std::function<void(const std::shared_ptr<QuicConnection>&, const std::string& cid, bool added)> cidChanged;
    /// The connection is gone (idle, closed by either side, fatal error).
    std::function<void(const TransportError&)> closed;
};

class QuicConnection final : public std::enable_shared_from_this<QuicConnection> {
public:
    /// Length of every connection ID the server issues, so short headers can be routed.
    static constexpr size_t kServerCidLength = 18;

    /// Server side, for a client's Initial packet `hd` from `remote` that carried a valid
    /// Retry token; `originalDcid` is the connection ID of the Initial the Retry answered.
    /// Null when ngtcp2 refuses; `error` says why.
    static std::shared_ptr<QuicConnection> accept(std::shared_ptr<QuicSocket> socket, const QuicParameters& parameters,
                                                  const ngtcp2_pkt_hd& hd, const ngtcp2_cid& originalDcid,
                                                  const asio::ip::udp::endpoint& remote,
                                                  QuicConnectionEvents events, TransportError& error);
    /// Client side; the first flight is sent by start().
    static std::shared_ptr<QuicConnection> connect(std::shared_ptr<QuicSocket> socket, const QuicParameters& parameters,
                                                   const asio::ip::udp::endpoint& remote, QuicConnectionEvents events,
                                                   TransportError& error);
    ~QuicConnection();

    QuicConnection(const QuicConnection&) = delete;
    QuicConnection& operator=(const QuicConnection&) = delete;

    // io thread
    void start();
    void onPacket(const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size);
    /// Client: opens a bidirectional stream for `stream` (now, or once the peer allows one).
    void openStream(const std::shared_ptr<QuicStream>& stream);
    /// Ends a stream in both directions (RESET_STREAM and STOP_SENDING).
    void shutdownStream(int64_t streamId);
    /// The owner took `bytes` of a stream: let the peer send that much more.
    void consumed(int64_t streamId, size_t bytes);
    /// Sends what is pending, soon (coalesces calls made in one io turn).
    void scheduleWrite();
    void setKeepalive(double intervalSeconds);
    /// Replaces the `closed` event (the listener drops its reference there).
    void setClosedHandler(std::function<void(const TransportError&)> handler) { events_.closed = std::move(handler); }
    /// Closes with CONNECTION_CLOSE (application code 0) and ends every stream.
    void close(const TransportError& reason);

    bool isClosed() const { return closed_; }
    bool handshakeCompleted() const;
    const Endpoint& remoteEndpoint() const { return remoteEndpoint_; }
    const QuicParameters& parameters() const { return parameters_; }
    int nativeHandle() const { return socket_->nativeHandle(); }
    const std::shared_ptr<QuicSocket>& socket() const { return socket_; }

private:
    QuicConnection(std::shared_ptr<QuicSocket> socket, QuicParameters parameters,
                   const asio::ip::udp::endpoint& remote, QuicConnectionEvents events, bool server);
    bool setUp(const ngtcp2_cid& dcid, const ngtcp2_cid& scid, uint32_t version, const ngtcp2_pkt_hd* hd,
               const ngtcp2_cid* originalDcid, TransportError& error);

    void write();
    /// Sends the first `size` bytes of packet_ as datagrams of `segment` bytes.
    bool sendBatch(size_t size, size_t segment);
    void resumeAfterBlock();
    void flushTouched();
    std::shared_ptr<QuicStream> nextStreamWithData();
    void scheduleTimer();
    void onTimer();
    /// Fails the connection because ngtcp2 reported `liberr`.
    void handleError(int liberr);
    void sendConnectionClose(const ngtcp2_connection_close_error& ccerr);
    void teardown(const TransportError& error);
    TransportError peerCloseError() const;
    void applyExtensions();

    // ngtcp2 callbacks
    static ngtcp2_conn* connOf(ngtcp2_crypto_conn_ref* ref);
    static void random(uint8_t* dest, size_t destlen, const ngtcp2_rand_ctx*);
    static int newConnectionId(ngtcp2_conn*, ngtcp2_cid* cid, uint8_t* token, size_t cidlen, void* self);
    static int removeConnectionId(ngtcp2_conn*, const ngtcp2_cid* cid, void* self);
    static int handshakeDone(ngtcp2_conn*, void* self);
    static int streamOpened(ngtcp2_conn*, int64_t streamId, void* self);
    static int streamData(ngtcp2_conn*, uint32_t flags, int64_t streamId, uint64_t offset, const uint8_t* data,
                          size_t size, void* self, void* streamUserData);
    static int streamAcked(ngtcp2_conn*, int64_t streamId, uint64_t offset, uint64_t length, void* self,
                           void* streamUserData);
    static int streamClosed(ngtcp2_conn*, uint32_t flags, int64_t streamId, uint64_t appErrorCode, void* self,
                            void* streamUserData);
    static int streamReset(ngtcp2_conn*, int64_t streamId, uint64_t finalSize, uint64_t appErrorCode, void* self,
                           void* streamUserData);
    static int streamStopSending(ngtcp2_conn*, int64_t streamId, uint64_t appErrorCode, void* self,
                                 void* streamUserData);
    static int streamWritable(ngtcp2_conn*, int64_t streamId, uint64_t maxData, void* self, void* streamUserData);
    static int moreLocalStreams(ngtcp2_conn*, uint64_t maxStreams, void* self);

    const bool server_;
    QuicParameters parameters_;
    std::shared_ptr<QuicSocket> socket_;
    asio::ip::udp::endpoint remote_;
    Endpoint remoteEndpoint_;
    QuicConnectionEvents events_;
    ngtcp2_crypto_conn_ref ref_{};
    std::unique_ptr<QuicTlsSession> tls_;
    ngtcp2_conn* conn_ = nullptr;
    asio::steady_timer timer_;
    uint64_t armedExpiry_ = 0;

    std::map<int64_t, std::shared_ptr<QuicStream>> streams_;
    std::vector<std::shared_ptr<QuicStream>> waitingForStreamId_;  // client, before the peer allows one
    std::vector<std::shared_ptr<QuicStream>> touched_;  // streams with data in the packet being built
    std::map<int64_t, size_t> pendingExtensions_;
    std::set<std::string> cids_;
    std::vector<uint8_t> packet_;
    std::vector<uint8_t> blockedPacket_;
    size_t blockedSegment_ = 0;
    int64_t lastStream_ = -1;
    bool writeScheduled_ = false;
    bool blocked_ = false;
    bool closed_ = false;
    bool handshakeFailureReported_ = false;
};

}  // namespace df::transport
