// TLS 1.2 with the pairing-code key over real TCP on loopback, against independent peers
// (openssl s_client / s_server, gnutls-cli) and our own client.
#include "tests/transport/TransportTestSupport.h"

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <arpa/inet.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <thread>

namespace df {
namespace {

using testsupport::Events;
using testsupport::bytesOf;
using testsupport::hex;
using testsupport::receiveLoop;
using testsupport::runPeer;

constexpr const char* kCode = "482913";

/// A TCP listener on loopback that answers the first line of each connection with
/// "agent:" + the line and then closes, recording what every connection reported.
class LineServer {
public:
    explicit LineServer(const std::string& code = kCode, const std::string& bindHost = "127.0.0.1",
                        size_t maxQueuedSendBytes = kMaxQueuedSendBytes) {
        TcpParameters parameters = Pairing::parameters(code);
        parameters.maxQueuedSendBytes = maxQueuedSendBytes;
        listener_ = factory_->makeTcpTlsListener(parameters, 0, bindHost);
        listener_->setStateHandler([this](ListenerState s, const std::optional<TransportError>&) {
            std::lock_guard lock(mutex_);
            listenerStates_.push_back(s);
            changed_.notify_all();
        });
        listener_->setHandshakeFailureHandler([this](const Endpoint& remote, const TransportError& error) {
            std::lock_guard lock(mutex_);
            handshakeFailures_.push_back({remote, error});
            changed_.notify_all();
        });
        listener_->setNewConnectionHandler([this](std::shared_ptr<Connection> connection) { accept(connection); });
        listener_->start(queue_);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(5), [&] { return !listenerStates_.empty(); });
    }
    ~LineServer() {
        queue_->sync([&] {
            for (auto& [c, e] : connections_) c->cancel();
            listener_->cancel();
        });
        queue_->shutdown();
        connections_.clear();
        listener_.reset();
    }

    uint16_t port() const { return listener_->port().value_or(0); }
    std::shared_ptr<Events> waitForConnection(size_t index = 0) {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(10), [&] { return connections_.size() > index; });
        return connections_.size() > index ? connections_[index].second : nullptr;
    }
    std::shared_ptr<Connection> connection(size_t index = 0) {
        std::lock_guard lock(mutex_);
        return connections_.at(index).first;
    }
    bool waitForHandshakeFailure() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !handshakeFailures_.empty(); });
    }
    std::vector<std::pair<Endpoint, TransportError>> handshakeFailures() {
        std::lock_guard lock(mutex_);
        return handshakeFailures_;
    }
    std::vector<ListenerState> listenerStates() {
        std::lock_guard lock(mutex_);
        return listenerStates_;
    }
    std::shared_ptr<SerialQueue> queue() { return queue_; }
    bool answerLines = true;

private:
    void accept(const std::shared_ptr<Connection>& connection) {
        auto events = std::make_shared<Events>();
        {
            std::lock_guard lock(mutex_);
            connections_.emplace_back(connection, events);
            changed_.notify_all();
        }
        connection->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
        connection->start(queue_);
        if (answerLines) readLine(connection, events, std::make_shared<std::string>());
    }
    void readLine(std::shared_ptr<Connection> connection, std::shared_ptr<Events> events,
                  std::shared_ptr<std::string> line) {
        std::weak_ptr<Connection> weak = connection;
        connection->receive(1, 4096, [weak, events, line, this](Bytes data, bool complete, std::optional<TransportError> error) {
            events->received(data, complete, error);
            auto c = weak.lock();
            if (!c || error || complete) return;
            line->append(data.begin(), data.end());
            auto newline = line->find('\n');
            if (newline == std::string::npos) {
                readLine(c, events, line);
                return;
            }
            c->send(bytesOf("agent:" + line->substr(0, newline + 1)), [weak](std::optional<TransportError>) {
                if (auto c = weak.lock()) c->cancel();
            });
        });
    }

    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("duskferry.server");
    std::shared_ptr<TransportFactory> factory_ = makeLinuxTransportFactory();
    std::shared_ptr<Listener> listener_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ListenerState> listenerStates_;
    std::vector<std::pair<std::shared_ptr<Connection>, std::shared_ptr<Events>>> connections_;
    std::vector<std::pair<Endpoint, TransportError>> handshakeFailures_;
};

