// The session's capture and video send path on fakes: the test plays the phone (fake
// connections), the host's screen capture and compression (it delivers encoded outputs by
// hand) and every queue's clock. Covers the clamps and defaults of a capture start, the
// adaptive controller's windows and ladder, the in-flight rule with keyframe recovery,
// stale generations, start failures, the order of a configuration and its keyframe, the
// screen resync's capture restart, the heartbeat's capture report and the display kept awake.

#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "DuskFerryAgent/capture/VirtualDisplayControl.h"
#include "DuskFerryAgent/session/AgentSession.h"
#include "DuskFerryAgent/shell/L10n.h"
#include "DuskFerryAgent/trust/TrustStore.h"
#include "platform/fake/activity/RecordingDisplayActivity.h"
#include "platform/fake/audio/FakeAudio.h"
#include "platform/fake/capture/FakeScreenCapture.h"
#include "platform/fake/compression/FakeVideoCompression.h"
#include "platform/fake/displays/FakeDisplays.h"
#include "platform/fake/keychain/MemoryAgentKeychain.h"
#include "platform/fake/queue/ManualQueue.h"
#include "protocol/MediaPayloads.h"
#include "tests/session/SessionTestSupport.h"

#include <gmock/gmock.h>

namespace df {
namespace {

using fake::makeSample;

const Bytes kVps{0x40, 1}, kSps{0x42, 1}, kPps{0x44, 1};

class AgentSessionCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays->setDisplays({{7, "screen", {0, 0, 1280, 720}, true, 60}});
        screen->setDisplays({ShareableDisplay{7, 1280, 720, true, ScreenDisplayMode{1280, 1280}}});
        phoneKeys = DeviceAuth::generateKeyPair();
        ASSERT_TRUE(trust->trust("PHONE-1", "Phone", phoneKeys.publicKey));
    }
    void TearDown() override {
        if (session) session->close();
        for (int i = 0; i < 3; ++i) {
            queue->advance(20);
            run();
        }
    }

    SessionServices services() {
        SessionServices s;
        s.mainQueue = main;
        s.trust = trust;
        s.l10n = l10n;
        s.displays = target;
        s.virtualDisplay = virtualDisplay;
        s.displayActivity = activity;
        s.capture.screen = screen;
        s.capture.compression = compression;
        s.capture.videoQueue = videoQueue;
        s.capture.startQueue = startQueue;
        s.capture.encoderClock = queue->sharedClock();
        s.capture.audio = audio;
        s.capture.audioConversion = audioConversion;
        s.capture.audioQueue = audioQueue;
        return s;
    }

    void run() {
        for (int i = 0; i < 4; ++i) {
            startQueue->runUntilIdle();
            videoQueue->runUntilIdle();
            audioQueue->runUntilIdle();
            queue->runUntilIdle();
            main->runUntilIdle();
        }
    }

