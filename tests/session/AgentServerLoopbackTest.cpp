// The agent server on the real transport, on loopback, with a test acting as the phone:
// pairing with the approval answered on the terminal prompt, challenge and response, the
// hello acknowledgement, media over TCP and QUIC, heartbeats, replacement by a second phone,
// the lock-out after wrong codes and wrong responses, and the stream rules.

#include "DuskFerryAgent/session/AgentServer.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/SerialQueue.h"
#include "platform/fake/queue/ManualQueue.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "platform/linux/alert/TerminalAlertPresenter.h"
#include "platform/linux/keychain/FileAgentKeychain.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "tests/session/PhoneOnLoopback.h"
#include "tests/session/SessionTestSupport.h"
#include "tests/support/TempDir.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <iostream>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;

class AgentServerLoopbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(answerPipe), 0);
        nullOut = ::open("/dev/null", O_WRONLY);
        alerts = std::make_shared<TerminalAlertPresenter>(mainQueue, answerPipe[0], nullOut);
        ServerServices s;
        s.queue = serverQueue;
        s.transport = transport;
        s.session.mainQueue = mainQueue;
        s.session.approval = Approval::create(mainQueue, alerts, l10n);
        s.session.trust = trust;
        s.session.l10n = l10n;
        s.session.agentName = "loopback-agent";
        s.session.macDeviceID = trust->macDeviceID();
        s.tcpPort = 0;
        s.quicPort = 0;
        s.bindHost = "127.0.0.1";
        s.lockoutClock = lockoutClock;
        s.onFailureRecorded = [this](const std::string& source, const FailureRecord::Entry& entry) {
            std::lock_guard lock(statusMutex);
            recorded.emplace_back(source, entry.count);
            statusChanged.notify_all();
        };
        server = AgentServer::create(code, [this](const std::string& t) {
            std::lock_guard lock(statusMutex);
            statuses.push_back(t);
            statusChanged.notify_all();
        }, s);
        server->start();
        ASSERT_TRUE(waitForStatus("Waiting for connection…"));
        serverQueue->sync([&] { tcpPort = *server->tcpPort(); });
    }
    void TearDown() override {
        if (HasFailure()) {
            std::lock_guard lock(statusMutex);
            for (const auto& t : statuses) std::cerr << "status: " << t << "\n";
        }
        serverQueue->sync([&] {
            if (auto s = server->session()) s->close();
        });
        // After the teardown close() posted.
        serverQueue->sync([&] { server.reset(); });
        alerts.reset();
        // What the cancelled connections still had to report goes with the queues.
        for (auto& queue : {serverQueue, mainQueue, phoneQueue}) queue->shutdown();
        ::close(answerPipe[1]);
        ::close(answerPipe[0]);
        ::close(nullOut);
    }

    bool waitForStatus(const std::string& text, double seconds = 5) {
        std::unique_lock lock(statusMutex);
        return statusChanged.wait_for(lock, std::chrono::duration<double>(seconds),
                                      [&] { return std::ranges::find(statuses, text) != statuses.end(); });
    }
    /// Waits for the server's own record of `count` failures in a row from `source`.
    bool waitForFailures(const std::string& source, long long count, double seconds = 10) {
        std::unique_lock lock(statusMutex);
        return statusChanged.wait_for(lock, std::chrono::duration<double>(seconds), [&] {
            return std::ranges::find(recorded, std::make_pair(source, count)) != recorded.end();
        });
    }
    /// Checks `condition` on the server queue until it holds (true) or 5 s have passed.
    bool waitOnServer(const std::function<bool()>& condition) {
        for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;
             std::this_thread::sleep_for(5ms)) {
            bool holds = false;
            serverQueue->sync([&] { holds = condition(); });
            if (holds) return true;
        }
        return false;
    }
    /// The QUIC port, starting the listener on first demand and waiting for it to be bound.
    std::optional<uint16_t> quicPort() {
        std::optional<uint16_t> port;
        waitOnServer([&] { return (port = server->quicPortProvider()).has_value(); });
        return port;
    }
    std::unique_ptr<testsupport::PhoneConnection> phone() {
        return std::make_unique<testsupport::PhoneConnection>(transport, phoneQueue);
    }
    Endpoint agent() const { return {"127.0.0.1", tcpPort}; }
    void answerOnTerminal(const char* line) { ASSERT_GT(::write(answerPipe[1], line, std::strlen(line)), 0); }

    /// Pairs (if needed) and authenticates; returns the hello acknowledgement.
    std::optional<HelloAck> authenticate(testsupport::PhoneConnection& p, const std::vector<std::string>& features = {}) {
        EXPECT_TRUE(p.waitReady());
        p.send(Hello("Test Phone", 1, std::nullopt, "PHONE-LOOP", features));
        auto sh = p.waitFor<ServerHello>();
        EXPECT_TRUE(sh.has_value());
        if (!trust->isTrusted("PHONE-LOOP")) {
            EXPECT_TRUE(p.waitFor<PairRequired>().has_value());
            answerOnTerminal("y\n");
            p.send(Enroll("PHONE-LOOP", "Test Phone", keys.publicKey));
            auto result = p.waitFor<EnrollResult>();
            if (!result || !result->approved) return std::nullopt;
            macPublicKey = *result->macPublicKey;
        }
        auto challenge = p.waitFor<AuthChallenge>();
        if (!challenge) return std::nullopt;
        auto key = DeviceAuth::authenticationKey(keys.privateKey, macPublicKey);
        p.send(AuthResponse(DeviceAuth::response(*key, challenge->nonce)));
        return p.waitFor<HelloAck>();
    }
    std::shared_ptr<AgentSession> session() {
        std::shared_ptr<AgentSession> s;
        serverQueue->sync([&] { s = server->session(); });
        return s;
    }

    // The real key store, in a directory of its own.
    testsupport::TempDir dir;
    FileAgentKeychain keychain{dir / "keys"};
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::string code = "314159";
    std::shared_ptr<SerialQueue> serverQueue = SerialQueue::create("duskferry.server");
    std::shared_ptr<SerialQueue> mainQueue = SerialQueue::create("main");
    std::shared_ptr<SerialQueue> phoneQueue = SerialQueue::create("phone");
    std::shared_ptr<TransportFactory> transport = makeLinuxTransportFactory();
    std::shared_ptr<AlertPresenter> alerts;
    int answerPipe[2] = {-1, -1};
    int nullOut = -1;
    std::shared_ptr<AgentServer> server;
    uint16_t tcpPort = 0;
    // The lock-out record's time stands still unless a test moves it: a lock lasts as long
    // as the test needs it to, however slow the machine.
    std::shared_ptr<fake::ManualClock> lockoutClock = std::make_shared<fake::ManualClock>();
    std::mutex statusMutex;
    std::condition_variable statusChanged;
    std::vector<std::string> statuses;
    std::vector<std::pair<std::string, long long>> recorded;  // source, failures in a row
    DeviceAuth::KeyPair keys = DeviceAuth::generateKeyPair();
    Bytes macPublicKey;
    // A phone connection that outlives the fixture's teardown.
    std::unique_ptr<testsupport::PhoneConnection> keptOpen;
};

