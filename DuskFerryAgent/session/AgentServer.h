#pragma once
// The accept side of the agent: the TCP listener on port 52525 advertised over DNS-SD, the
// QUIC listener for media streams started on first demand, classification of each new
// connection by its first frame, the lock-out record, and the one current session.
//
// Before a TCP connection has authenticated it is an attempt of its source (an IPv4
// address or an IPv6 /64): attempts are capped per source and overall (the oldest attempt
// of the busiest source makes room), count towards the source's lock-out while under way,
// and, while failures over all sources exceed the global budget, start their handshakes
// one at a time, sources taking turns. A new control connection becomes a session of its
// own; it replaces the current session only once it has authenticated.
//
// Threading: everything runs on the server queue "duskferry.server" (listener and
// connection handlers, classification reads and time-outs, the failure record, every
// session). create() and start() may be called from any thread. Callbacks the server
// installs hold it weakly. `onStatus` is called on the server queue.

#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/session/FailureRecord.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/DnsSd.h"
#include "platform/Transport.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace df {

struct ServerServices {
    /// The server queue. Empty: a new SerialQueue "duskferry.server".
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<TransportFactory> transport;
    /// DNS-SD advertiser. Empty: the listener is not advertised.
    std::shared_ptr<DnsSdAdvertiser> advertiser;
    /// Handed to every session; agentName and macDeviceID are also advertised.
    SessionServices session;
    /// The "kind" TXT entry (DeviceKind::detect()).
    std::string deviceKind = "mac";
    uint16_t tcpPort = 52525;
    uint16_t quicPort = 52526;
    /// Address the listeners bind; empty: every address.
    std::string bindHost;
    /// The time of the lock-out record. Empty: the server queue's clock. Tests hold it
    /// still, or move it on, rather than racing a real lock's seconds.
    std::shared_ptr<const Clock> lockoutClock;
    /// Told on the server queue after every change of the lock-out record: the remote's key
    /// and its entry (count 0 once forgotten). Lets a test wait for the server's own record
    /// of a failure instead of guessing when it has been made.
    std::function<void(const std::string& source, const FailureRecord::Entry& entry)> onFailureRecorded;
};

class AgentServer : public std::enable_shared_from_this<AgentServer> {
public:
    using StatusCallback = AgentSession::StatusCallback;

    static constexpr double classifyTimeout = 10.0;
    static constexpr size_t receiveMaximum = 1048576;
    /// Unauthenticated TCP connections (handshaking, classifying, or a session that has not
    /// authenticated) of one source, and of all sources together.
    static constexpr size_t maxAttemptsPerSource = 4;
    static constexpr size_t maxAttempts = 256;
    /// While over the failure budget: one new unauthenticated handshake per this interval.
    static constexpr double slowedHandshakeInterval = 0.5;
    /// The largest frame a peer may send before it has authenticated.
    static constexpr uint32_t preAuthFrameLimit = 65536;

    static std::shared_ptr<AgentServer> create(std::string pairingCode, StatusCallback onStatus,
                                               ServerServices services);
    ~AgentServer();

    /// Builds and starts the TCP listener and its advertisement. Called once.
    void start();

    /// The QUIC port to announce, starting the QUIC listener on first demand; nothing until
    /// it is ready, and nothing once QUIC is given up. Server queue.
    std::optional<uint16_t> quicPortProvider();
    /// Updates the failure record of `source` (a remote's address). Server queue.
    void record(const std::string& source, bool success);

    /// DNS-SD TXT rdata: per entry one length byte and "key=value".
    static Bytes txtRecord(const std::vector<std::pair<std::string, std::string>>& entries);
    /// The key of a remote in the failure record: its address without the port; for IPv6
    /// its /64 network ("2001:db8:1:2::/64"), since one host may hold a whole /64.
    static std::string sourceKey(const Endpoint& remote);

    // Inspection (server queue).
    std::shared_ptr<DispatchQueue> queue() const { return queue_; }
    /// The current, authenticated session.
    std::shared_ptr<AgentSession> session() const { return session_; }
    /// Sessions that have not authenticated yet, oldest first.
    std::vector<std::shared_ptr<AgentSession>> newcomers() const;
    /// Unauthenticated TCP connections under way (waiting, handshaking, classifying or in a
    /// session that has not authenticated).
    size_t attempts() const;
    const FailureRecord& failures() const { return failures_; }
    std::optional<uint16_t> tcpPort() const;
    bool quicFailedPermanently() const { return quicFailedPermanently_; }

private:
    AgentServer(std::string pairingCode, StatusCallback onStatus, ServerServices services);

    void advertise(uint16_t port);
    void onNewConnection(std::shared_ptr<Connection> connection, bool quicMedia);
    void onHandshakeFailure(const Endpoint& remote);
    struct Classification;
    struct Attempt;
    void classify(std::shared_ptr<Connection> connection, const std::string& source, bool quicMedia,
                  std::shared_ptr<Attempt> attempt);
    void openSession(std::shared_ptr<Connection> connection, Bytes initialData, const std::string& source,
                     std::shared_ptr<Attempt> attempt);
    void authenticated(const std::shared_ptr<AgentSession>& session);
    /// Attempts: admission, end, eviction, and the slowed start while over budget.
    void endAttempt(const std::shared_ptr<Attempt>& attempt);
    void evict(const std::shared_ptr<Attempt>& attempt);
    void sweepAttempts();
    void makeRoomFor(const std::string& source);
    void startWaiting();
    bool admitQuic(const Endpoint& remote);
    void startQUICListener(bool fixedPort);
    void report(const std::string& text);
    /// Now, on the lock-out record's clock.
    double lockoutNow() const;
    const L10n& l10n() const { return *services_.session.l10n; }

    std::string code_;
    StatusCallback onStatus_;
    std::shared_ptr<Listener> listener_;
    std::shared_ptr<AgentSession> session_;
    std::shared_ptr<DispatchQueue> queue_;
    FailureRecord failures_;
    std::shared_ptr<Listener> quicListener_;
    std::optional<uint16_t> quicPort_;
    bool quicAnyPortRetried_ = false;
    bool quicFailedPermanently_ = false;
    bool advertised_ = false;
    /// Connections still being classified. Each keeps itself alive through its pending
    /// receive until its first frame settles it, so the server ends them when it goes.
    std::vector<std::weak_ptr<Classification>> classifying_;
    std::vector<std::shared_ptr<Attempt>> attempts_;  // oldest first
    std::vector<std::shared_ptr<AgentSession>> newcomers_;
    std::map<std::string, double> lastStartOf_;  // sources' turns while slowed
    double nextSlowStart_ = 0;
    WorkItemRef slowTimer_;
    ServerServices services_;
};

}  // namespace df