    /// A trusted phone on a new control connection says hello with `quality` and answers the
    /// challenge; capture starts with it.
    void authenticate(std::optional<QualityRequest> quality) {
        if (session) session->close();
        run();
        conn = fake::FakeConnection::make();
        conn->start(queue);
        conn->setAutoCompleteSends(true);
        session = AgentSession::create(
            conn, queue, [this](const std::string& t) { statuses.push_back(t); }, nullptr, nullptr, services());
        session->start(testsupport::frame(Hello("Phone", 1, quality, "PHONE-1")));
        run();
        Bytes nonce;
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* c = m.get<AuthChallenge>()) nonce = c->nonce;
        }
        auto key = DeviceAuth::authenticationKey(phoneKeys.privateKey, trust->macPublicKey());
        phoneSends(AuthResponse(DeviceAuth::response(*key, nonce)));
        ASSERT_EQ(session->authState(), AgentSession::AuthState::authed);
    }
    /// The video goes on a TCP media connection whose sends complete when the test says.
    void attachMedia() {
        media = fake::FakeConnection::make();
        media->start(queue);
        ASSERT_TRUE(session->attachMedia(media, session->mediaToken(), {}));
    }
    void phoneSends(const ControlMessage& m) {
        conn->feed(testsupport::frame(m));
        run();
    }

    const AgentSession::VideoState& state() const { return session->videoState(); }
    std::shared_ptr<fake::FakeCompressionSession> encoderSession() const { return compression->lastSession(); }
    /// The encoder hands over a keyframe (with the stream's parameter sets) or another frame.
    void keyframe() {
        encoderSession()->deliver(makeSample({0, 0, 0, 1, 0x26}, false, {kVps, kSps, kPps}));
        run();
    }
    void frame(int count = 1) {
        for (int i = 0; i < count; ++i) {
            encoderSession()->deliver(makeSample({0, 0, 0, 1, 0x02}, true));
            run();
        }
    }
    /// The keyframe flags of the video frames sent on `c`.
    static std::vector<bool> videoSent(const fake::FakeConnection& c) {
        std::vector<bool> out;
        WireParser parser;
        for (const auto& f : parser.append(c.sentBytes())) {
            if (f.kind == WireKind::videoFrame) out.push_back(VideoFramePacket::parse(f.payload)->isKeyframe);
        }
        return out;
    }
    template <class T>
    std::vector<T> sent() const {
        std::vector<T> out;
        for (auto& m : testsupport::sentMessages(*conn)) {
            if (auto* x = m.get<T>()) out.push_back(*x);
        }
        return out;
    }
    long count(const std::string& status) const { return std::ranges::count(statuses, status); }
    /// Time passes; the phone keeps the session alive.
    void later(double seconds) {
        queue->advance(seconds);
        run();
        phoneSends(Heartbeat{});
    }

    /// Puts the send path into keyframe recovery in a window of its own, which is too small
    /// to judge: four frames in flight, a fifth dropped, then the sends complete and 2 s
    /// later one more frame (dropped) closes that window.
    void enterRecovery() {
        media->setAutoCompleteSends(false);
        keyframe();
        frame(4);
        media->completeSends();
        run();
        later(AgentSession::adaptationWindow);
        frame();
        ASSERT_TRUE(state().needKeyframeRecovery);
        if (state().adaptiveEnabled) {
            ASSERT_EQ(state().windowSent + state().windowDropped, 0);
        }
    }
    /// One measuring window of `sent` frames sent (sends complete at once) and `dropped`
    /// dropped, judged by its last frame 2 s after it began.
    void window(int sent, int dropped) {
        if (dropped > 0 && !state().needKeyframeRecovery) enterRecovery();
        media->setAutoCompleteSends(true);
        frame(dropped);
        keyframe();
        frame(sent - 2);
        later(AgentSession::adaptationWindow);
        frame();
    }
    /// Answers the stream's pending reconfiguration (a ladder change).
    void answerUpdate(bool ok = true) {
        ASSERT_EQ(screen->lastStream()->pendingUpdates(), 1u);
        screen->lastStream()->answerUpdate(ok ? std::nullopt : std::optional(ScreenCaptureError{-1, "refused"}));
        run();
    }

    fake::MemoryAgentKeychain keychain;
    std::shared_ptr<TrustStore> trust = std::make_shared<TrustStore>(keychain);
    std::shared_ptr<const L10n> l10n = std::make_shared<L10n>(std::vector<std::string>{"en"});
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.server");
    std::shared_ptr<fake::ManualQueue> main = std::make_shared<fake::ManualQueue>("main", queue->sharedClock());
    std::shared_ptr<fake::ManualQueue> videoQueue =
        std::make_shared<fake::ManualQueue>("duskferry.capture", queue->sharedClock());
    std::shared_ptr<fake::ManualQueue> startQueue =
        std::make_shared<fake::ManualQueue>("duskferry.capture.start", queue->sharedClock());
    std::shared_ptr<fake::ManualQueue> audioQueue =
        std::make_shared<fake::ManualQueue>("duskferry.capture.audio", queue->sharedClock());
    std::shared_ptr<fake::FakeAudioCapture> audio = std::make_shared<fake::FakeAudioCapture>();
    std::shared_ptr<fake::FakeAudioConversion> audioConversion = std::make_shared<fake::FakeAudioConversion>();
    std::shared_ptr<fake::FakeDisplays> displays = std::make_shared<fake::FakeDisplays>();
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(displays);
    std::shared_ptr<VirtualDisplayControl> virtualDisplay = std::make_shared<VirtualDisplayControl>();
    std::shared_ptr<fake::RecordingDisplayActivity> activity = std::make_shared<fake::RecordingDisplayActivity>();
    std::shared_ptr<fake::FakeScreenCapture> screen = std::make_shared<fake::FakeScreenCapture>();
    std::shared_ptr<fake::FakeVideoCompression> compression = std::make_shared<fake::FakeVideoCompression>();
    DeviceAuth::KeyPair phoneKeys;
    std::shared_ptr<fake::FakeConnection> conn;
    std::shared_ptr<fake::FakeConnection> media;
    std::shared_ptr<AgentSession> session;
    std::vector<std::string> statuses;
};