std::string pskHex(const std::string& code) { return hex(Pairing::tlsOptions(code).psk.key); }

struct PeerCase {
    const char* name;
    const char* tool;
    std::string command;  // %PORT% and %KEY% are filled in
    std::string code;     // the code the peer uses
    bool connects;
    const char* expectInOutput;  // negotiated suite, when it connects
};

std::string fill(std::string text, uint16_t port, const std::string& key) {
    for (auto [from, to] : {std::pair<std::string, std::string>{"%PORT%", std::to_string(port)}, {"%KEY%", key}}) {
        for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
    }
    return text;
}

const std::string kSClient = "timeout 10 openssl s_client -connect 127.0.0.1:%PORT% -psk %KEY% -psk_identity duskferry";
const std::string kGnutls =
    "timeout 10 gnutls-cli -p %PORT% 127.0.0.1 --pskusername duskferry --pskkey %KEY% ";

TEST(TcpTlsListener, IndependentPeersConnectOnlyWithTheRightCodeAndVersion) {
    DF_REQUIRE_TOOL("openssl");
    DF_REQUIRE_TOOL("gnutls-cli");
    const std::vector<PeerCase> cases = {
        {"openssl TLS 1.2, default suites: forward secret preferred", "openssl", kSClient + " -tls1_2 -ign_eof", kCode,
         true, "ECDHE-PSK-CHACHA20-POLY1305"},
        {"openssl offering only the phone's suite 0x00A8", "openssl",
         kSClient + " -tls1_2 -ign_eof -cipher PSK-AES128-GCM-SHA256", kCode, true, "PSK-AES128-GCM-SHA256"},
        {"openssl offering DHE-PSK and 0x00A8", "openssl",
         kSClient + " -tls1_2 -ign_eof -cipher DHE-PSK-AES128-GCM-SHA256:PSK-AES128-GCM-SHA256", kCode, true,
         "DHE-PSK-AES128-GCM-SHA256"},
        {"gnutls-cli with PSK", "gnutls-cli",
         kGnutls + "--priority NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+PSK", kCode, true, "PSK"},
        {"openssl with another code", "openssl", kSClient + " -tls1_2 -ign_eof", "482914", false, nullptr},
        {"gnutls-cli with another code", "gnutls-cli",
         kGnutls + "--priority NORMAL:-VERS-ALL:+VERS-TLS1.2:-KX-ALL:+PSK", "000000", false, nullptr},
        {"openssl TLS 1.3 only", "openssl", kSClient + " -tls1_3 -ign_eof", kCode, false, nullptr},
        {"openssl TLS 1.1 only", "openssl", kSClient + " -tls1_1 -cipher PSK-AES128-CBC-SHA@SECLEVEL=0 -ign_eof",
         kCode, false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LineServer server;
        ASSERT_NE(server.port(), 0);
        auto result = runPeer(fill(c.command, server.port(), pskHex(c.code)), "hello from peer\n");
        auto events = server.waitForConnection();
        ASSERT_TRUE(events);
        if (c.connects) {
            EXPECT_NE(result.output.find("agent:hello from peer"), std::string::npos) << result.output;
            EXPECT_NE(result.output.find(c.expectInOutput), std::string::npos) << result.output;
            EXPECT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
            EXPECT_TRUE(server.handshakeFailures().empty());
        } else {
            EXPECT_EQ(result.output.find("agent:"), std::string::npos) << result.output;
            ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::failed); }));
            std::lock_guard lock(events->mutex());
            EXPECT_FALSE(events->has(ConnectionState::ready));
            ASSERT_FALSE(events->errors_.empty());
            EXPECT_EQ(events->errors_.back().kind, TransportError::Kind::handshake) << events->errors_.back().description;
            ASSERT_TRUE(server.waitForHandshakeFailure());
            EXPECT_EQ(server.handshakeFailures().at(0).first.host, "127.0.0.1");
        }
    }
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(getsockopt(fd, level, name, &value, &length), 0);
    return value;
}