TEST_F(AgentServerLoopbackTest, PairAuthenticateAndStreamOverTcpAndQuic) {
    auto control = phone();
    control->connectTcp(agent(), code);
    auto ack = authenticate(*control, {"quic", "cstats"});
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(ack->macName, "loopback-agent");
    ASSERT_TRUE(ack->mediaToken.has_value());
    EXPECT_EQ(ack->mediaToken->size(), 16u);
    EXPECT_TRUE(waitForStatus("Connected: Test Phone"));
    EXPECT_TRUE(trust->isTrusted("PHONE-LOOP"));

    // Heartbeat on the control connection.
    control->send(Heartbeat{});
    EXPECT_TRUE(control->waitFor<Heartbeat>().has_value());
    EXPECT_TRUE(control->waitFor<CaptureAlive>().has_value());

    // TCP media connection: the media hello and a heartbeat pipelined behind it.
    auto media = phone();
    media->connectTcp(agent(), code);
    ASSERT_TRUE(media->waitReady());
    media->sendRaw(testsupport::concat({WireFrame::encode(WireKind::mediaHello, *ack->mediaToken),
                                 testsupport::frame(Heartbeat{})}));
    auto alive = control->waitFor<CaptureAlive>();
    ASSERT_TRUE(alive.has_value());
    EXPECT_FALSE(alive->alive);
    auto s = session();
    bool attached = false;
    serverQueue->sync([&] { attached = s->hasMediaConnection(); });
    EXPECT_TRUE(attached);
    serverQueue->sync([&] { s->sendMedia(WireKind::videoFrame, {1, 2, 3}); });
    auto video = media->nextFrame();
    ASSERT_TRUE(video.has_value());
    EXPECT_EQ(video->kind, WireKind::videoFrame);
    EXPECT_EQ(video->payload, (Bytes{1, 2, 3}));

    // QUIC media stream, on the port the hello acknowledgement announced (or, when the
    // listener was not ready by then, the one it has now).
    std::optional<uint16_t> quicPort = ack->quicPort ? ack->quicPort : this->quicPort();
    ASSERT_TRUE(quicPort.has_value());
    auto quic = phone();
    quic->connectQuic({"127.0.0.1", *quicPort}, code);
    ASSERT_TRUE(quic->waitReady());
    quic->sendMediaHello(*ack->mediaToken);
    ASSERT_TRUE(waitOnServer([&] { return s->hasQuicMediaConnection(); }));
    serverQueue->sync([&] { s->sendMedia(WireKind::audioFrame, {7, 7}); });
    auto audio = quic->nextFrame();
    ASSERT_TRUE(audio.has_value());
    EXPECT_EQ(audio->kind, WireKind::audioFrame);
    // A heartbeat over QUIC is answered on the control connection.
    quic->send(Heartbeat{});
    EXPECT_TRUE(control->waitFor<Heartbeat>().has_value());

    // A second phone replaces the first: its connections are ended.
    auto second = phone();
    second->connectTcp(agent(), code);
    ASSERT_TRUE(authenticate(*second).has_value());
    EXPECT_TRUE(control->waitEnded());
    EXPECT_TRUE(media->waitEnded());
}

