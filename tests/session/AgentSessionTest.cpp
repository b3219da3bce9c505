// The session on a fake control connection and a manual clock: the handshake rows, the
// hello acknowledgement, dispatch preconditions, close(), media channels and the watchdog.

#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/input/InjectorSessionInput.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/Approval.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/activity/RecordingUserActivity.h"
#include "platform/fake/alert/FakeAlertPresenter.h"
#include "platform/fake/displays/FakeDisplays.h"
#include "platform/fake/input/FakeInputEvents.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/netinfo/FakeInterfaceAddressList.h"
#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/settings/MemorySettingsStore.h"
#include "tests/session/SessionTestSupport.h"

#include <gmock/gmock.h>

namespace df {
namespace {

using Case = ControlMessage::Case;
using ::testing::ElementsAre;

class RecordingInput final : public SessionInput {
public:
    std::vector<PointerEvent> pointers;
    std::vector<KeyEvent> keys;
    std::vector<SystemGesture> gestures;
    std::optional<std::pair<double, double>> position{{0.25, 0.75}};
    void handlePointer(const PointerEvent& e) override { pointers.push_back(e); }
    void handleScroll(const ScrollEvent&) override {}
    void handleKey(const KeyEvent& e) override { keys.push_back(e); }
    void handleText(const TextInput&) override {}
    void handleGesture(SystemGesture g) override { gestures.push_back(g); }
    std::optional<std::pair<double, double>> currentNormalizedPosition() override { return position; }
    void close() override {}
};

class AgentSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{7, "screen", {0, 0, 2560, 1440}, true, 60}, {9, "", {2560, 0, 1280, 1024}, false, 60}});
        addresses.entries = std::vector<InterfaceAddress>{
            fake::FakeInterfaceAddressList::link("en0", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55})};
        phoneKeys = DeviceAuth::generateKeyPair();
        conn->start(queue);
    }
    void TearDown() override {
        // Let every posted completion run: a task still queued holds its connection, and the
        // connection holds the queue.
        if (session) session->close();
        queue->advance(20);
        main->advance(20);
        run();
    }

    SessionServices services() {
        SessionServices s;
        s.mainQueue = main;
        s.approval = approval;  // one for the agent, as its main makes it
        s.trust = trust;
        s.l10n = l10n;
        s.displays = target;
        s.virtualDisplay = virtualDisplay;
        s.settings = &settings;
        s.makeInput = [this](std::shared_ptr<DispatchQueue>) { return input; };
        s.postLockChord = [this] { ++lockChords; };
        s.declareUserActivity = [this](const std::string& reason) { activity->declare(reason); };
        s.addresses = &addresses;
        s.agentName = "test-host";
        s.macDeviceID = "MAC-ID";
        return s;
    }

    std::shared_ptr<AgentSession> makeSession(std::shared_ptr<fake::FakeConnection> c) {
        return AgentSession::create(
            c, queue, [this](const std::string& t) { statuses.push_back(t); },
            [this](bool ok) { authResults.push_back(ok); },
            [this]() -> std::optional<uint16_t> {
                ++quicCalls;
                return quicPort;
            },
            services());
    }

    void startSession(Bytes initial = {}) {
        session = makeSession(conn);
        session->start(std::move(initial));
        run();
    }
    void run() {
        queue->runUntilIdle();
        main->runUntilIdle();
        queue->runUntilIdle();
    }
    void phoneSends(const ControlMessage& m, const std::shared_ptr<fake::FakeConnection>& c = nullptr) {
        (c ? c : conn)->feed(testsupport::frame(m));
        run();
    }
    Hello hello(std::optional<std::vector<std::string>> features = std::nullopt) {
        return Hello("Phone", 1, QualityRequest(60, 10, 1920, true), "PHONE-1", std::move(features));
    }
    void trustPhone() { ASSERT_TRUE(trust->trust("PHONE-1", "Phone", phoneKeys.publicKey)); }
    Bytes lastNonce() {
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* c = m.get<AuthChallenge>()) nonce = c->nonce;
        }
        return nonce;
    }
    Bytes rightHmac() {
        auto key = DeviceAuth::authenticationKey(phoneKeys.privateKey, trust->macPublicKey());
        return DeviceAuth::response(*key, lastNonce());
    }
    /// Hello and a correct challenge response from a trusted phone.
    void authenticate(std::optional<std::vector<std::string>> features = std::nullopt) {
        trustPhone();
        startSession(testsupport::frame(hello(std::move(features))));
        phoneSends(AuthResponse(rightHmac()));
        ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);
    }
    std::optional<HelloAck> lastHelloAck() {
        std::optional<HelloAck> ack;
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* a = m.get<HelloAck>()) ack = *a;
        }
        return ack;
    }
    long count(const std::string& status) const { return std::ranges::count(statuses, status); }

    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::ManualQueue> main = std::make_shared<fake::ManualQueue>("main", queue->sharedClock());
    std::shared_ptr<fake::FakeAlertPresenter> alerts = std::make_shared<fake::FakeAlertPresenter>(main);
    std::shared_ptr<Approval> approval = Approval::create(main, alerts, l10n);
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(displays);
    std::shared_ptr<VirtualDisplayControl> virtualDisplay = std::make_shared<VirtualDisplayControl>();
    std::shared_ptr<RecordingInput> input = std::make_shared<RecordingInput>();
    std::shared_ptr<fake::RecordingUserActivity> activity = std::make_shared<fake::RecordingUserActivity>();
    fake::MemorySettingsStore settings;
    fake::FakeInterfaceAddressList addresses;
    DeviceAuth::KeyPair phoneKeys;
    std::shared_ptr<fake::FakeConnection> conn = fake::FakeConnection::make({"192.0.2.10", 50000});
    std::shared_ptr<AgentSession> session;
    std::vector<std::string> statuses;
    std::vector<bool> authResults;
    std::optional<uint16_t> quicPort;
    int quicCalls = 0;
    int lockChords = 0;
    Bytes nonce;
};