TEST(TcpTlsConnection, OurClientTalksToTheListenerWithTheSettingsReadBack) {
    LineServer server;
    server.answerLines = false;
    auto clientQueue = SerialQueue::create("phone");
    auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode));
    auto clientEvents = std::make_shared<Events>();
    client->setStateHandler([clientEvents](ConnectionState s, const std::optional<TransportError>& e) { clientEvents->state(s, e); });
    // Sends made before start wait for the handshake, in order.
    client->send(bytesOf("first;"), nullptr);
    client->start(clientQueue);
    client->send(bytesOf("second;"), nullptr);
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    auto serverEvents = server.waitForConnection();
    ASSERT_TRUE(serverEvents);
    auto accepted = server.connection();
    EXPECT_EQ(accepted->remoteEndpoint().host, "127.0.0.1");
    receiveLoop(accepted, serverEvents);
    ASSERT_TRUE(serverEvents->waitFor([](Events& e) { return e.bytes_.size() == 13; }));
    EXPECT_EQ(serverEvents->bytes_, bytesOf("first;second;"));

    // Every option of the TCP settings, on the accepted socket and on the client's.
    for (int fd : {linuxSocketDescriptor(*accepted), linuxSocketDescriptor(*client)}) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_NODELAY), 1);
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPIDLE), 2);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_KEEPCNT), 3);
        EXPECT_EQ(intOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT), 8000);
        EXPECT_EQ(intOption(fd, IPPROTO_IP, IP_TOS), 34 << 2);  // DSCP AF41
        EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_PRIORITY), 5);
    }

    // Large messages arrive whole and in order, bounded receives notwithstanding.
    auto clientReceived = std::make_shared<Events>();
    receiveLoop(client, clientReceived, 1000);
    Bytes expected;
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&] {
        for (int i = 0; i < 20; ++i) {
            Bytes message(100000 + static_cast<size_t>(i), static_cast<uint8_t>(i));
            expected.insert(expected.end(), message.begin(), message.end());
            accepted->send(std::move(message), completions->of(i));
        }
    });
    ASSERT_TRUE(clientReceived->waitFor([&](Events& e) { return e.bytes_.size() == expected.size(); }, 10));
    EXPECT_EQ(clientReceived->bytes_, expected);
    ASSERT_TRUE(completions->waitFor(20));
    const auto seen = completions->seen();
    EXPECT_EQ(seen.size(), 20u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::make_pair(static_cast<int>(i), false));
    clientQueue->sync([&] { client->cancel(); });
    clientQueue->shutdown();
}

TEST(TcpTlsConnection, EverySendCompletesOnceInOrderAfterThePeerHasGone) {
    LineServer server;
    server.answerLines = false;
    auto clientQueue = SerialQueue::create("phone");
    auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode));
    auto clientEvents = std::make_shared<Events>();
    client->setStateHandler([clientEvents](ConnectionState s, const std::optional<TransportError>& e) { clientEvents->state(s, e); });
    client->start(clientQueue);
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    auto serverEvents = server.waitForConnection();
    auto accepted = server.connection();
    ASSERT_TRUE(serverEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    clientQueue->sync([&] { client->cancel(); });
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) { return e.has(ConnectionState::cancelled); }));

    // The agent keeps sending video into a connection whose phone is gone: 4 MB more than
    // the socket buffers hold, so that writes fail rather than vanish into buffers.
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&] {
        receiveLoop(accepted, serverEvents);
        for (int i = 0; i < 64; ++i) accepted->send(Bytes(256 * 1024, 7), completions->of(i));
    });
    ASSERT_TRUE(completions->waitFor(64));
    const auto seen = completions->seen();
    ASSERT_EQ(seen.size(), 64u);
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].first, static_cast<int>(i));
    EXPECT_TRUE(seen.back().second) << "the last sends cannot have reached a closed peer";
    EXPECT_TRUE(serverEvents->waitFor([](Events& e) { return e.ended_ || e.has(ConnectionState::failed); }));
    clientQueue->shutdown();
}