TEST_F(AgentSessionCaptureTest, StartClampsTheRequestAndFillsInDefaults) {
    struct Row {
        std::optional<QualityRequest> quality;
        double refreshRate;
        double bitrate;
        int fps, longEdge, maxInFlight;
        bool adaptive;
    };
    const std::vector<Row> rows{
        {QualityRequest(240, 100, 8000, true), 60, 60, 120, 5120, 8, true},
        {std::nullopt, 75, 15, 75, 1920, 5, true},
        {std::nullopt, 0, 15, 60, 1920, 4, true},
        {QualityRequest(0, 8, 1280, false), 59.94, 8, 60, 1280, 4, false},
        {QualityRequest(90, 20, 2560, true), 60, 20, 90, 2560, 6, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fps);
        displays->setDisplays({{7, "screen", {0, 0, 1280, 720}, true, row.refreshRate}});
        authenticate(row.quality);
        EXPECT_DOUBLE_EQ(state().requestedBitrate, row.bitrate);
        EXPECT_DOUBLE_EQ(state().currentBitrate, row.bitrate);
        EXPECT_EQ(state().requestedFPSClamped, row.fps);
        EXPECT_EQ(state().requestedLongEdgeClamped, row.longEdge);
        EXPECT_EQ(state().maxInFlight, row.maxInFlight);
        EXPECT_EQ(state().adaptiveEnabled, row.adaptive);
        ASSERT_TRUE(session->capture());
        const auto& engine = session->capture()->settings();
        EXPECT_EQ(engine.fps, row.fps);
        EXPECT_DOUBLE_EQ(engine.bitrateMbps, row.bitrate);
        EXPECT_EQ(engine.maxLongEdge, row.longEdge);
        EXPECT_TRUE(screen->lastStream()->isStarted());
    }
}

TEST_F(AgentSessionCaptureTest, QualityMessageStartsANewGenerationAndCloseStopsEverything) {
    authenticate(QualityRequest(60, 10, 1920, true));
    ASSERT_EQ(activity->reasons(), std::vector<std::string>{"Brevox screen streaming"});
    auto first = screen->lastStream();
    const auto generation = state().captureGeneration;
    phoneSends(QualityRequest(30, 5, 1280, true));
    EXPECT_EQ(state().captureGeneration, generation + 1);
    EXPECT_TRUE(first->isStopped());
    EXPECT_EQ(screen->lastStream()->configurations().front().minimumFrameInterval, (MediaTime{1, 30}));
    EXPECT_EQ(activity->held(), 1);  // one token for the session, not one per start

    session->close();
    run();
    EXPECT_TRUE(screen->lastStream()->isStopped());
    EXPECT_EQ(activity->held(), 0);
    EXPECT_EQ(session->capture(), nullptr);
}

