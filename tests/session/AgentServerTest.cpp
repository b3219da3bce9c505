// The server on a fake transport and a manual clock: start-up and its status texts,
// classification of first frames, the lock-out (including failed handshakes), QUIC on
// demand with its one fallback, and the TXT record.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/displays/FakeDisplays.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/dnssd/FakeDnsSdAdvertiser.h"
#include "platform/fake/netinfo/FakeInterfaceAddressList.h"
#include "platform/fake/queue/ManualQueue.h"
#include "protocol/TransportParameters.h"
#include "tests/session/SessionTestSupport.h"

#include <gmock/gmock.h>

namespace df {
namespace {

using ::testing::ElementsAre;

class AgentServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{7, "screen", {0, 0, 1920, 1080}, true, 60}});
        ServerServices s;
        s.queue = queue;
        s.transport = transport;
        s.advertiser = advertiser;
        s.session.agentName = "host-a";
        s.session.macDeviceID = "MAC-ID";
        s.session.addresses = &addresses;
        s.session.trust = trust;
        s.session.l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
        s.session.displays = std::make_shared<DisplayTarget>(displays);
        s.deviceKind = "macmini";
        server = AgentServer::create("123456", [this](const std::string& t) { statuses.push_back(t); }, s);
    }
    void TearDown() override {
        // Classifications still waiting end with their 10 s limit; every posted completion
        // runs, so no queued task keeps a connection (and through it the queue) alive.
        if (auto s = server->session()) s->close();
        for (const auto& s : server->newcomers()) s->close();
        queue->advance(11);
        queue->runUntilIdle();
        server.reset();
        queue->runUntilIdle();
    }

    std::shared_ptr<fake::FakeListener> startServer() {
        server->start();
        queue->runUntilIdle();
        auto l = transport->listeners().at(0).listener;
        l->setState(ListenerState::ready);
        queue->runUntilIdle();
        return l;
    }
    std::shared_ptr<fake::FakeConnection> connect(const std::shared_ptr<fake::FakeListener>& l,
                                                  Endpoint from = {"192.0.2.10", 50000}) {
        auto c = l->injectConnection(std::move(from));
        queue->runUntilIdle();
        return c;
    }
    Bytes helloFrame() { return testsupport::frame(Hello("Phone", 1, std::nullopt, "PHONE-1")); }
    /// The session opened last, authenticated or not.
    std::shared_ptr<AgentSession> newest() const {
        auto waiting = server->newcomers();
        return waiting.empty() ? server->session() : waiting.back();
    }
    /// The trusted phone PHONE-1 connects from `from` and answers its challenge.
    std::shared_ptr<fake::FakeConnection> authenticate(const std::shared_ptr<fake::FakeListener>& l,
                                                       const DeviceAuth::KeyPair& keys, Endpoint from) {
        auto c = connect(l, std::move(from));
        c->feed(helloFrame());
        queue->runUntilIdle();
        auto sent = testsupport::sentMessages(*c);
        auto* challenge = sent.back().get<AuthChallenge>();
        if (!challenge) return c;
        auto key = DeviceAuth::authenticationKey(keys.privateKey, trust->macPublicKey());
        c->feed(testsupport::frame(AuthResponse(DeviceAuth::response(*key, challenge->nonce))));
        queue->runUntilIdle();
        return c;
    }

    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::FakeTransportFactory> transport = std::make_shared<fake::FakeTransportFactory>();
    std::shared_ptr<fake::FakeDnsSdAdvertiser> advertiser = std::make_shared<fake::FakeDnsSdAdvertiser>();
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    fake::FakeInterfaceAddressList addresses;
    std::shared_ptr<AgentServer> server;
    std::vector<std::string> statuses;
};

