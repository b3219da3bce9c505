// The capture engine over the scriptable screen-capture and compression services: the test
// plays the host (displays, starts, samples, configuration answers) and the video queue's clock.
#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "platform/fake/capture/FakeScreenCapture.h"
#include "platform/fake/compression/FakeVideoCompression.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace df {
namespace {

using fake::FakeScreenCapture;
using fake::FakeVideoCompression;
using RefineStep = CaptureEngine::RefineStep;

ShareableDisplay display(uint32_t id, bool active = true, int32_t width = 1280, int32_t height = 720) {
    return ShareableDisplay{id, width, height, active, ScreenDisplayMode{width * 2, width}};
}

std::shared_ptr<const PixelBuffer> picture(int32_t width, int32_t height) {
    return std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, width, height));
}

ScreenSample complete(int32_t width, int32_t height, MediaTime pts,
                      std::optional<std::vector<DirtyRect>> dirty = std::nullopt) {
    return ScreenSample{true, ScreenFrameStatus::complete, picture(width, height), pts, std::move(dirty)};
}

class CaptureEngineTest : public ::testing::Test {
protected:
    void SetUp() override { capture->setDisplays({display(1)}); }

    std::shared_ptr<CaptureEngine> make(CaptureEngine::Settings settings = {60, 10, 1920, false}) {
        CaptureEngine::Services services{capture, compression, target, queue, prewarmed, queue->sharedClock()};
        return CaptureEngine::create(services, settings, [](const VideoConfig&) {}, [](Bytes, bool) {});
    }

    std::shared_ptr<CaptureEngine> started(CaptureEngine::Settings settings = {60, 10, 1920, false}) {
        auto engine = make(settings);
        engine->start();
        queue->runUntilIdle();
        return engine;
    }

    std::vector<fake::FakeCompressionSession::Submitted> frames() const {
        return compression->lastSession()->frames();
    }

    std::shared_ptr<FakeScreenCapture> capture = std::make_shared<FakeScreenCapture>();
    std::shared_ptr<FakeVideoCompression> compression = std::make_shared<FakeVideoCompression>();
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(nullptr);
    std::shared_ptr<fake::ManualQueue> queue = std::make_shared<fake::ManualQueue>("duskferry.capture");
    std::shared_ptr<PrewarmedContent> prewarmed;
};

TEST(CaptureEngineRules, ClampKeepsAspectAndEvenSides) {
    struct Case {
        int32_t width, height, limit, wantWidth, wantHeight;
    };
    for (const auto& c : std::vector<Case>{{5120, 3200, 5120, 5120, 3200},
                                           {5120, 3200, 1920, 1920, 1200},
                                           {1281, 721, 10000, 1280, 720},
                                           {3024, 1964, 1920, 1920, 1246},
                                           {1964, 3024, 1920, 1246, 1920},
                                           {1920, 1080, 1920, 1920, 1080}}) {
        EXPECT_EQ(CaptureEngine::clamp(c.width, c.height, c.limit), std::make_pair(c.wantWidth, c.wantHeight))
            << c.width << "x" << c.height << " to " << c.limit;
    }
}

TEST(CaptureEngineRules, StreamConfigurationFollowsRateAndChroma) {
    struct Case {
        int fps;
        bool chroma444;
        int32_t depth;
        PixelFormat format;
        MediaTime interval;
    };
    for (const auto& c : std::vector<Case>{{60, false, 6, PixelFormat::i420, {1, 60}},
                                           {61, false, 9, PixelFormat::i420, {1, 61}},
                                           {30, true, 6, PixelFormat::bgra, {1, 30}},
                                           {120, true, 9, PixelFormat::bgra, {1, 120}},
                                           {0, false, 6, PixelFormat::i420, {1, 1}}}) {
        const auto configuration = CaptureEngine::makeStreamConfiguration(1280, 720, c.fps, c.chroma444);
        EXPECT_EQ(configuration, (StreamConfiguration{1280, 720, c.interval, c.format, c.depth, false}))
            << c.fps << " fps";
    }
}

