// QUIC media streams over real UDP on loopback: our listener and our client (the reference
// phone's), TLS 1.3 with the pairing-code key and ALPN "brevox-m1".
#include "tests/transport/TransportTestSupport.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <thread>

namespace df {
namespace {

using testsupport::Events;
using testsupport::bytesOf;
using testsupport::receiveLoop;

constexpr const char* kCode = "730155";

/// A QUIC listener on loopback that starts every stream a phone opens and reads it, and
/// keeps each one alive with PINGs every `keepalive` seconds when that is above 0.
class QuicServer {
public:
    explicit QuicServer(double keepalive = 0, const QuicParameters& parameters = Pairing::quicParameters(kCode))
        : keepalive_(keepalive) {
        listener_ = makeLinuxTransportFactory()->makeQuicListener(parameters, 0, "127.0.0.1");
        listener_->setHandshakeFailureHandler([this](const Endpoint& remote, const TransportError& error) {
            std::lock_guard lock(mutex_);
            handshakeFailures_.push_back({remote, error});
            changed_.notify_all();
        });
        listener_->setNewConnectionHandler([this](std::shared_ptr<Connection> stream) {
            auto events = std::make_shared<Events>();
            stream->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
            stream->start(queue_);
            if (keepalive_ > 0) stream->setQuicKeepalive(keepalive_);
            receiveLoop(stream, events, 1 << 20);
            std::lock_guard lock(mutex_);
            streams_.emplace_back(stream, events);
            changed_.notify_all();
        });
        listener_->setAdmissionFilter([this](const Endpoint& remote) {
            std::lock_guard lock(mutex_);
            askedToAdmit_.push_back(remote);
            return !refuse_;
        });
        listener_->setStateHandler([this](ListenerState, const std::optional<TransportError>&) {
            std::lock_guard lock(mutex_);
            changed_.notify_all();
        });
        listener_->start(queue_);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return listener_->port().has_value(); });
    }
    ~QuicServer() {
        queue_->sync([&] {
            for (auto& [s, e] : streams_) s->cancel();
            listener_->cancel();
        });
        queue_->shutdown();
        streams_.clear();
        listener_.reset();
    }
    uint16_t port() const { return listener_->port().value_or(0); }
    std::pair<std::shared_ptr<Connection>, std::shared_ptr<Events>> waitForStream(size_t index = 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return streams_.size() > index; });
        if (streams_.size() <= index) return {};
        return streams_[index];
    }
    size_t streamCount() {
        std::lock_guard lock(mutex_);
        return streams_.size();
    }
    bool waitForHandshakeFailures(size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(5), [&] { return handshakeFailures_.size() >= count; });
    }
    std::vector<std::pair<Endpoint, TransportError>> handshakeFailures() {
        std::lock_guard lock(mutex_);
        return handshakeFailures_;
    }
    std::shared_ptr<SerialQueue> queue() { return queue_; }
    void setRefusing(bool refuse) {
        std::lock_guard lock(mutex_);
        refuse_ = refuse;
    }
    std::vector<Endpoint> askedToAdmit() {
        std::lock_guard lock(mutex_);
        return askedToAdmit_;
    }

private:
    bool refuse_ = false;
    std::vector<Endpoint> askedToAdmit_;
    double keepalive_;
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("duskferry.server");
    std::shared_ptr<Listener> listener_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::pair<std::shared_ptr<Connection>, std::shared_ptr<Events>>> streams_;
    std::vector<std::pair<Endpoint, TransportError>> handshakeFailures_;
};

/// The phone's side: a QUIC connection with one stream.
struct QuicPhone {
    explicit QuicPhone(uint16_t port, QuicParameters parameters = Pairing::quicParameters(kCode)) {
        stream = makeLinuxTransportFactory()->connectQuic({"127.0.0.1", port}, parameters);
        stream->setStateHandler([e = events](ConnectionState s, const std::optional<TransportError>& error) { e->state(s, error); });
        stream->start(queue);
    }
    ~QuicPhone() {
        queue->sync([&] { stream->cancel(); });
        queue->shutdown();
        stream.reset();
    }
    bool waitReadyOrFailed() {
        return events->waitFor([](Events& e) { return e.has(ConnectionState::ready) || e.has(ConnectionState::failed); });
    }
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("phone");
    std::shared_ptr<Events> events = std::make_shared<Events>();
    std::shared_ptr<Connection> stream;
};