// ---- Handshake rows ----

TEST_F(AgentSessionTest, TrustedHelloIsChallengedUntrustedIsAskedToPair) {
    trustPhone();
    startSession(testsupport::frame(hello()));
    EXPECT_THAT(testsupport::sentCases(*conn), ElementsAre(Case::serverHello, Case::authChallenge));
    auto sh = *testsupport::sentMessages(*conn)[0].get<ServerHello>();
    EXPECT_EQ(sh.macDeviceID, "MAC-ID");
    EXPECT_EQ(sh.macName, "test-host");
    EXPECT_EQ(lastNonce().size(), 32u);
    EXPECT_EQ(session->authState(), AgentSession::AuthState::awaitingResponse);

    auto other = fake::FakeConnection::make();
    other->start(queue);
    auto s2 = makeSession(other);
    s2->start(testsupport::frame(Hello("Stranger", 1, std::nullopt, "PHONE-2")));
    run();
    EXPECT_THAT(testsupport::sentCases(*other), ElementsAre(Case::serverHello, Case::pairRequired));
    EXPECT_EQ(s2->authState(), AgentSession::AuthState::awaitingEnroll);
    EXPECT_EQ(statuses.back(), "Pairing request: Stranger");
}

TEST_F(AgentSessionTest, ApprovedEnrolmentTrustsAndChallengesThenAuthenticates) {
    startSession(testsupport::frame(hello()));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    EXPECT_EQ(statuses.back(), "Waiting for approval on this computer: Phone");
    ASSERT_EQ(alerts->openCount(), 1u);
    alerts->answer(kAlertFirstButtonReturn);  // "Trust and Connect"
    run();
    EXPECT_THAT(testsupport::sentCases(*conn),
                ElementsAre(Case::serverHello, Case::pairRequired, Case::enrollResult, Case::authChallenge));
    auto result = *testsupport::sentMessages(*conn)[2].get<EnrollResult>();
    EXPECT_TRUE(result.approved);
    EXPECT_EQ(result.macPublicKey, trust->macPublicKey());
    EXPECT_TRUE(trust->isTrusted("PHONE-1"));

    phoneSends(AuthResponse(rightHmac()));
    EXPECT_EQ(session->authState(), AgentSession::AuthState::authed);
    EXPECT_THAT(authResults, ElementsAre(true));
    EXPECT_EQ(AgentSession::current(), session);
    EXPECT_EQ(statuses.back(), "Connected: Phone");
}

TEST_F(AgentSessionTest, DeclinedEnrolmentSendsResultAndAuthFailedThenCloses) {
    startSession(testsupport::frame(hello()));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    alerts->answer(kAlertFirstButtonReturn + 1);
    run();
    auto sent = testsupport::sentMessages(*conn);
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_FALSE(sent[2].get<EnrollResult>()->approved);
    EXPECT_FALSE(sent[2].get<EnrollResult>()->macPublicKey.has_value());
    EXPECT_EQ(sent[3].get<AuthFailed>()->reason, "Pairing declined");
    EXPECT_EQ(session->authState(), AgentSession::AuthState::start);
    EXPECT_FALSE(trust->isTrusted("PHONE-1"));
    EXPECT_TRUE(authResults.empty());  // approval outcomes are not lock-out events
    // Closed once the send completed, before the 2 s limit.
    EXPECT_FALSE(session->isClosed());
    conn->completeSends();
    run();
    EXPECT_TRUE(session->isClosed());
    EXPECT_TRUE(conn->cancelled());
}

TEST(AgentSessionWithoutServicesTest, NoTrustStoreMeansNoPhoneGetsInAndTextsAreEnglish) {
    auto queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    auto conn = fake::FakeConnection::make();
    conn->start(queue);
    std::vector<std::string> statuses;
    auto session = AgentSession::create(
        conn, queue, [&statuses](const std::string& t) { statuses.push_back(t); }, nullptr, nullptr, SessionServices{});
    session->start(testsupport::frame(Hello("Phone", 1, std::nullopt, "PHONE-1")));
    queue->runUntilIdle();
    conn->feed(testsupport::frame(Enroll("PHONE-1", "Phone", DeviceAuth::generateKeyPair().publicKey)));
    queue->runUntilIdle();
    EXPECT_THAT(testsupport::sentCases(*conn),
                ElementsAre(Case::serverHello, Case::pairRequired, Case::enrollResult, Case::authFailed));
    EXPECT_EQ(testsupport::sentMessages(*conn)[3].get<AuthFailed>()->reason, "Pairing declined");
    EXPECT_EQ(statuses.at(1), "Pairing request: Phone");
    session->close();
    queue->advance(20);
    queue->runUntilIdle();
    EXPECT_TRUE(session->isClosed());
}