TEST_F(AgentSessionCaptureTest, ConfigurationIsHandedOverBeforeTheKeyframeThatNeedsIt) {
    authenticate(QualityRequest(60, 10, 1920, true));
    attachMedia();
    media->setAutoCompleteSends(true);
    conn->setAutoCompleteSends(false);
    keyframe();
    frame();
    ASSERT_EQ(sent<VideoConfig>().size(), 1u);
    EXPECT_EQ(sent<VideoConfig>()[0], VideoConfig(kVps, kSps, kPps, 1280, 720));
    EXPECT_TRUE(videoSent(*media).empty());  // the configuration's send has not completed
    EXPECT_EQ(session->heldVideoFrames(), 2u);

    conn->completeSends();
    run();
    EXPECT_EQ(videoSent(*media), (std::vector<bool>{true, false}));
    frame();  // nothing waits any more
    EXPECT_EQ(videoSent(*media).size(), 3u);
    EXPECT_EQ(session->heldVideoFrames(), 0u);
}

TEST_F(AgentSessionCaptureTest, AudioOfTheNegotiatedCodecIsSentUnlessThePhoneMutedIt) {
    audioConversion->setUnsupported({AudioCodecKind(AudioCodecKind::aacEld).formatID()});
    const auto twentyMs = [](double pts) { return fake::pcmSample(AudioEncoder::standardPcmFormat(), 960, pts); };
    const auto audioFrames = [this] {
        WireParser parser;
        return std::ranges::count_if(parser.append(media->sentBytes()),
                                     [](const auto& f) { return f.kind == WireKind::audioFrame; });
    };

    // No codec the phone names can be encoded here: no audio at all.
    authenticate(QualityRequest(60, 10, 1920, true, std::vector<std::string>{"aac-eld", "flac"}));
    EXPECT_TRUE(audio->streams().empty());

    authenticate(QualityRequest(60, 10, 1920, true, std::vector<std::string>{"aac-eld", "opus", "aac-lc"}));
    attachMedia();
    media->setAutoCompleteSends(true);
    ASSERT_TRUE(audio->lastStream());
    audio->lastStream()->deliver(twentyMs(1.0));
    audio->lastStream()->deliver(twentyMs(1.02));
    run();
    ASSERT_EQ(sent<AudioConfig>().size(), 1u);
    EXPECT_EQ(sent<AudioConfig>()[0].codec, "opus");
    EXPECT_EQ(audioFrames(), 2);

    phoneSends(AudioControl(false));
    audio->lastStream()->deliver(twentyMs(1.04));
    run();
    EXPECT_EQ(audioFrames(), 2);
    phoneSends(AudioControl(true));
    audio->lastStream()->deliver(twentyMs(1.06));
    run();
    EXPECT_EQ(audioFrames(), 3);
    EXPECT_EQ(sent<AudioConfig>().size(), 1u);
}

TEST_F(AgentSessionCaptureTest, InFlightLimitDropsUntilAKeyframeGetsThrough) {
    authenticate(QualityRequest(60, 10, 1920, true));
    attachMedia();
    keyframe();
    frame(3);
    EXPECT_EQ(state().videoInFlight, 4);
    frame(3);  // the fifth is dropped for room, the others for recovery
    EXPECT_EQ(videoSent(*media).size(), 4u);
    EXPECT_TRUE(state().needKeyframeRecovery);
    EXPECT_FALSE(state().keyframePending);

    media->completeSends(1);
    run();
    EXPECT_TRUE(state().keyframePending);  // room again: a keyframe was asked for
    EXPECT_TRUE(session->capture()->encoder()->forceKeyframe());
    frame();
    EXPECT_EQ(videoSent(*media).size(), 4u);
    keyframe();
    EXPECT_FALSE(state().needKeyframeRecovery);
    EXPECT_EQ(state().videoInFlight, 4);

    // A keyframe dropped for lack of room is asked for once more.
    keyframe();
    EXPECT_TRUE(state().needKeyframeRecovery);
    EXPECT_FALSE(state().keyframePending);
    media->completeSends();
    run();
    EXPECT_TRUE(state().keyframePending);
    frame();
    keyframe();
    frame();
    EXPECT_EQ(videoSent(*media), (std::vector<bool>{true, false, false, false, true, true, false}));
    EXPECT_EQ(state().framesSentTotal, 7);
    EXPECT_EQ(state().windowDropped, 6);
}

