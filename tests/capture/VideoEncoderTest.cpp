// VideoEncoder over the recording compression service: the test plays the host (creation
// and property results, outputs) and the clock.
#include "DuskFerryAgent/capture/VideoEncoder.h"
#include "platform/fake/compression/FakeVideoCompression.h"
#include "platform/fake/queue/ManualQueue.h"
#include "protocol/MediaPayloads.h"
#include "protocol/WireFrame.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace df {
namespace {

using Key = CompressionPropertyKey;
using fake::FakeCompressionSession;
using fake::FakeVideoCompression;
using fake::makeSample;

const Bytes vps{0x40, 0x01, 0x0c};
const Bytes sps{0x42, 0x01, 0x01, 0x01};
const Bytes pps{0x44, 0x01, 0xc1};

class VideoEncoderTest : public ::testing::Test {
protected:
    struct Event {
        bool isConfig = false;
        VideoConfig config;
        Bytes wire;
        bool isKeyframe = false;
    };

    std::shared_ptr<VideoEncoder> make(int32_t width = 640, int32_t height = 360, int fps = 60, double mbps = 20,
                                       bool chroma444 = false) {
        return VideoEncoder::create(
            compression, width, height, fps, mbps, chroma444,
            [this](const VideoConfig& config) { events.push_back(Event{true, config, {}, false}); },
            [this](Bytes wire, bool isKeyframe) { events.push_back(Event{false, {}, std::move(wire), isKeyframe}); },
            clock);
    }

    static std::shared_ptr<const PixelBuffer> buffer(int32_t width = 640, int32_t height = 360) {
        return std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, width, height));
    }

    std::vector<VideoConfig> configs() const {
        std::vector<VideoConfig> found;
        for (const auto& event : events)
            if (event.isConfig) found.push_back(event.config);
        return found;
    }

    std::vector<int64_t> averageBitRates(const FakeCompressionSession& session) const {
        std::vector<int64_t> rates;
        for (const auto& value : session.values(Key::averageBitRate)) rates.push_back(std::get<int64_t>(value));
        return rates;
    }

    std::shared_ptr<FakeVideoCompression> compression = std::make_shared<FakeVideoCompression>();
    std::shared_ptr<fake::ManualClock> clock = std::make_shared<fake::ManualClock>(100.0);
    std::vector<Event> events;
};

TEST_F(VideoEncoderTest, SessionGetsItsPropertiesInOrder) {
    auto encoder = make(1920, 1080, 60, 20);
    ASSERT_EQ(compression->creations().size(), 1u);
    EXPECT_EQ(compression->creations()[0], (CompressionSessionSettings{1920, 1080, true, true}));
    auto session = compression->lastSession();
    std::vector<CompressionProperty> expected{
        {Key::profileLevel, std::string("HEVC_Main_AutoLevel")},
        {Key::realTime, true},
        {Key::allowFrameReordering, false},
        {Key::maxFrameDelayCount, int64_t{0}},
        {Key::maxKeyFrameInterval, int64_t{480}},
        {Key::maxKeyFrameIntervalDuration, 8.0},
        {Key::expectedFrameRate, int64_t{60}},
        {Key::averageBitRate, int64_t{20'000'000}},
        {Key::prioritizeEncodingSpeedOverQuality, true},
        {Key::dataRateLimits, DataRateLimit{3'750'000, 1.0}},
    };
    std::vector<CompressionProperty> set;
    for (const auto& property : session->properties()) set.push_back(property.property);
    EXPECT_EQ(set, expected);
    EXPECT_EQ(session->prepareCount(), 1);
    EXPECT_TRUE(encoder->isValid());
    EXPECT_DOUBLE_EQ(encoder->currentBitrateMbps(), 20);
    EXPECT_DOUBLE_EQ(encoder->initialBitrateMbps(), 20);
}