TEST_F(AgentServerLoopbackTest, UndecodableMessageKeepsTheConnectionOversizedHeaderEndsIt) {
    auto p = phone();
    p->connectTcp(agent(), code);
    ASSERT_TRUE(p->waitReady());
    p->send(Hello("Test Phone", 1, std::nullopt, "PHONE-X"));
    ASSERT_TRUE(p->waitFor<PairRequired>().has_value());
    p->sendRaw(WireFrame::encode(WireKind::control, Bytes{'{', 'x'}));
    p->send(Hello("Test Phone", 1, std::nullopt, "PHONE-X"));
    EXPECT_TRUE(p->waitFor<ServerHello>().has_value());
    p->sendRaw({1, 0x01, 0x00, 0x00, 0x01});
    EXPECT_TRUE(p->waitEnded());
}

TEST_F(AgentServerLoopbackTest, FiveWrongCodesLockTheAddress) {
    for (int i = 0; i < 5; ++i) {
        auto p = phone();
        p->connectTcp(agent(), "000000");
        EXPECT_FALSE(p->waitReady());
    }
    // A phone can see its handshake fail before the server has counted the failure.
    ASSERT_TRUE(waitForFailures("127.0.0.1", 5));
    auto p = phone();
    p->connectTcp(agent(), code);
    EXPECT_FALSE(p->waitReady());  // refused before the handshake
    EXPECT_TRUE(waitForStatus("Rejected: 127.0.0.1 — too many failures, locked temporarily"));
    lockoutClock->advance(2.1);  // the 5th failure locks for 2 s
    auto later = phone();
    later->connectTcp(agent(), code);
    EXPECT_TRUE(later->waitReady());
}

// Many wrong-code handshakes at once from one address: each is counted when admitted, so
// only as many reach the pre-shared key check as it takes to lock the address; the phone
// with the right code gets in from the same address once the lock has run out.
TEST_F(AgentServerLoopbackTest, ParallelWrongCodesFromOneAddressAreCheckedOnlyUntilTheLock) {
    std::vector<std::unique_ptr<testsupport::PhoneConnection>> wrong;
    for (int i = 0; i < 60; ++i) {
        wrong.push_back(phone());
        wrong.back()->connectTcp(agent(), "000000");
    }
    for (auto& p : wrong) EXPECT_FALSE(p->waitReady(10));
    ASSERT_TRUE(waitOnServer([&] { return server->attempts() == 0; }));
    long long checked = 0;
    serverQueue->sync([&] {
        const auto* entry = server->failures().entry("127.0.0.1");
        checked = entry ? entry->count : 0;
    });
    RecordProperty("handshakesChecked", std::to_string(checked));
    EXPECT_GE(checked, 1);
    EXPECT_LE(checked, FailureRecord::failThreshold);

    lockoutClock->advance(FailureRecord::maxLockSeconds + 1);
    auto p = phone();
    p->connectTcp(agent(), code);
    EXPECT_TRUE(authenticate(*p).has_value());
}

// The phone stays connected and silent past the teardown, so the server and its queue end
// while the connection still waits for its first frame: nothing of it may be left behind
// (the leak checker of the sanitizer build reports what is).
TEST_F(AgentServerLoopbackTest, AConnectionStillBeingClassifiedEndsWithTheServer) {
    keptOpen = phone();
    keptOpen->connectTcp(agent(), code);
    ASSERT_TRUE(keptOpen->waitReady());
}

