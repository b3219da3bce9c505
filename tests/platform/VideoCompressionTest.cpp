// The value types of the compression interface: pixel-buffer plane layout and media times.
#include "platform/VideoCompression.h"

#include <gtest/gtest.h>

#include <vector>

namespace df {
namespace {

TEST(PixelBufferTest, PlanesArePackedForEachFormat) {
    struct Plane {
        size_t stride;
        size_t size;
        bool operator==(const Plane&) const = default;
    };
    struct Case {
        PixelFormat format;
        int32_t width;
        int32_t height;
        std::vector<Plane> planes;
    };
    const std::vector<Case> cases{
        {PixelFormat::i420, 640, 360, {{640, 230400}, {320, 57600}, {320, 57600}}},
        {PixelFormat::i420, 3, 3, {{3, 9}, {2, 4}, {2, 4}}},  // odd sizes round chroma up
        {PixelFormat::i444, 4, 2, {{4, 8}, {4, 8}, {4, 8}}},
        {PixelFormat::bgra, 5, 2, {{20, 40}}},
        {PixelFormat::i420, 0, 0, {{0, 0}, {0, 0}, {0, 0}}},
    };
    for (const Case& c : cases) {
        PixelBuffer buffer = PixelBuffer::make(c.format, c.width, c.height);
        EXPECT_EQ(buffer.format, c.format);
        EXPECT_EQ(buffer.width, c.width);
        EXPECT_EQ(buffer.height, c.height);
        std::vector<Plane> planes;
        for (const auto& plane : buffer.planes) planes.push_back({plane.stride, plane.bytes.size()});
        EXPECT_EQ(planes, c.planes) << c.width << "x" << c.height;
    }
}

TEST(MediaTimeTest, SecondsOfARationalTime) {
    struct Case {
        MediaTime time;
        double seconds;
    };
    for (Case c : {Case{{90, 60}, 1.5}, Case{{-3, 2}, -1.5}, Case{{1, 1'000'000'000}, 1e-9}, Case{{5, 0}, 0},
                   Case{{5, -1}, 0}})
        EXPECT_DOUBLE_EQ(c.time.seconds(), c.seconds) << c.time.value << "/" << c.time.timescale;
}

}  // namespace
}  // namespace df