TEST(CaptureEngineRules, ScaleFactorFromTheDisplayMode) {
    struct Case {
        std::optional<ScreenDisplayMode> mode;
        int32_t want;
    };
    for (const auto& c : std::vector<Case>{{std::nullopt, 2},
                                           {ScreenDisplayMode{2560, 0}, 2},
                                           {ScreenDisplayMode{2560, 1280}, 2},
                                           {ScreenDisplayMode{1920, 1920}, 1},
                                           {ScreenDisplayMode{3000, 1280}, 2},
                                           {ScreenDisplayMode{1000, 1280}, 1}}) {
        ShareableDisplay shown{1, 1280, 800, true, c.mode};
        EXPECT_EQ(CaptureEngine::scaleFactor(shown), c.want);
    }
}

TEST(CaptureEngineRules, DisplayChoice) {
    const ShareableContent content{{display(1, false), display(2), display(3)}};
    struct Case {
        ShareableContent content;
        std::optional<uint32_t> virtualID, selectedID, want;
    };
    for (const auto& c : std::vector<Case>{{content, 3, 1, 3},
                                           {content, std::nullopt, 1, 1},
                                           {content, 9, std::nullopt, 2},
                                           {content, std::nullopt, std::nullopt, 2},
                                           {ShareableContent{{display(4, false), display(5, false)}}, {}, {}, 4},
                                           {ShareableContent{}, 1, {}, std::nullopt}}) {
        const auto chosen = CaptureEngine::chooseDisplay(c.content, c.virtualID, c.selectedID);
        EXPECT_EQ(chosen ? std::optional<uint32_t>(chosen->id) : std::nullopt, c.want);
    }
}

TEST(CaptureEngineRules, RefinementThresholds) {
    struct Case {
        int stage;
        double idle;
        int streak;
        RefineStep want;
    };
    for (const auto& c : std::vector<Case>{{0, 0.4, 0, RefineStep::none},
                                           {0, 0.41, 0, RefineStep::resendKeyframe},
                                           {0, 0.3, 9, RefineStep::none},
                                           {0, 0.2, 10, RefineStep::none},
                                           {0, 0.21, 10, RefineStep::resendKeyframe},
                                           {1, 1.2, 0, RefineStep::none},
                                           {1, 1.21, 0, RefineStep::refine},
                                           {2, 100, 0, RefineStep::none}}) {
        EXPECT_EQ(CaptureEngine::refineStep(c.stage, c.idle, c.streak), c.want)
            << "stage " << c.stage << " idle " << c.idle << " streak " << c.streak;
    }
}

TEST(CaptureEngineRules, AliveWithinThirtySecondsUnlessFailed) {
    EXPECT_TRUE(CaptureEngine::isAlive({false, 100}, 129.9));
    EXPECT_FALSE(CaptureEngine::isAlive({false, 100}, 130));
    EXPECT_FALSE(CaptureEngine::isAlive({true, 100}, 100));
}

TEST_F(CaptureEngineTest, StartConfiguresTheChosenDisplay) {
    capture->setDisplays({display(1, false), display(2, true, 1512, 982)});
    auto engine = started({61, 8, 1920, false});
    auto stream = capture->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->displayID(), 2u);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(stream->configurations().front(),
              (StreamConfiguration{1920, 1246, MediaTime{1, 61}, PixelFormat::i420, 9, false}));
    EXPECT_EQ(engine->nativePixelSize(), std::make_pair(3024, 1964));
    ASSERT_EQ(compression->creations().size(), 1u);
    EXPECT_EQ(compression->creations()[0].width, 1920);
    EXPECT_EQ(compression->creations()[0].height, 1246);
    EXPECT_EQ(queue->pendingTimers(), 1u);
}

