// The capture engine's audio half on real threads: a start task racing the session queue's
// stop, and audio buffers on the audio queue while the session stops the engine. Meant for
// the ThreadSanitizer tree.
#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "platform/SerialQueue.h"
#include "platform/fake/audio/FakeAudio.h"
#include "platform/fake/capture/FakeScreenCapture.h"
#include "platform/fake/compression/FakeVideoCompression.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace df {
namespace {

struct Host {
    std::shared_ptr<fake::FakeScreenCapture> capture = std::make_shared<fake::FakeScreenCapture>();
    std::shared_ptr<fake::FakeVideoCompression> compression = std::make_shared<fake::FakeVideoCompression>();
    std::shared_ptr<fake::FakeAudioCapture> audio = std::make_shared<fake::FakeAudioCapture>();
    std::shared_ptr<SerialQueue> videoQueue = SerialQueue::create("duskferry.capture");
    std::shared_ptr<SerialQueue> audioQueue = SerialQueue::create("duskferry.capture.audio");
    std::atomic<int> packets{0};

    Host() { capture->setDisplays({ShareableDisplay{7, 64, 32, true, std::nullopt}}); }
    ~Host() {
        videoQueue->shutdown();
        audioQueue->shutdown();
    }

    std::shared_ptr<CaptureEngine> make() {
        CaptureEngine::Services services{capture,    compression, std::make_shared<DisplayTarget>(nullptr),
                                         videoQueue, nullptr,     nullptr,
                                         audio,      std::make_shared<fake::FakeAudioConversion>(),
                                         audioQueue};
        return CaptureEngine::create(
            services, {60, 2, 1920, false}, [](const VideoConfig&) {}, [](Bytes, bool) {},
            CaptureEngine::Audio{AudioCodecKind::opus, [](const AudioConfig&) {},
                                 [this](const AudioFramePacket&) { ++packets; }});
    }
};

TEST(CaptureEngineAudioThreadsTest, StopRacingStartLeavesNoAudioRecording) {
    Host host;
    for (int round = 0; round < 200; ++round) {
        auto engine = host.make();
        std::thread starter([&] { EXPECT_NO_THROW(engine->start()); });
        std::thread session([&] { engine->stop(); });
        starter.join();
        session.join();
    }
    for (const auto& stream : host.audio->streams()) EXPECT_TRUE(!stream->isStarted() || stream->isStopped());
}

TEST(CaptureEngineAudioThreadsTest, BuffersWhileTheSessionStops) {
    Host host;
    auto engine = host.make();
    engine->start();
    auto stream = host.audio->lastStream();
    ASSERT_TRUE(stream);
    std::thread capture([&] {
        for (int i = 0; i < 2000; ++i) stream->deliver(fake::pcmSample(AudioEncoder::standardPcmFormat(), 480, i * 0.01));
    });
    std::thread session([&] {
        for (int wait = 0; wait < 5000 && host.packets.load() < 20; ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        engine->stop();
    });
    capture.join();
    session.join();
    host.audioQueue->sync([] {});
    const int afterStop = host.packets.load();
    stream->deliver(fake::pcmSample(AudioEncoder::standardPcmFormat(), 960, 99.0));
    host.audioQueue->sync([] {});
    EXPECT_EQ(host.packets.load(), afterStop);
    EXPECT_GE(afterStop, 20);
}

}  // namespace
}  // namespace df
