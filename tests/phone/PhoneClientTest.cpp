// The client's session flow with the test playing the agent over the in-memory transport:
// the orders of the handshake, the enrolment that stores the computer's key, the answer to
// the challenge (checked with the agent's side of the key agreement), the media channel and
// its fallback, heartbeats, received files, and how each refusal ends the client.

#include "platform/fake/queue/ManualQueue.h"
#include "platform/fake/transport/FakeTransport.h"
#include "protocol/DeviceAuth.h"
#include "protocol/MediaPayloads.h"
#include "protocol/Pairing.h"
#include "tools/phone/HevcStream.h"
#include "tools/phone/PhoneClient.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <fstream>

namespace df::phone {
namespace {

namespace fs = std::filesystem;
using fake::FakeConnection;

class PhoneClientTest : public testing::Test {
public:  // the refusal table's plays reach in
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("phone-client-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        store_.emplace(dir_ / "identity");
        identity_ = *store_->loadOrCreate("Test Phone");
        options_.agent = {"127.0.0.1", 52525};
        options_.code = "123456";
        options_.quality = QualityRequest(60, 15.0, 1920, true, std::vector<std::string>{"opus"});
        options_.mediaOptions.decodeVideo = false;
    }
    void TearDown() override { fs::remove_all(dir_); }

    void startClient() {
        client_ = PhoneClient::create(options_, identity_, *store_, queue_, transport_,
                                      [this](const std::string& l) { out_.push_back(l); },
                                      [this](const std::string& l) { err_.push_back(l); },
                                      [this](ExitStatus s, const std::string& m) {
                                          status_ = s;
                                          message_ = m;
                                      });
        client_->start();
        queue_->runUntilIdle();
        ASSERT_FALSE(transport_->connections().empty());
        control_ = transport_->connections()[0].connection;
    }

    // Messages the client sent on `c` since the last call for that connection.
    std::vector<ControlMessage> sent(const std::shared_ptr<FakeConnection>& c) {
        auto& seen = consumed_[c.get()];
        std::vector<ControlMessage> out;
        WireParser parser;
        const auto& sends = c->sends();
        for (; seen < sends.size(); ++seen)
            for (auto& f : parser.append(sends[seen].content))
                if (f.kind == WireKind::control) out.push_back(*ControlMessage::decode(f.payload));
        return out;
    }
    void agentSends(const std::shared_ptr<FakeConnection>& c, const ControlMessage& m) {
        c->feed(*m.encodedFrame());
        queue_->runUntilIdle();
    }

    // Plays the agent through a first pairing; returns the agent's key pair.
    DeviceAuth::KeyPair pairAndAuthenticate(const HelloAck& ack) {
        control_->setState(ConnectionState::ready);
        queue_->runUntilIdle();
        auto hello = sent(control_);
        EXPECT_EQ(hello.size(), 1u);
        agentSends(control_, ServerHello("MAC-1", "Desk"));
        agentSends(control_, PairRequired{});
        auto enroll = sent(control_);
        EXPECT_EQ(enroll.size(), 1u);
        const auto agentKeys = DeviceAuth::generateKeyPair();
        const Bytes nonce(32, 0x5A);
        agentSends(control_, EnrollResult(true, agentKeys.publicKey));
        agentSends(control_, AuthChallenge(nonce));
        auto answer = sent(control_);
        EXPECT_EQ(answer.size(), 1u);
        if (answer.size() == 1 && answer[0].is<AuthResponse>()) {
            const auto key = DeviceAuth::authenticationKey(agentKeys.privateKey, identity_.publicKey);
            EXPECT_TRUE(DeviceAuth::verify(*key, nonce, answer[0].get<AuthResponse>()->hmac));
        } else {
            ADD_FAILURE() << "no authResponse";
        }
        agentSends(control_, ack);
        return agentKeys;
    }