TEST(QuicTransport, AStreamCarriesMessagesBothWaysInOrder) {
    QuicServer server;
    ASSERT_NE(server.port(), 0);
    QuicPhone phone(server.port());
    // The media hello goes first, before the handshake has even finished.
    phone.stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(phone.waitReadyOrFailed());
    ASSERT_TRUE(phone.events->has(ConnectionState::ready));
    EXPECT_EQ(phone.stream->protocol(), TransportProtocol::quic);
    auto [stream, events] = server.waitForStream();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->remoteEndpoint().host, "127.0.0.1");
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.bytes_ == bytesOf("hello;"); }));

    int fd = linuxSocketDescriptor(*stream);
    ASSERT_GE(fd, 0);
    int tos = 0;
    socklen_t length = sizeof tos;
    ASSERT_EQ(getsockopt(fd, IPPROTO_IP, IP_TOS, &tos, &length), 0);
    EXPECT_EQ(tos, 34 << 2);

    // Video frames from the agent: many sizes, each whole and in order, each completion once.
    auto received = std::make_shared<Events>();
    receiveLoop(phone.stream, received, 4096);
    Bytes expected;
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&, stream = stream] {
        for (int i = 0; i < 40; ++i) {
            Bytes frame(1 + static_cast<size_t>(i) * 9973, static_cast<uint8_t>(i));
            expected.insert(expected.end(), frame.begin(), frame.end());
            stream->send(std::move(frame), completions->of(i));
        }
    });
    ASSERT_TRUE(received->waitFor([&](Events& e) { return e.bytes_.size() == expected.size(); }, 10));
    EXPECT_EQ(received->bytes_, expected);
    ASSERT_TRUE(completions->waitFor(40));
    const auto seen = completions->seen();
    ASSERT_EQ(seen.size(), 40u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::make_pair(static_cast<int>(i), false));
}

TEST(QuicTransport, HandshakesWithoutTheKeyOrTheProtocolFail) {
    struct Case {
        const char* name;
        QuicParameters parameters;
    };
    QuicParameters wrongCode = Pairing::quicParameters("730156");
    QuicParameters otherAlpn = Pairing::quicParameters(kCode);
    otherAlpn.alpn = {"brevox-m2"};
    QuicParameters noAlpn = Pairing::quicParameters(kCode);
    noAlpn.alpn.clear();
    QuicParameters otherIdentity = Pairing::quicParameters(kCode);
    otherIdentity.psk.identity = bytesOf("someone");
    const std::vector<Case> cases = {
        {"another code", wrongCode},
        {"another ALPN", otherAlpn},
        {"no ALPN", noAlpn},
        {"another identity with the right key", otherIdentity},
    };
    QuicServer server;
    size_t failures = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuicPhone phone(server.port(), c.parameters);
        phone.stream->send(bytesOf("hello;"), nullptr);
        ASSERT_TRUE(phone.waitReadyOrFailed());
        std::lock_guard lock(phone.events->mutex());
        EXPECT_FALSE(phone.events->has(ConnectionState::ready));
        ASSERT_FALSE(phone.events->errors_.empty());
        EXPECT_EQ(phone.events->errors_.back().kind, TransportError::Kind::handshake)
            << phone.events->errors_.back().description;
        ++failures;
        EXPECT_TRUE(server.waitForHandshakeFailures(failures));
    }
    for (const auto& [remote, error] : server.handshakeFailures()) {
        EXPECT_EQ(remote.host, "127.0.0.1");
        EXPECT_TRUE(error.isHandshake());
    }
    EXPECT_EQ(server.streamCount(), 0u);
}

