// duskferry-phone, the real program, against a scripted agent on the real transport over
// loopback: TLS 1.2 PSK for control, QUIC (or a second TCP connection) for media, Avahi for
// discovery. The scripted agent speaks the agent's orders; the program's output files are
// checked with libavcodec and libpng.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/MediaPayloads.h"
#include "protocol/TransportParameters.h"
#include "protocol/WireFrame.h"
#include "tests/phone/FixtureStream.h"
#include "tools/phone/HevcDecoder.h"

#include <gtest/gtest.h>
#include <opus/opus.h>
#include <png.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <numbers>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace df::phone {
namespace {

namespace fs = std::filesystem;
using namespace testsupport;

bool inCi() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the program with a time limit; its stdout and stderr are collected in files.
RunResult runPhone(const std::vector<std::string>& args, const fs::path& dir, double limit = 30) {
    const fs::path outPath = dir / "phone.out";
    const fs::path errPath = dir / "phone.err";
    const pid_t pid = fork();
    if (pid == 0) {
        freopen(outPath.c_str(), "w", stdout);
        freopen(errPath.c_str(), "w", stderr);
        std::vector<char*> argv;
        std::string bin = DF_PHONE_BINARY;
        argv.push_back(bin.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy) argv.push_back(a.data());
        argv.push_back(nullptr);
        setenv("XDG_DATA_HOME", (dir / "data").c_str(), 1);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    RunResult r;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limit);
    int wstatus = 0;
    while (waitpid(pid, &wstatus, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            ADD_FAILURE() << "duskferry-phone did not end in time";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    r.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    auto slurp = [](const fs::path& p) {
        std::ifstream in(p);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    };
    r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
}

// The agent's side as the phone meets it, reduced to what the phone can observe: the
// handshake orders, the hello acknowledgement with a media token and QUIC port, heartbeat
// answers, and once a media channel attaches, videoConfig on the control connection
// followed by the fixture's frames and Opus audio on the media channel.
class ScriptedAgent : public std::enable_shared_from_this<ScriptedAgent> {
public:
    bool decline = false;
    bool lockedOut = false;  ///< drop every connection before the handshake, as a lock-out does

    void start(const std::string& code) {
        queue_ = SerialQueue::create("test.agent");
        auto transport = makeLinuxTransportFactory();
        keys_ = DeviceAuth::generateKeyPair();
        token_ = Bytes(16, 0x3C);
        std::weak_ptr<ScriptedAgent> weak = shared_from_this();
        queue_->sync([&] {
            tcp_ = transport->makeTcpTlsListener(Pairing::parameters(code), 0, "127.0.0.1");
            quic_ = transport->makeQuicListener(Pairing::quicParameters(code), 0, "127.0.0.1");
            for (auto& l : {tcp_, quic_}) {
                l->setNewConnectionHandler([weak](std::shared_ptr<Connection> c) {
                    if (auto me = weak.lock()) me->accept(std::move(c));
                });
                l->start(queue_);
            }
        });
        for (int i = 0; i < 200 && !(tcp_->port() && quic_->port()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_TRUE(tcp_->port() && quic_->port()) << "listeners did not become ready";
        port_ = *tcp_->port();
    }
    void stop() {
        if (!queue_) return;
        queue_->sync([&] {
            tcp_->cancel();
            quic_->cancel();
            for (auto& p : peers_) p->connection->cancel();
            peers_.clear();
            control_.reset();
            tcp_.reset();
            quic_.reset();
        });
        // The last completions of the cancelled connections (which hold the peers) are
        // destroyed with the queue.
        queue_->shutdown();
        queue_.reset();
    }
    uint16_t port() const { return port_; }

    int heartbeats() {
        int n = 0;
        queue_->sync([&] { n = heartbeats_; });
        return n;
    }
    std::string mediaKind() {
        std::string k;
        queue_->sync([&] { k = mediaKind_; });
        return k;
    }

private:
    struct Peer {
        std::shared_ptr<Connection> connection;
        WireParser parser;
        bool classified = false;
        bool media = false;
    };

    void accept(std::shared_ptr<Connection> c) {
        if (lockedOut) return c->cancel();
        auto peer = std::make_shared<Peer>();
        peer->connection = c;
        peers_.push_back(peer);
        c->start(queue_);
        receive(peer);
    }
    void receive(std::shared_ptr<Peer> peer) {
        std::weak_ptr<ScriptedAgent> weak = shared_from_this();
        peer->connection->receive(1, 1 << 20, [weak, peer](Bytes data, bool done, std::optional<TransportError> e) {
            auto me = weak.lock();
            if (!me) return;
            for (auto& f : peer->parser.append(data)) me->frame(peer, f);
            if (!done && !e && !peer->parser.corrupted()) me->receive(peer);
        });
    }
    void send(const ControlMessage& m) {
        if (control_) control_->connection->send(*m.encodedFrame(), [](auto) {});
    }
    void frame(const std::shared_ptr<Peer>& peer, const WireFrame& f) {
        if (!peer->classified) {
            peer->classified = true;
            if (f.kind == WireKind::mediaHello) {
                if (f.payload != token_ || !authed_) return peer->connection->cancel();
                peer->media = true;
                mediaKind_ = peer->connection->protocol() == TransportProtocol::quic ? "quic" : "tcp";
                sendMedia(peer);
                return;
            }
            control_ = peer;
        }
        if (f.kind != WireKind::control) return;
        auto m = ControlMessage::decode(f.payload);
        if (!m) return;
        if (auto* h = m->get<Hello>()) {
            deviceID_ = h->deviceID;
            send(ServerHello("TEST-MAC-ID", "Test Agent"));
            if (phoneKey_) challenge();
            else send(PairRequired{});
        } else if (auto* e = m->get<Enroll>()) {
            if (decline) {
                send(EnrollResult(false));
                send(AuthFailed("Pairing declined"));
                return;
            }
            phoneKey_ = e->publicKey;
            send(EnrollResult(true, keys_.publicKey));
            challenge();
        } else if (auto* r = m->get<AuthResponse>()) {
            const auto key = DeviceAuth::authenticationKey(keys_.privateKey, *phoneKey_);
            if (!key || !DeviceAuth::verify(*key, nonce_, r->hmac)) {
                send(AuthFailed("Device authentication failed"));
                return;
            }
            authed_ = true;
            send(HelloAck("Test Agent", 64, 64, false,
                          std::vector<DisplayInfo>{DisplayInfo(7, "Screen", 64, 64, true)}, token_,
                          std::nullopt, std::vector<std::string>{"cstats", "quic"}, *quic_->port()));
        } else if (m->is<Heartbeat>() && authed_) {
            ++heartbeats_;
            send(Heartbeat{});
            send(CaptureAlive(true, 3.5));
        }
    }
    void challenge() {
        nonce_ = DeviceAuth::makeNonce();
        send(AuthChallenge(nonce_));
    }
    void sendMedia(const std::shared_ptr<Peer>& media) {
        const auto stream = agentFormOf(readAll(fixturePath()));
        send(VideoConfig(stream.sets.vps, stream.sets.sps, stream.sets.pps, 64, 64));
        send(AudioConfig("opus", 48000, 2));
        double pts = 0;
        for (const auto& [data, key] : stream.frames) {
            media->connection->send(VideoFramePacket::wireEncode(pts, key, data.data(), data.size()), [](auto) {});
            pts += 1.0 / 30;
        }
        int err = 0;
        OpusEncoder* enc = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &err);
        for (int p = 0; p < 50; ++p) {
            std::vector<int16_t> pcm(960 * 2);
            for (int i = 0; i < 960; ++i)
                pcm[2 * i] = pcm[2 * i + 1] = static_cast<int16_t>(
                    12000 * std::sin(2 * std::numbers::pi * 440.0 * (p * 960 + i) / 48000.0));
            uint8_t packet[1500];
            const int n = opus_encode(enc, pcm.data(), 960, packet, sizeof packet);
            media->connection->send(AudioFramePacket::wireEncode(p * 0.02, packet, static_cast<size_t>(n)),
                                    [](auto) {});
        }
        opus_encoder_destroy(enc);
        send(ClipboardSync("from the computer"));
        send(CursorShapeMsg("iBeam"));
    }

    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<Listener> tcp_, quic_;
    std::vector<std::shared_ptr<Peer>> peers_;
    std::shared_ptr<Peer> control_;
    DeviceAuth::KeyPair keys_;
    Bytes token_, nonce_;
    std::optional<Bytes> phoneKey_;
    std::string deviceID_;
    std::string mediaKind_;
    bool authed_ = false;
    int heartbeats_ = 0;
    uint16_t port_ = 0;
};

class PhoneOverNetworkTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::path(testing::TempDir()) / ("phone-net-" + std::to_string(getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (agent_) agent_->stop();
        fs::remove_all(dir_);
    }
    std::shared_ptr<ScriptedAgent> agent_ = std::make_shared<ScriptedAgent>();
    fs::path dir_;
};

int pngWidth(const fs::path& path) {
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&img, path.c_str())) return -1;
    png_image_free(&img);
    return static_cast<int>(img.width);
}

TEST_F(PhoneOverNetworkTest, PairsStreamsAndWritesWhatItReceived) {
    for (const std::string media : {"auto", "tcp"}) {
        SCOPED_TRACE(media);
        agent_ = std::make_shared<ScriptedAgent>();
        agent_->start("246810");
        fs::remove_all(dir_ / "data");
        const auto hevc = dir_ / "out.hevc", png = dir_ / "shot.png", wav = dir_ / "out.wav";
        auto r = runPhone({"--host", "127.0.0.1", "--port", std::to_string(agent_->port()), "--code", "246810",
                           "--name", "Integration Phone", "--media", media, "--duration", "2.5",
                           "--heartbeat", "0.5", "--stats", "--hevc", hevc.string(), "--snapshot",
                           png.string(), "--wav", wav.string()},
                          dir_);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("waiting for approval on the computer \"Test Agent\""), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("helloAck macName=\"Test Agent\" screen=64x64 displays=[7:\"Screen\":64x64*]"),
                  std::string::npos) << r.out;
        EXPECT_NE(r.out.find("clipboard bytes=17 text=\"from the computer\""), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("cursorShape shape=iBeam"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("total seconds="), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" frames=3 keyframes=1 bad_frames=0 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" audio_packets=50 "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("stats t=1 "), std::string::npos) << r.out;
        EXPECT_GE(agent_->heartbeats(), 3);
        EXPECT_EQ(agent_->mediaKind(), media == "auto" ? "quic" : "tcp");

        EXPECT_EQ(pngWidth(png), 64);
        HevcDecoder decoder;
        EXPECT_EQ(decoder.decodeStream(readAll(hevc)), 3);
        EXPECT_EQ(fs::file_size(wav), 44u + 50 * 960 * 4);

        // The computer's key was kept: the second run answers the challenge without pairing.
        auto again = runPhone({"--host", "127.0.0.1", "--port", std::to_string(agent_->port()), "--code",
                               "246810", "--no-media", "--duration", "0.5"},
                              dir_);
        EXPECT_EQ(again.status, 0) << again.out << again.err;
        EXPECT_EQ(again.out.find("waiting for approval"), std::string::npos) << again.out;
        EXPECT_NE(again.out.find("authenticated"), std::string::npos) << again.out;
        agent_->stop();
        agent_.reset();
    }
}

TEST_F(PhoneOverNetworkTest, WrongCodeDeclinedAndLockedOutEndWithTheirStatus) {
    agent_->decline = true;
    agent_->start("111111");
    auto wrong = runPhone({"--host", "127.0.0.1", "--port", std::to_string(agent_->port()), "--code", "222222"}, dir_);
    EXPECT_EQ(wrong.status, 3) << wrong.out << wrong.err;
    EXPECT_NE(wrong.err.find("pairing code"), std::string::npos) << wrong.err;

    auto declined = runPhone({"--host", "127.0.0.1", "--port", std::to_string(agent_->port()), "--code", "111111"}, dir_);
    EXPECT_EQ(declined.status, 5) << declined.out << declined.err;
    EXPECT_NE(declined.err.find("declined"), std::string::npos) << declined.err;

    agent_->stop();
    agent_ = std::make_shared<ScriptedAgent>();
    agent_->lockedOut = true;
    agent_->start("111111");
    auto locked = runPhone({"--host", "127.0.0.1", "--port", std::to_string(agent_->port()), "--code", "111111"}, dir_);
    EXPECT_EQ(locked.status, 6) << locked.out << locked.err;
    EXPECT_NE(locked.err.find("locked out"), std::string::npos) << locked.err;

    auto nobody = runPhone({"--host", "127.0.0.1", "--port", "1", "--code", "111111"}, dir_);
    EXPECT_EQ(nobody.status, 2) << nobody.out << nobody.err;
}

TEST_F(PhoneOverNetworkTest, DiscoversAnAdvertisedAgentThroughAvahi) {
    if (system("avahi-daemon --check 2>/dev/null") != 0 || system("command -v avahi-publish >/dev/null") != 0) {
        if (inCi()) FAIL() << "avahi-daemon is not running";
        GTEST_SKIP() << "avahi-daemon is not running";
    }
    const pid_t pub = fork();
    if (pub == 0) {
        execlp("avahi-publish", "avahi-publish", "-s", "Phone Test Agent", "_duskferry._tcp", "52999",
               "kind=Desktop", "id=TEST-ID-42", static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string out;
    for (int attempt = 0; attempt < 10 && out.find("TEST-ID-42") == std::string::npos; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        out = runPhone({"--discover", "--discover-timeout", "2"}, dir_).out;
    }
    kill(pub, SIGTERM);
    waitpid(pub, nullptr, 0);
    EXPECT_NE(out.find("agent name=\"Phone Test Agent\""), std::string::npos) << out;
    EXPECT_NE(out.find("port=52999 kind=\"Desktop\" id=TEST-ID-42"), std::string::npos) << out;
}

}  // namespace
}  // namespace df::phone