    fs::path dir_;
    std::optional<IdentityStore> store_;
    PhoneIdentity identity_;
    PhoneOptions options_;
    std::shared_ptr<fake::ManualQueue> queue_ = std::make_shared<fake::ManualQueue>("duskferry.phone");
    std::shared_ptr<fake::FakeTransportFactory> transport_ = std::make_shared<fake::FakeTransportFactory>();
    std::shared_ptr<PhoneClient> client_;
    std::shared_ptr<FakeConnection> control_;
    std::map<const void*, size_t> consumed_;
    std::vector<std::string> out_, err_;
    std::optional<ExitStatus> status_;
    std::string message_;
};

const Bytes kToken(16, 0xA7);

TEST_F(PhoneClientTest, FirstPairingThenASecondRunAnswersTheChallengeWithTheStoredKey) {
    options_.media = MediaMode::none;
    startClient();
    EXPECT_EQ(transport_->connections()[0].remote, options_.agent);
    ASSERT_TRUE(transport_->connections()[0].tcp);
    EXPECT_EQ(transport_->connections()[0].tcp->tls.psk.key, Pairing::pskMaterial("123456").key);

    control_->setState(ConnectionState::ready);
    queue_->runUntilIdle();
    auto hello = sent(control_);
    ASSERT_EQ(hello.size(), 1u);
    const auto* h = hello[0].get<Hello>();
    ASSERT_TRUE(h);
    EXPECT_EQ(h->deviceID, identity_.deviceID);
    EXPECT_EQ(h->deviceName, "Test Phone");
    EXPECT_EQ(h->protocolVersion, 1);
    EXPECT_EQ(h->quality, options_.quality);
    EXPECT_EQ(h->features, (std::vector<std::string>{"cstats", "quic"}));

    agentSends(control_, ServerHello("MAC-1", "Desk"));
    agentSends(control_, PairRequired{});
    auto enroll = sent(control_);
    ASSERT_EQ(enroll.size(), 1u);
    EXPECT_EQ(*enroll[0].get<Enroll>(), Enroll(identity_.deviceID, "Test Phone", identity_.publicKey));
    bool saysItWaits = false;
    for (const auto& l : out_) saysItWaits |= l.find("waiting for approval on the computer") != std::string::npos;
    EXPECT_TRUE(saysItWaits);

    // The person takes their time: nothing times out while the approval is pending.
    queue_->advance(600);
    EXPECT_FALSE(status_);

    const auto agentKeys = DeviceAuth::generateKeyPair();
    agentSends(control_, EnrollResult(true, agentKeys.publicKey));
    EXPECT_EQ(store_->macPublicKey("MAC-1"), agentKeys.publicKey);
    const Bytes nonce(32, 0x11);
    agentSends(control_, AuthChallenge(nonce));
    auto answer = sent(control_);
    ASSERT_EQ(answer.size(), 1u);
    const auto key = DeviceAuth::authenticationKey(agentKeys.privateKey, identity_.publicKey);
    EXPECT_TRUE(DeviceAuth::verify(*key, nonce, answer[0].get<AuthResponse>()->hmac));

    agentSends(control_, HelloAck("Desk", 1920, 1080, false, std::nullopt, kToken));
    client_->stop();
    queue_->runUntilIdle();
    EXPECT_EQ(status_, ExitStatus::ok);

    // Second run: the agent challenges at once; no enrolment, the stored key answers.
    auto transport2 = std::make_shared<fake::FakeTransportFactory>();
    transport_ = transport2;
    status_.reset();
    startClient();
    control_->setState(ConnectionState::ready);
    queue_->runUntilIdle();
    sent(control_);
    agentSends(control_, ServerHello("MAC-1", "Desk"));
    const Bytes nonce2(32, 0x22);
    agentSends(control_, AuthChallenge(nonce2));
    answer = sent(control_);
    ASSERT_EQ(answer.size(), 1u);
    ASSERT_TRUE(answer[0].is<AuthResponse>());
    EXPECT_TRUE(DeviceAuth::verify(*key, nonce2, answer[0].get<AuthResponse>()->hmac));
}

TEST_F(PhoneClientTest, AChallengeFromAComputerWhoseKeyIsUnknownLeadsToEnrolment) {
    startClient();
    control_->setState(ConnectionState::ready);
    queue_->runUntilIdle();
    sent(control_);
    agentSends(control_, ServerHello("MAC-OTHER", "Other"));
    agentSends(control_, AuthChallenge(Bytes(32, 1)));
    auto m = sent(control_);
    ASSERT_EQ(m.size(), 1u);
    EXPECT_TRUE(m[0].is<Enroll>()) << "a trusted phone that lost the key re-pairs";
}

TEST_F(PhoneClientTest, WindowInputGoesOutOnlyWhileTheSessionRuns) {
    options_.media = MediaMode::none;
    startClient();
    const ControlMessage press = PointerEvent(PointerEvent::Kind::leftDown, 0, 0, 0.25, 0.75);
    client_->sendInput(press);  // before the handshake: the pairing sees only its own messages
    pairAndAuthenticate(HelloAck("Desk", 1920, 1080));
    sent(control_);
    client_->sendInput(press);
    queue_->runUntilIdle();
    EXPECT_EQ(sent(control_), std::vector<ControlMessage>{press});
    client_->stop();
    client_->sendInput(press);
    queue_->runUntilIdle();
    EXPECT_TRUE(sent(control_).empty());
}

TEST_F(PhoneClientTest, RefusalsEndTheClientWithTheirOwnStatus) {
    struct Case {
        const char* name;
        std::function<void(PhoneClientTest&)> play;
        ExitStatus expected;
    };
    const std::vector<Case> cases = {
        {"declined",
         [](PhoneClientTest& t) {
             t.control_->setState(ConnectionState::ready);
             t.queue_->runUntilIdle();
             t.agentSends(t.control_, ServerHello("M", "Desk"));
             t.agentSends(t.control_, PairRequired{});
             t.agentSends(t.control_, EnrollResult(false));
             t.agentSends(t.control_, AuthFailed("Pairing declined"));
         },
         ExitStatus::declined},
        {"hmac refused",
         [](PhoneClientTest& t) {
             t.store_->storeMacPublicKey("M", "Desk", DeviceAuth::generateKeyPair().publicKey);
             t.control_->setState(ConnectionState::ready);
             t.queue_->runUntilIdle();
             t.agentSends(t.control_, ServerHello("M", "Desk"));
             t.agentSends(t.control_, AuthChallenge(Bytes(32, 3)));
             t.agentSends(t.control_, AuthFailed("Device authentication failed"));
         },
         ExitStatus::authFailed},
        {"wrong code",
         [](PhoneClientTest& t) {
             t.control_->setState(ConnectionState::failed,
                                  TransportError{TransportError::Kind::handshake, 0, "tlsv1 alert decrypt error"});
             t.queue_->runUntilIdle();
         },
         ExitStatus::handshakeFailed},
        {"locked out",
         [](PhoneClientTest& t) {
             t.control_->setState(ConnectionState::failed,
                                  TransportError{TransportError::Kind::handshake, 0, "unexpected eof while reading"});
             t.queue_->runUntilIdle();
         },
         ExitStatus::lockedOut},
        {"nobody listening",
         [](PhoneClientTest& t) {
             t.control_->setState(ConnectionState::failed,
                                  TransportError{TransportError::Kind::refused, 111, "Connection refused"});
             t.queue_->runUntilIdle();
         },
         ExitStatus::notFound},
        {"session ended by the agent",
         [](PhoneClientTest& t) {
             t.pairAndAuthenticate(HelloAck("Desk", 100, 100));
             t.control_->feedEndOfStream();
             t.queue_->runUntilIdle();
         },
         ExitStatus::connectionLost},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(dir_ / "identity" / "computers.json");
        transport_ = std::make_shared<fake::FakeTransportFactory>();
        status_.reset();
        options_.media = MediaMode::none;
        startClient();
        c.play(*this);
        EXPECT_EQ(status_, c.expected) << message_;
        EXPECT_TRUE(control_->cancelled());
    }
}

TEST_F(PhoneClientTest, MediaGoOverQuicWithTheTokenAndFallBackToTcp) {
    options_.duration = 30;
    options_.stats = true;
    startClient();
    pairAndAuthenticate(HelloAck("Desk", 1920, 1080, false, std::nullopt, kToken, std::nullopt,
                                 std::vector<std::string>{"cstats", "quic"}, 52526));
    ASSERT_EQ(transport_->connections().size(), 2u);
    const auto& quicMade = transport_->connections()[1];
    EXPECT_EQ(quicMade.remote, (Endpoint{"127.0.0.1", 52526}));
    ASSERT_TRUE(quicMade.quic);
    EXPECT_EQ(quicMade.quic->alpn, (std::vector<std::string>{"brevox-m1"}));
    auto quic = quicMade.connection;
    quic->setState(ConnectionState::ready);
    queue_->runUntilIdle();
    ASSERT_EQ(quic->sends().size(), 1u);
    EXPECT_EQ(quic->sends()[0].content, WireFrame::encode(WireKind::mediaHello, kToken));

    // Heartbeats every 4 s on the control connection; the answer gives a round trip.
    queue_->advance(4.0);
    auto hb = sent(control_);
    ASSERT_EQ(hb.size(), 1u);
    EXPECT_TRUE(hb[0].is<Heartbeat>());
    queue_->advance(0.010);
    agentSends(control_, Heartbeat{});

    // A frame on the QUIC stream is counted; a malformed one is reported, not fatal.
    Bytes frameData = {0, 0, 0, 3, 0x02, 0x01, 0xD0};
    quic->feed(VideoFramePacket::wireEncode(0.5, false, frameData.data(), frameData.size()));
    quic->feed(WireFrame::encode(WireKind::videoFrame, Bytes{1, 2, 3}));
    queue_->runUntilIdle();

    // The QUIC stream fails: a TCP media connection takes over with the same token.
    quic->setState(ConnectionState::failed, TransportError{TransportError::Kind::timedOut, 0, "idle timeout"});
    queue_->runUntilIdle();
    ASSERT_EQ(transport_->connections().size(), 3u);
    auto tcp = transport_->connections()[2].connection;
    EXPECT_TRUE(transport_->connections()[2].tcp);
    tcp->setState(ConnectionState::ready);
    queue_->runUntilIdle();
    ASSERT_EQ(tcp->sends().size(), 1u);
    EXPECT_EQ(tcp->sends()[0].content, WireFrame::encode(WireKind::mediaHello, kToken));

    queue_->advance(30);
    EXPECT_EQ(status_, ExitStatus::ok);
    ASSERT_FALSE(out_.empty());
    const std::string& totals = out_[out_.size() - 2];
    EXPECT_EQ(totals.rfind("total ", 0), 0u) << totals;
    EXPECT_NE(totals.find(" frames=1 "), std::string::npos) << totals;  // the short one is no frame
    EXPECT_NE(totals.find(" bad_frames=1 "), std::string::npos) << totals;
    EXPECT_NE(totals.find(" heartbeats=1 hb_rtt_ms=10.00"), std::string::npos) << totals;
    EXPECT_TRUE(tcp->cancelled());
}

TEST_F(PhoneClientTest, ClientStatsReportWhatWasReceivedInEachPeriod) {
    options_.media = MediaMode::none;
    options_.clientStatsInterval = 1.0;
    options_.heartbeatInterval = 0.5;
    startClient();
    pairAndAuthenticate(HelloAck("Desk", 100, 100));
    agentSends(control_, VideoConfig({0x40, 0x01}, {0x42, 0x01}, {0x44, 0x01}, 100, 100));
    queue_->advance(0.5);
    queue_->advance(0.020);
    agentSends(control_, Heartbeat{});
    const Bytes p = {0, 0, 0, 3, 0x02, 0x01, 0xD0};
    for (int i = 0; i < 3; ++i) control_->feed(VideoFramePacket::wireEncode(i * 0.1, false, p.data(), p.size()));
    queue_->runUntilIdle();
    queue_->advance(0.48);
    std::vector<ClientStats> stats;
    for (const auto& m : sent(control_))
        if (auto* s = m.get<ClientStats>()) stats.push_back(*s);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0], ClientStats(3, 0, 20));
    queue_->advance(1.0);
    stats.clear();
    for (const auto& m : sent(control_))
        if (auto* s = m.get<ClientStats>()) stats.push_back(*s);
    ASSERT_EQ(stats.size(), 1u);
    EXPECT_EQ(stats[0].decodeFPS, 0) << "only the period's frames count";
}

