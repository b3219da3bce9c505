// The audio encoder and the capture engine's audio half over the recording audio converter
// and the scriptable audio capture; the test plays the host and both queues.
#include "DuskFerryAgent/capture/AudioEncoder.h"
#include "DuskFerryAgent/capture/CaptureEngine.h"
#include "DuskFerryAgent/capture/DisplayTarget.h"
#include "platform/fake/audio/FakeAudio.h"
#include "platform/fake/capture/FakeScreenCapture.h"
#include "platform/fake/compression/FakeVideoCompression.h"
#include "platform/fake/queue/ManualQueue.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace df {
namespace {

using fake::FakeAudioConversion;
using fake::pcmSample;

const PcmFormat floatStereo = AudioEncoder::standardPcmFormat();
const PcmFormat int16Stereo{48000, 2, PcmFormat::SampleType::int16};

/// Everything the encoder sent, in order.
struct Output {
    std::vector<std::variant<AudioConfig, AudioFramePacket>> events;
    AudioEncoder::ConfigHandler configHandler() {
        return [this](const AudioConfig& config) { events.emplace_back(config); };
    }
    AudioEncoder::PacketHandler packetHandler() {
        return [this](const AudioFramePacket& packet) { events.emplace_back(packet); };
    }
    size_t configs() const {
        return static_cast<size_t>(std::count_if(events.begin(), events.end(), [](const auto& e) {
            return std::holds_alternative<AudioConfig>(e);
        }));
    }
    std::vector<AudioFramePacket> packets() const {
        std::vector<AudioFramePacket> out;
        for (const auto& e : events)
            if (const auto* p = std::get_if<AudioFramePacket>(&e)) out.push_back(*p);
        return out;
    }
};

TEST(AudioNegotiation, ThePhonesOrderAmongWhatThisHostEncodes) {
    auto shared = std::make_shared<FakeAudioConversion>();
    auto& conversion = *shared;
    conversion.setUnsupported({AudioCodecKind(AudioCodecKind::aacEld).formatID()});
    struct Case {
        std::vector<std::string> phone;
        std::optional<AudioCodecKind> want;
    };
    for (const auto& c : std::vector<Case>{{{"flac", "aac-lc", "opus"}, AudioCodecKind::aacLc},
                                           {{"opus", "aac-lc"}, AudioCodecKind::opus},
                                           {{"aac-eld", "aac-lc"}, AudioCodecKind::aacLc},
                                           {{"aac-eld"}, std::nullopt},
                                           {{"Opus", "AAC-LC", ""}, std::nullopt},
                                           {{}, std::nullopt}}) {
        const auto chosen = AudioEncoder::negotiate(c.phone, conversion);
        EXPECT_EQ(chosen ? std::optional<AudioCodecKind::Value>(*chosen) : std::nullopt,
                  c.want ? std::optional<AudioCodecKind::Value>(*c.want) : std::nullopt)
            << ::testing::PrintToString(c.phone);
    }
    EXPECT_EQ(AudioEncoder::create(shared, AudioCodecKind::aacEld, {}, {}),
              nullptr);
}

TEST(AudioEncoderTest, OneConfigBeforeTheFirstPacketThenPacketsWithTheirBuffersTime) {
    for (const AudioCodecKind codec : {AudioCodecKind::opus, AudioCodecKind::aacLc}) {
        SCOPED_TRACE(std::string(codec.rawValue()));
        auto conversion = std::make_shared<FakeAudioConversion>();
        conversion->setCookie(Bytes{0x12, 0x10});
        Output out;
        auto encoder = AudioEncoder::create(conversion, codec, out.configHandler(), out.packetHandler());
        ASSERT_TRUE(encoder);
        const uint32_t perPacket = codec.framesPerPacket();

        // Half a packet gives nothing yet; an empty buffer changes nothing.
        encoder->handle(pcmSample(floatStereo, perPacket / 2, 1.0));
        encoder->handle(pcmSample(floatStereo, 0, 1.01));
        EXPECT_TRUE(out.events.empty());
        // The rest plus two more packets' worth: three packets, all with this buffer's time.
        encoder->handle(pcmSample(floatStereo, perPacket / 2 + 2 * perPacket, 1.02));
        encoder->handle(pcmSample(floatStereo, perPacket, 1.1));

        ASSERT_EQ(out.events.size(), 5u);
        const auto* config = std::get_if<AudioConfig>(&out.events.front());
        ASSERT_TRUE(config);
        EXPECT_EQ(*config, AudioConfig(std::string(codec.rawValue()), 48000, 2, Bytes{0x12, 0x10}));
        EXPECT_EQ(out.configs(), 1u);
        const auto packets = out.packets();
        ASSERT_EQ(packets.size(), 4u);
        EXPECT_EQ((std::vector<double>{packets[0].pts, packets[1].pts, packets[2].pts, packets[3].pts}),
                  (std::vector<double>{1.02, 1.02, 1.02, 1.1}));
        for (const auto& packet : packets) EXPECT_EQ(packet.data.size(), 4u + perPacket);
    }
}

TEST(AudioEncoderTest, AFormatChangeRebuildsTheConverterWithoutASecondConfig) {
    auto conversion = std::make_shared<FakeAudioConversion>();
    Output out;
    auto encoder = AudioEncoder::create(conversion, AudioCodecKind::opus, out.configHandler(), out.packetHandler());
    encoder->handle(pcmSample(floatStereo, 960 + 100, 1.0, 1));
    // The 100 frames held for the old format are dropped with its converter.
    encoder->handle(pcmSample(int16Stereo, 960, 1.1, 7));
    encoder->handle(pcmSample(int16Stereo, 960, 1.12, 7));

    EXPECT_EQ(conversion->builtFor(), (std::vector<PcmFormat>{floatStereo, int16Stereo}));
    EXPECT_EQ(out.configs(), 1u);
    const auto packets = out.packets();
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[1].data[4], 7) << "the new format's packet starts with its own first frame";
    EXPECT_EQ(packets[1].pts, 1.1);
}