// Video sends complete when their bytes are on the network, not when a kernel buffer took
// them: against a phone that does not read, the sends stop completing while almost nothing
// waits unsent, and they all complete once it reads.
TEST(TcpTlsConnection, VideoSendsCompleteOnlyOnceTheirBytesAreOnTheNetwork) {
    LineServer server;
    server.answerLines = false;
    auto clientQueue = SerialQueue::create("phone");
    auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode));
    auto clientEvents = std::make_shared<Events>();
    client->setStateHandler([clientEvents](ConnectionState s, const std::optional<TransportError>& e) { clientEvents->state(s, e); });
    client->start(clientQueue);
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    auto serverEvents = server.waitForConnection();
    auto accepted = server.connection();
    ASSERT_TRUE(serverEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));

    constexpr int kSends = 64;
    constexpr size_t kSize = 64 * 1024;  // 4 MB in all, far more than the phone's buffer
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&] {
        for (int i = 0; i < kSends; ++i) accepted->send(Bytes(kSize, static_cast<uint8_t>(i)), completions->of(i));
    });
    size_t completed = 0;
    for (int still = 0; still < 10;) {  // half a second without a completion
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const size_t now = completions->seen().size();
        still = now == completed ? still + 1 : 0;
        completed = now;
    }
    EXPECT_LT(completed, static_cast<size_t>(kSends));
    int unsent = -1;
    ASSERT_EQ(ioctl(linuxSocketDescriptor(*accepted), SIOCOUTQNSD, &unsent), 0);
    // At most the one send written and waiting, over the little the kernel may keep unsent.
    EXPECT_LE(unsent, static_cast<int>(16 * 1024 + kSize + 4096));

    auto clientReceived = std::make_shared<Events>();
    receiveLoop(client, clientReceived);
    ASSERT_TRUE(completions->waitFor(kSends));
    const auto seen = completions->seen();
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], std::make_pair(static_cast<int>(i), false));
    ASSERT_TRUE(clientReceived->waitFor([&](Events& e) { return e.bytes_.size() == kSends * kSize; }, 10));
    clientQueue->sync([&] { client->cancel(); });
    clientQueue->shutdown();
}

TEST(TcpTlsConnection, APeerThatStopsReadingEndsTheConnectionOnceTheQueueBoundIsPassed) {
    LineServer server(kCode, "127.0.0.1", 1024 * 1024);
    server.answerLines = false;
    auto clientQueue = SerialQueue::create("phone");
    auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode));
    auto clientEvents = std::make_shared<Events>();
    client->setStateHandler([clientEvents](ConnectionState s, const std::optional<TransportError>& e) { clientEvents->state(s, e); });
    client->start(clientQueue);
    ASSERT_TRUE(clientEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    auto serverEvents = server.waitForConnection();
    auto accepted = server.connection();
    ASSERT_TRUE(serverEvents->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));

    // 16 MB for a phone that reads nothing; one turn of the queue, so they all wait at once.
    auto completions = testsupport::Completions::make();
    server.queue()->sync([&] {
        for (int i = 0; i < 64; ++i) accepted->send(Bytes(256 * 1024, 7), completions->of(i));
    });
    ASSERT_TRUE(serverEvents->waitFor([](Events& e) { return e.has(ConnectionState::failed); }));
    {
        std::lock_guard lock(serverEvents->mutex());
        ASSERT_FALSE(serverEvents->errors_.empty());
        EXPECT_EQ(serverEvents->errors_.back().kind, TransportError::Kind::overloaded)
            << serverEvents->errors_.back().description;
    }
    ASSERT_TRUE(completions->waitFor(64));
    const auto seen = completions->seen();
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].first, static_cast<int>(i));
    EXPECT_TRUE(seen.back().second);
    clientQueue->sync([&] { client->cancel(); });
    clientQueue->shutdown();
}

long residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * sysconf(_SC_PAGESIZE);
}

TEST(TcpTlsConnection, AWaitingReceiveHoldsNoMemoryForTheMostItMayReturn) {
    // Idle connections each wait for a frame of up to 16 MB; none has arrived.
    LineServer server;
    server.answerLines = false;
    auto clientQueue = SerialQueue::create("phone");
    std::vector<std::shared_ptr<Connection>> clients;
    auto ready = std::make_shared<Events>();
    constexpr int kClients = 16;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode)));
        clients.back()->setStateHandler([ready](ConnectionState s, const std::optional<TransportError>& e) { ready->state(s, e); });
        clients.back()->start(clientQueue);
    }
    ASSERT_TRUE(ready->waitFor([](Events& e) {
        return std::count(e.states_.begin(), e.states_.end(), ConnectionState::ready) == kClients;
    }));
    const long before = residentBytes();
    auto received = std::make_shared<Events>();
    clientQueue->sync([&] {
        for (auto& c : clients) c->receive(1, 16 * 1024 * 1024, [received](Bytes data, bool complete, std::optional<TransportError> error) {
            received->received(data, complete, error);
        });
    });
    clientQueue->sync([] {});  // the receives have reached the sockets
    const long grown = residentBytes() - before;
    EXPECT_LT(grown, 16L * 1024 * 1024) << "grew by " << grown << " bytes";
    clientQueue->sync([&] {
        for (auto& c : clients) c->cancel();
    });
    clientQueue->shutdown();
}

TEST(TcpTlsListener, ConnectionsThatNeverSayAWordCostNoTlsSessionEach) {
    DF_REQUIRE_TOOL("openssl");
    // A crowd of strangers connect and stay silent; the owner starts every connection, as
    // the agent does. Then the phone still gets through on the same listener.
    LineServer server;
    constexpr int kSilent = 300;
    const long before = residentBytes();
    std::vector<int> silent;
    for (int i = 0; i < kSilent; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(server.port());
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        silent.push_back(fd);
    }
    ASSERT_TRUE(server.waitForConnection(kSilent - 1));
    server.queue()->sync([] {});  // every one started
    server.queue()->sync([] {});
    const long grown = residentBytes() - before;
    EXPECT_LT(grown, 8L * 1024 * 1024) << "grew by " << grown << " bytes for " << kSilent << " silent connections";

    const auto result = runPeer(fill(kSClient + " -tls1_2 -ign_eof -cipher PSK-AES128-GCM-SHA256", server.port(),
                                     pskHex(kCode)),
                                "phone\n");
    EXPECT_NE(result.output.find("agent:phone"), std::string::npos) << result.output;
    for (int fd : silent) ::close(fd);
}

TEST(TcpTlsConnection, ACancelledConnectionNoLongerKeepsItsOwnersQueueAlive) {
    LineServer server;
    server.answerLines = false;
    auto queue = SerialQueue::create("phone");
    std::weak_ptr<SerialQueue> watch = queue;
    auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", server.port()}, Pairing::parameters(kCode));
    auto events = std::make_shared<Events>();
    client->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
    client->start(queue);
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::ready); }));
    queue->sync([&] { client->cancel(); });
    ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::cancelled); }));
    // The owner still holds the connection, but lets its queue go.
    queue.reset();
    EXPECT_TRUE(watch.expired());
    // Asked for more, the ended connection has no queue to answer on, and says nothing.
    client->send(bytesOf("late"), [](std::optional<TransportError>) { ADD_FAILURE() << "no queue to run on"; });
}