TEST_F(PhoneClientTest, ReceivedFilesStayInTheirFolderAndAreCheckedAgainstTheirSize) {
    options_.media = MediaMode::none;
    options_.downloadDir = dir_ / "downloads";
    startClient();
    pairAndAuthenticate(HelloAck("Desk", 100, 100));
    fs::create_directories(options_.downloadDir);
    std::ofstream(options_.downloadDir / "notes.txt") << "already here";

    agentSends(control_, FileBegin(7, "../../notes.txt", 5));
    control_->feed(FileChunk::wireEncode(7, Bytes{'h', 'e'}));
    control_->feed(FileChunk::wireEncode(8, Bytes{'x'}));  // another transfer: ignored
    control_->feed(FileChunk::wireEncode(7, Bytes{'l', 'l', 'o'}));
    agentSends(control_, FileEnd(7));
    std::ifstream in(options_.downloadDir / "notes 2.txt");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "hello");
    EXPECT_FALSE(fs::exists(dir_ / "notes.txt"));

    agentSends(control_, FileBegin(9, "short.bin", 10));
    control_->feed(FileChunk::wireEncode(9, Bytes{1, 2, 3}));
    agentSends(control_, FileEnd(9));
    EXPECT_FALSE(fs::exists(options_.downloadDir / "short.bin")) << "an incomplete file is not kept";
    bool reported = false;
    for (const auto& l : out_) reported |= l.find("fileReceived name=\"short.bin\" ok=false") != std::string::npos;
    EXPECT_TRUE(reported);
}