TEST_F(AgentServerTest, StartListensOnTheFixedPortAdvertisesAndReportsReady) {
    auto l = startServer();
    const auto& made = transport->listeners().at(0);
    EXPECT_EQ(made.port, 52525);
    ASSERT_TRUE(made.tcp.has_value());
    EXPECT_EQ(made.tcp->tls.psk.key, Pairing::parameters("123456").tls.psk.key);
    ASSERT_EQ(advertiser->advertised.size(), 1u);
    const auto& service = advertiser->advertised[0];
    EXPECT_EQ(service.name, "host-a");
    EXPECT_EQ(service.type, "_duskferry._tcp");
    EXPECT_EQ(service.port, 52525);
    EXPECT_EQ(service.txt, AgentServer::txtRecord({{"kind", "macmini"}, {"id", "MAC-ID"}}));
    EXPECT_THAT(statuses, ElementsAre("Waiting for connection…"));
    EXPECT_TRUE(transport->listeners().size() == 1);  // QUIC waits for demand
    EXPECT_TRUE(l->hasNewConnectionHandler());

    advertiser->fire(DnsSdAdvertiser::Event::daemonUnavailable, "no Avahi daemon");
    queue->runUntilIdle();
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses.back(), "Service discovery unavailable (no Avahi daemon); connect by address");
    l->setState(ListenerState::failed, TransportError{TransportError::Kind::other, 0, "socket broke"});
    queue->runUntilIdle();
    EXPECT_EQ(statuses.back(), "Listener failed: socket broke");
}

TEST_F(AgentServerTest, TheServiceIsAdvertisedOnlyOnceTheListenerIsBoundAndWithdrawnWhenItFails) {
    server->start();
    queue->runUntilIdle();
    auto l = transport->listeners().at(0).listener;
    EXPECT_TRUE(advertiser->advertised.empty()) << "not before the port is bound (it may be taken)";
    l->setState(ListenerState::ready);
    queue->runUntilIdle();
    ASSERT_EQ(advertiser->advertised.size(), 1u);
    EXPECT_EQ(advertiser->advertised[0].port, 52525);
    EXPECT_EQ(advertiser->withdrawn, 0u);
    l->setState(ListenerState::failed, TransportError{TransportError::Kind::addressInUse, 0, "port taken"});
    queue->runUntilIdle();
    EXPECT_EQ(advertiser->withdrawn, 1u);
}

TEST_F(AgentServerTest, ListenerThatCannotBeCreatedIsReportedAndNotRetried) {
    transport->failNextListener({TransportError::Kind::invalidArgument, 0, "bad parameters"});
    server->start();
    queue->runUntilIdle();
    EXPECT_THAT(statuses, ElementsAre("Failed to start: bad parameters"));
    EXPECT_TRUE(transport->listeners().empty());
    EXPECT_TRUE(advertiser->advertised.empty());
}

TEST_F(AgentServerTest, TxtRecordIsLengthPrefixedStrings) {
    EXPECT_EQ(AgentServer::txtRecord({}), Bytes{});
    EXPECT_EQ(AgentServer::txtRecord({{"kind", "mac"}, {"id", "X"}}),
              (Bytes{8, 'k', 'i', 'n', 'd', '=', 'm', 'a', 'c', 4, 'i', 'd', '=', 'X'}));
}

TEST_F(AgentServerTest, FirstFrameByteByByteIsClassifiedOnceWhenComplete) {
    auto l = startServer();
    auto c = connect(l);
    EXPECT_TRUE(c->started());
    Bytes hello = helloFrame();
    for (size_t i = 0; i + 1 < hello.size(); ++i) {
        c->feed({hello[i]});
        queue->runUntilIdle();
        ASSERT_EQ(newest(), nullptr) << i;
    }
    c->feed({hello.back()});
    queue->runUntilIdle();
    ASSERT_NE(newest(), nullptr);
    EXPECT_EQ(testsupport::sentCases(*c), (std::vector{ControlMessage::Case::serverHello, ControlMessage::Case::pairRequired}));
    EXPECT_EQ(c->overlappingReceives(), 0);
    EXPECT_EQ(c->lastReceiveMaximum(), 1048576u);
}