TEST_F(VideoEncoderTest, KeyframeIntervalFollowsFrameRate) {
    struct Case {
        int fps;
        int64_t frames;
    };
    for (Case c : {Case{60, 480}, Case{30, 240}, Case{120, 960}}) {
        make(640, 360, c.fps, 10);
        auto session = compression->lastSession();
        EXPECT_EQ(session->value(Key::maxKeyFrameInterval), CompressionProperty::Value(c.frames)) << c.fps;
        EXPECT_EQ(session->value(Key::maxKeyFrameIntervalDuration), CompressionProperty::Value(8.0)) << c.fps;
        EXPECT_EQ(session->value(Key::expectedFrameRate), CompressionProperty::Value(int64_t{c.fps})) << c.fps;
    }
}

TEST_F(VideoEncoderTest, BitRateArithmetic) {
    struct Case {
        double mbps;
        int64_t bits;
        int64_t limitBytes;
    };
    for (Case c : {Case{20, 20'000'000, 3'750'000}, Case{0.5, 500'000, 93'750}, Case{2.7, 2'700'000, 506'250},
                   Case{15.000001, 15'000'001, 2'812'500}, Case{0, 0, 0}, Case{-3, 0, 0},
                   Case{std::nan(""), 0, 0}, Case{1e300, std::numeric_limits<int64_t>::max(), -1}}) {
        EXPECT_EQ(VideoEncoder::bitsPerSecond(c.mbps), c.bits) << c.mbps;
        if (c.limitBytes >= 0) {
            EXPECT_EQ(VideoEncoder::dataRateLimit(c.bits), (DataRateLimit{c.limitBytes, 1.0})) << c.mbps;
        }
    }
}

TEST_F(VideoEncoderTest, CreationAttempts) {
    constexpr CompressionStatus rejected = -12900;
    enum class Outcome { ready, createFailed, chroma444Unsupported };
    struct Case {
        const char* name;
        bool chroma444;
        std::vector<CompressionStatus> createResults;
        std::optional<Key> rejectedKey;
        std::vector<bool> lowLatencyAttempts;  // one per creation asked for
        Outcome outcome;
        CompressionStatus status;        // createFailed's status
        std::vector<bool> invalidated;   // per session made
    };
    const std::vector<Case> cases{
        {"first attempt works", false, {}, std::nullopt, {true}, Outcome::ready, 0, {false}},
        {"low-latency creation fails", false, {-7}, std::nullopt, {true, false}, Outcome::ready, 0, {false}},
        {"both creations fail", false, {-7, -9}, std::nullopt, {true, false}, Outcome::createFailed, -9, {}},
        {"low-latency data-rate limit rejected", false, {}, Key::dataRateLimits, {true, false}, Outcome::ready, 0,
         {true, false}},
        {"rejected limit, then creation fails", false, {0, -5}, Key::dataRateLimits, {true, false},
         Outcome::createFailed, -5, {true}},
        {"rejected 4:2:0 profile is ignored", false, {}, Key::profileLevel, {true}, Outcome::ready, 0, {false}},
        {"rejected bit rate is ignored", false, {}, Key::averageBitRate, {true}, Outcome::ready, 0, {false}},
        {"4:4:4 works", true, {}, std::nullopt, {false}, Outcome::ready, 0, {false}},
        {"4:4:4 profile rejected", true, {}, Key::profileLevel, {false}, Outcome::chroma444Unsupported, 0, {true}},
        {"4:4:4 creation fails", true, {-3}, std::nullopt, {false}, Outcome::createFailed, -3, {}},
        {"4:4:4 ignores a rejected limit", true, {}, Key::dataRateLimits, {false}, Outcome::ready, 0, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        compression = std::make_shared<FakeVideoCompression>();
        compression->scriptCreateResults(c.createResults);
        if (c.rejectedKey) compression->setPropertyResult(*c.rejectedKey, rejected);

        std::shared_ptr<VideoEncoder> encoder;
        std::optional<EncoderError> error;
        try {
            encoder = make(640, 360, 30, 8, c.chroma444);
        } catch (const EncoderError& e) {
            error = e;
        }

        std::vector<bool> attempts;
        for (const auto& creation : compression->creations()) {
            attempts.push_back(creation.enableLowLatencyRateControl);
            EXPECT_TRUE(creation.requireHardwareAcceleration);
            EXPECT_EQ(creation.width, 640);
            EXPECT_EQ(creation.height, 360);
        }
        EXPECT_EQ(attempts, c.lowLatencyAttempts);
        std::vector<bool> invalidated;
        for (const auto& session : compression->sessions()) invalidated.push_back(session->isInvalidated());
        EXPECT_EQ(invalidated, c.invalidated);

        switch (c.outcome) {
            case Outcome::ready: {
                ASSERT_TRUE(encoder);
                ASSERT_FALSE(error);
                auto session = compression->lastSession();
                EXPECT_EQ(session->prepareCount(), 1);
                EXPECT_EQ(session->values(Key::profileLevel).front(),
                          CompressionProperty::Value(std::string(c.chroma444 ? "HEVC_Main444_AutoLevel"
                                                                             : "HEVC_Main_AutoLevel")));
                EXPECT_EQ(session->propertyKeys().size(), 10u);
                break;
            }
            case Outcome::createFailed:
                ASSERT_TRUE(error);
                EXPECT_EQ(error->kind(), EncoderError::Kind::createFailed);
                EXPECT_EQ(error->status(), c.status);
                break;
            case Outcome::chroma444Unsupported:
                ASSERT_TRUE(error);
                EXPECT_EQ(error->kind(), EncoderError::Kind::chroma444Unsupported);
                // Nothing after the refused profile.
                EXPECT_EQ(compression->lastSession()->propertyKeys(), std::vector<Key>{Key::profileLevel});
                EXPECT_EQ(compression->lastSession()->prepareCount(), 0);
                break;
        }
    }
}

TEST_F(VideoEncoderTest, FramesOfAnotherSizeAreDropped) {
    auto encoder = make(640, 360);
    auto session = compression->lastSession();
    encoder->setForceKeyframe(true);
    struct Case {
        int32_t width;
        int32_t height;
    };
    for (Case c : {Case{641, 360}, Case{640, 359}, Case{1280, 720}, Case{0, 0}}) encoder->encode(buffer(c.width, c.height), {1, 60});
    encoder->encode(nullptr, {1, 60});
    EXPECT_TRUE(session->frames().empty());
    EXPECT_TRUE(encoder->forceKeyframe()) << "a dropped frame does not use up the keyframe request";

    auto right = buffer(640, 360);
    encoder->encode(right, {7, 60});
    ASSERT_EQ(session->frames().size(), 1u);
    EXPECT_EQ(session->frames()[0].buffer, right);
    EXPECT_EQ(session->frames()[0].presentationTime, (MediaTime{7, 60}));
}

TEST_F(VideoEncoderTest, ForcedKeyframeIsAskedForOnce) {
    auto encoder = make();
    auto session = compression->lastSession();
    encoder->encode(buffer(), {0, 60});
    encoder->setForceKeyframe(true);
    encoder->encode(buffer(), {1, 60});
    encoder->encode(buffer(), {2, 60});
    auto frames = session->frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].options, FrameOptions{});
    EXPECT_EQ(frames[1].options, FrameOptions{true});
    EXPECT_EQ(frames[2].options, FrameOptions{});
    EXPECT_FALSE(encoder->forceKeyframe());
}