TEST_F(PhoneClientTest, ReceivedFilesAreNewFilesNeverDotNamesLinksOrLongerThanAnnounced) {
    options_.media = MediaMode::none;
    options_.downloadDir = dir_ / "downloads";
    startClient();
    pairAndAuthenticate(HelloAck("Desk", 100, 100));
    fs::create_directories(options_.downloadDir);
    std::ofstream(dir_ / "outside.txt") << "outside";
    fs::create_symlink(dir_ / "outside.txt", options_.downloadDir / "planted.txt");

    // A planted link is neither followed nor replaced: the file gets the next name.
    agentSends(control_, FileBegin(1, "planted.txt", 3));
    control_->feed(FileChunk::wireEncode(1, Bytes{'a', 'b', 'c'}));
    agentSends(control_, FileEnd(1));
    std::ifstream outside(dir_ / "outside.txt");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(outside)), {}), "outside");
    EXPECT_TRUE(fs::is_symlink(options_.downloadDir / "planted.txt"));
    std::ifstream next(options_.downloadDir / "planted 2.txt");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(next)), {}), "abc");

    // Dot-names are checked but never written; more bytes than announced are refused and
    // leave nothing behind.
    for (const char* name : {".bashrc", "..", "x/.."}) {
        agentSends(control_, FileBegin(2, name, 1));
        control_->feed(FileChunk::wireEncode(2, Bytes{'z'}));
        agentSends(control_, FileEnd(2));
    }
    agentSends(control_, FileBegin(3, "over.bin", 2));
    control_->feed(FileChunk::wireEncode(3, Bytes{1, 2}));
    control_->feed(FileChunk::wireEncode(3, Bytes{3}));
    agentSends(control_, FileEnd(3));
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(options_.downloadDir)) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"planted.txt", "planted 2.txt"}));
    bool refused = false;
    for (const auto& l : out_) refused |= l.find("fileReceived name=\"over.bin\" ok=false") != std::string::npos;
    EXPECT_TRUE(refused);
}