TEST_F(CaptureEngineTest, StartFailures) {
    struct Case {
        std::string name;
        std::vector<ShareableDisplay> displays;
        std::optional<int32_t> contentError, startError;
        bool noDisplay;
        int32_t code;
    };
    for (const auto& c : std::vector<Case>{{"empty list", {}, {}, {}, true, 0},
                                           {"inactive only", {display(1, false)}, {}, {}, true, 0},
                                           {"no display code", {display(1)}, screenCaptureNoDisplay, {}, true, 0},
                                           {"unavailable code", {display(1)}, screenCaptureDisplayUnavailable, {},
                                            true, 0},
                                           {"other content error", {display(1)}, -3801, {}, false, -3801},
                                           {"start refused", {display(1)}, {}, -3802, false, -3802}}) {
        SCOPED_TRACE(c.name);
        capture->setDisplays(c.displays);
        if (c.contentError) capture->failNextContent({*c.contentError, "refused"});
        if (c.startError) capture->failNextStart({*c.startError, "refused"});
        auto engine = make();
        if (c.noDisplay) {
            EXPECT_THROW(engine->start(), CaptureStartError);
        } else {
            try {
                engine->start();
                ADD_FAILURE() << "start succeeded";
            } catch (const ScreenCaptureFailure& failure) {
                EXPECT_EQ(failure.error().code, c.code);
            }
        }
        engine->stop();
    }
}

TEST_F(CaptureEngineTest, PrewarmedSnapshotSavesTheRequestAndIsRefreshed) {
    auto background = std::make_shared<fake::ManualQueue>("background");
    prewarmed = std::make_shared<PrewarmedContent>(capture, background);
    prewarmed->prewarm();
    background->runUntilIdle();
    ASSERT_EQ(capture->contentRequests(), 1);

    auto engine = started();
    EXPECT_EQ(capture->contentRequests(), 1);
    background->runUntilIdle();
    EXPECT_EQ(capture->contentRequests(), 2);
    EXPECT_TRUE(prewarmed->take().has_value());
}

TEST_F(CaptureEngineTest, InactivePrewarmedDisplayFallsBackToAFreshRequest) {
    auto background = std::make_shared<fake::ManualQueue>("background");
    prewarmed = std::make_shared<PrewarmedContent>(capture, background);
    capture->setDisplays({display(1, false)});
    prewarmed->prewarm();
    background->runUntilIdle();
    capture->setDisplays({display(1, true)});
    auto engine = started();
    EXPECT_EQ(capture->contentRequests(), 2);
    EXPECT_EQ(capture->lastStream()->displayID(), 1u);
}

TEST_F(CaptureEngineTest, StopDuringStartLeavesNothingRunning) {
    auto engine = make();
    capture->duringNextStart([&] { engine->stop(); });
    EXPECT_NO_THROW(engine->start());
    queue->runUntilIdle();
    auto stream = capture->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->isStopped());
    EXPECT_TRUE(compression->lastSession()->isInvalidated());
    EXPECT_EQ(queue->pendingTimers(), 0u);
    bool completed = true;
    engine->updateQuality(30, 4, 1280, [&](bool ok) { completed = ok; });
    EXPECT_FALSE(completed);
}

TEST_F(CaptureEngineTest, StopBeforeStartStartsNothing) {
    auto engine = make();
    engine->stop();
    engine->start();
    EXPECT_EQ(capture->contentRequests(), 0);
    EXPECT_TRUE(capture->streams().empty());
    EXPECT_TRUE(compression->creations().empty());
}

TEST_F(CaptureEngineTest, StopEndsStreamEncoderAndTimer) {
    auto engine = started();
    auto stream = capture->lastStream();
    engine->stop();
    engine->stop();
    queue->runUntilIdle();
    EXPECT_EQ(stream->stopCount(), 1);
    EXPECT_TRUE(compression->lastSession()->isInvalidated());
    EXPECT_EQ(queue->pendingTimers(), 0u);
    EXPECT_FALSE(engine->averageEncodeMs().has_value());
}

TEST_F(CaptureEngineTest, IdleStatusOnlyRefreshesLiveness) {
    auto engine = started();
    queue->advance(5);
    for (auto status : {ScreenFrameStatus::idle, ScreenFrameStatus::blank, ScreenFrameStatus::suspended}) {
        capture->lastStream()->deliver(ScreenSample{true, status, nullptr, {}, {}});
    }
    queue->runUntilIdle();
    EXPECT_DOUBLE_EQ(engine->liveness().lastOutputAt, queue->now());
    queue->advance(3);
    EXPECT_TRUE(frames().empty());

    const double before = engine->liveness().lastOutputAt;
    capture->lastStream()->deliver(ScreenSample{false, ScreenFrameStatus::complete, picture(1920, 1080), {}, {}});
    queue->runUntilIdle();
    EXPECT_DOUBLE_EQ(engine->liveness().lastOutputAt, before);
    EXPECT_TRUE(frames().empty());
}

