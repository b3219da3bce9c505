#pragma once
// The accept side of the agent: the TCP listener on port 52525 advertised over DNS-SD, the
// QUIC listener for media streams started on first demand, classification of each new
// connection by its first frame, the lock-out record, and the one current session.
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
    /// The key of a remote in the failure record: its address without the port.
    static std::string sourceKey(const Endpoint& remote);

    // Inspection (server queue).
    std::shared_ptr<DispatchQueue> queue() const { return queue_; }
    std::shared_ptr<AgentSession> session() const { return session_; }
    const FailureRecord& failures() const { return failures_; }
    std::optional<uint16_t> tcpPort() const;
    bool quicFailedPermanently() const { return quicFailedPermanently_; }

private:
    AgentServer(std::string pairingCode, StatusCallback onStatus, ServerServices services);

    void advertise(uint16_t port);
    void onNewConnection(std::shared_ptr<Connection> connection, bool quicMedia);
    void onHandshakeFailure(const Endpoint& remote);
    struct Classification;
    void classify(std::shared_ptr<Connection> connection, const std::string& source, bool quicMedia);
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
    ServerServices services_;
};

}  // namespace df