TEST_F(AgentServerTest, ConnectionsUnderClassificationAreKeptByTheServer) {
    auto l = startServer();
    std::weak_ptr<fake::FakeConnection> weak = connect(l);  // nobody else holds it
    ASSERT_FALSE(weak.expired());
    weak.lock()->feed(helloFrame());
    queue->runUntilIdle();
    ASSERT_NE(newest(), nullptr);
    auto gone = connect(l, {"192.0.2.12", 1});
    std::weak_ptr<fake::FakeConnection> weakGone = gone;
    gone->feed({1, 0x01, 0x00, 0x00, 0x01});
    gone.reset();
    queue->runUntilIdle();
    EXPECT_TRUE(weakGone.expired());  // released once settled
}

TEST_F(AgentServerTest, PipelinedBytesAfterTheFirstFrameReachTheSession) {
    auto l = startServer();
    auto c = connect(l);
    // Hello and, in the same read, an enrolment: both handled.
    auto keys = DeviceAuth::generateKeyPair();
    c->feed(testsupport::concat({helloFrame(), testsupport::frame(Enroll("PHONE-1", "Phone", keys.publicKey))}));
    queue->runUntilIdle();
    EXPECT_EQ(statuses.back(), "Waiting for approval on this computer: Phone");
}

TEST_F(AgentServerTest, ZeroLengthFirstFrameOfAnotherKindOpensASession) {
    auto l = startServer();
    auto c = connect(l);
    c->feed({2, 0, 0, 0, 0});
    queue->runUntilIdle();
    EXPECT_NE(newest(), nullptr);
}

TEST_F(AgentServerTest, ClassificationEndsWithoutSessionOnBadStarts) {
    struct Row {
        const char* what;
        std::function<void(fake::FakeConnection&, fake::ManualQueue&)> play;
    };
    const std::vector<Row> rows{
        {"oversized header", [](auto& c, auto&) { c.feed({1, 0x01, 0x00, 0x00, 0x01}); }},
        {"first frame above 64 KiB", [](auto& c, auto&) { c.feed({1, 0x00, 0x01, 0x00, 0x01}); }},
        {"end of stream first", [](auto& c, auto&) { c.feed({1, 0, 0}); c.feedEndOfStream(); }},
        {"error first", [](auto& c, auto&) { c.feedError({TransportError::Kind::reset, 0, "reset"}); }},
        {"10 s without a frame", [](auto& c, auto& q) { c.feed({1, 0, 0, 0, 9}); q.runUntilIdle(); q.advance(10.0); }},
        {"media hello without session", [](auto& c, auto&) { c.feed({4, 0, 0, 0, 2, 1, 2}); }},
    };
    auto l = startServer();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        auto c = connect(l);
        row.play(*c, *queue);
        queue->runUntilIdle();
        EXPECT_TRUE(c->cancelled());
        EXPECT_EQ(newest(), nullptr);
        EXPECT_EQ(server->attempts(), 0u);
    }
    // The timeout only fires after a full 10 s.
    auto slow = connect(l);
    queue->advance(9.9);
    EXPECT_FALSE(slow->cancelled());
}

TEST_F(AgentServerTest, ANewcomerReplacesTheSessionOnlyOnceItHasAuthenticated) {
    auto keys = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(trust->trust("PHONE-1", "Phone", keys.publicKey));
    auto l = startServer();
    auto phone = authenticate(l, keys, {"192.0.2.10", 50000});
    auto phoneSession = server->session();
    ASSERT_NE(phoneSession, nullptr);
    ASSERT_EQ(phoneSession->authState(), AgentSession::AuthState::authed);

    // Peers that know the code but not the phone's key: a control frame of any kind, a
    // hello that asks to pair, a hello with a wrong response. None ends the phone's session.
    struct Row {
        const char* what;
        Bytes bytes;
    };
    const std::vector<Row> rows{
        {"heartbeat first", testsupport::frame(Heartbeat{})},
        {"pairing hello", testsupport::frame(Hello("Other", 1, std::nullopt, "OTHER"))},
        {"wrong response", testsupport::concat({helloFrame(), testsupport::frame(AuthResponse(Bytes(32, 7)))})},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        auto other = connect(l, {"192.0.2.20", static_cast<uint16_t>(40000 + i)});
        other->feed(rows[i].bytes);
        queue->runUntilIdle();
        EXPECT_EQ(server->session(), phoneSession);
        EXPECT_FALSE(phoneSession->isClosed());
        EXPECT_FALSE(phone->cancelled());
    }
    EXPECT_NE(statuses.back(), "Waiting for connection…");

    // The phone itself, back after a network change, takes over at once: the stale session
    // is gone before the new one begins, and the status line never says it is waiting.
    statuses.clear();
    auto back = authenticate(l, keys, {"198.51.100.30", 50000});
    EXPECT_NE(server->session(), phoneSession);
    EXPECT_EQ(server->session()->authState(), AgentSession::AuthState::authed);
    EXPECT_TRUE(phoneSession->isClosed());
    EXPECT_TRUE(phone->cancelled());
    EXPECT_THAT(statuses, ElementsAre("Connected: Phone"));
}