TEST_F(CaptureEngineTest, StillScreenGetsOneKeyframeResendThenOneRefinement) {
    auto engine = started();
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{600, 600}));
    queue->runUntilIdle();
    queue->advance(3);
    const auto submitted = frames();
    ASSERT_EQ(submitted.size(), 3u);
    EXPECT_EQ(submitted[0].presentationTime, (MediaTime{600, 600}));
    EXPECT_EQ(submitted[1].presentationTime, (MediaTime{840, 600}));
    EXPECT_EQ(submitted[1].options.forceKeyFrame, std::optional<bool>(true));
    EXPECT_EQ(submitted[2].presentationTime, (MediaTime{1080, 600}));
    EXPECT_EQ(submitted[2].options.forceKeyFrame, std::optional<bool>(true));
    EXPECT_EQ(submitted[1].buffer, submitted[0].buffer);
    EXPECT_EQ(submitted[2].buffer, submitted[0].buffer);
}

TEST_F(CaptureEngineTest, SmallChangesInARowBringTheResendForward) {
    struct Case {
        int smallFrames;
        size_t framesAfterHalfASecond;
    };
    for (const auto& c : std::vector<Case>{{10, 11}, {9, 9}}) {
        SCOPED_TRACE(c.smallFrames);
        compression = std::make_shared<FakeVideoCompression>();
        queue = std::make_shared<fake::ManualQueue>("duskferry.capture");
        auto engine = started();
        queue->advance(0.05);
        for (int i = 0; i < c.smallFrames; ++i)
            capture->lastStream()->deliver(complete(1920, 1080, MediaTime{i, 60}, std::vector<DirtyRect>{{0, 0, 100, 100}}));
        queue->runUntilIdle();
        // Ticks 0.2 (still for 0.15 s) and 0.4 (still for 0.35 s) after the start, none at 0.5.
        queue->advance(0.45);
        EXPECT_EQ(frames().size(), c.framesAfterHalfASecond);
        engine->stop();
    }
}

TEST_F(CaptureEngineTest, LargeChangeEndsTheSmallChangeStreak) {
    auto engine = started();
    queue->advance(0.05);
    for (int i = 0; i < 10; ++i)
        capture->lastStream()->deliver(complete(1920, 1080, MediaTime{i, 60}, std::vector<DirtyRect>{{0, 0, 10, 10}}));
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{10, 60}, std::vector<DirtyRect>{{0, 0, 640, 360}}));
    queue->runUntilIdle();
    queue->advance(0.45);
    EXPECT_EQ(frames().size(), 11u);
}

TEST_F(CaptureEngineTest, RequestKeyframeForcesTheNextFrame) {
    auto engine = started();
    engine->requestKeyframe();
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{1, 60}));
    queue->runUntilIdle();
    ASSERT_EQ(frames().size(), 1u);
    EXPECT_EQ(frames()[0].options.forceKeyFrame, std::optional<bool>(true));
}

TEST_F(CaptureEngineTest, KeyframeRequestOnAStillScreenRefinesItAgain) {
    auto engine = started();
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{1, 60}));
    queue->runUntilIdle();
    queue->advance(3);
    ASSERT_EQ(frames().size(), 3u);
    engine->requestKeyframe();
    queue->runUntilIdle();
    queue->advance(3);
    ASSERT_EQ(frames().size(), 5u);
    EXPECT_EQ(frames()[3].options.forceKeyFrame, std::optional<bool>(true));
    EXPECT_EQ(frames()[3].buffer, frames()[0].buffer);
}

