#include "protocol/WireFrame.h"

#include "protocol/BigEndian.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace df {
namespace {

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes header(uint8_t kind, uint32_t length) {
    return Bytes{kind, static_cast<uint8_t>(length >> 24), static_cast<uint8_t>(length >> 16),
                 static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(WireKindTest, RawValuesOutsideOneToFiveAreNoKind) {
    for (int raw = 0; raw < 256; ++raw) {
        const auto kind = wireKind(static_cast<uint8_t>(raw));
        EXPECT_EQ(kind.has_value(), raw >= 1 && raw <= 5) << raw;
        if (kind) {
            EXPECT_EQ(rawValue(*kind), raw);
        }
    }
}

TEST(WireFrameTest, EncodedGoldenBytes) {
    EXPECT_EQ(WireFrame(WireKind::control, bytes("abc")).encoded(), (Bytes{0x01, 0, 0, 0, 3, 0x61, 0x62, 0x63}));
    EXPECT_EQ(WireFrame(WireKind::mediaHello, {}).encoded(), (Bytes{0x04, 0, 0, 0, 0}));
    // Length is big-endian across all four bytes.
    const Bytes big(0x010203, 0xEE);
    const Bytes encoded = WireFrame(WireKind::audioFrame, big).encoded();
    EXPECT_EQ(Bytes(encoded.begin(), encoded.begin() + 5), (Bytes{0x05, 0x00, 0x01, 0x02, 0x03}));
    EXPECT_EQ(encoded.size(), 5 + big.size());
    EXPECT_EQ(WireFrame::encode(WireKind::audioFrame, big), encoded);
}

// A length that the 32-bit field cannot carry is refused rather than written truncated.
TEST(WireFrameTest, LengthsBeyondThirtyTwoBitsAreRefused) {
    EXPECT_EQ(BigEndian::frameLength(0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_THROW(BigEndian::frameLength(size_t{0xFFFFFFFFu} + 1), std::length_error);
}

TEST(WireParserTest, FrameDeliveredOneByteAtATimeIsReturnedOnceByTheLastByte) {
    const Bytes frame = WireFrame(WireKind::fileChunk, bytes("hello")).encoded();
    WireParser parser;
    for (size_t i = 0; i + 1 < frame.size(); ++i) {
        EXPECT_TRUE(parser.append(&frame[i], 1).empty()) << "byte " << i;
        EXPECT_EQ(parser.bufferedBytes(), i + 1);
    }
    const auto frames = parser.append(&frame.back(), 1);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], WireFrame(WireKind::fileChunk, bytes("hello")));
    EXPECT_EQ(parser.bufferedBytes(), 0u);
    EXPECT_FALSE(parser.corrupted());
}

TEST(WireParserTest, ThreeFramesInOneAppendComeBackInOrder) {
    const WireFrame a(WireKind::control, bytes("{}"));
    const WireFrame b(WireKind::videoFrame, Bytes(1000, 7));
    const WireFrame c(WireKind::audioFrame, {});
    WireParser parser;
    const auto frames = parser.append(concat({a.encoded(), b.encoded(), c.encoded()}));
    EXPECT_EQ(frames, (std::vector<WireFrame>{a, b, c}));
}

// Any split of a stream into appends yields the same frames as one append of it.
TEST(WireParserTest, RandomChunkingYieldsTheSameFrames) {
    std::mt19937 rng(7);
    std::vector<WireFrame> sent;
    Bytes stream;
    for (int i = 0; i < 200; ++i) {
        const auto kind = static_cast<WireKind>(1 + rng() % 5);
        Bytes payload(rng() % 300, static_cast<uint8_t>(i));
        sent.emplace_back(kind, payload);
        const Bytes encoded = sent.back().encoded();
        stream.insert(stream.end(), encoded.begin(), encoded.end());
    }
    for (int trial = 0; trial < 20; ++trial) {
        WireParser parser;
        std::vector<WireFrame> got;
        for (size_t at = 0; at < stream.size();) {
            const size_t n = std::min<size_t>(stream.size() - at, rng() % 700);
            for (auto& f : parser.append(stream.data() + at, n)) got.push_back(std::move(f));
            at += n;
        }
        EXPECT_EQ(got, sent) << "trial " << trial;
        EXPECT_EQ(parser.bufferedBytes(), 0u);
    }
}

TEST(WireParserTest, LengthAtTheLimitWaitsAndOneAboveCorruptsOnTheCompletingAppend) {
    WireParser atLimit;
    EXPECT_TRUE(atLimit.append(header(1, 16777216)).empty());
    EXPECT_FALSE(atLimit.corrupted());
    // Nothing is reserved for the announced length before the payload arrives, and what is
    // reserved later follows the bytes received.
    EXPECT_EQ(atLimit.bufferedBytes(), 5u);
    EXPECT_EQ(atLimit.reservedBytes(), 5u);
    const Bytes some(1000, 1);
    for (int i = 0; i < 10; ++i) EXPECT_TRUE(atLimit.append(some).empty());
    EXPECT_EQ(atLimit.bufferedBytes(), 10005u);
    EXPECT_LE(atLimit.reservedBytes(), 5u + 2 * 10000u);

    const Bytes over = header(1, 16777217);
    WireParser parser;
    EXPECT_TRUE(parser.append(over.data(), 3).empty());
    EXPECT_FALSE(parser.corrupted());
    EXPECT_TRUE(parser.append(over.data() + 3, 2).empty());
    EXPECT_TRUE(parser.corrupted());
    EXPECT_EQ(parser.bufferedBytes(), 0u);

    // Corrupted: even a valid frame yields nothing, and nothing is kept.
    EXPECT_TRUE(parser.append(WireFrame(WireKind::control, bytes("x")).encoded()).empty());
    EXPECT_TRUE(parser.corrupted());
    EXPECT_EQ(parser.bufferedBytes(), 0u);

    parser.reset();
    EXPECT_FALSE(parser.corrupted());
    const auto frames = parser.append(WireFrame(WireKind::control, bytes("x")).encoded());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, bytes("x"));
}

TEST(WireParserTest, FullSizePayloadIsAccepted) {
    const WireFrame frame(WireKind::videoFrame, Bytes(16777216, 0x5A));
    WireParser parser;
    const auto frames = parser.append(frame.encoded());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload.size(), 16777216u);
    EXPECT_FALSE(parser.corrupted());
}

TEST(WireParserTest, FramesBeforeAnOversizedHeaderAreStillReturned) {
    const WireFrame valid(WireKind::control, bytes("ok"));
    WireParser parser;
    const auto frames =
        parser.append(concat({valid.encoded(), header(2, 0xFFFFFFFF), WireFrame(WireKind::control, {}).encoded()}));
    EXPECT_EQ(frames, std::vector<WireFrame>{valid});
    EXPECT_TRUE(parser.corrupted());
    EXPECT_EQ(parser.bufferedBytes(), 0u);
}

TEST(WireParserTest, UnknownKindsAreSkippedAndTheStreamStaysInStep) {
    for (uint8_t kind : {uint8_t{0}, uint8_t{6}, uint8_t{255}}) {
        const WireFrame after(WireKind::mediaHello, bytes("token"));
        WireParser parser;
        const auto frames = parser.append(concat({header(kind, 3), bytes("abc"), after.encoded()}));
        EXPECT_EQ(frames, std::vector<WireFrame>{after}) << int(kind);
        EXPECT_FALSE(parser.corrupted());
    }
}

TEST(WireParserTest, ZeroLengthPayloadYieldsAnEmptyFrame) {
    WireParser parser;
    const auto frames = parser.append(header(4, 0));
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], WireFrame(WireKind::mediaHello, {}));
}

