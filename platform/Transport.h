#pragma once
// The host network transport: TCP listeners and connections secured with TLS 1.2 and a
// pre-shared key, QUIC listeners whose bidirectional streams are connections, and the
// client side of both for the reference phone.
//
// What callers rely on:
//  1. Every callback of a listener or connection runs on the DispatchQueue it was started
//     on, posted there (never inline from inside a call the owner made), so the owner's
//     serial queue sees them one at a time.
//  2. A receive completes exactly once: with between `minimum` and `maximum` bytes in stream
//     order, and/or with the end-of-stream mark, or with an error. One receive at a time:
//     ask for the next one only after the previous completed. A waiting receive holds
//     memory for the bytes that arrived, never `maximum` bytes up front.
//  3. Bytes of successive sends on one connection arrive in send order, each message
//     contiguous.
//  4. A send's completion fires exactly once, after the bytes have left the agent to the
//     kernel (TCP: the whole TLS record written to the socket; QUIC: the stream data put
//     into packets and sent once), or with an error when the send failed or the connection
//     ended first. It never fires before the bytes have gone, so it can count frames in
//     flight.
//  5. cancel() ends a connection; pending receives and sends complete with a `cancelled`
//     error and the state handler sees `cancelled` (unless it had already failed). Calling
//     it again, or on a failed connection, is harmless.
//  6. A connection whose TLS or QUIC handshake fails never becomes `ready`: it goes to
//     `failed` with an error of kind `handshake`, and its listener's handshake-failure
//     handler hears of it with the remote endpoint (a wrong pairing code, for lock-out
//     counting). QUIC handshakes happen before any stream exists, so for QUIC the listener
//     handler is the only report.
//  7. Only a peer that has shown it receives our packets at its address is handshaked,
//     admitted or reported: TCP by its own handshake, QUIC by a Retry token. A QUIC client's
//     first Initial is answered with a Retry and nothing else, so a datagram with a forged
//     source address never reaches TLS, the admission filter or the handshake-failure
//     handler, and cannot count towards that address's lock-out.
//  8. At most the parameters' `maxQueuedSendBytes` of sends wait unsent on one connection.
//     A send that would queue more ends the connection: it completes with an error of kind
//     `overloaded`, every send still waiting completes with an error, and the state handler
//     sees `failed` with the `overloaded` error. A peer that stops reading cannot make the agent hold data without
//     end.
//
// Operations may be called from any thread; the owner normally calls them from the queue
// it started the object on. Objects are shared_ptr; an object keeps itself alive while it
// has work in progress, and the owner's handlers should hold their owner weakly.
// An object holds the queue it was started on until it has ended (failed or cancelled),
// then only weakly: what it still reports after that reaches the owner only while the
// owner keeps its queue, and it never keeps a queue alive by itself. Shutting a queue down
// destroys the callbacks still waiting on it, and the objects they held.

#include "platform/DispatchQueue.h"
#include "protocol/Bytes.h"
#include "protocol/TransportParameters.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace df {

/// Why a transport operation or connection failed. `description` is fit to show the user.
struct TransportError {
    enum class Kind {
        handshake,        ///< TLS/QUIC handshake failed (wrong key, ALPN, version, suite)
        cancelled,        ///< the connection or listener was cancelled by its owner
        addressInUse,     ///< the port is taken
        refused,          ///< the peer refused the connection
        timedOut,         ///< keep-alive, drop time or idle timeout ended the connection
        reset,            ///< the peer reset or closed the connection abruptly
        protocol,         ///< the peer broke the TLS or QUIC protocol after the handshake
        invalidArgument,  ///< unusable parameters
        overloaded,       ///< more bytes waited unsent than the connection may hold
        other,            ///< any other system error
    };
    Kind kind = Kind::other;
    int code = 0;  ///< errno or the TLS/QUIC library's code when one applies
    std::string description;

    bool isHandshake() const { return kind == Kind::handshake; }
};

/// Thrown by the factories when parameters cannot make a listener or connection.
class TransportException : public std::runtime_error {
public:
    explicit TransportException(TransportError error)
        : std::runtime_error(error.description), error_(std::move(error)) {}
    const TransportError& error() const { return error_; }

private:
    TransportError error_;
};

/// A remote or local address. `host` is the numeric text form; an IPv4 peer reaching a
/// dual-stack socket appears as plain IPv4 ("127.0.0.1", not "::ffff:127.0.0.1").
struct Endpoint {
    std::string host;
    uint16_t port = 0;

    /// "127.0.0.1:52525" or "[::1]:52525".
    std::string description() const;
    bool operator==(const Endpoint&) const = default;
};

enum class ConnectionState { setup, preparing, ready, failed, cancelled };
enum class ListenerState { setup, ready, failed, cancelled };
enum class TransportProtocol { tcpTls, quic };

const char* toString(ConnectionState state);
const char* toString(ListenerState state);

