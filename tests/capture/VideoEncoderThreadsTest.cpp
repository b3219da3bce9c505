// The encoder's three callers at once, on real threads: the capture queue encodes (with
// refinements), the session queue changes the bit rate and reads the encode time, and the
// compression service's thread delivers outputs. Meant for the ThreadSanitizer tree.
#include "DuskFerryAgent/capture/VideoEncoder.h"
#include "platform/fake/compression/FakeVideoCompression.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace df {
namespace {

TEST(VideoEncoderThreadsTest, CaptureSessionAndOutputThreadsRunTogether) {
    auto compression = std::make_shared<fake::FakeVideoCompression>();
    auto clock = std::make_shared<fake::ManualClock>(10.0);
    size_t framesSeen = 0;  // output thread only
    size_t configsSeen = 0;
    auto encoder = VideoEncoder::create(
        compression, 64, 32, 60, 10, false, [&](const VideoConfig&) { ++configsSeen; },
        [&](Bytes, bool) { ++framesSeen; }, clock);
    auto session = compression->lastSession();
    auto buffer = std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, 64, 32));

    constexpr int frames = 2000;
    std::atomic<bool> captureDone{false};
    std::thread capture([&] {
        for (int i = 0; i < frames; ++i) {
            if (i % 10 == 0)
                encoder->encodeRefinement(buffer, {i, 60});
            else
                encoder->encode(buffer, {i, 60});
            if (i % 7 == 0) encoder->setForceKeyframe(true);
            clock->advance(0.001);
        }
        captureDone = true;
    });
    std::thread sessionQueue([&] {
        double sum = 0;
        for (int i = 0; !captureDone; ++i) {
            encoder->update(4 + i % 20);
            sum += encoder->encodeMsEWMA();
        }
        EXPECT_GE(sum, 0);
    });
    std::thread output([&] {
        size_t delivered = 0;
        while (delivered < frames) {
            size_t submitted = session->frames().size();
            for (; delivered < submitted; ++delivered) {
                bool key = delivered % 30 == 0;
                session->deliver(fake::makeSample({0, 0, 0, 1, 0x26}, !key,
                                                  {Bytes{0x40}, Bytes{0x42, uint8_t(delivered / 300)}, Bytes{0x44}}));
            }
            if (captureDone && session->frames().size() == delivered) break;
            std::this_thread::yield();
        }
    });
    capture.join();
    sessionQueue.join();
    output.join();

    EXPECT_EQ(session->frames().size(), size_t{frames});
    EXPECT_EQ(framesSeen, size_t{frames});
    EXPECT_GE(configsSeen, 1u);
    EXPECT_GE(encoder->encodeMsEWMA(), 0);
    encoder->invalidate();
}

}  // namespace
}  // namespace df