TEST(QuicTransport, EverySendCompletesOnceInOrderAfterThePhoneHasGone) {
    QuicServer server;
    auto phone = std::make_unique<QuicPhone>(server.port());
    phone->stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(phone->waitReadyOrFailed());
    auto [stream, events] = server.waitForStream();
    ASSERT_TRUE(stream);
    phone.reset();  // closes the phone's QUIC connection
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::failed); }));

    auto completions = testsupport::Completions::make();
    server.queue()->sync([&, stream = stream] {
        for (int i = 0; i < 8; ++i) stream->send(Bytes(100000, 1), completions->of(i));
    });
    ASSERT_TRUE(completions->waitFor(8));
    const auto seen = completions->seen();
    ASSERT_EQ(seen.size(), 8u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::make_pair(static_cast<int>(i), true));
}

TEST(QuicTransport, ACancelledStreamEndsOnThePhone) {
    QuicServer server;
    QuicPhone phone(server.port());
    auto received = std::make_shared<Events>();
    phone.stream->send(bytesOf("hello;"), nullptr);
    receiveLoop(phone.stream, received);
    ASSERT_TRUE(phone.waitReadyOrFailed());
    auto [stream, events] = server.waitForStream();
    ASSERT_TRUE(stream);
    server.queue()->sync([&, stream = stream] { stream->cancel(); });
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::cancelled); }));
    EXPECT_TRUE(phone.events->waitFor([](Events& e) { return e.has(ConnectionState::failed); }) ||
                received->waitFor([](Events& e) { return e.receiveError_; }));
}

TEST(QuicTransport, ACancelledStreamNoLongerKeepsItsOwnersQueueAlive) {
    QuicServer server;
    auto queue = SerialQueue::create("phone");
    std::weak_ptr<SerialQueue> watch = queue;
    auto stream = makeLinuxTransportFactory()->connectQuic({"127.0.0.1", server.port()}, Pairing::quicParameters(kCode));
    auto events = std::make_shared<Events>();
    stream->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
    stream->start(queue);
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    queue->sync([&] { stream->cancel(); });
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::cancelled); }));
    // The owner still holds the stream, but lets its queue go.
    queue.reset();
    EXPECT_TRUE(watch.expired());
}

TEST(QuicTransport, KeepaliveHoldsAnIdleStreamWhichOtherwiseClosesAfterTheIdleTimeout) {
    // The pairing's 8 s idle timeout and 2 s keep-alive are checked where they are defined;
    // here the same mechanism runs with timers ten times shorter.
    QuicParameters shortIdle = Pairing::quicParameters(kCode);
    shortIdle.idleTimeoutMs = 800;
    const double idleSeconds = shortIdle.idleTimeoutMs / 1000.0;
    QuicServer kept(Pairing::quicKeepaliveInterval / 10, shortIdle);
    QuicServer idle(0, shortIdle);
    QuicPhone keptPhone(kept.port(), shortIdle);
    QuicPhone idlePhone(idle.port(), shortIdle);
    for (auto* phone : {&keptPhone, &idlePhone}) {
        phone->stream->send(bytesOf("hello;"), nullptr);
        ASSERT_TRUE(phone->waitReadyOrFailed());
    }
    ASSERT_TRUE(kept.waitForStream().first);
    auto [idleStream, idleEvents] = idle.waitForStream();
    ASSERT_TRUE(idleStream);
    const auto start = std::chrono::steady_clock::now();

    ASSERT_TRUE(idlePhone.events->waitFor([](Events& e) { return e.has(ConnectionState::failed); }, 10));
    const double closedAfter = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Silence began with the last handshake packets, a moment before `start`.
    EXPECT_GT(closedAfter, idleSeconds * 0.6);
    EXPECT_LT(closedAfter, idleSeconds * 6);
    {
        std::lock_guard lock(idlePhone.events->mutex());
        EXPECT_EQ(idlePhone.events->errors_.back().kind, TransportError::Kind::timedOut);
    }
    EXPECT_TRUE(idleEvents->waitFor([](Events& e) { return e.has(ConnectionState::failed); }, 3));

    std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                              std::chrono::duration<double>(idleSeconds * 3)));
    EXPECT_FALSE(keptPhone.events->has(ConnectionState::failed));
    // Still usable after three idle timeouts of silence.
    auto [keptStream, keptEvents] = kept.waitForStream();
    keptPhone.stream->send(bytesOf("still here"), nullptr);
    EXPECT_TRUE(keptEvents->waitFor([](Events& e) { return e.bytes_ == bytesOf("hello;still here"); }));
}