TEST_F(AgentSessionTest, AnswerArrivingAfterDisconnectDoesNothing) {
    startSession(testsupport::frame(hello()));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    conn->feedEndOfStream();
    run();
    ASSERT_TRUE(session->isClosed());
    size_t sentBefore = conn->sends().size();
    alerts->answer(kAlertFirstButtonReturn);
    run();
    EXPECT_EQ(conn->sends().size(), sentBefore);
    EXPECT_FALSE(trust->isTrusted("PHONE-1"));
}

TEST_F(AgentSessionTest, TrustedPhoneEnrollingAgainIsReTrustedWithoutPromptOnlyWithItsOwnKey) {
    trustPhone();
    startSession();
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));  // in `start`, no hello
    EXPECT_EQ(alerts->openCount(), 0u);
    EXPECT_THAT(testsupport::sentCases(*conn), ElementsAre(Case::enrollResult, Case::authChallenge));
    EXPECT_EQ(statuses.back(), "Re-pairing: Phone");
    EXPECT_EQ(session->authState(), AgentSession::AuthState::awaitingResponse);
}

TEST_F(AgentSessionTest, ATrustedIDEnrollingWithAnotherKeyNeedsApprovalThatSaysTheKeyChanged) {
    // answer to the prompt -> what is stored and what the phone gets
    struct Row {
        int answer;
        bool replaced;
        std::vector<Case> sent;
    };
    const std::vector<Row> rows{
        {kAlertFirstButtonReturn + 1, false,
         {Case::serverHello, Case::authChallenge, Case::enrollResult, Case::authFailed}},
        {kAlertFirstButtonReturn, true,
         {Case::serverHello, Case::authChallenge, Case::enrollResult, Case::authChallenge}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.answer);
        conn = fake::FakeConnection::make();
        conn->start(queue);
        keychain.remove("trust:PHONE-1");
        trustPhone();
        auto otherKeys = DeviceAuth::generateKeyPair();
        startSession(testsupport::frame(hello()));
        phoneSends(Enroll("PHONE-1", "Phone", otherKeys.publicKey));
        ASSERT_EQ(alerts->openCount(), 1u);
        EXPECT_THAT(alerts->shown().back().informativeText, ::testing::StartsWith("The key of this device has changed."));
        EXPECT_EQ(statuses.back(), "Waiting for approval on this computer: Phone");
        EXPECT_EQ(trust->storedPublicKey("PHONE-1"), phoneKeys.publicKey);  // nothing replaced while asking
        // The old challenge is void meanwhile: no answer to it gets the asker in.
        phoneSends(AuthResponse(rightHmac()));
        EXPECT_TRUE(authResults.empty());
        alerts->answer(row.answer);
        run();
        EXPECT_EQ(trust->storedPublicKey("PHONE-1"), row.replaced ? otherKeys.publicKey : phoneKeys.publicKey);
        EXPECT_EQ(testsupport::sentCases(*conn), row.sent);
        session->close();
        run();
    }
}

TEST_F(AgentSessionTest, EnrolmentsWithAKeyThatIsNotAPointAreDeclinedUnasked) {
    Bytes notOnCurve(64, 0x11);
    for (const Bytes& key : {Bytes{}, Bytes(63, 1), notOnCurve, Bytes(65, 4)}) {
        SCOPED_TRACE(key.size());
        conn = fake::FakeConnection::make();
        conn->start(queue);
        startSession(testsupport::frame(hello()));
        phoneSends(Enroll("PHONE-1", "Phone", key));
        EXPECT_EQ(alerts->openCount(), 0u);
        EXPECT_EQ(testsupport::sentMessages(*conn).back().get<AuthFailed>()->reason, "Pairing declined");
        EXPECT_FALSE(trust->isTrusted("PHONE-1"));
        session->close();
        run();
    }
    EXPECT_FALSE(trust->trust("PHONE-1", "Phone", notOnCurve));
}

TEST_F(AgentSessionTest, OnePromptPerSessionAndPerDeviceAndAClosedSessionsPromptIsWithdrawn) {
    startSession(testsupport::frame(hello()));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    phoneSends(Enroll("PHONE-1", "Phone", phoneKeys.publicKey));
    EXPECT_EQ(alerts->shown().size(), 1u);

    // Another connection enrolling the same device ID is declined while the prompt is open.
    auto other = fake::FakeConnection::make({"192.0.2.11", 1});
    other->start(queue);
    auto s2 = makeSession(other);
    s2->start(testsupport::concat({testsupport::frame(hello()),
                                   testsupport::frame(Enroll("PHONE-1", "Phone", phoneKeys.publicKey))}));
    run();
    EXPECT_EQ(alerts->shown().size(), 1u);
    EXPECT_EQ(testsupport::sentMessages(*other).back().get<AuthFailed>()->reason, "Pairing declined");

    // A third phone waits behind the open prompt; its session ends first: its request goes
    // without ever being shown. Then the first session ends: its open prompt is dismissed.
    auto third = fake::FakeConnection::make({"192.0.2.12", 1});
    third->start(queue);
    auto s3 = makeSession(third);
    s3->start(testsupport::concat({testsupport::frame(Hello("Third", 1, std::nullopt, "PHONE-3")),
                                   testsupport::frame(Enroll("PHONE-3", "Third", phoneKeys.publicKey))}));
    run();
    s3->close();
    run();
    session->close();
    run();
    EXPECT_EQ(alerts->dismissCount(), 1);
    EXPECT_EQ(alerts->openCount(), 0u);
    EXPECT_EQ(alerts->shown().size(), 1u);  // the third never shown
    EXPECT_FALSE(trust->isTrusted("PHONE-1"));
    EXPECT_FALSE(trust->isTrusted("PHONE-3"));
    s2->close();
    run();
}

