#pragma once
// One bidirectional QUIC stream as a Connection: a stream the phone opened on the
// listener's QUIC connection, or the client's single stream on its own QUIC connection.
// Socket-side state lives on the io thread; the owner's events are posted to its queue.

#include "platform/Transport.h"
#include "platform/linux/transport/OwnerLink.h"

#include <ngtcp2/ngtcp2.h>

#include <deque>
#include <mutex>
#include <optional>

namespace df::transport {

class QuicConnection;

class QuicStream final : public Connection, public std::enable_shared_from_this<QuicStream> {
public:
    /// A stream the peer opened on `connection` (server side).
    static std::shared_ptr<QuicStream> accepted(std::shared_ptr<QuicConnection> connection, int64_t id);
    /// The client side: connects to `remote` when started.
    static std::shared_ptr<QuicStream> client(Endpoint remote, QuicParameters parameters);

    TransportProtocol protocol() const override { return TransportProtocol::quic; }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void start(std::shared_ptr<DispatchQueue> queue) override;
    Endpoint remoteEndpoint() const override { return remote_; }
    void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) override;
    void send(Bytes content, SendCompletion completion) override;
    void cancel() override;
    bool setQuicKeepalive(double intervalSeconds) override;

    int nativeHandle() const { return fd_.load(); }

    // Called by QuicConnection on the io thread.
    int64_t id() const { return id_; }
    void assignId(int64_t id) { id_ = id; }
    void onEstablished();
    void onData(const uint8_t* data, size_t size, bool fin);
    void onAcked(uint64_t offset);
    void onWritable() { blocked_ = false; }
    void onBlocked() { blocked_ = true; }
    /// The stream or its connection ended; `error` is absent for an orderly close.
    void onEnded(const TransportError& error);
    bool hasUnsent() const { return !ended_ && id_ >= 0 && !blocked_ && consumedOffset_ < queuedOffset_; }
    /// Points `vecs` at unsent bytes (at most `max` pieces); returns how many.
    size_t gatherUnsent(ngtcp2_vec* vecs, size_t max) const;
    /// ngtcp2 took `bytes` more into the packet being built.
    void consumed(size_t bytes);
    /// The packet holding everything consumed so far has gone to the socket.
    void flushed();

private:
    struct Outgoing {
        Bytes content;
        uint64_t endOffset;
        SendCompletion completion;
    };
    struct PendingReceive {
        size_t minimum;
        size_t maximum;
        ReceiveCompletion completion;
    };

    QuicStream() = default;
    void startOnIo();
    void pumpReceive();
    void finish(ConnectionState state, std::optional<TransportError> error);
    void report(ConnectionState state, std::optional<TransportError> error);
    void toOwner(std::function<void()> task) const { link_.toOwner(std::move(task)); }

    Endpoint remote_;
    std::optional<QuicParameters> clientParameters_;
    std::shared_ptr<QuicConnection> connection_;
    OwnerLink link_;
    StateHandler stateHandler_;
    std::atomic<int> fd_{-1};

    // io thread
    int64_t id_ = -1;
    bool ready_ = false;
    bool ended_ = false;
    std::optional<TransportError> endedBeforeStart_;
    bool blocked_ = false;
    Bytes inbox_;
    size_t inboxStart_ = 0;
    bool peerFinished_ = false;
    std::optional<PendingReceive> receive_;
    std::deque<Outgoing> outgoing_;  // kept until acknowledged: ngtcp2 refers to these bytes
    size_t firstUnsent_ = 0;          // index into outgoing_ of the first not fully consumed
    size_t firstUncompleted_ = 0;     // index into outgoing_ of the first not yet completed
    uint64_t queuedOffset_ = 0;
    uint64_t consumedOffset_ = 0;
    uint64_t flushedOffset_ = 0;
    size_t maxQueuedSendBytes_ = kMaxQueuedSendBytes;
};

}  // namespace df::transport