TEST(WireParserTest, ResetDiscardsAHalfFrame) {
    const Bytes frame = WireFrame(WireKind::control, bytes("abcdef")).encoded();
    WireParser parser;
    EXPECT_TRUE(parser.append(frame.data(), 8).empty());
    parser.reset();
    EXPECT_EQ(parser.bufferedBytes(), 0u);
    // The next connection's stream parses from a clean start, not after the old half frame.
    const auto frames = parser.append(WireFrame(WireKind::control, bytes("new")).encoded());
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].payload, bytes("new"));
}

TEST(WireParserTest, PartialFrameIsKeptUntilTheRestArrives) {
    const WireFrame first(WireKind::control, Bytes(100, 1));
    const WireFrame second(WireKind::videoFrame, Bytes(5000, 2));
    const Bytes stream = concat({first.encoded(), second.encoded()});
    WireParser parser;
    // First frame whole plus two bytes of the second's header, then the header's remainder
    // with part of its payload, then the rest.
    auto frames = parser.append(stream.data(), 107);
    EXPECT_EQ(frames, std::vector<WireFrame>{first});
    EXPECT_TRUE(parser.append(stream.data() + 107, 1000).empty());
    EXPECT_EQ(parser.bufferedBytes(), 1002u);
    frames = parser.append(stream.data() + 1107, stream.size() - 1107);
    EXPECT_EQ(frames, std::vector<WireFrame>{second});
}

}  // namespace
}  // namespace df