TEST_F(AgentSessionTest, FramesPipelinedBehindAFailedResponseAreNotHandled) {
    trustPhone();
    // A wrong response, then a second hello and another guess in the same read.
    startSession(testsupport::concat({testsupport::frame(hello()), testsupport::frame(AuthResponse(Bytes(32, 1))),
                                      testsupport::frame(hello()), testsupport::frame(AuthResponse(Bytes(32, 2)))}));
    EXPECT_THAT(testsupport::sentCases(*conn), ElementsAre(Case::serverHello, Case::authChallenge, Case::authFailed));
    EXPECT_THAT(authResults, ElementsAre(false));
    // Nor what arrives in later reads before the close.
    phoneSends(hello());
    EXPECT_EQ(conn->sends().size(), 3u);
}

TEST_F(AgentSessionTest, OverlongNamesAndIDsAreRefusedAndNothingIsStored) {
    const std::string name128 = std::string(127, 'n') + "\u00e9";  // 128 characters, 129 bytes
    const std::string id64(64, 'i');
    struct Row {
        const char* what;
        std::function<Bytes()> frames;
        bool refused;
    };
    auto helloOf = [](std::string name, std::string id) {
        return testsupport::frame(Hello(std::move(name), 1, std::nullopt, std::move(id)));
    };
    const std::vector<Row> rows{
        {"longest name and ID", [&] { return helloOf(name128, id64); }, false},
        {"name of 129", [&] { return helloOf(name128 + "x", id64); }, true},
        {"ID of 65", [&] { return helloOf("Phone", id64 + "i"); }, true},
        {"enrolment with a long name",
         [&] {
             return testsupport::concat({helloOf("Phone", "PHONE-1"),
                                         testsupport::frame(Enroll("PHONE-1", name128 + "x", phoneKeys.publicKey))});
         },
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        conn = fake::FakeConnection::make();
        conn->start(queue);
        statuses.clear();
        startSession(row.frames());
        auto sent = testsupport::sentMessages(*conn);
        ASSERT_FALSE(sent.empty());
        auto* failed = sent.back().get<AuthFailed>();
        EXPECT_EQ(failed != nullptr, row.refused);
        if (row.refused) {
            EXPECT_EQ(failed->reason, "Device name or ID too long");
            EXPECT_EQ(statuses.back(), "Device name or ID too long");
            EXPECT_EQ(alerts->openCount(), 0u);
            EXPECT_LE(session->clientDeviceName().size(), 5u);  // the hello's "Phone" at most
        } else {
            EXPECT_EQ(session->clientDeviceID(), id64);
        }
        session->close();
        run();
    }
    EXPECT_TRUE(trust->trustedDevices().empty());
}

TEST_F(AgentSessionTest, NamesReachTheStatusLineWithoutControlsOrDirectionOverrides) {
    startSession(testsupport::frame(
        Hello("Ev\x1b[2Jil\u202e\u2066Phone\r\n\x7f\u0085" + std::string(100, 'x'), 1, std::nullopt, "PHONE-1")));
    EXPECT_EQ(statuses.back(), "Pairing request: Ev[2JilPhone" + std::string(100, 'x'));
}

TEST_F(AgentSessionTest, FramesBeforeAuthenticationAreAtMost64KiB) {
    trustPhone();
    startSession(testsupport::frame(hello()));
    // An announced length past the limit closes at once, before its payload is buffered.
    conn->feed({1, 0x00, 0x01, 0x00, 0x01});
    run();
    EXPECT_TRUE(session->isClosed());

    conn = fake::FakeConnection::make();
    conn->start(queue);
    session.reset();
    authenticate();
    Bytes big = WireFrame::encode(WireKind::fileChunk, Bytes(AgentSession::preAuthFrameLimit + 1000, 0));
    conn->feed(big);
    run();
    EXPECT_FALSE(session->isClosed());  // an authenticated phone sends large frames
}

TEST_F(AgentSessionTest, MessagesOutOfTurnAreIgnored) {
    startSession();
    phoneSends(Enroll("PHONE-9", "X", phoneKeys.publicKey));  // untrusted, in `start`
    phoneSends(AuthResponse(Bytes(32, 1)));                    // in `start`
    phoneSends(Heartbeat{});                                   // before authentication
    EXPECT_TRUE(conn->sends().empty());
    EXPECT_EQ(alerts->openCount(), 0u);
    EXPECT_TRUE(authResults.empty());
}

TEST_F(AgentSessionTest, WrongResponseFailsAndClosesAfterTwoSecondsWithoutSendCompletion) {
    trustPhone();
    startSession(testsupport::frame(hello()));
    phoneSends(AuthResponse(Bytes(32, 0xAB)));
    EXPECT_THAT(authResults, ElementsAre(false));
    EXPECT_EQ(session->authState(), AgentSession::AuthState::start);
    EXPECT_EQ(testsupport::sentMessages(*conn).back().get<AuthFailed>()->reason, "Device authentication failed");
    queue->advance(1.9);
    EXPECT_FALSE(session->isClosed());
    queue->advance(0.2);
    EXPECT_TRUE(session->isClosed());
    EXPECT_TRUE(conn->cancelled());
}

TEST_F(AgentSessionTest, SecondResponseAfterSuccessIsIgnored) {
    authenticate();
    size_t sent = conn->sends().size();
    phoneSends(AuthResponse(rightHmac()));
    EXPECT_EQ(conn->sends().size(), sent);
    EXPECT_THAT(authResults, ElementsAre(true));
}

// ---- begin() and the hello acknowledgement ----

TEST_F(AgentSessionTest, BeginSendsHelloAckThenCursorPositionAndSetsCurrent) {
    bool active = false;
    virtualDisplay->installSetSessionActive([&](bool a) { active = a; });
    authenticate();
    auto cases = testsupport::sentCases(*conn);
    ASSERT_GE(cases.size(), 2u);
    EXPECT_EQ(cases[cases.size() - 2], Case::helloAck);
    EXPECT_EQ(cases.back(), Case::cursorPos);
    auto ack = *lastHelloAck();
    EXPECT_EQ(ack.macName, "test-host");
    EXPECT_EQ(ack.screenWidth, 2560);
    EXPECT_EQ(ack.screenHeight, 1440);
    EXPECT_EQ(ack.mediaToken->size(), 16u);
    EXPECT_EQ(ack.wolMAC, "02:11:22:33:44:55");
    EXPECT_EQ(ack.virtualDisplayActive, false);
    ASSERT_EQ(ack.displays->size(), 2u);
    EXPECT_EQ((*ack.displays)[0], DisplayInfo(7, "screen", 2560, 1440, true));
    EXPECT_EQ((*ack.displays)[1], DisplayInfo(9, "Display 2", 1280, 1024, false));
    EXPECT_FALSE(ack.features.has_value());
    EXPECT_FALSE(ack.quicPort.has_value());
    EXPECT_TRUE(active);
    EXPECT_EQ(activity->reasons().size(), 1u);  // the display wakes for the phone
}

TEST_F(AgentSessionTest, ScreenSizeFallsBackToMainDisplayThenDefault) {
    struct Row {
        std::vector<DisplayDescription> displays;
        std::optional<uint32_t> selected;
        int64_t width, height;
    };
    const std::vector<Row> rows{
        {{{7, "a", {0, 0, 2560, 1440}, true, 60}, {9, "b", {0, 0, 1280, 1024}, false, 60}}, 9, 1280, 1024},
        {{{7, "a", {0, 0, 2560, 1440}, true, 60}, {9, "b", {0, 0, 0, 0}, false, 60}}, 9, 2560, 1440},
        {{{7, "a", {0, 0, 1, 1}, true, 60}}, std::nullopt, 1920, 1080},
        {{}, 9, 1920, 1080},
    };
    authenticate();
    for (const auto& row : rows) {
        displays->setDisplays(row.displays);
        target->setSelectedDisplayID(row.selected);
        session->sendScreenInfo();
        auto ack = *lastHelloAck();
        EXPECT_EQ(ack.screenWidth, row.width);
        EXPECT_EQ(ack.screenHeight, row.height);
        EXPECT_EQ(session->lastReportedScreen(), std::make_pair(row.width, row.height));
    }
}

TEST_F(AgentSessionTest, FeatureIntersectionWithAndWithoutQuic) {
    struct Row {
        std::vector<std::string> client;
        std::optional<uint16_t> port;
        std::vector<std::string> features;
    };
    const std::vector<Row> rows{
        {{"quic", "cstats", "x", "quic"}, 52526, {"quic", "cstats", "quic"}},
        {{"quic", "cstats"}, std::nullopt, {"cstats"}},
        {{"quic"}, std::nullopt, {}},
        {{}, 52526, {}},
    };
    for (const auto& row : rows) {
        quicPort = row.port;
        conn = fake::FakeConnection::make();
        conn->start(queue);
        session = makeSession(conn);
        trustPhone();
        session->start(testsupport::frame(hello(row.client)));
        run();
        phoneSends(AuthResponse(rightHmac()));
        auto ack = *lastHelloAck();
        ASSERT_TRUE(ack.features.has_value());
        EXPECT_EQ(*ack.features, row.features);
        EXPECT_EQ(ack.quicPort, row.features.empty() || !row.port ? std::nullopt : row.port);
        session->close();
        run();
    }
}

TEST_F(AgentSessionTest, HelloListingQuicAsksForThePortEarly) {
    startSession(testsupport::frame(hello(std::vector<std::string>{"quic"})));
    EXPECT_EQ(quicCalls, 1);
}

// ---- close() ----

TEST_F(AgentSessionTest, CloseManyTimesTearsDownOnce) {
    bool active = true;
    virtualDisplay->installSetSessionActive([&](bool a) { active = a; });
    authenticate();
    conn->setState(ConnectionState::cancelled);  // state handler
    session->close();
    session->close();
    run();
    EXPECT_EQ(count("Waiting for connection…"), 1);
    EXPECT_EQ(conn->cancelCount(), 1);
    EXPECT_EQ(AgentSession::current(), nullptr);
    EXPECT_FALSE(active);
    EXPECT_EQ(queue->pendingTimers(), 0u);  // the watchdog is gone
    size_t sent = conn->sends().size();
    session->sendControl(Heartbeat{});
    EXPECT_EQ(conn->sends().size(), sent);
}

TEST_F(AgentSessionTest, LockOnDisconnectUnlessAnotherPhoneAuthenticatesWithinFiveSeconds) {
    settings.setBoolean("lockOnDisconnect", true);
    authenticate();
    session->close();
    run();
    main->advance(4.9);
    EXPECT_EQ(lockChords, 0);
    main->advance(0.2);
    EXPECT_EQ(lockChords, 1);

    // Reconnect within the delay: no lock.
    conn = fake::FakeConnection::make();
    conn->start(queue);
    session = makeSession(conn);
    session->start(testsupport::frame(hello()));
    run();
    phoneSends(AuthResponse(rightHmac()));
    session->close();
    run();
    main->advance(2);
    auto third = fake::FakeConnection::make();
    third->start(queue);
    auto s3 = makeSession(third);
    s3->start(testsupport::frame(hello()));
    run();
    nonce.clear();
    for (auto& m : testsupport::sentMessages(*third)) {
        if (auto* c = m.get<AuthChallenge>()) nonce = c->nonce;
    }
    auto key = DeviceAuth::authenticationKey(phoneKeys.privateKey, trust->macPublicKey());
    third->feed(testsupport::frame(AuthResponse(DeviceAuth::response(*key, nonce))));
    run();
    ASSERT_EQ(AgentSession::current(), s3);
    main->advance(10);
    EXPECT_EQ(lockChords, 1);
}

TEST_F(AgentSessionTest, UnauthenticatedSessionNeverLocks) {
    settings.setBoolean("lockOnDisconnect", true);
    startSession(testsupport::frame(hello()));
    session->close();
    run();
    main->advance(10);
    EXPECT_EQ(lockChords, 0);
    EXPECT_TRUE(activity->reasons().empty());  // nor woke the display
}

TEST_F(AgentSessionTest, CorruptedStreamClosesUndecodableMessageDoesNot) {
    authenticate();
    Bytes junk{1, 0, 0, 0, 3, 'a', 'b', 'c'};
    conn->feed(junk);
    run();
    EXPECT_FALSE(session->isClosed());
    conn->feed({1, 0x01, 0x00, 0x00, 0x01});  // 16 MiB + 1
    run();
    EXPECT_TRUE(session->isClosed());
}

// ---- Dispatch ----

TEST_F(AgentSessionTest, HeartbeatIsAnsweredWithCaptureNotAliveAndCursor) {
    authenticate();
    size_t before = testsupport::sentMessages(*conn).size();
    queue->advance(3);
    phoneSends(Heartbeat{});
    auto sent = testsupport::sentMessages(*conn);
    ASSERT_EQ(sent.size(), before + 3);
    EXPECT_TRUE(sent[before].is<Heartbeat>());
    EXPECT_EQ(*sent[before + 1].get<CaptureAlive>(), CaptureAlive(false));
    EXPECT_EQ(*sent[before + 2].get<CursorPos>(), CursorPos(0.25, 0.75));
    EXPECT_DOUBLE_EQ(session->lastHeartbeatAt(), queue->now());
}

TEST_F(AgentSessionTest, PointerEchoAtMostEveryQuarterSecondAndOnlyWithTimestamp) {
    authenticate();
    size_t before = testsupport::sentMessages(*conn).size();
    for (int i = 0; i < 100; ++i) {
        phoneSends(PointerEvent(PointerEvent::Kind::move, 1, 0, std::nullopt, std::nullopt, 5.0 + i));
        queue->advance(0.002);
    }
    for (int i = 0; i < 10; ++i) phoneSends(PointerEvent(PointerEvent::Kind::move, 1, 0));
    EXPECT_EQ(input->pointers.size(), 110u);
    auto sent = testsupport::sentMessages(*conn);
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back().get<CursorPos>()->ts, 5.0);
}