TEST_F(PhoneClientTest, AnEnrollResultCountsOnlyWhileEnrollingAndAgentTextIsPrintedWithoutControls) {
    options_.media = MediaMode::none;
    startClient();
    const auto agentKeys = pairAndAuthenticate(HelloAck("Desk", 100, 100));
    // An approval nobody asked for does not replace the stored key.
    agentSends(control_, EnrollResult(true, DeviceAuth::generateKeyPair().publicKey));
    EXPECT_EQ(store_->macPublicKey("MAC-1"), agentKeys.publicKey);
    EXPECT_FALSE(status_);

    agentSends(control_, ClipboardSync("\x1b]0;owned\x07\u202Etxt.exe\r"));
    agentSends(control_, FrontApp("\x1b[2J", "\x9b"));
    for (const auto& line : out_) {
        for (unsigned char c : line) EXPECT_FALSE(c < 0x20 || c == 0x7F) << line;
        EXPECT_EQ(line.find("\u202E"), std::string::npos) << line;
        EXPECT_EQ(line.find("\xC2\x9B"), std::string::npos) << line;
    }
    bool escaped = false;
    for (const auto& l : out_) escaped |= l.find("\\x1B]0;owned\\x07\\u{202E}txt.exe\\x0D") != std::string::npos;
    EXPECT_TRUE(escaped);
}