TEST(AudioEncoderTest, UnusableBuffersAreDroppedAndTheNextOneTriesAgain) {
    auto conversion = std::make_shared<FakeAudioConversion>();
    const PcmFormat mono{48000, 1, PcmFormat::SampleType::float32};
    conversion->refuseInput(mono);
    Output out;
    auto encoder = AudioEncoder::create(conversion, AudioCodecKind::opus, out.configHandler(), out.packetHandler());
    auto noFormat = pcmSample(floatStereo, 960, 1.0);
    noFormat.format.reset();
    auto shortData = pcmSample(floatStereo, 960, 1.0);
    shortData.data.resize(100);
    auto invalid = pcmSample(floatStereo, 960, 1.0);
    invalid.valid = false;
    for (const auto& sample : {noFormat, shortData, invalid, pcmSample(mono, 960, 1.0)}) encoder->handle(sample);
    EXPECT_TRUE(out.events.empty());

    encoder->handle(pcmSample(floatStereo, 960, 2.0));
    EXPECT_EQ(out.configs(), 1u);
    EXPECT_EQ(out.packets().size(), 1u);
}

class CaptureEngineAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        capture->setDisplays({ShareableDisplay{1, 1280, 720, true, ScreenDisplayMode{1280, 1280}}});
    }

    std::shared_ptr<CaptureEngine> started(std::optional<AudioCodecKind> codec) {
        CaptureEngine::Services services{capture,  compression, target, videoQueue, nullptr, videoQueue->sharedClock(),
                                         audio,    conversion,  audioQueue};
        auto engine = CaptureEngine::create(
            services, {60, 10, 1920, false}, [](const VideoConfig&) {}, [](Bytes, bool) {},
            CaptureEngine::Audio{codec, out.configHandler(), out.packetHandler()});
        engine->start();
        videoQueue->runUntilIdle();
        return engine;
    }

    std::shared_ptr<fake::FakeScreenCapture> capture = std::make_shared<fake::FakeScreenCapture>();
    std::shared_ptr<fake::FakeVideoCompression> compression = std::make_shared<fake::FakeVideoCompression>();
    std::shared_ptr<DisplayTarget> target = std::make_shared<DisplayTarget>(nullptr);
    std::shared_ptr<fake::ManualQueue> videoQueue = std::make_shared<fake::ManualQueue>("duskferry.capture");
    std::shared_ptr<fake::ManualQueue> audioQueue = std::make_shared<fake::ManualQueue>("duskferry.capture.audio");
    std::shared_ptr<fake::FakeAudioCapture> audio = std::make_shared<fake::FakeAudioCapture>();
    std::shared_ptr<FakeAudioConversion> conversion = std::make_shared<FakeAudioConversion>();
    Output out;
};