TEST_F(CaptureEngineTest, QualitySwapRefinesNothingUntilANewFrame) {
    auto engine = started();
    auto oldSession = compression->lastSession();
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{1, 60}));
    queue->runUntilIdle();

    std::optional<bool> result;
    engine->updateQuality(30, 4, 1280, [&](bool ok) { result = ok; });
    auto stream = capture->lastStream();
    ASSERT_EQ(stream->pendingUpdates(), 1u);
    EXPECT_EQ(stream->configurations().back(),
              (StreamConfiguration{1280, 720, MediaTime{1, 30}, PixelFormat::i420, 6, false}));
    stream->answerUpdate();
    queue->runUntilIdle();
    ASSERT_EQ(result, std::optional<bool>(true));
    auto newSession = compression->lastSession();
    ASSERT_NE(newSession, oldSession);
    EXPECT_TRUE(oldSession->isInvalidated());
    EXPECT_EQ(engine->settings().maxLongEdge, 1920);

    // A frame of the old size still on its way is neither encoded nor refined.
    stream->deliver(complete(1920, 1080, MediaTime{2, 60}));
    queue->runUntilIdle();
    queue->advance(3);
    EXPECT_TRUE(newSession->frames().empty());
    EXPECT_EQ(oldSession->frames().size(), 1u);

    stream->deliver(complete(1280, 720, MediaTime{3, 60}));
    queue->runUntilIdle();
    ASSERT_EQ(newSession->frames().size(), 1u);
    EXPECT_EQ(newSession->frames()[0].options.forceKeyFrame, std::optional<bool>(true));
}

TEST_F(CaptureEngineTest, FailedQualityChangeKeepsTheOldEncoder) {
    struct Case {
        std::string name;
        bool started, streamError, stopFirst, encoderFails;
    };
    for (const auto& c : std::vector<Case>{{"not started", false, false, false, false},
                                           {"stream refuses", true, true, false, false},
                                           {"stopped meanwhile", true, false, true, false},
                                           {"encoder refused", true, false, false, true}}) {
        SCOPED_TRACE(c.name);
        compression = std::make_shared<FakeVideoCompression>();
        auto engine = c.started ? started() : make();
        auto oldSession = compression->lastSession();
        if (c.encoderFails) compression->scriptCreateResults({-1, -1});
        std::optional<bool> result;
        engine->updateQuality(30, 4, 1280, [&](bool ok) { result = ok; });
        if (c.started && !c.encoderFails) {
            if (c.stopFirst) engine->stop();
            capture->lastStream()->answerUpdate(c.streamError ? std::optional<ScreenCaptureError>({-3805, "no"})
                                                              : std::nullopt);
            queue->runUntilIdle();
            EXPECT_TRUE(compression->lastSession()->isInvalidated());
        }
        EXPECT_EQ(result, std::optional<bool>(false));
        if (oldSession) {
            EXPECT_EQ(oldSession->isInvalidated(), c.stopFirst);
        }
        engine->stop();
    }
}

TEST_F(CaptureEngineTest, StreamStoppedWithErrorIsOnlyFlagged) {
    auto engine = started();
    EXPECT_TRUE(CaptureEngine::isAlive(engine->liveness(), queue->now()));
    capture->lastStream()->failWith({-3821, "display gone"});
    EXPECT_TRUE(engine->liveness().streamFailed);
    EXPECT_FALSE(CaptureEngine::isAlive(engine->liveness(), queue->now()));
    EXPECT_FALSE(compression->lastSession()->isInvalidated());
}

TEST_F(CaptureEngineTest, AverageEncodeMsComesFromTheEncoder) {
    auto engine = started();
    EXPECT_FALSE(engine->averageEncodeMs().has_value());
    capture->lastStream()->deliver(complete(1920, 1080, MediaTime{1, 60}));
    queue->runUntilIdle();
    queue->manualClock().advance(0.01);
    compression->lastSession()->deliver(fake::makeSample(Bytes{0, 0, 0, 1, 0x26}, false, {}));
    ASSERT_TRUE(engine->averageEncodeMs().has_value());
    EXPECT_GT(*engine->averageEncodeMs(), 0);
}

}  // namespace
}  // namespace df
