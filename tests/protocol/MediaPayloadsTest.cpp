#include "protocol/MediaPayloads.h"

#include "protocol/WireFrame.h"

#include <gtest/gtest.h>

#include <cmath>

namespace df {
namespace {

TEST(VideoFramePacketTest, GoldenVectors) {
    EXPECT_EQ(VideoFramePacket(1.0, true, Bytes{0xAA}).encoded(),
              (Bytes{0x01, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0xAA}));
    const Bytes data{0x00, 0x01};
    EXPECT_EQ(VideoFramePacket::wireEncode(0.5, false, data.data(), data.size()),
              (Bytes{0x02, 0, 0, 0, 0x0B, 0x00, 0x3F, 0xE0, 0, 0, 0, 0, 0, 0, 0x00, 0x01}));
}

TEST(VideoFramePacketTest, WireEncodeMatchesFramingThePacket) {
    for (size_t count : {size_t{0}, size_t{1}, size_t{100 * 1024}}) {
        Bytes data(count);
        for (size_t i = 0; i < count; ++i) data[i] = static_cast<uint8_t>(i * 31);
        const Bytes wire = VideoFramePacket::wireEncode(-12.75, true, data.data(), count);
        EXPECT_EQ(wire.size(), 14 + count);
        EXPECT_EQ(wire, WireFrame(WireKind::videoFrame, VideoFramePacket(-12.75, true, data).encoded()).encoded());
    }
    // A null region of zero bytes is a frame whose packet has no data.
    EXPECT_EQ(VideoFramePacket::wireEncode(0, false, nullptr, 0).size(), 14u);
}

TEST(VideoFramePacketTest, ParseLengthsAndKeyframeByte) {
    const Bytes header{0x01, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(VideoFramePacket::parse({}).has_value());
    EXPECT_FALSE(VideoFramePacket::parse(header).has_value()) << "9 bytes: header without data";

    Bytes ten = header;
    ten.push_back(0x7F);
    auto packet = VideoFramePacket::parse(ten);
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(*packet, VideoFramePacket(1.0, true, Bytes{0x7F}));

    for (uint8_t first : {uint8_t{0}, uint8_t{2}, uint8_t{0xFF}}) {
        ten[0] = first;
        packet = VideoFramePacket::parse(ten);
        ASSERT_TRUE(packet.has_value());
        EXPECT_FALSE(packet->isKeyframe) << int(first);
    }
}

TEST(VideoFramePacketTest, PtsKeepsAllBitsThroughARoundTrip) {
    for (double pts : {0.0, -0.0, 1e-300, 123456.789, -5.5, std::nextafter(1.0, 2.0)}) {
        const auto parsed = VideoFramePacket::parse(VideoFramePacket(pts, false, Bytes{1}).encoded());
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(std::signbit(parsed->pts), std::signbit(pts));
        EXPECT_EQ(parsed->pts, pts);
    }
}

TEST(AudioFramePacketTest, LayoutAndLengths) {
    const Bytes encoded = AudioFramePacket(0.5, Bytes{9, 8}).encoded();
    EXPECT_EQ(encoded, (Bytes{0x3F, 0xE0, 0, 0, 0, 0, 0, 0, 9, 8}));
    EXPECT_FALSE(AudioFramePacket::parse(Bytes(encoded.begin(), encoded.begin() + 8)).has_value());
    const auto nine = AudioFramePacket::parse(Bytes(encoded.begin(), encoded.begin() + 9));
    ASSERT_TRUE(nine.has_value());
    EXPECT_EQ(*nine, AudioFramePacket(0.5, Bytes{9}));
    EXPECT_EQ(AudioFramePacket::parse(encoded), AudioFramePacket(0.5, Bytes{9, 8}));

    const Bytes data{1, 2, 3};
    EXPECT_EQ(AudioFramePacket::wireEncode(2.0, data.data(), data.size()),
              WireFrame(WireKind::audioFrame, AudioFramePacket(2.0, data).encoded()).encoded());
}

TEST(FileChunkTest, LayoutAndLengths) {
    const Bytes abc{'a', 'b', 'c'};
    EXPECT_EQ(FileChunk::encode(258, abc), (Bytes{0, 0, 1, 2, 0x61, 0x62, 0x63}));
    EXPECT_EQ(FileChunk::decode(Bytes{0, 0, 1, 2, 0x61, 0x62, 0x63}), (FileChunk::Decoded{258, abc}));
    EXPECT_EQ(FileChunk::decode(Bytes{0xFF, 0xFF, 0xFF, 0xFE}), (FileChunk::Decoded{0xFFFFFFFE, {}}));
    EXPECT_FALSE(FileChunk::decode(Bytes{0, 0, 1}).has_value());
    EXPECT_FALSE(FileChunk::decode({}).has_value());
    EXPECT_EQ(FileChunk::wireEncode(258, abc), WireFrame(WireKind::fileChunk, FileChunk::encode(258, abc)).encoded());
}

TEST(AudioCodecKindTest, TextValuesAndStreamDescriptions) {
    const struct {
        AudioCodecKind kind;
        const char* text;
        uint32_t formatID;
        uint32_t framesPerPacket;
    } cases[] = {
        {AudioCodecKind::opus, "opus", 0x6F707573, 960},    // 'opus'
        {AudioCodecKind::aacEld, "aac-eld", 0x61616365, 480},  // 'aace'
        {AudioCodecKind::aacLc, "aac-lc", 0x61616320, 1024},   // 'aac '
    };
    const auto all = AudioCodecKind::allCases();
    ASSERT_EQ(all.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const auto& c = cases[i];
        EXPECT_EQ(all[i], c.kind);
        EXPECT_EQ(c.kind.rawValue(), c.text);
        EXPECT_EQ(AudioCodecKind::fromRawValue(c.text), c.kind);
        EXPECT_EQ(fromRawValue<AudioCodecKind>(c.text), c.kind);
        const AudioStreamDescription d = c.kind.streamDescription();
        EXPECT_EQ(d, (AudioStreamDescription{48000, c.formatID, 0, 0, c.framesPerPacket, 0, 2, 0})) << c.text;
    }
    EXPECT_EQ(AudioCodecKind::sampleRate, 48000);
    EXPECT_EQ(AudioCodecKind::channels, 2u);
    for (const char* unknown : {"", "Opus", "aac", "aac_lc", "flac"}) {
        EXPECT_FALSE(AudioCodecKind::fromRawValue(unknown).has_value()) << unknown;
    }
}

}  // namespace
}  // namespace df