TEST_F(AgentSessionTest, AuthenticatedMessagesReachTheirHandlers) {
    bool vdEnabled = true;
    virtualDisplay->installSetEnabled([&](bool e) { vdEnabled = e; });
    authenticate();
    phoneSends(KeyEvent(12, true, KeyModifiers(9)));
    phoneSends(SystemGesture::showDesktop);
    phoneSends(AudioControl(false));
    phoneSends(VirtualDisplayRequest(false));
    EXPECT_EQ(statuses.back(), "Client disabling the virtual display…");
    phoneSends(SelectDisplay(4242));
    EXPECT_EQ(statuses.back(), "Switching to display 4242…");
    phoneSends(ClientStats(60, 0, 10));
    EXPECT_DOUBLE_EQ(session->currentBitrate(), 10.0);  // the hello asked for 10 Mbit/s
    phoneSends(ClientStats(60, 2, 10));
    EXPECT_DOUBLE_EQ(session->currentBitrate(), 7.0);
    for (int i = 0; i < 5; ++i) phoneSends(ClientStats(60, 2, 10));
    EXPECT_DOUBLE_EQ(session->currentBitrate(), 4.0);  // the floor
    phoneSends(QualityRequest(30, 8, 1280, false));

    ASSERT_EQ(input->keys.size(), 1u);
    EXPECT_EQ(input->keys[0].modifiers, KeyModifiers::command | KeyModifiers::shift);
    EXPECT_THAT(input->gestures, ElementsAre(SystemGesture::showDesktop));
    EXPECT_TRUE(session->audioMuted());
    EXPECT_FALSE(vdEnabled);
    EXPECT_TRUE(session->userDisabledVD());
    EXPECT_EQ(target->selectedDisplayID(), 4242u);
    EXPECT_EQ(session->lastResyncRequest(), std::make_pair(0.3, true));
    EXPECT_EQ(session->clientQuality()->maxFPS, 30);
}

