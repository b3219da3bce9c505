#pragma once
// The QUIC listener: one UDP socket, the table that routes datagrams to connections by
// every connection ID they issued, and each bidirectional stream a phone opens handed out
// as a Connection. A client's first Initial is answered with a Retry (address validation);
// only its second, carrying our token, makes a connection. Runs on the io thread of the
// queue it is started on.

#include "platform/Transport.h"
#include "platform/linux/transport/QuicConnection.h"

#include <array>
#include <atomic>
#include <deque>
#include <unordered_map>

namespace df::transport {

class QuicListener final : public Listener, public std::enable_shared_from_this<QuicListener> {
public:
    static std::shared_ptr<QuicListener> make(const QuicParameters& parameters, uint16_t port, std::string bindHost);

    TransportProtocol protocol() const override { return TransportProtocol::quic; }
    void setStateHandler(StateHandler handler) override { stateHandler_ = std::move(handler); }
    void setNewConnectionHandler(NewConnectionHandler handler) override { newConnection_ = std::move(handler); }
    void setHandshakeFailureHandler(HandshakeFailureHandler handler) override { handshakeFailure_ = std::move(handler); }
    void setAdmissionFilter(AdmissionFilter filter) override { admission_ = std::move(filter); }
    void start(std::shared_ptr<DispatchQueue> queue) override;
    std::optional<uint16_t> port() const override;
    /// Stops listening; the socket closes, so the QUIC connections on it end too.
    void cancel() override;

private:
    QuicListener(QuicParameters parameters, uint16_t port, std::string bindHost)
        : parameters_(std::move(parameters)), requestedPort_(port), bindHost_(std::move(bindHost)) {}
    void bindOnIo();
    void onPacket(const asio::ip::udp::endpoint& from, const uint8_t* data, size_t size);
    /// Whether `hd` carries a Retry token we issued to `from` a moment ago; then
    /// `originalDcid` is the connection ID of the client's first Initial. Io thread.
    bool validatedAddress(const asio::ip::udp::endpoint& from, const ngtcp2_pkt_hd& hd, ngtcp2_cid& originalDcid) const;
    /// Room for one more connection: when the table is full, closes the oldest connection
    /// whose handshake is unfinished. False when every connection is established. Io thread.
    bool makeRoom();
    /// Answers a first Initial with a Retry whose token binds `from`. Io thread.
    void sendRetry(const asio::ip::udp::endpoint& from, const ngtcp2_pkt_hd& hd);
    void report(ListenerState state, std::optional<TransportError> error);
    /// Posts `task` to the owner's queue; once the listener has ended, only while the owner
    /// still keeps that queue. Io thread.
    void toOwner(std::function<void()> task) const;
    /// The listener has ended: it holds its owner's queue weakly from now on. Io thread.
    void releaseQueue();

    QuicParameters parameters_;
    std::array<uint8_t, 32> tokenSecret_{};  // seals Retry tokens; made once, then read-only
    uint16_t requestedPort_;
    std::string bindHost_;
    std::shared_ptr<DispatchQueue> queue_;  // set by start(), then io thread
    std::weak_ptr<DispatchQueue> weakQueue_;
    std::optional<IoBinding> io_;
    StateHandler stateHandler_;
    NewConnectionHandler newConnection_;
    HandshakeFailureHandler handshakeFailure_;
    AdmissionFilter admission_;
    std::atomic<int> boundPort_{-1};
    std::atomic<bool> started_{false};

    // io thread
    std::shared_ptr<QuicSocket> socket_;
    std::unordered_map<std::string, std::shared_ptr<QuicConnection>> byCid_;
    std::unordered_map<QuicConnection*, std::shared_ptr<QuicConnection>> connections_;
    std::deque<std::weak_ptr<QuicConnection>> arrivals_;  // oldest first; established ones pruned on the way
    bool ended_ = false;
};

}  // namespace df::transport