TEST_F(AgentSessionCaptureTest, ControllerWindows) {
    const std::string lower = "Network congested, lowering resolution to stay smooth…";
    const std::string raise = "Network recovered, raising quality tier…";
    struct Window {
        int sent, dropped;
    };
    struct Row {
        const char* name;
        QualityRequest quality;
        std::vector<Window> windows;
        double bitrate;
        int tier;
        long lowered, raised;
    };
    const std::vector<Row> rows{
        {"10 frames are too few", QualityRequest(60, 15, 2560, true), {{7, 3}}, 15, 0, 0, 0},
        {"11 with 3 drops halve", QualityRequest(60, 15, 2560, true), {{8, 3}}, 7.5, 0, 0, 0},
        {"5 % drops or less is no congestion", QualityRequest(60, 15, 2560, true), {{19, 1}}, 15, 0, 0, 0},
        {"10 % drops cut to the floor, then the ladder", QualityRequest(60, 5, 2560, true), {{18, 2}, {18, 2}},
         4, 1, 1, 0},
        {"the floor at 1920 px and 30 fps: tier 2 silently", QualityRequest(30, 5, 1920, true),
         {{18, 2}, {18, 2}}, 4, 2, 0, 0},
        {"not adaptive", QualityRequest(60, 15, 2560, false), {{8, 3}}, 15, 0, 0, 0},
        {"far below the request: up after one good window", QualityRequest(60, 20, 2560, true),
         {{8, 3}, {8, 3}, {20, 0}}, 6.75, 0, 0, 0},
        {"near the request: up after two good windows", QualityRequest(60, 20, 2560, true),
         {{8, 3}, {20, 0}, {20, 0}}, 12, 0, 0, 0},
        {"back to full rate, then four good windows raise the tier", QualityRequest(60, 5, 2560, true),
         {{18, 2}, {18, 2}, {20, 0}, {20, 0}, {20, 0}, {20, 0}, {20, 0}, {20, 0}, {20, 0}, {20, 0}}, 5, 0, 1, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        statuses.clear();
        authenticate(row.quality);
        attachMedia();
        for (const auto& w : row.windows) {
            window(w.sent, w.dropped);
            if (screen->lastStream()->pendingUpdates() > 0) answerUpdate();
        }
        EXPECT_DOUBLE_EQ(state().currentBitrate, row.bitrate);
        EXPECT_EQ(state().resolutionTier, row.tier);
        EXPECT_EQ(count(lower), row.lowered);
        EXPECT_EQ(count(raise), row.raised);
        EXPECT_DOUBLE_EQ(session->capture()->encoder()->currentBitrateMbps(), row.bitrate);
    }
}

TEST_F(AgentSessionCaptureTest, LadderChangeReconfiguresAndAStalledStreamRestartsKeepingTheRung) {
    authenticate(QualityRequest(60, 5, 2560, true));
    attachMedia();
    window(18, 2);
    window(18, 2);
    ASSERT_EQ(state().resolutionTier, 1);
    const auto reconfigured = screen->lastStream()->configurations().back();
    EXPECT_EQ(reconfigured.width, 1280);  // the display is smaller than the cap
    EXPECT_EQ(reconfigured.minimumFrameInterval, (MediaTime{1, 30}));
    const auto generation = state().captureGeneration;
    answerUpdate();
    EXPECT_EQ(state().appliedFPS, 30);
    EXPECT_EQ(state().appliedLongEdge, 1920);

    queue->advance(AgentSession::stallAfterTierChange);  // no frame since the change
    run();
    EXPECT_EQ(state().captureGeneration, generation + 1);
    EXPECT_EQ(state().resolutionTier, 1);
    EXPECT_DOUBLE_EQ(state().currentBitrate, 4);
    EXPECT_EQ(session->capture()->settings().fps, 30);
    EXPECT_DOUBLE_EQ(session->capture()->settings().bitrateMbps, 4);
}

TEST_F(AgentSessionCaptureTest, ClientStatsWithFlushesCutTheRate) {
    authenticate(QualityRequest(60, 5, 2560, true));
    struct Step {
        int64_t flushes;
        double bitrate;
        int tier;
    };
    for (const auto& step : std::vector<Step>{{0, 5, 0}, {1, 4, 0}, {2, 4, 1}}) {
        phoneSends(ClientStats(60, step.flushes, 10));
        EXPECT_DOUBLE_EQ(state().currentBitrate, step.bitrate);
        EXPECT_EQ(state().resolutionTier, step.tier);
    }
}

TEST_F(AgentSessionCaptureTest, StartFailures) {
    const std::string noDisplayText = "No capturable display: open your laptop’s lid or connect a display.";
    struct Row {
        const char* name;
        std::function<void()> script;
        std::optional<QualityRequest> quality;
        std::vector<std::string> statuses;
        std::optional<CaptureError> error;
    };
    const std::vector<Row> rows{
        {"no display: the virtual display is asked for, then the phone is told",
         [this] { screen->setDisplays({}); },
         std::nullopt,
         {"No display detected — enabling the virtual display…", "Display changed, restarting capture…",
          noDisplayText},
         CaptureError(noDisplayText, "noDisplay")},
        {"4:4:4 refused: standard quality instead",
         [this] { compression->setPropertyResult(CompressionPropertyKey::profileLevel, -12900); },
         QualityRequest(60, 10, 1920, true, std::nullopt, true),
         {"This computer can't encode 4:4:4 — reverted to standard quality"},
         std::nullopt},
        {"the capture service fails",
         [this] { screen->failNextStart({-1, "grab refused"}); },
         std::nullopt,
         {"Capture failed: grab refused (check Screen Recording permission)"},
         CaptureError("grab refused")},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        screen->setDisplays({ShareableDisplay{7, 1280, 720, true, ScreenDisplayMode{1280, 1280}}});
        compression = std::make_shared<fake::FakeVideoCompression>();
        int autoEnabled = 0;
        virtualDisplay->installEnableAuto([&autoEnabled] { ++autoEnabled; });
        row.script();
        statuses.clear();
        authenticate(row.quality);
        queue->advance(2.0);  // the retry of a missing display
        run();
        const auto connected = std::ranges::find(statuses, "Connected: Phone");
        ASSERT_NE(connected, statuses.end());
        EXPECT_EQ(std::vector<std::string>(connected + 1, statuses.end()), row.statuses);
        auto errors = sent<CaptureError>();
        EXPECT_EQ(errors.empty() ? std::nullopt : std::optional(errors.back()), row.error);
        EXPECT_EQ(autoEnabled, row.error && row.error->kind ? 1 : 0);
        if (row.quality && row.quality->chroma444) {
            EXPECT_FALSE(session->capture()->settings().chroma444);
            EXPECT_TRUE(state().chroma444Blocked);
        }
        virtualDisplay->clear();
    }
}

TEST_F(AgentSessionCaptureTest, FailureOfAnOlderGenerationIsIgnored) {
    // While the first engine is starting, the phone asks for another quality; then the
    // first start fails.
    screen->failNextStart({-1, "old engine failed"});
    screen->duringNextStart([this] {
        conn->feed(testsupport::frame(QualityRequest(30, 8, 1280, true)));
        queue->runUntilIdle();
    });
    authenticate(std::nullopt);
    EXPECT_EQ(state().captureGeneration, 2);
    EXPECT_TRUE(sent<CaptureError>().empty());
    EXPECT_EQ(std::ranges::count_if(statuses, [](const auto& s) { return s.starts_with("Capture failed"); }), 0);
    EXPECT_EQ(screen->streams().size(), 2u);
    EXPECT_TRUE(screen->lastStream()->isStarted());
}

TEST_F(AgentSessionCaptureTest, ForcedScreenResyncRunsOnceAfterTheLastRequestAndRestartsCapture) {
    authenticate(QualityRequest(60, 10, 1920, true));
    const auto generation = state().captureGeneration;
    const auto acks = sent<HelloAck>().size();
    phoneSends(VirtualDisplayRequest(true));  // a resync in 2 s…
    queue->advance(1.0);
    phoneSends(SelectDisplay(7));  // …replaced by one 0.3 s after this request
    queue->advance(0.29);
    run();
    EXPECT_EQ(state().captureGeneration, generation);
    queue->advance(0.02);
    run();
    EXPECT_EQ(state().captureGeneration, generation + 1);
    EXPECT_EQ(sent<HelloAck>().size(), acks + 1);
    EXPECT_EQ(count("Display changed, restarting capture…"), 1);
    queue->advance(2.0);
    run();
    EXPECT_EQ(state().captureGeneration, generation + 1);
}

TEST_F(AgentSessionCaptureTest, HeartbeatReportsCaptureLivenessAndEncodeTime) {
    authenticate(QualityRequest(60, 10, 1920, true));
    auto picture = std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, 1280, 720));
    screen->lastStream()->deliver(ScreenSample{true, ScreenFrameStatus::complete, picture, {0, 60}, std::nullopt});
    run();
    queue->advance(0.012);
    keyframe();
    phoneSends(Heartbeat{});
    auto alive = sent<CaptureAlive>().back();
    EXPECT_TRUE(alive.alive);
    ASSERT_TRUE(alive.encodeMs.has_value());
    EXPECT_NEAR(*alive.encodeMs, 12, 0.01);

    for (int i = 0; i < 6; ++i) later(CaptureEngine::livenessWindowSeconds / 6);
    EXPECT_FALSE(sent<CaptureAlive>().back().alive);
}

}  // namespace
}  // namespace df

