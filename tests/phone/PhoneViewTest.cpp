// duskferry-phone --view, the real program on a real X display: a scripted agent on
// loopback streams the HEVC fixture, the window draws it, and clicks, a wheel turn and keys
// made with xdotool on the window arrive at the agent as the phone's messages, at the
// places of the picture they were made on. Closing the window ends the session cleanly.

#include "platform/SerialQueue.h"
#include "platform/linux/transport/LinuxTransport.h"
#include "protocol/ControlMessage.h"
#include "protocol/DeviceAuth.h"
#include "protocol/MediaPayloads.h"
#include "protocol/TransportParameters.h"
#include "protocol/WireFrame.h"
#include "tests/phone/FixtureStream.h"
#include "tests/support/RequireService.h"
#include "tools/phone/HevcDecoder.h"
#include "tools/phone/view/ViewInput.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

namespace df::phone {
namespace {

namespace fs = std::filesystem;
using namespace testsupport;
using namespace std::chrono_literals;

// The agent's side reduced to what the window needs: pairing, the hello acknowledgement,
// the fixture's pictures on a TCP media connection, and a record of the input that arrives.
class StreamingAgent : public std::enable_shared_from_this<StreamingAgent> {
public:
    void start(const std::string& code) {
        queue_ = SerialQueue::create("test.agent");
        auto transport = makeLinuxTransportFactory();
        keys_ = DeviceAuth::generateKeyPair();
        std::weak_ptr<StreamingAgent> weak = shared_from_this();
        queue_->sync([&] {
            listener_ = transport->makeTcpTlsListener(Pairing::parameters(code), 0, "127.0.0.1");
            listener_->setNewConnectionHandler([weak](std::shared_ptr<Connection> c) {
                if (auto me = weak.lock()) me->accept(std::move(c));
            });
            listener_->start(queue_);
        });
        for (int i = 0; i < 200 && !listener_->port(); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(listener_->port()) << "the listener did not become ready";
    }
    void stop() {
        if (!queue_) return;
        queue_->sync([&] {
            listener_->cancel();
            for (auto& p : peers_) p->connection->cancel();
            peers_.clear();
            control_.reset();
            listener_.reset();
        });
        queue_->shutdown();
        queue_.reset();
    }
    uint16_t port() const { return *listener_->port(); }

    /// Pointer, scroll, key and text messages in the order they came.
    std::vector<ControlMessage> input() {
        std::vector<ControlMessage> copy;
        queue_->sync([&] { copy = input_; });
        return copy;
    }

private:
    struct Peer {
        std::shared_ptr<Connection> connection;
        WireParser parser;
        bool classified = false;
    };

    void accept(std::shared_ptr<Connection> c) {
        auto peer = std::make_shared<Peer>();
        peer->connection = c;
        peers_.push_back(peer);
        c->start(queue_);
        receive(peer);
    }
    void receive(std::shared_ptr<Peer> peer) {
        std::weak_ptr<StreamingAgent> weak = shared_from_this();
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
                stream(peer);
                return;
            }
            control_ = peer;
        }
        if (f.kind != WireKind::control) return;
        auto m = ControlMessage::decode(f.payload);
        if (!m) return;
        if (m->is<Hello>()) {
            send(ServerHello("VIEW-TEST-MAC", "View Test Agent"));
            send(PairRequired{});
        } else if (auto* e = m->get<Enroll>()) {
            phoneKey_ = e->publicKey;
            send(EnrollResult(true, keys_.publicKey));
            nonce_ = DeviceAuth::makeNonce();
            send(AuthChallenge(nonce_));
        } else if (auto* r = m->get<AuthResponse>()) {
            const auto key = DeviceAuth::authenticationKey(keys_.privateKey, phoneKey_);
            if (!key || !DeviceAuth::verify(*key, nonce_, r->hmac)) return send(AuthFailed("no"));
            authed_ = true;
            send(HelloAck("View Test Agent", 64, 64, false, std::nullopt, token_));
        } else if (m->is<Heartbeat>()) {
            send(Heartbeat{});
        } else if (m->is<PointerEvent>() || m->is<ScrollEvent>() || m->is<KeyEvent>() || m->is<TextInput>()) {
            input_.push_back(*m);
        }
    }
    void stream(const std::shared_ptr<Peer>& media) {
        const auto fixture = agentFormOf(readAll(fixturePath()));
        send(VideoConfig(fixture.sets.vps, fixture.sets.sps, fixture.sets.pps, 64, 64));
        double pts = 0;
        for (const auto& [data, key] : fixture.frames) {
            media->connection->send(VideoFramePacket::wireEncode(pts, key, data.data(), data.size()), [](auto) {});
            pts += 1.0 / 30;
        }
    }

    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<Listener> listener_;
    std::vector<std::shared_ptr<Peer>> peers_;
    std::shared_ptr<Peer> control_;
    DeviceAuth::KeyPair keys_;
    Bytes token_ = Bytes(16, 0x5A);
    Bytes nonce_, phoneKey_;
    bool authed_ = false;
    std::vector<ControlMessage> input_;
};

std::string slurp(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs a shell command and returns its standard output.
std::string shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    return out;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// What a window manager sends when the person clicks the window's close button.
void askToClose(unsigned long window) {
    Display* d = XOpenDisplay(nullptr);
    ASSERT_NE(d, nullptr);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = window;
    e.xclient.message_type = XInternAtom(d, "WM_PROTOCOLS", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = static_cast<long>(XInternAtom(d, "WM_DELETE_WINDOW", False));
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(d, window, False, NoEventMask, &e);
    XFlush(d);
    XCloseDisplay(d);
}

struct Rgb {
    int r = 0, g = 0, b = 0;
};

// One pixel of a window as the X server shows it.
Rgb windowPixel(unsigned long window, int x, int y) {
    Rgb out;
    Display* d = XOpenDisplay(nullptr);
    if (!d) return out;
    if (XImage* img = XGetImage(d, window, x, y, 1, 1, AllPlanes, ZPixmap)) {
        const unsigned long p = XGetPixel(img, 0, 0);
        auto channel = [&](unsigned long mask) {
            int shift = 0;
            while (mask && !(mask & 1)) {
                mask >>= 1;
                ++shift;
            }
            return static_cast<int>((p >> shift) & 0xFF);
        };
        out = Rgb{channel(img->red_mask), channel(img->green_mask), channel(img->blue_mask)};
        XDestroyImage(img);
    }
    XCloseDisplay(d);
    return out;
}

template <class T>
std::vector<T> ofType(const std::vector<ControlMessage>& ms) {
    std::vector<T> out;
    for (const auto& m : ms)
        if (const auto* v = m.get<T>()) out.push_back(*v);
    return out;
}

class PhoneViewTest : public testing::Test {
protected:
    void SetUp() override {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        agent_->stop();
        fs::remove_all(dir_);
    }
    const fs::path dir_ = fs::path(testing::TempDir()) / ("phone-view-" + std::to_string(getpid()));
    std::shared_ptr<StreamingAgent> agent_ = std::make_shared<StreamingAgent>();
    pid_t pid_ = -1;  ///< the program while it runs
};

TEST_F(PhoneViewTest, ShowsTheStreamAndSendsTheWindowsInputUntilClosed) {
    const char* display = std::getenv("DISPLAY");
    DF_REQUIRE_SERVICE(display && *display, "an X display");
    DF_REQUIRE_TOOL("xdotool");

    auto& agent = agent_;
    agent->start("135790");
    const fs::path outPath = dir_ / "phone.out";

    const pid_t pid = pid_ = fork();
    if (pid == 0) {
        freopen(outPath.c_str(), "w", stdout);
        dup2(fileno(stdout), 2);
        setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Without a session bus, libdbus (which Qt asks for one) would try to launch one and
        // keep an allocation from that failure to the end; an address naming no bus is
        // simply refused.
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (dir_ / "no-session-bus").string()).c_str(), 0);
        const std::string port = std::to_string(agent->port());
        execl(DF_PHONE_BINARY, DF_PHONE_BINARY, "--host", "127.0.0.1", "--port", port.c_str(), "--code", "135790",
              "--name", "View Phone", "--media", "tcp", "--heartbeat", "0.5", "--duration", "60", "--view",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    int status = -1;
    auto exited = [&] {
        if (waitpid(pid, &status, WNOHANG) != pid) return false;
        pid_ = -1;
        return true;
    };

    ASSERT_TRUE(waitFor([&] { return slurp(outPath).find("view: showing the picture, 64x64") != std::string::npos; }, 30s))
        << slurp(outPath);
    const unsigned long window = std::stoul(shell("xdotool search --sync --onlyvisible --name '^duskferry-phone' | head -1"));
    const std::string id = std::to_string(window);
    shell("xdotool windowsize --sync " + id + " 400 200");
    shell("xdotool windowactivate --sync " + id + " 2>/dev/null || xdotool windowfocus --sync " + id);
    // Where the picture is, by the size the window really got.
    std::smatch size;
    const std::string geometry = shell("xdotool getwindowgeometry " + id);
    ASSERT_TRUE(std::regex_search(geometry, size, std::regex("Geometry: (\\d+)x(\\d+)"))) << geometry;
    const PictureRect r = fitPicture(64, 64, std::stoi(size[1]), std::stoi(size[2]));
    ASSERT_GT(r.x, 30) << "the window is not wider than the picture: " << geometry;
    const int inX = r.x + r.width / 4, inY = r.y + r.height / 4;

    shell("xdotool mousemove --window " + id + " " + std::to_string(inX) + " " + std::to_string(inY) + " click 1");
    shell("xdotool mousemove --window " + id + " 10 " + std::to_string(r.y + r.height / 2) + " click 3");
    shell("xdotool click 4 click 6");  // the wheel up, then tilted left
    shell("xdotool key ctrl+c type x");

    auto complete = [&] {
        const auto in = agent->input();
        return !ofType<TextInput>(in).empty() && ofType<KeyEvent>(in).size() >= 2;
    };
    EXPECT_TRUE(waitFor(complete, 10s));
    const auto in = agent->input();

    std::vector<PointerEvent> presses;
    for (const auto& p : ofType<PointerEvent>(in))
        if (p.kind != PointerEvent::Kind::move) presses.push_back(p);
    ASSERT_EQ(presses.size(), 3u);
    const double ax = (inX + 0.5 - r.x) / r.width, ay = (inY + 0.5 - r.y) / r.height;
    EXPECT_EQ(presses[0], PointerEvent(PointerEvent::Kind::leftDown, 0, 0, ax, ay));
    EXPECT_EQ(presses[1], PointerEvent(PointerEvent::Kind::leftUp, 0, 0, ax, ay));
    // On the bar left of the picture: its left edge.
    EXPECT_EQ(presses[2], PointerEvent(PointerEvent::Kind::rightClick, 0, 0, 0.0, (r.height / 2 + 0.5) / r.height));
    EXPECT_EQ(ofType<ScrollEvent>(in), (std::vector<ScrollEvent>{ScrollEvent(0, 50), ScrollEvent(50, 0)}));
    // The up carries the modifiers held when it came, which depends on the order xdotool
    // lets the keys go.
    const auto keys = ofType<KeyEvent>(in);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0], KeyEvent(8, true, KeyModifiers::control));
    EXPECT_EQ(keys[1].keyCode, 8);
    EXPECT_FALSE(keys[1].isDown);
    EXPECT_EQ(ofType<TextInput>(in), std::vector<TextInput>{TextInput("x", KeyModifiers())});

    // What the window shows is the last decoded picture, scaled: compare spots on the grey
    // ramp and inside the white square, away from edges that scaling blends.
    HevcDecoder decoder;
    ASSERT_EQ(decoder.decodeStream(readAll(fixturePath())), 3);
    const RgbImage& last = decoder.lastPicture();
    auto shownMatches = [&] {
        for (const auto& [px, py] : {std::pair{8, 48}, {56, 8}, {40, 24}}) {
            const uint8_t* want = &last.pixels[(static_cast<size_t>(py) * last.width + px) * 3];
            const Rgb got = windowPixel(window, r.x + static_cast<int>((px + 0.5) * r.width / 64),
                                        r.y + static_cast<int>((py + 0.5) * r.height / 64));
            if (std::abs(got.r - want[0]) > 12 || std::abs(got.g - want[1]) > 12 || std::abs(got.b - want[2]) > 12)
                return false;
        }
        return true;
    };
    EXPECT_TRUE(waitFor(shownMatches, 5s)) << "the window does not show the decoded picture";

    askToClose(window);
    ASSERT_TRUE(waitFor(exited, 15s)) << "closing the window did not end the program";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << slurp(outPath);
    EXPECT_NE(slurp(outPath).find("end: "), std::string::npos) << slurp(outPath);
}

}  // namespace
}  // namespace df::phone