TEST_F(AgentSessionTest, InputBeforeAuthenticationIsDropped) {
    startSession(testsupport::frame(hello()));
    phoneSends(KeyEvent(12, true, KeyModifiers()));
    phoneSends(PointerEvent(PointerEvent::Kind::leftClick, 0, 0));
    phoneSends(SelectDisplay(3));
    EXPECT_TRUE(input->keys.empty());
    EXPECT_TRUE(input->pointers.empty());
    EXPECT_FALSE(target->selectedDisplayID().has_value());
}

// ---- Media channels ----

TEST_F(AgentSessionTest, MediaAttachRefusedWithoutTheRightTokenOrAuthentication) {
    trustPhone();
    startSession(testsupport::frame(hello()));
    auto media = fake::FakeConnection::make();
    media->start(queue);  // the server starts every connection before classifying it
    EXPECT_FALSE(session->attachMedia(media, {}, {}));
    phoneSends(AuthResponse(rightHmac()));
    Bytes token = session->mediaToken();
    Bytes wrong = token;
    wrong[0] ^= 1;
    EXPECT_FALSE(session->attachMedia(media, wrong, {}));
    EXPECT_FALSE(session->attachQUICMedia(media, {}, {}));
    EXPECT_TRUE(session->attachMedia(media, token, {}));
    session->close();
    run();
    auto late = fake::FakeConnection::make();
    late->start(queue);
    EXPECT_FALSE(session->attachMedia(late, token, {}));
}