TEST(TcpTlsConnection, OurClientReachesOpenSslServerAndFailsOnAWrongCode) {
    DF_REQUIRE_TOOL("openssl");
    for (bool rightCode : {true, false}) {
        SCOPED_TRACE(rightCode ? "right code" : "wrong code");
        // A free port for s_server: bind one, note it, release it.
        uint16_t port = 0;
        {
            auto probe = makeLinuxTransportFactory()->makeTcpTlsListener(Pairing::parameters(kCode), 0, "127.0.0.1");
            auto queue = SerialQueue::create("probe");
            auto bound = std::make_shared<std::promise<void>>();
            probe->setStateHandler([bound](ListenerState s, const std::optional<TransportError>&) {
                if (s != ListenerState::cancelled) bound->set_value();
            });
            probe->start(queue);
            bound->get_future().wait_for(std::chrono::seconds(5));
            port = probe->port().value_or(0);
            queue->sync([&] { probe->cancel(); });
            queue->shutdown();
        }
        ASSERT_NE(port, 0);
        // s_server ends its connection when its standard input ends: keep it open a while.
        std::string command = "sleep 2 | timeout 5 openssl s_server -accept 127.0.0.1:" + std::to_string(port) +
                              " -nocert -psk " + pskHex(kCode) + " -psk_identity duskferry -tls1_2 -naccept 1";
        FILE* serverProcess = popen((command + " 2>&1").c_str(), "r");
        ASSERT_TRUE(serverProcess);
        ASSERT_TRUE(testsupport::waitUntilListening(port));

        auto queue = SerialQueue::create("phone");
        auto client = makeLinuxTransportFactory()->connectTcpTls({"127.0.0.1", port},
                                                                 Pairing::parameters(rightCode ? kCode : "111111"));
        auto events = std::make_shared<Events>();
        client->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
        client->start(queue);
        auto sent = testsupport::Completions::make();
        client->send(bytesOf("from our client\n"), sent->of(0));
        ASSERT_TRUE(events->waitFor([](Events& e) {
            return e.has(ConnectionState::ready) || e.has(ConnectionState::failed);
        }));
        EXPECT_EQ(events->has(ConnectionState::ready), rightCode);
        // The line has gone to the socket before the connection is cancelled.
        if (rightCode) {
            EXPECT_TRUE(sent->waitFor(1));
        }
        queue->sync([&] { client->cancel(); });
        std::string output;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, serverProcess)) > 0) output.append(buffer, n);
        pclose(serverProcess);
        EXPECT_EQ(output.find("from our client") != std::string::npos, rightCode) << output;
        // Our client offers the forward-secret suite first.
        if (rightCode) {
            EXPECT_NE(output.find("CIPHER is ECDHE-PSK-CHACHA20-POLY1305"), std::string::npos) << output;
        }
        if (!rightCode) {
            std::lock_guard lock(events->mutex());
            ASSERT_FALSE(events->errors_.empty());
            EXPECT_EQ(events->errors_.back().kind, TransportError::Kind::handshake);
        }
        queue->shutdown();
    }
}