TEST_F(AgentServerLoopbackTest, FiveWrongResponsesLockTheAddress) {
    ASSERT_TRUE(trust->trust("PHONE-LOOP", "Test Phone", keys.publicKey));
    for (int i = 0; i < 5; ++i) {
        auto p = phone();
        p->connectTcp(agent(), code);
        ASSERT_TRUE(p->waitReady());
        p->send(Hello("Test Phone", 1, std::nullopt, "PHONE-LOOP"));
        ASSERT_TRUE(p->waitFor<AuthChallenge>().has_value());
        p->send(AuthResponse(Bytes(32, 0x5a)));
        auto failed = p->waitFor<AuthFailed>();
        ASSERT_TRUE(failed.has_value());
        EXPECT_EQ(failed->reason, "Device authentication failed");
        EXPECT_TRUE(p->waitEnded());
    }
    ASSERT_TRUE(waitForFailures("127.0.0.1", 5));
    auto p = phone();
    p->connectTcp(agent(), code);
    EXPECT_FALSE(p->waitReady());
    EXPECT_TRUE(waitForStatus("Rejected: 127.0.0.1 — too many failures, locked temporarily"));
}

TEST_F(AgentServerLoopbackTest, WrongCodesOverQuicCountToo) {
    std::optional<uint16_t> quicPort = this->quicPort();
    ASSERT_TRUE(quicPort.has_value());
    for (int i = 0; i < 5; ++i) {
        auto p = phone();
        p->connectQuic({"127.0.0.1", *quicPort}, "000000");
        EXPECT_FALSE(p->waitReady());
    }
    // The phone sees its handshake fail before the server has counted it: wait for the count.
    ASSERT_TRUE(waitForFailures("127.0.0.1", 5));
    bool locked = false;
    serverQueue->sync([&] { locked = server->failures().isLocked("127.0.0.1", lockoutClock->uptime()); });
    EXPECT_TRUE(locked);
    // While locked, not even the right code gets a QUIC handshake: guessing has to stop.
    auto right = phone();
    right->connectQuic({"127.0.0.1", *quicPort}, code);
    EXPECT_FALSE(right->waitReady(1.5));
}

TEST_F(AgentServerLoopbackTest, ForgedQuicInitialsNeverLockTheirSourceAddressOut) {
    std::optional<uint16_t> quicPort = this->quicPort();
    ASSERT_TRUE(quicPort.has_value());
    // A wrong code's first Initial, captured, then sent again and again "from" the phone's
    // address by someone who never sees the answers.
    auto udp = [](timeval timeout) {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        return fd;
    };
    const int capture = udp({2, 0});
    sockaddr_in captureAddress{};
    socklen_t length = sizeof captureAddress;
    ::getsockname(capture, reinterpret_cast<sockaddr*>(&captureAddress), &length);
    Bytes initial(65536);
    {
        auto wrong = phone();
        wrong->connectQuic({"127.0.0.1", ntohs(captureAddress.sin_port)}, "000000");
        const ssize_t n = ::recv(capture, initial.data(), initial.size(), 0);
        initial.resize(n > 0 ? static_cast<size_t>(n) : 0);
        // Ended before the forgeries start: a client stream cancelled in the middle of its
        // first flight, with the phone's queue shut down soon after, was once left behind
        // with that queue (a leak report at exit, about one run in twenty).
        wrong->cancel();
        ASSERT_TRUE(wrong->waitEnded());
    }
    ::close(capture);
    ASSERT_FALSE(initial.empty());
    const int forger = udp({0, 0});
    sockaddr_in listener{};
    listener.sin_family = AF_INET;
    listener.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    listener.sin_port = htons(*quicPort);
    for (int i = 0; i < 20; ++i) {
        ::sendto(forger, initial.data(), initial.size(), 0, reinterpret_cast<sockaddr*>(&listener), sizeof listener);
        std::this_thread::sleep_for(5ms);
    }
    ::close(forger);

    // The phone at that address gets in over QUIC and over TCP.
    auto quic = phone();
    quic->connectQuic({"127.0.0.1", *quicPort}, code);
    EXPECT_TRUE(quic->waitReady());
    auto tcp = phone();
    tcp->connectTcp(agent(), code);
    EXPECT_TRUE(tcp->waitReady());
    bool locked = true;
    serverQueue->sync([&] { locked = server->failures().isLocked("127.0.0.1", lockoutClock->uptime()); });
    EXPECT_FALSE(locked);
    std::lock_guard lock(statusMutex);
    EXPECT_TRUE(recorded.empty()) << "no failure counted for forged packets";
}

}  // namespace
}  // namespace df