class Connection {
public:
    using StateHandler =
        std::function<void(ConnectionState state, const std::optional<TransportError>& error)>;
    /// `data` may be empty when only `isComplete` (end of stream) or `error` is reported.
    using ReceiveCompletion =
        std::function<void(Bytes data, bool isComplete, std::optional<TransportError> error)>;
    using SendCompletion = std::function<void(std::optional<TransportError> error)>;

    virtual ~Connection() = default;

    virtual TransportProtocol protocol() const = 0;
    /// Set before start(). Reports `preparing`, then `ready` or `failed`, or `cancelled`.
    virtual void setStateHandler(StateHandler handler) = 0;
    /// Starts the handshake (a client connects first). Callbacks run on `queue`.
    virtual void start(std::shared_ptr<DispatchQueue> queue) = 0;
    virtual Endpoint remoteEndpoint() const = 0;
    /// Receives between `minimum` (at least 1) and `maximum` bytes. May be called before the
    /// connection is ready; it completes once data arrives.
    virtual void receive(size_t minimum, size_t maximum, ReceiveCompletion completion) = 0;
    /// Sends `content` as one complete message.
    virtual void send(Bytes content, SendCompletion completion) = 0;
    virtual void cancel() = 0;
    /// QUIC streams: PING the stream's QUIC connection after `intervalSeconds` of silence so
    /// the idle timeout does not end it (0 turns it off). Returns false and does nothing on
    /// a connection without QUIC metadata.
    virtual bool setQuicKeepalive(double intervalSeconds) = 0;
};

class Listener {
public:
    using StateHandler =
        std::function<void(ListenerState state, const std::optional<TransportError>& error)>;
    /// A new, not yet started connection (TCP: accepted, before its TLS handshake; QUIC: a
    /// bidirectional stream the peer opened on an established connection). The owner starts
    /// it or cancels it.
    using NewConnectionHandler = std::function<void(std::shared_ptr<Connection> connection)>;
    using HandshakeFailureHandler =
        std::function<void(const Endpoint& remote, const TransportError& error)>;
    /// Whether a peer may begin a handshake at all. QUIC handshakes complete before any
    /// stream reaches the owner, so a lock-out decided per connection would come too late:
    /// a locked-out peer could go on testing codes. A refused peer's packets are dropped
    /// without an answer. Asked only once the peer's address is validated (guarantee 7). Called on the thread of the queue the listener was started on
    /// when that queue runs the sockets (a SerialQueue), else on the transport's own thread.
    using AdmissionFilter = std::function<bool(const Endpoint& remote)>;

    virtual ~Listener() = default;

    virtual TransportProtocol protocol() const = 0;
    /// Set before start(). Reports `ready` once bound, `failed(error)` if binding fails
    /// (a taken port, say) or the socket breaks later, `cancelled` after cancel().
    virtual void setStateHandler(StateHandler handler) = 0;
    virtual void setNewConnectionHandler(NewConnectionHandler handler) = 0;
    virtual void setHandshakeFailureHandler(HandshakeFailureHandler handler) = 0;
    /// Set before start(). Only QUIC listeners consult it; a TCP connection reaches the
    /// owner before its handshake, so the owner can refuse it there.
    virtual void setAdmissionFilter(AdmissionFilter filter) = 0;
    /// Binds and starts accepting. Callbacks run on `queue`.
    virtual void start(std::shared_ptr<DispatchQueue> queue) = 0;
    /// The bound port once `ready` (the system's choice when created with port 0).
    virtual std::optional<uint16_t> port() const = 0;
    /// Stops accepting. TCP connections already handed out live on; QUIC streams end, as
    /// their connections share the listener's socket.
    virtual void cancel() = 0;
};

/// Makes listeners and client connections. One per platform (see the linux and fake
/// folders); owners receive it so that unit tests can hand them the fake.
class TransportFactory {
public:
    virtual ~TransportFactory() = default;

    /// Listener on `port` (0: system-chosen) of `bindHost` (empty: every address, IPv4 and
    /// IPv6). Throws TransportException for unusable parameters; a taken port is reported
    /// as `failed` after start().
    virtual std::shared_ptr<Listener> makeTcpTlsListener(const TcpParameters& parameters,
                                                         uint16_t port,
                                                         const std::string& bindHost = {}) = 0;
    virtual std::shared_ptr<Listener> makeQuicListener(const QuicParameters& parameters,
                                                       uint16_t port,
                                                       const std::string& bindHost = {}) = 0;

    /// Client side (the reference phone): a connection to `remote` that connects and
    /// handshakes when started. `remote.host` is a numeric address.
    virtual std::shared_ptr<Connection> connectTcpTls(const Endpoint& remote,
                                                      const TcpParameters& parameters) = 0;
    /// A QUIC connection to `remote` with one bidirectional stream, `ready` once the
    /// handshake completed and the stream is open.
    virtual std::shared_ptr<Connection> connectQuic(const Endpoint& remote,
                                                    const QuicParameters& parameters) = 0;
};

namespace Pairing {
/// If `connection` is a QUIC stream, keeps its QUIC connection alive with a PING every
/// 2 s; otherwise does nothing. Called once a media stream is attached.
void applyQUICKeepalive(Connection& connection);
}  // namespace Pairing

}  // namespace df