TEST_F(PhoneClientTest, FilesAreSentInChunksPacedBySendCompletions) {
    options_.media = MediaMode::none;
    const fs::path file = dir_ / "big.bin";
    fs::create_directories(dir_);
    {
        std::ofstream f(file, std::ios::binary);
        for (int i = 0; i < 65537; ++i) f.put(static_cast<char>(i & 0xFF));
    }
    options_.sendFiles = {file};
    startClient();
    pairAndAuthenticate(HelloAck("Desk", 100, 100));

    WireParser parser;
    std::vector<WireFrame> frames;
    for (int round = 0; round < 5; ++round) {
        for (auto& f : parser.append(control_->sentBytes())) frames.push_back(std::move(f));
        parser.reset();
        if (frames.size() > 0 && frames.back().kind == WireKind::control &&
            ControlMessage::decode(frames.back().payload)->is<FileEnd>())
            break;
        frames.clear();
        control_->completeSends();
        queue_->runUntilIdle();
    }
    std::vector<size_t> chunkSizes;
    std::optional<FileBegin> begin;
    bool ended = false;
    for (const auto& f : frames) {
        if (f.kind == WireKind::fileChunk) chunkSizes.push_back(FileChunk::decode(f.payload)->chunk.size());
        if (f.kind != WireKind::control) continue;
        auto m = *ControlMessage::decode(f.payload);
        if (auto* b = m.get<FileBegin>()) begin = *b;
        if (auto* e = m.get<FileEnd>()) ended = begin && e->fileID == begin->fileID;
    }
    ASSERT_TRUE(begin);
    EXPECT_EQ(begin->name, "big.bin");
    EXPECT_EQ(begin->size, 65537);
    EXPECT_NE(begin->fileID, 0u);
    EXPECT_EQ(chunkSizes, (std::vector<size_t>{65536, 1}));
    EXPECT_TRUE(ended);
}

}  // namespace
}  // namespace df::phone