TEST_F(AgentSessionTest, ReplacedMediaConnectionIsCancelledAndItsFramesIgnored) {
    authenticate();
    auto first = fake::FakeConnection::make();
    first->start(queue);
    ASSERT_TRUE(session->attachMedia(first, session->mediaToken(), {}));
    run();
    auto second = fake::FakeConnection::make();
    second->start(queue);
    ASSERT_TRUE(session->attachMedia(second, session->mediaToken(), {}));
    EXPECT_TRUE(first->cancelled());
    size_t before = conn->sends().size();
    first->feed(testsupport::frame(Heartbeat{}));
    run();
    EXPECT_EQ(conn->sends().size(), before);  // the old connection's heartbeat went nowhere
    second->feed(testsupport::frame(Heartbeat{}));
    run();
    EXPECT_GT(conn->sends().size(), before);  // replies always go on the control connection
    EXPECT_TRUE(second->sends().empty());
}

TEST_F(AgentSessionTest, RemainderIsHandledBeforeTheReceiveLoopAndCorruptRemainderDetaches) {
    authenticate();
    auto media = fake::FakeConnection::make();
    media->start(queue);
    queue->advance(8);
    ASSERT_TRUE(session->attachMedia(media, session->mediaToken(), testsupport::frame(Heartbeat{})));
    EXPECT_DOUBLE_EQ(session->lastHeartbeatAt(), queue->now());
    EXPECT_TRUE(session->hasMediaConnection());

    auto quic = fake::FakeConnection::make({"192.0.2.10", 50001}, TransportProtocol::quic);
    quic->start(queue);
    EXPECT_TRUE(session->attachQUICMedia(quic, session->mediaToken(), {2, 0xff, 0, 0, 0}));
    EXPECT_FALSE(session->hasQuicMediaConnection());
    EXPECT_TRUE(quic->cancelled());
}

TEST_F(AgentSessionTest, OutgoingMediaPreferQuicThenTcpMediaThenControl) {
    authenticate();
    auto tcp = fake::FakeConnection::make();
    auto quic = fake::FakeConnection::make({"192.0.2.10", 50001}, TransportProtocol::quic);
    tcp->start(queue);
    quic->start(queue);
    EXPECT_EQ(session->outgoingMediaConnection(), conn);
    ASSERT_TRUE(session->attachMedia(tcp, session->mediaToken(), {}));
    ASSERT_TRUE(session->attachQUICMedia(quic, session->mediaToken(), {}));
    EXPECT_EQ(quic->keepaliveInterval(), 2.0);
    session->sendMedia(WireKind::videoFrame, {1, 2, 3});
    EXPECT_EQ(quic->sentBytes(), (Bytes{2, 0, 0, 0, 3, 1, 2, 3}));
    quic->setState(ConnectionState::failed, TransportError{TransportError::Kind::reset, 0, "reset"});
    run();
    EXPECT_FALSE(session->hasQuicMediaConnection());
    session->sendMedia(WireKind::audioFrame, {9});
    EXPECT_EQ(tcp->sentBytes(), (Bytes{5, 0, 0, 0, 1, 9}));
    tcp->feedEndOfStream();
    run();
    EXPECT_EQ(session->outgoingMediaConnection(), conn);
    EXPECT_FALSE(session->isClosed());  // a media channel never ends the session
}