namespace df {
namespace {

// After the phone turned the virtual display off, losing every display tells the phone at
// once instead of turning the virtual display back on behind its back.
TEST_F(AgentSessionCaptureTest, NoAutomaticVirtualDisplayAfterThePhoneTurnedItOff) {
    const std::string noDisplayText = "No capturable display: open your laptop’s lid or connect a display.";
    int autoEnabled = 0;
    std::vector<bool> enabled;
    virtualDisplay->installEnableAuto([&autoEnabled] { ++autoEnabled; });
    virtualDisplay->installSetEnabled([&enabled](bool on) { enabled.push_back(on); });
    authenticate(std::nullopt);
    phoneSends(VirtualDisplayRequest(false));
    EXPECT_TRUE(session->userDisabledVD());
    EXPECT_EQ(enabled, std::vector<bool>{false});
    screen->setDisplays({});
    statuses.clear();
    queue->advance(2.0);  // the resync the request scheduled
    run();
    queue->advance(2.0);
    run();
    EXPECT_EQ(autoEnabled, 0);
    ASSERT_FALSE(sent<CaptureError>().empty());
    EXPECT_EQ(sent<CaptureError>().back(), CaptureError(noDisplayText, "noDisplay"));
    EXPECT_EQ(std::ranges::count(statuses, "No display detected — enabling the virtual display…"), 0);
    EXPECT_EQ(std::ranges::count(statuses, noDisplayText), 1);

    // Turned on again, the rule is lifted.
    phoneSends(VirtualDisplayRequest(true));
    EXPECT_FALSE(session->userDisabledVD());
}

}  // namespace
}  // namespace df
