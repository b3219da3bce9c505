// The capture engine's callers at once, on real threads: a start task racing the session
// queue's stop, and samples on the video queue while the session queue changes the quality,
// asks for keyframes and reads the liveness. Meant for the ThreadSanitizer tree.
#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "platform/SerialQueue.h"
#include "platform/fake/capture/FakeScreenCapture.h"
#include "platform/fake/compression/FakeVideoCompression.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace df {
namespace {

struct Host {
    std::shared_ptr<fake::FakeScreenCapture> capture = std::make_shared<fake::FakeScreenCapture>();
    std::shared_ptr<fake::FakeVideoCompression> compression = std::make_shared<fake::FakeVideoCompression>();
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("duskferry.capture");

    Host() { capture->setDisplays({ShareableDisplay{7, 64, 32, true, std::nullopt}}); }
    ~Host() { queue->shutdown(); }

    std::shared_ptr<CaptureEngine> make() {
        CaptureEngine::Services services{capture, compression, std::make_shared<DisplayTarget>(nullptr), queue, nullptr,
                                         nullptr};
        return CaptureEngine::create(services, {60, 2, 1920, false}, [](const VideoConfig&) {}, [](Bytes, bool) {});
    }
};

TEST(CaptureEngineThreadsTest, StopRacingStartLeavesNothingRunning) {
    Host host;
    for (int round = 0; round < 200; ++round) {
        auto engine = host.make();
        std::thread starter([&] { EXPECT_NO_THROW(engine->start()); });
        std::thread session([&] { engine->stop(); });
        starter.join();
        session.join();
        host.queue->sync([] {});
    }
    for (const auto& stream : host.capture->streams()) EXPECT_TRUE(!stream->isStarted() || stream->isStopped());
    for (const auto& session : host.compression->sessions()) EXPECT_TRUE(session->isInvalidated());
}

TEST(CaptureEngineThreadsTest, SamplesQualityChangesAndStopTogether) {
    Host host;
    auto engine = host.make();
    engine->start();
    auto stream = host.capture->lastStream();
    auto big = std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, 128, 64));
    auto small = std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, 64, 32));

    std::atomic<bool> done{false};
    std::thread samples([&] {
        for (int i = 0; i < 2000; ++i) {
            ScreenSample sample{true, i % 3 ? ScreenFrameStatus::complete : ScreenFrameStatus::idle,
                                i % 2 ? big : small, MediaTime{i, 60}, std::vector<DirtyRect>{{0, 0, 4, 4}}};
            if (sample.status != ScreenFrameStatus::complete) sample.image = nullptr;
            stream->deliver(std::move(sample));
        }
        done = true;
    });
    std::thread session([&] {
        int changes = 0;
        while (!done) {
            engine->updateQuality(30 + changes % 2, 2, changes % 2 ? 64 : 1920, [](bool) {});
            stream->answerUpdate();
            engine->requestKeyframe();
            (void)engine->liveness();
            (void)engine->averageEncodeMs();
            ++changes;
        }
        engine->stop();
    });
    samples.join();
    session.join();
    host.queue->sync([] {});
    EXPECT_TRUE(stream->isStopped());
    for (const auto& session : host.compression->sessions()) EXPECT_TRUE(session->isInvalidated());
}

}  // namespace
}  // namespace df