TEST_F(VideoEncoderTest, FailedForcedSubmissionKeepsTheKeyframeRequest) {
    auto encoder = make();
    auto session = compression->lastSession();
    encoder->setForceKeyframe(true);
    session->failNextSubmit(-12902);
    encoder->encode(buffer(), {0, 60});
    EXPECT_TRUE(session->frames().empty());
    encoder->encode(buffer(), {1, 60});
    ASSERT_EQ(session->frames().size(), 1u);
    EXPECT_EQ(session->frames()[0].options, FrameOptions{true});
}

TEST_F(VideoEncoderTest, EncodeTimeIsSmoothed) {
    auto encoder = make();
    auto session = compression->lastSession();
    EXPECT_EQ(encoder->encodeMsEWMA(), 0);

    encoder->encode(buffer(), {0, 60});
    clock->advance(0.010);
    session->deliver(makeSample({1}, true));
    EXPECT_NEAR(encoder->encodeMsEWMA(), 10, 1e-6) << "the first sample is taken as it is";

    encoder->encode(buffer(), {1, 60});
    clock->advance(0.020);
    session->deliverFailure(-1);  // a failed output still returns its frame's time
    EXPECT_NEAR(encoder->encodeMsEWMA(), 11, 1e-6);

    session->deliver(makeSample({1}, true));  // nothing submitted is waiting
    EXPECT_NEAR(encoder->encodeMsEWMA(), 11, 1e-6);
}

