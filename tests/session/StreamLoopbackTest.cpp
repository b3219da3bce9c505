// The phone sees the screen, for real: the agent server with X11 capture and libx265 on the
// test X display ($DISPLAY, an Xvfb), over loopback, and the reference phone client, which
// pairs (approved on the agent's terminal prompt), authenticates, receives the stream and
// decodes it with libavcodec. A colour painted on the screen while streaming shows up in
// the last decoded picture, and a quality request mid-stream changes the picture's size.
// Skipped without an X display, failed under CI=true.

#include "tests/session/StreamLoopback.h"

#include <chrono>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

class StreamLoopbackTest : public StreamLoopback {
protected:
    void SetUp() override { startServer(false); }
};

TEST_F(StreamLoopbackTest, PairedPhoneDecodesTheLiveScreenAndItsQualityRequest) {
    paintRoot(0x000000);
    phone::PhoneOptions options;
    options.quality = QualityRequest(30, 4, 1280, true);
    const std::string snapshot = (dir / "last.png").string();
    options.mediaOptions.snapshotPath = snapshot;
    auto client = startPhone(options);
    ASSERT_TRUE(client);
    const auto step = [&client](std::optional<ControlMessage> message, double delay) {
        phone::ScriptStep next;
        next.delay = delay;
        next.message = std::move(message);
        client->addScriptStep(std::move(next));
    };

    // Once pictures arrive, the screen changes colour and the phone asks for a smaller
    // picture; once that arrives it stays a little longer and leaves.
    ASSERT_TRUE(waitForLine("videoConfig size=1280x720 ", 30));
    paintRoot(0x2080E0);
    std::this_thread::sleep_for(500ms);
    step(ControlMessage(QualityRequest(30, 2, 640, true)), 0);
    ASSERT_TRUE(waitForLine("videoConfig size=640x360 ", 30));
    step(std::nullopt, 2);
    const auto left = leaveAndWait(*client);
    ASSERT_TRUE(left) << "the phone did not leave";
    const std::vector<std::string>& out = *left;
    EXPECT_EQ(field(out, "videoConfig", "size"), "640x360");
    const auto frames = field(out, "total", "frames");
    ASSERT_TRUE(frames.has_value());
    EXPECT_GT(std::stoi(*frames), 0);
    EXPECT_EQ(field(out, "total", "bad_frames"), "0");

    auto picture = readPng(snapshot);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->width, 640);
    EXPECT_EQ(picture->height, 360);
    const size_t centre = (static_cast<size_t>(picture->height / 2) * picture->width + picture->width / 2) * 3;
    EXPECT_NEAR(picture->rgb[centre + 0], 0x20, 12);
    EXPECT_NEAR(picture->rgb[centre + 1], 0x80, 12);
    EXPECT_NEAR(picture->rgb[centre + 2], 0xE0, 12);

    // After the phone has gone, capture stops and the session is over.
    bool stopped = false;
    for (int i = 0; i < 200 && !stopped; ++i) {
        serverQueue->sync([&] {
            auto session = server->session();
            stopped = !session || (session->isClosed() && !session->capture());
        });
        if (!stopped) std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(stopped);
}

// On a screen that stays still the agent goes quiet after its idle keyframe and refinement;
// a keyframe then comes only when the phone asks for one, and it decodes.
TEST_F(StreamLoopbackTest, RequestedKeyframeArrivesOnAStillScreen) {
    paintRoot(0x406020);
    phone::PhoneOptions options;
    options.quality = QualityRequest(30, 4, 1280, true);
    options.trace = true;  // a line per received frame, with its keyframe flag
    auto client = startPhone(options);
    ASSERT_TRUE(client);
    ASSERT_TRUE(waitForLine("videoConfig size=1280x720 ", 30));
    ASSERT_TRUE(waitForLine("stats t=", 30));

    // Wait for silence: a whole second without a frame (the keyframe interval is longer
    // than this wait, so no timed keyframe comes in between).
    size_t frames = countLines(" videoFrame ");
    for (int i = 0; i < 6; ++i) {
        std::this_thread::sleep_for(1s);
        const size_t now = countLines(" videoFrame ");
        if (now == frames) break;
        frames = now;
    }
    ASSERT_EQ(countLines(" videoFrame "), frames) << "the still screen keeps sending frames";
    const size_t keyframes = countLines(" videoFrame key=1 ");
    ASSERT_GE(keyframes, 1u);

    phone::ScriptStep ask;
    ask.message = ControlMessage(RequestKeyframe{});
    client->addScriptStep(std::move(ask));
    for (int i = 0; i < 100 && countLines(" videoFrame key=1 ") == keyframes; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(countLines(" videoFrame key=1 "), keyframes + 1);

    phone::ScriptStep leave;
    leave.delay = 0.5;
    client->addScriptStep(std::move(leave));
    const auto out = leaveAndWait(*client);
    ASSERT_TRUE(out) << "the phone did not leave";
    EXPECT_EQ(field(*out, "total", "bad_frames"), "0");
    std::optional<std::string> pictures;
    {
        std::lock_guard lock(mutex);
        pictures = field(lines, "total", "pictures");
    }
    ASSERT_TRUE(pictures.has_value());
    EXPECT_EQ(std::stoul(*pictures), countLines(" videoFrame ")) << "every frame, the requested keyframe too, decodes";
}

}  // namespace
}  // namespace df