TEST_F(AgentServerTest, MediaHelloGoesToTheSessionWithItsRemainder) {
    auto keys = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(trust->trust("PHONE-1", "Phone", keys.publicKey));
    auto l = startServer();
    auto control = connect(l);
    control->feed(helloFrame());
    queue->runUntilIdle();
    Bytes nonce = testsupport::sentMessages(*control).back().get<AuthChallenge>()->nonce;
    auto key = DeviceAuth::authenticationKey(keys.privateKey, trust->macPublicKey());
    control->feed(testsupport::frame(AuthResponse(DeviceAuth::response(*key, nonce))));
    queue->runUntilIdle();
    auto session = server->session();
    ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);

    auto media = connect(l, {"192.0.2.10", 50001});
    Bytes token = session->mediaToken();
    Bytes hello{4, 0, 0, 0, 16};
    hello.insert(hello.end(), token.begin(), token.end());
    queue->advance(3);
    media->feed(testsupport::concat({hello, testsupport::frame(Heartbeat{})}));
    queue->runUntilIdle();
    EXPECT_TRUE(session->hasMediaConnection());
    EXPECT_FALSE(media->cancelled());
    EXPECT_DOUBLE_EQ(session->lastHeartbeatAt(), queue->now());
    EXPECT_EQ(server->session(), session);

    auto bad = connect(l, {"192.0.2.10", 50002});
    bad->feed({4, 0, 0, 0, 1, 0});
    queue->runUntilIdle();
    EXPECT_TRUE(bad->cancelled());
}

TEST_F(AgentServerTest, FiveFailedHandshakesLockTheAddressAcrossPorts) {
    auto l = startServer();
    for (int i = 0; i < 4; ++i) l->reportHandshakeFailure({"198.51.100.7", static_cast<uint16_t>(40000 + i)});
    queue->runUntilIdle();
    auto allowed = connect(l, {"198.51.100.7", 41000});
    EXPECT_FALSE(allowed->cancelled());
    l->reportHandshakeFailure({"198.51.100.7", 40010});
    queue->runUntilIdle();
    auto rejected = connect(l, {"198.51.100.7", 41001});
    EXPECT_TRUE(rejected->cancelled());
    EXPECT_FALSE(rejected->started());  // no byte read
    EXPECT_EQ(statuses.back(), "Rejected: 198.51.100.7 — too many failures, locked temporarily");
    auto otherHost = connect(l, {"198.51.100.8", 41001});
    EXPECT_FALSE(otherHost->cancelled());
    // The attempt admitted before the lock still counts while it is under way; it ends here.
    allowed->feedEndOfStream();
    queue->advance(2.0);
    auto later = connect(l, {"198.51.100.7", 41002});
    EXPECT_FALSE(later->cancelled());
}

TEST_F(AgentServerTest, FiveWrongResponsesLockTheAddress) {
    auto keys = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(trust->trust("PHONE-1", "Phone", keys.publicKey));
    auto l = startServer();
    for (int i = 0; i < 5; ++i) {
        auto c = connect(l, {"203.0.113.5", static_cast<uint16_t>(50000 + i)});
        c->feed(testsupport::concat({helloFrame(), testsupport::frame(AuthResponse(Bytes(32, 7)))}));
        queue->runUntilIdle();
        ASSERT_EQ(testsupport::sentMessages(*c).back().get<AuthFailed>()->reason, "Device authentication failed");
    }
    EXPECT_EQ(server->failures().entry("203.0.113.5")->count, 5);
    auto c = connect(l, {"203.0.113.5", 50100});
    EXPECT_TRUE(c->cancelled());
}