TEST_F(VideoEncoderTest, FailedSubmissionGivesBackItsTime) {
    auto encoder = make();
    auto session = compression->lastSession();
    session->failNextSubmit(-12902);
    encoder->encode(buffer(), {0, 60});
    clock->advance(1.0);
    encoder->encode(buffer(), {1, 60});
    clock->advance(0.002);
    session->deliver(makeSample({1}, true));
    EXPECT_NEAR(encoder->encodeMsEWMA(), 2, 1e-6) << "paired with the frame that was taken";
}

TEST_F(VideoEncoderTest, NineSubmitsKeepTheLastEight) {
    auto encoder = make();
    auto session = compression->lastSession();
    for (int i = 0; i < 9; ++i) {
        encoder->encode(buffer(), {i, 60});
        clock->advance(1.0);
    }
    // Submitted at 100 … 108; the clock is at 109. The oldest time left is 101.
    session->deliver(makeSample({1}, true));
    EXPECT_NEAR(encoder->encodeMsEWMA(), 8000, 1e-6);
    for (int i = 0; i < 7; ++i) session->deliver(makeSample({1}, true));
    double afterEight = encoder->encodeMsEWMA();
    session->deliver(makeSample({1}, true));
    EXPECT_EQ(encoder->encodeMsEWMA(), afterEight) << "the ninth output finds no time left";
}

TEST_F(VideoEncoderTest, RefinementBoostAndRestore) {
    struct Case {
        double initial;
        double current;  // given through update() when it differs from initial
        int64_t boostBits;
    };
    for (Case c : {Case{20, 10, 18'000'000}, Case{20, 20, 30'000'000}, Case{20, 2, 3'600'000},
                   Case{10, 20, 20'000'000} /* raised above the start: never below current */}) {
        SCOPED_TRACE(std::to_string(c.initial) + " -> " + std::to_string(c.current));
        auto encoder = make(640, 360, 60, c.initial);
        auto session = compression->lastSession();
        if (c.current != c.initial) encoder->update(c.current);
        const int64_t currentBits = VideoEncoder::bitsPerSecond(c.current);
        std::vector<int64_t> expected = averageBitRates(*session);

        encoder->encodeRefinement(buffer(), {1, 60});
        expected.push_back(c.boostBits);
        EXPECT_EQ(averageBitRates(*session), expected);
        ASSERT_EQ(session->frames().size(), 1u);
        EXPECT_EQ(session->frames()[0].options, FrameOptions{true});

        encoder->encode(buffer(), {2, 60});
        expected.push_back(currentBits);
        EXPECT_EQ(averageBitRates(*session), expected) << "the next ordinary frame goes back";
        EXPECT_EQ(session->frames()[1].options, FrameOptions{});

        encoder->encode(buffer(), {3, 60});
        EXPECT_EQ(averageBitRates(*session), expected) << "restored once";
    }
}

TEST_F(VideoEncoderTest, SecondRefinementKeepsItsBoost) {
    auto encoder = make(640, 360, 60, 20);
    auto session = compression->lastSession();
    encoder->encodeRefinement(buffer(), {1, 60});
    encoder->encodeRefinement(buffer(), {2, 60});
    EXPECT_EQ(averageBitRates(*session), (std::vector<int64_t>{20'000'000, 30'000'000, 30'000'000}));
    encoder->encode(buffer(), {3, 60});
    EXPECT_EQ(averageBitRates(*session).back(), 20'000'000);
}