TEST(QuicTransport, ARefusedPeerGetsNoHandshakeAtAllUntilAdmittedAgain) {
    // The server's lock-out: a locked-out address must not be able to test codes over QUIC.
    QuicServer server;
    ASSERT_NE(server.port(), 0);
    server.setRefusing(true);
    {
        QuicPhone refused(server.port());
        EXPECT_FALSE(refused.events->waitFor([](Events& e) { return e.has(ConnectionState::ready); },
                                             1.5));
        EXPECT_TRUE(server.handshakeFailures().empty());
        EXPECT_EQ(server.streamCount(), 0u);
        auto asked = server.askedToAdmit();
        ASSERT_FALSE(asked.empty());
        EXPECT_EQ(asked.front().host, "127.0.0.1");
    }
    server.setRefusing(false);
    QuicPhone admitted(server.port());
    admitted.stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(admitted.waitReadyOrFailed());
    EXPECT_TRUE(admitted.events->has(ConnectionState::ready));
    EXPECT_TRUE(server.waitForStream().first);
}

TEST(QuicTransport, APeerThatStopsReadingEndsTheStreamOnceTheQueueBoundIsPassed) {
    QuicParameters bounded = Pairing::quicParameters(kCode);
    bounded.maxQueuedSendBytes = 1024 * 1024;
    QuicServer server(0, bounded);
    QuicPhone phone(server.port());  // sends its hello, then reads nothing
    phone.stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(phone.waitReadyOrFailed());
    auto [stream, events] = server.waitForStream();
    ASSERT_TRUE(stream);
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&, stream = stream] {
        for (int i = 0; i < 64; ++i) stream->send(Bytes(256 * 1024, 7), completions->of(i));
    });
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::failed); }));
    {
        std::lock_guard lock(events->mutex());
        // The end is reported as an overload; a receive the loop asks for after it is told
        // the stream was already cancelled.
        ASSERT_FALSE(events->errors_.empty());
        EXPECT_EQ(events->errors_.front().kind, TransportError::Kind::overloaded)
            << events->errors_.front().description;
    }
    ASSERT_TRUE(completions->waitFor(64));
    const auto seen = completions->seen();
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].first, static_cast<int>(i));
    EXPECT_TRUE(seen.back().second);
}