TEST_F(CaptureEngineAudioTest, SamplesOnTheAudioQueueReachTheEncoderUntilStop) {
    auto engine = started(AudioCodecKind::aacLc);
    auto stream = audio->lastStream();
    ASSERT_TRUE(stream);
    EXPECT_TRUE(stream->isStarted());
    EXPECT_EQ(stream->configuration(), (AudioCaptureConfiguration{48000, 2}));

    stream->deliver(pcmSample(floatStereo, 1024, 5.0));
    EXPECT_TRUE(out.events.empty()) << "delivered on the audio queue, not inline";
    videoQueue->runUntilIdle();
    EXPECT_TRUE(out.events.empty()) << "the video queue does not run audio";
    audioQueue->runUntilIdle();
    EXPECT_EQ(out.configs(), 1u);
    ASSERT_EQ(out.packets().size(), 1u);
    EXPECT_EQ(out.packets()[0].pts, 5.0);

    engine->stop();
    EXPECT_TRUE(stream->isStopped());
    stream->deliver(pcmSample(floatStereo, 1024, 5.1));
    audioQueue->runUntilIdle();
    EXPECT_EQ(out.packets().size(), 1u);
}

TEST_F(CaptureEngineAudioTest, AStopDuringTheStartLeavesNoAudioRecording) {
    std::shared_ptr<CaptureEngine> engine;
    capture->duringNextStart([&] { engine->stop(); });
    CaptureEngine::Services services{capture, compression, target, videoQueue, nullptr, videoQueue->sharedClock(),
                                     audio,   conversion,  audioQueue};
    engine = CaptureEngine::create(services, {60, 10, 1920, false}, [](const VideoConfig&) {}, [](Bytes, bool) {},
                                   CaptureEngine::Audio{AudioCodecKind::opus, out.configHandler(), out.packetHandler()});
    engine->start();
    for (const auto& stream : audio->streams()) EXPECT_TRUE(stream->isStopped());
    if (auto stream = audio->lastStream()) stream->deliver(pcmSample(floatStereo, 960, 1.0));
    audioQueue->runUntilIdle();
    EXPECT_TRUE(out.events.empty());
}

TEST_F(CaptureEngineAudioTest, NoAudioWithoutACodecOrAnEncodableOne) {
    conversion->setUnsupported({AudioCodecKind(AudioCodecKind::aacEld).formatID()});
    for (const auto codec : {std::optional<AudioCodecKind>(), std::optional<AudioCodecKind>(AudioCodecKind::aacEld)}) {
        auto engine = started(codec);
        EXPECT_TRUE(capture->lastStream()->isStarted()) << "the video runs";
        EXPECT_TRUE(audio->streams().empty());
        engine->stop();
    }
}

TEST_F(CaptureEngineAudioTest, AudioThatCannotRecordLeavesTheVideoRunning) {
    auto engine = started(AudioCodecKind::opus);
    audio->lastStream()->failWith({"no sound server"});
    EXPECT_FALSE(engine->liveness().streamFailed);
    capture->lastStream()->deliver(ScreenSample{
        true, ScreenFrameStatus::complete,
        std::make_shared<const PixelBuffer>(PixelBuffer::make(PixelFormat::i420, 1280, 720)), MediaTime{1, 1}, {}});
    videoQueue->runUntilIdle();
    EXPECT_EQ(compression->lastSession()->frames().size(), 1u);
    engine->stop();
}

}  // namespace
}  // namespace df