TEST_F(VideoEncoderTest, UpdateChangesTheAverageAndEndsABoost) {
    auto encoder = make(640, 360, 60, 20);
    auto session = compression->lastSession();
    encoder->encodeRefinement(buffer(), {1, 60});
    encoder->update(8);
    EXPECT_DOUBLE_EQ(encoder->currentBitrateMbps(), 8);
    encoder->encode(buffer(), {2, 60});
    EXPECT_EQ(averageBitRates(*session), (std::vector<int64_t>{20'000'000, 30'000'000, 8'000'000}))
        << "no restore after an update";
}

TEST_F(VideoEncoderTest, UpdateRaisesTheDataRateLimitOnlyWhenItWouldHoldTheAverageDown) {
    struct Case {
        double initial;
        double updated;
        std::vector<DataRateLimit> limits;
    };
    for (const Case& c : {Case{20, 8, {{3'750'000, 1.0}}}, Case{20, 30, {{3'750'000, 1.0}, {5'625'000, 1.0}}},
                          Case{4, 4, {{750'000, 1.0}}}, Case{4, 15, {{750'000, 1.0}, {2'812'500, 1.0}}}}) {
        SCOPED_TRACE(std::to_string(c.initial) + " -> " + std::to_string(c.updated));
        auto encoder = make(640, 360, 60, c.initial);
        auto session = compression->lastSession();
        encoder->update(c.updated);
        std::vector<DataRateLimit> limits;
        for (const auto& value : session->values(Key::dataRateLimits)) limits.push_back(std::get<DataRateLimit>(value));
        EXPECT_EQ(limits, c.limits);
        EXPECT_EQ(averageBitRates(*session).back(), VideoEncoder::bitsPerSecond(c.updated));
    }
}

TEST_F(VideoEncoderTest, InvalidatedEncoderDoesNothing) {
    auto encoder = make();
    auto session = compression->lastSession();
    encoder->encode(buffer(), {0, 60});
    size_t propertiesBefore = session->properties().size();
    encoder->invalidate();
    EXPECT_TRUE(session->isInvalidated());
    EXPECT_FALSE(encoder->isValid());
    encoder->encode(buffer(), {1, 60});
    encoder->encodeRefinement(buffer(), {2, 60});
    encoder->update(5);
    EXPECT_EQ(session->frames().size(), 1u);
    EXPECT_EQ(session->properties().size(), propertiesBefore);
    EXPECT_DOUBLE_EQ(encoder->currentBitrateMbps(), 20);
    session->deliver(makeSample({1}, false, {vps, sps, pps}));
    EXPECT_TRUE(events.empty());
    encoder->invalidate();  // harmless twice
}

TEST_F(VideoEncoderTest, OutputAfterTheEncoderIsGoneIsIgnored) {
    auto encoder = make();
    auto session = compression->lastSession();
    encoder->encode(buffer(), {0, 60});
    encoder.reset();
    EXPECT_FALSE(session->isInvalidated()) << "releasing the encoder does not invalidate the session";
    session->deliver(makeSample({1}, false, {vps, sps, pps}));
    EXPECT_TRUE(events.empty());
}

TEST_F(VideoEncoderTest, KeyframeDetection) {
    using Attachments = std::optional<std::vector<SampleAttachments>>;
    struct Case {
        const char* name;
        Attachments attachments;
        bool isKeyframe;
    };
    const std::vector<Case> cases{
        {"no attachment array", std::nullopt, true},
        {"empty array", std::vector<SampleAttachments>{}, true},
        {"no not-sync key", std::vector<SampleAttachments>{{std::nullopt}}, true},
        {"not-sync false", std::vector<SampleAttachments>{{false}}, true},
        {"not-sync true", std::vector<SampleAttachments>{{true}}, false},
        {"only a later attachment says not-sync", std::vector<SampleAttachments>{{std::nullopt}, {true}}, true},
    };
    auto encoder = make();
    auto session = compression->lastSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        CompressedSample sample = makeSample({0, 0, 0, 2, 0x26, 0x01}, std::nullopt, {}, {90, 60});
        sample.attachments = c.attachments;
        session->deliver(sample);
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].isKeyframe, c.isKeyframe);
        Bytes expected = WireFrame::encode(
            WireKind::videoFrame, VideoFramePacket(1.5, c.isKeyframe, *sample.data).encoded());
        EXPECT_EQ(events[0].wire, expected);
    }
}