TEST_F(AgentSessionTest, WatchdogDropsASilentPhoneButNotOneSendingHeartbeats) {
    authenticate();
    auto quic = fake::FakeConnection::make({"192.0.2.10", 50001}, TransportProtocol::quic);
    quic->start(queue);
    ASSERT_TRUE(session->attachQUICMedia(quic, session->mediaToken(), {}));
    for (int i = 0; i < 10; ++i) {  // every 4 s for 40 s, over the QUIC stream
        queue->advance(4);
        quic->feed(testsupport::frame(Heartbeat{}));
        run();
    }
    EXPECT_FALSE(session->isClosed());
    double last = queue->now();
    queue->advance(10.0);  // ticks at +1, +6 (from the watchdog start phase) ... not beyond 10
    run();
    EXPECT_FALSE(session->isClosed());
    queue->advance(5.0);
    run();
    EXPECT_TRUE(session->isClosed());
    EXPECT_LE(queue->now() - last, 15.0);
    EXPECT_EQ(count("Client unresponsive, ending session"), 1);
}

// ---- Input at the end of a session ----

// The session's injector is the real one, on recording event services, with its momentum,
// raising and typing queues played by one manual queue.
struct RealInjector {
    std::shared_ptr<fake::FakeInputEvents> events = std::make_shared<fake::FakeInputEvents>();
    std::shared_ptr<fake::ManualQueue> side;
    std::weak_ptr<InputInjector> made;
    int injectorsMade = 0;

    explicit RealInjector(const std::shared_ptr<fake::ManualQueue>& sessionQueue)
        : side(std::make_shared<fake::ManualQueue>("duskferry.input.typing", sessionQueue->sharedClock())) {}
    void install(SessionServices& s) {
        s.makeInput = [this](std::shared_ptr<DispatchQueue> q) -> std::shared_ptr<SessionInput> {
            InputInjector::Services is;
            is.events = events;
            is.axQueue = side;
            is.momentumQueue = side;
            is.typingQueue = side;
            auto injector = InputInjector::create(std::move(q), is);
            made = injector;
            ++injectorsMade;
            return std::make_shared<InjectorSessionInput>(injector);
        };
    }
};

TEST_F(AgentSessionTest, APhoneLeavingMidDragWithAKeyDownLeavesNothingHeldOrCoasting) {
    RealInjector real(queue);
    auto& events = real.events;
    auto& side = real.side;
    auto& made = real.made;
    SessionServices s = services();
    real.install(s);
    trustPhone();
    session = AgentSession::create(conn, queue, {}, {}, {}, std::move(s));
    session->start(testsupport::frame(hello()));
    run();
    phoneSends(AuthResponse(rightHmac()));
    ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);

    phoneSends(KeyEvent(56, true, KeyModifiers()));  // Shift down
    phoneSends(PointerEvent(PointerEvent::Kind::leftDown, 0, 0, 0.5, 0.5));
    phoneSends(PointerEvent(PointerEvent::Kind::move, 0, 0, 0.6, 0.5));
    phoneSends(ScrollEvent(0, 0, ScrollEvent::Phase::ended, 0, -3000));  // a fling: coasting
    side->advance(0.05);
    ASSERT_EQ(events->releaseHeldInputCalls(), 0u);
    ASSERT_TRUE(made.lock() && made.lock()->momentumRunning());

    conn->feedEndOfStream();  // the phone is gone
    run();
    ASSERT_TRUE(session->isClosed());
    EXPECT_EQ(events->releaseHeldInputCalls(), 1u);
    EXPECT_TRUE(made.expired()) << "the closed session still holds its injector";
    // Nothing coasts on, and nothing the old phone sent is posted any more.
    events->clearEvents();
    side->advance(2.0);
    phoneSends(KeyEvent(0, true, KeyModifiers()));
    EXPECT_TRUE(events->events().empty());
    EXPECT_EQ(real.injectorsMade, 1);
}

TEST_F(AgentSessionTest, ALongTextDoesNotHoldUpTheHeartbeatBehindIt) {
    RealInjector real(queue);
    SessionServices s = services();
    real.install(s);
    trustPhone();
    session = AgentSession::create(conn, queue, {}, {}, {}, std::move(s));
    session->start(testsupport::frame(hello()));
    run();
    phoneSends(AuthResponse(rightHmac()));
    ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);
    const size_t before = testsupport::sentMessages(*conn).size();

    // The text is handed to the typing queue; the heartbeat right behind it is answered
    // while the text still waits to be typed.
    phoneSends(TextInput(std::string(InputInjector::maxTextLength, 'x'), KeyModifiers()));
    phoneSends(Heartbeat{});
    auto cases = testsupport::sentCases(*conn);
    cases.erase(cases.begin(), cases.begin() + static_cast<std::ptrdiff_t>(before));
    EXPECT_THAT(cases, ElementsAre(Case::heartbeat, Case::captureAlive, Case::cursorPos));
    EXPECT_TRUE(real.events->events().empty());
    real.side->runUntilIdle();
    EXPECT_EQ(real.events->events().size(), 2u);
}

}  // namespace
}  // namespace df