TEST(TcpTlsListener, OnEveryAddressItTellsIPv4AndIPv6PeersApart) {
    // One dual-stack socket: an IPv4 phone must appear as "127.0.0.1", not as the mapped
    // "::ffff:127.0.0.1", or it would escape its lock-out record.
    LineServer server(kCode, "");
    server.answerLines = false;
    struct Case {
        const char* connectTo;
        const char* seenAs;
    };
    size_t index = 0;
    for (const Case& c : {Case{"127.0.0.1", "127.0.0.1"}, Case{"::1", "::1"}}) {
        SCOPED_TRACE(c.connectTo);
        auto queue = SerialQueue::create("phone");
        auto client = makeLinuxTransportFactory()->connectTcpTls({c.connectTo, server.port()}, Pairing::parameters(kCode));
        auto events = std::make_shared<Events>();
        client->setStateHandler([events](ConnectionState s, const std::optional<TransportError>& e) { events->state(s, e); });
        client->start(queue);
        ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::ready) || e.has(ConnectionState::failed); }));
        if (!events->has(ConnectionState::ready) && std::string(c.connectTo) == "::1") {
            queue->shutdown();
            GTEST_SKIP() << "no IPv6 loopback";
        }
        ASSERT_TRUE(server.waitForConnection(index));
        EXPECT_EQ(server.connection(index)->remoteEndpoint().host, c.seenAs);
        ++index;
        queue->sync([&] { client->cancel(); });
        queue->shutdown();
    }
}

TEST(TcpTlsListener, APeerThatHangsUpMidHandshakeIsNotCountedAsAWrongCode) {
    // Failed handshakes count towards the lock-out; a peer that only hangs up tried no key
    // (a port scan, a phone going out of range) and must not lock its address out.
    struct Case {
        const char* name;
        std::vector<uint8_t> sent;
    };
    const Case cases[] = {
        {"nothing", {}},
        {"half a ClientHello record", {0x16, 0x03, 0x01, 0x00, 0x80, 0x01, 0x00, 0x00, 0x7c, 0x03, 0x03}},
    };
    LineServer server;
    size_t index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(server.port());
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (!c.sent.empty()) {
            ASSERT_EQ(write(fd, c.sent.data(), c.sent.size()), static_cast<ssize_t>(c.sent.size()));
        }
        auto events = server.waitForConnection(index++);
        ASSERT_TRUE(events);
        close(fd);
        ASSERT_TRUE(events->waitFor([](Events& e) { return e.has(ConnectionState::failed) || e.has(ConnectionState::cancelled); }));
        EXPECT_FALSE(events->has(ConnectionState::ready));
    }
    // A handshake failure is posted to the server queue before the connection's own end, so
    // any would have been seen by now.
    EXPECT_TRUE(server.handshakeFailures().empty());
}

TEST(TcpTlsListener, ATakenPortIsReportedAsFailed) {
    LineServer first;
    auto queue = SerialQueue::create("second");
    auto second = makeLinuxTransportFactory()->makeTcpTlsListener(Pairing::parameters(kCode), first.port(), "127.0.0.1");
    auto events = std::make_shared<std::pair<std::mutex, std::vector<std::pair<ListenerState, std::optional<TransportError>>>>>();
    std::condition_variable changed;
    second->setStateHandler([&, events](ListenerState s, const std::optional<TransportError>& e) {
        std::lock_guard lock(events->first);
        events->second.emplace_back(s, e);
        changed.notify_all();
    });
    second->start(queue);
    std::unique_lock lock(events->first);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(5), [&] { return !events->second.empty(); }));
    EXPECT_EQ(events->second[0].first, ListenerState::failed);
    ASSERT_TRUE(events->second[0].second);
    EXPECT_EQ(events->second[0].second->kind, TransportError::Kind::addressInUse);
    EXPECT_FALSE(events->second[0].second->description.empty());
    EXPECT_FALSE(second->port().has_value());
    lock.unlock();
    queue->shutdown();
}

TEST(TransportFactory, RefusesUnusableParameters) {
    auto factory = makeLinuxTransportFactory();
    TcpParameters noKey = Pairing::parameters(kCode);
    noKey.tls.psk.key.clear();
    EXPECT_THROW(factory->makeTcpTlsListener(noKey, 0), TransportException);
    QuicParameters noAlpn = Pairing::quicParameters(kCode);
    noAlpn.alpn.clear();
    EXPECT_THROW(factory->makeQuicListener(noAlpn, 0), TransportException);
}

}  // namespace
}  // namespace df