TEST_F(VideoEncoderTest, OutputsWithoutFrames) {
    auto encoder = make();
    auto session = compression->lastSession();
    CompressedSample sample = makeSample({1, 2, 3}, false);
    session->deliver(-12911, &sample);  // failed status, even with a sample
    session->deliver(compressionSuccess, nullptr);  // dropped frame
    CompressedSample unreadable = makeSample({}, true);
    unreadable.data.reset();
    session->deliver(unreadable);
    EXPECT_TRUE(events.empty());

    // Without readable bytes a keyframe still announces new parameter sets, but no frame.
    CompressedSample keyWithoutBytes = makeSample({}, false, {vps, sps, pps});
    keyWithoutBytes.data.reset();
    session->deliver(keyWithoutBytes);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_TRUE(events[0].isConfig);
}

TEST_F(VideoEncoderTest, ParameterSetsAreAnnouncedBeforeTheKeyframeThatNeedsThem) {
    const Bytes sps2{0x42, 0x01, 0x02};
    const Bytes sei{0x4e, 0x01};
    struct Step {
        const char* name;
        std::optional<bool> notSync;
        std::vector<Bytes> sets;
        bool announces;
    };
    const std::vector<Step> steps{
        {"first keyframe", false, {vps, sps, pps}, true},
        {"identical sets", false, {vps, sps, pps}, false},
        {"identical sets, no attachments", std::nullopt, {vps, sps, pps}, false},
        {"a delta frame is not checked", true, {vps, sps2, pps}, false},
        {"changed SPS", false, {vps, sps2, pps}, true},
        {"a fourth set counts too", false, {vps, sps2, pps, sei}, true},
        {"fewer than three sets", false, {vps, sps}, false},
        {"back to the first sets", false, {vps, sps, pps}, true},
        {"boundary moved between sets", false, {Bytes{0x40, 0x01, 0x0c, 0x42}, Bytes{0x01, 0x01, 0x01}, pps}, true},
    };
    auto encoder = make(1280, 720);
    auto session = compression->lastSession();
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        events.clear();
        session->deliver(makeSample({0, 0, 0, 1, 0x26}, step.notSync, step.sets));
        if (step.announces) {
            ASSERT_EQ(events.size(), 2u);
            ASSERT_TRUE(events[0].isConfig) << "config first";
            EXPECT_EQ(events[0].config, VideoConfig(step.sets[0], step.sets[1], step.sets[2], 1280, 720));
            EXPECT_FALSE(events[1].isConfig);
        } else {
            ASSERT_EQ(events.size(), 1u);
            EXPECT_FALSE(events[0].isConfig);
        }
    }
}

TEST_F(VideoEncoderTest, UnreadableParameterSetsAnnounceNothing) {
    auto encoder = make();
    auto session = compression->lastSession();
    for (bool failCount : {true, false}) {
        auto format = std::make_shared<fake::FakeFormatDescription>(std::vector<Bytes>{vps, sps, pps});
        if (failCount)
            format->failCount();
        else
            format->failSet(1);
        CompressedSample sample = makeSample({1}, false);
        sample.formatDescription = format;
        session->deliver(sample);
    }
    EXPECT_TRUE(configs().empty());
    EXPECT_EQ(events.size(), 2u) << "the frames still go out";
    session->deliver(makeSample({1}, false, {vps, sps, pps}));
    EXPECT_EQ(configs().size(), 1u);
}

TEST_F(VideoEncoderTest, EveryNewEncoderAnnounces) {
    for (int i = 0; i < 2; ++i) {
        auto encoder = make();
        compression->lastSession()->deliver(makeSample({1}, false, {vps, sps, pps}));
        encoder->invalidate();
    }
    EXPECT_EQ(configs().size(), 2u);
}

}  // namespace
}  // namespace df