/// A plain UDP socket on 127.0.0.1: what a forger has, sending datagrams and never
/// answering what comes back.
class UdpSocket {
public:
    UdpSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        timeval timeout{2, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    ~UdpSocket() { ::close(fd_); }
    uint16_t port() const {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        return ntohs(local.sin_port);
    }
    Bytes receive() {
        Bytes datagram(65536);
        ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
        datagram.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return datagram;
    }
    /// A datagram waiting now, and the port it came from; nothing when none waits.
    std::optional<std::pair<Bytes, uint16_t>> poll() {
        Bytes datagram(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t n = ::recvfrom(fd_, datagram.data(), datagram.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                               &length);
        if (n < 0) return std::nullopt;
        datagram.resize(static_cast<size_t>(n));
        return std::make_pair(std::move(datagram), ntohs(from.sin_port));
    }
    void sendTo(uint16_t port, const Bytes& datagram) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    int fd_ = -1;
};

TEST(QuicTransport, InitialsFromAnAddressThatNeverAnswersAreNeitherHandshakedNorReported) {
    // A forger can put any source address on a datagram but never sees the answers. Its
    // Initials (here: real ones of a wrong code, captured and replayed from the phone's
    // address) must cost that address nothing: no TLS work, no admission, no failure
    // report for the lock-out. The phone at the same address still gets in.
    UdpSocket capture;
    Bytes wrongCodeInitial;
    {
        QuicPhone wrong(capture.port(), Pairing::quicParameters("730156"));
        wrongCodeInitial = capture.receive();
    }
    ASSERT_GE(wrongCodeInitial.size(), 1200u);

    QuicServer server;
    UdpSocket forger;
    for (int i = 0; i < 20; ++i) forger.sendTo(server.port(), wrongCodeInitial);
    // Whatever comes back (Retry packets) is left unanswered, like a forger must.
    const Bytes answer = forger.receive();
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer[0] & 0xf0, 0xf0) << "a Retry, long header of type 3";
    EXPECT_LT(answer.size(), wrongCodeInitial.size()) << "no amplification";

    QuicPhone phone(server.port());
    phone.stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(phone.waitReadyOrFailed());
    EXPECT_TRUE(phone.events->has(ConnectionState::ready));
    auto [stream, events] = server.waitForStream();
    ASSERT_TRUE(stream);
    EXPECT_TRUE(events->waitFor([](Events& e) { return e.bytes_ == bytesOf("hello;"); }));
    EXPECT_TRUE(server.handshakeFailures().empty());
    EXPECT_EQ(server.askedToAdmit().size(), 1u) << "only the phone, once it had answered the Retry";
}

/// A QUIC client of ours whose datagrams pass through here: what it sends reaches the
/// listener until the listener answers with more than a Retry (its first handshake flight,
/// once the token was accepted); nothing it sends after that does, so the listener holds a
/// validated handshake that never completes. (Counting datagrams instead breaks on a slow
/// machine, where the client repeats its first Initial before the Retry comes.)
class HalfOpenHandshake {
public:
    HalfOpenHandshake(uint16_t listenerPort, const std::shared_ptr<SerialQueue>& queue) : listenerPort_(listenerPort) {
        client_ = makeLinuxTransportFactory()->connectQuic({"127.0.0.1", clientSide_.port()}, Pairing::quicParameters(kCode));
        client_->setStateHandler([](ConnectionState, const std::optional<TransportError>&) {});
        client_->start(queue);
    }
    void pump() {
        while (auto d = clientSide_.poll()) {
            clientPort_ = d->second;
            if (!listenerAnswered_) listenerSide_.sendTo(listenerPort_, d->first);
        }
        while (auto d = listenerSide_.poll()) {
            const bool retry = !d->first.empty() && (d->first[0] & 0xf0) == 0xf0;
            if (!retry) listenerAnswered_ = true;
            if (clientPort_) clientSide_.sendTo(clientPort_, d->first);
        }
    }
    const std::shared_ptr<Connection>& client() const { return client_; }

private:
    uint16_t listenerPort_;
    UdpSocket clientSide_, listenerSide_;
    uint16_t clientPort_ = 0;
    bool listenerAnswered_ = false;
    std::shared_ptr<Connection> client_;
};

TEST(QuicTransport, HandshakesLeftHalfOpenCannotKeepThePhoneOut) {
    QuicServer server;
    auto queue = SerialQueue::create("strangers");
    std::vector<std::unique_ptr<HalfOpenHandshake>> strangers;
    for (int i = 0; i < 64; ++i) strangers.push_back(std::make_unique<HalfOpenHandshake>(server.port(), queue));
    // A bound, not a speed: 64 handshakes' key exchanges take seconds under the sanitizers.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (server.askedToAdmit().size() < 64 && std::chrono::steady_clock::now() < deadline) {
        for (auto& s : strangers) s->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(server.askedToAdmit().size(), 64u) << "every place is taken by a handshake left half-open";
    for (int i = 0; i < 50; ++i) {  // their server flights reach them; their answers do not go on
        for (auto& s : strangers) s->pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }

    QuicPhone phone(server.port());
    phone.stream->send(bytesOf("hello;"), nullptr);
    ASSERT_TRUE(phone.waitReadyOrFailed());
    EXPECT_TRUE(phone.events->has(ConnectionState::ready));
    EXPECT_TRUE(server.waitForStream().first);
    EXPECT_TRUE(server.handshakeFailures().empty()) << "a displaced handshake is not a failed one";
    queue->sync([&] {
        for (auto& s : strangers) s->client()->cancel();
    });
    queue->shutdown();
}

}  // namespace
}  // namespace df