TEST_F(AgentServerTest, ParallelHandshakesFromOneAddressCannotOutrunTheLockOut) {
    auto l = startServer();
    // Waves of 200 parallel connections from one address, each with a wrong code: only the
    // connections still alive when their handshake ends get their code checked.
    int checked = 0;
    for (int wave = 0; wave < 3; ++wave) {
        std::vector<std::shared_ptr<fake::FakeConnection>> wrong;
        for (int i = 0; i < 200; ++i) {
            wrong.push_back(connect(l, {"198.51.100.7", static_cast<uint16_t>(10000 + wave * 1000 + i)}));
        }
        for (const auto& c : wrong) {
            if (!c->started() || c->cancelled()) continue;
            ++checked;
            l->reportHandshakeFailure(c->remoteEndpoint());
            c->setState(ConnectionState::failed, TransportError{TransportError::Kind::handshake, 0, "wrong key"});
        }
        queue->runUntilIdle();
    }
    EXPECT_LE(checked, FailureRecord::failThreshold);
    EXPECT_TRUE(server->failures().isLocked("198.51.100.7", queue->now()));
    EXPECT_EQ(server->attempts(), 0u);
}

TEST_F(AgentServerTest, IPv6SourcesAreKeyedByTheirSlash64) {
    const std::vector<std::pair<std::string, std::string>> keys{
        {"2001:db8:1:2:aaaa:bbbb:cccc:dddd", "2001:db8:1:2::/64"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
        {"fe80::1%eth0", "fe80::/64"},
        {"::1", "::/64"},
        {"192.0.2.1", "192.0.2.1"},
        {"not an address", "not an address"},
    };
    for (const auto& [host, key] : keys) EXPECT_EQ(AgentServer::sourceKey({host, 1}), key) << host;

    auto l = startServer();
    // A host rotating through its /64 still runs into the one lock.
    for (int i = 0; i < 5; ++i) {
        l->reportHandshakeFailure({"2001:db8:1:2::" + std::to_string(100 + i), 40000});
    }
    queue->runUntilIdle();
    EXPECT_TRUE(connect(l, {"2001:db8:1:2:ffff::9", 41000})->cancelled());
    EXPECT_EQ(statuses.back(), "Rejected: 2001:db8:1:2::/64 — too many failures, locked temporarily");
    EXPECT_FALSE(connect(l, {"2001:db8:1:3::9", 41000})->cancelled());
}

TEST_F(AgentServerTest, OverTheFailureBudgetHandshakesAreSlowedButThePhoneStillGetsIn) {
    auto keys = DeviceAuth::generateKeyPair();
    ASSERT_TRUE(trust->trust("PHONE-1", "Phone", keys.publicKey));
    auto l = startServer();
    // Wrong codes from many addresses, none of them locked.
    for (int i = 0; i <= static_cast<int>(FailureRecord::failureBudget); ++i) {
        l->reportHandshakeFailure({"10.9." + std::to_string(i / 4) + "." + std::to_string(i % 4), 1000});
    }
    queue->runUntilIdle();
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Repeated failed pairing attempts"), 1);

    // Another address hammers; the phone connects in the middle of it.
    std::vector<std::shared_ptr<fake::FakeConnection>> hammer;
    for (int i = 0; i < 10; ++i) hammer.push_back(connect(l, {"203.0.113.66", static_cast<uint16_t>(2000 + i)}));
    auto phone = connect(l, {"192.0.2.10", 50000});
    for (int i = 10; i < 20; ++i) hammer.push_back(connect(l, {"203.0.113.66", static_cast<uint16_t>(2000 + i)}));
    auto started = [&] { return std::count_if(hammer.begin(), hammer.end(), [](auto& c) { return c->started(); }); };
    EXPECT_EQ(started(), 1);  // one handshake per interval
    EXPECT_FALSE(phone->started());
    queue->advance(AgentServer::slowedHandshakeInterval);
    ASSERT_TRUE(phone->started());  // its address's turn comes before the hammer's second
    EXPECT_EQ(started(), 1);

    phone->feed(helloFrame());
    queue->runUntilIdle();
    auto sent = testsupport::sentMessages(*phone);
    auto* challenge = sent.back().get<AuthChallenge>();
    ASSERT_NE(challenge, nullptr);
    auto key = DeviceAuth::authenticationKey(keys.privateKey, trust->macPublicKey());
    phone->feed(testsupport::frame(AuthResponse(DeviceAuth::response(*key, challenge->nonce))));
    queue->runUntilIdle();
    ASSERT_NE(server->session(), nullptr);
    EXPECT_EQ(server->session()->authState(), AgentSession::AuthState::authed);
    EXPECT_EQ(statuses.back(), "Connected: Phone");
}

TEST_F(AgentServerTest, UnauthenticatedConnectionsAreCappedPerSourceAndOverall) {
    auto l = startServer();
    std::vector<std::shared_ptr<fake::FakeConnection>> one;
    for (int i = 0; i < 10; ++i) one.push_back(connect(l, {"192.0.2.77", static_cast<uint16_t>(3000 + i)}));
    // The newest stay; the oldest made room.
    for (int i = 0; i < 10; ++i) EXPECT_EQ(one[i]->cancelled(), i < 10 - static_cast<int>(AgentServer::maxAttemptsPerSource)) << i;
    EXPECT_EQ(server->attempts(), AgentServer::maxAttemptsPerSource);

    // Many sources: the total stays at the cap, and the busiest source gives way first.
    std::vector<std::shared_ptr<fake::FakeConnection>> many;
    for (size_t i = 0; i < AgentServer::maxAttempts; ++i) {
        many.push_back(connect(l, {"10.20." + std::to_string(i / 200) + "." + std::to_string(i % 200), 1}));
    }
    EXPECT_EQ(server->attempts(), AgentServer::maxAttempts);
    EXPECT_TRUE(std::all_of(one.begin(), one.end(), [](auto& c) { return c->cancelled(); }));
    EXPECT_FALSE(many.back()->cancelled());
}

TEST_F(AgentServerTest, IdleConnectionsMakeRoomBeforeOneThatHasSaidHello) {
    auto l = startServer();
    auto phone = connect(l, {"192.0.2.77", 3000});
    phone->feed(helloFrame());
    queue->runUntilIdle();
    ASSERT_EQ(server->newcomers().size(), 1u);
    // The same address floods idle connections while the phone pairs.
    std::vector<std::shared_ptr<fake::FakeConnection>> idle;
    for (int i = 0; i < 20; ++i) idle.push_back(connect(l, {"192.0.2.77", static_cast<uint16_t>(4000 + i)}));
    EXPECT_FALSE(phone->cancelled());
    EXPECT_EQ(server->newcomers().size(), 1u);
    EXPECT_EQ(server->attempts(), AgentServer::maxAttemptsPerSource);
}

TEST_F(AgentServerTest, QuicStartsOnDemandFallsBackOnceThenGivesUp) {
    startServer();
    EXPECT_EQ(server->quicPortProvider(), std::nullopt);  // not ready yet
    ASSERT_EQ(transport->listeners().size(), 2u);
    auto fixed = transport->listeners()[1];
    EXPECT_EQ(fixed.port, 52526);
    ASSERT_TRUE(fixed.quic.has_value());
    EXPECT_EQ(fixed.quic->alpn, std::vector<std::string>{"brevox-m1"});
    EXPECT_EQ(server->quicPortProvider(), std::nullopt);
    EXPECT_EQ(transport->listeners().size(), 2u);  // no second listener while one exists

    fixed.listener->setState(ListenerState::failed, TransportError{TransportError::Kind::addressInUse, 98, "in use"});
    queue->runUntilIdle();
    ASSERT_EQ(transport->listeners().size(), 3u);
    auto any = transport->listeners()[2];
    EXPECT_EQ(any.port, 0);
    any.listener->setState(ListenerState::ready, std::nullopt, 40123);
    queue->runUntilIdle();
    EXPECT_EQ(server->quicPortProvider(), 40123);

    any.listener->setState(ListenerState::failed, TransportError{TransportError::Kind::other, 0, "broke"});
    queue->runUntilIdle();
    EXPECT_EQ(statuses.back(), "QUIC listener failed — video over TCP");
    EXPECT_EQ(server->quicPortProvider(), std::nullopt);
    EXPECT_EQ(transport->listeners().size(), 3u);
    // A late event of the replaced fixed-port listener changes nothing.
    fixed.listener->setState(ListenerState::ready);
    queue->runUntilIdle();
    EXPECT_EQ(server->quicPortProvider(), std::nullopt);
}

TEST_F(AgentServerTest, QuicListenerCancelsControlFramesAndLockedRemotesSilently) {
    startServer();
    server->quicPortProvider();
    auto q = transport->listeners()[1].listener;
    q->setState(ListenerState::ready);
    queue->runUntilIdle();
    auto c = q->injectConnection(Endpoint{"192.0.2.50", 6000});
    queue->runUntilIdle();
    c->feed(helloFrame());
    queue->runUntilIdle();
    EXPECT_TRUE(c->cancelled());
    EXPECT_EQ(server->session(), nullptr);

    for (int i = 0; i < 5; ++i) q->reportHandshakeFailure({"192.0.2.60", 7000});
    queue->runUntilIdle();
    size_t before = statuses.size();
    auto locked = q->injectConnection(Endpoint{"192.0.2.60", 7001});
    queue->runUntilIdle();
    EXPECT_TRUE(locked->cancelled());
    EXPECT_EQ(statuses.size(), before);
    // The lock-out also keeps the address from starting a QUIC handshake at all.
    EXPECT_FALSE(q->admits({"192.0.2.60", 7002}));
    EXPECT_TRUE(q->admits({"192.0.2.61", 7002}));
    queue->advance(2.0);
    EXPECT_TRUE(q->admits({"192.0.2.60", 7003}));
}

TEST(NetInfoTest, AddressRules) {
    using L = fake::FakeInterfaceAddressList;
    L list;
    list.entries = std::vector<InterfaceAddress>{
        L::link("lo", {0, 0, 0, 0, 0, 0}),
        L::link("en1", {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x01}),
        L::link("enx0", {0, 0, 0, 0, 0, 0}),
        L::link("en0", {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0x00}),
        L::link("wlan0", {1, 2, 3, 4, 5, 6}),
        L::ipv4("lo", 127, 0, 0, 1),
        L::ipv4("eth1", 169, 254, 3, 4),
        L::ipv4("eth0", 10, 0, 0, 1),
        L::ipv4("tailscale0", 100, 128, 0, 1),
        L::ipv4("tailscale0", 100, 100, 1, 2),
    };
    // No default route: the first card that is up with an address (en0 has no say).
    EXPECT_EQ(NetInfo::primaryMACAddress(list), "aa:bb:cc:dd:ee:01");
    EXPECT_EQ(NetInfo::tailscaleIPv4(list), "100.100.1.2");
    EXPECT_EQ(NetInfo::lanIPv4(list), "10.0.0.1");

    list.entries = std::vector<InterfaceAddress>{L::link("wlan0", {1, 2, 3, 4, 5, 6}),
                                                 L::link("enp3s0", {0, 0, 0, 0, 0, 0}),
                                                 L::link("enp4s0", {0x02, 0, 0, 0, 0, 0x0a}),
                                                 L::link("en2", {1, 2, 3, 4, 5, 6, 7, 8}),
                                                 L::ipv4("eth0", 100, 128, 0, 1)};
    list.defaultRoute = "enp4s0";
    EXPECT_EQ(NetInfo::primaryMACAddress(list), "02:00:00:00:00:0a");
    EXPECT_EQ(NetInfo::tailscaleIPv4(list), std::nullopt);

    list.entries.reset();  // the list cannot be read
    EXPECT_EQ(NetInfo::primaryMACAddress(list), std::nullopt);
    EXPECT_EQ(NetInfo::tailscaleIPv4(list), std::nullopt);
}

}  // namespace
}  // namespace df
