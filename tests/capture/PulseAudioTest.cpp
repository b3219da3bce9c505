// System audio on the real host: a PulseAudio server (started by the test command, a null
// sink as its default), the libpulse capture, the libopus and libavcodec converters through
// the audio encoder, decoded again by the reference client's decoder.
#include "DuskFerryAgent/capture/AudioEncoder.h"
#include "platform/SerialQueue.h"
#include "platform/linux/audio/AudioCookies.h"
#include "platform/linux/audio/LinuxAudio.h"
#include "tests/support/PulseTone.h"
#include "tests/support/RequireService.h"
#include "tools/phone/AudioDecoder.h"

#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace df {
namespace {

using namespace std::chrono_literals;

constexpr int kRate = testsupport::toneRate;
using testsupport::peakFrequency;
using testsupport::playTone;
using testsupport::pulseServer;

bool pulseRuns() { return std::system("pactl info >/dev/null 2>&1") == 0; }

bool pactl(const std::string& args) { return std::system(("pactl " + args + " >/dev/null 2>&1").c_str()) == 0; }

/// Captures system audio through the encoder until stopped.
struct Recording {
    explicit Recording(AudioCodecKind codec, std::optional<std::string> server = pulseServer()) {
        encoder = AudioEncoder::create(
            linux_audio::makeLinuxAudioConversion(), codec,
            [this](const AudioConfig& c) {
                std::lock_guard lock(mutex);
                configs.push_back(c);
            },
            [this](const AudioFramePacket& p) {
                std::lock_guard lock(mutex);
                packets.push_back(p);
                producedAt.push_back(Clock::system().uptime());
            });
        stream = linux_audio::makePulseAudioCapture(std::move(server))
                     ->createStream(AudioCaptureConfiguration{}, queue,
                                    [this](const AudioSample& sample) {
                                        if (encoder) encoder->handle(sample);
                                    },
                                    [this](const AudioCaptureError& e) {
                                        std::lock_guard lock(mutex);
                                        unavailable.push_back(e.message);
                                        changed.notify_all();
                                    });
        stream->start();
    }
    ~Recording() {
        stream->stop();
        queue->shutdown();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<AudioConfig> configs;
    std::vector<AudioFramePacket> packets;
    std::vector<double> producedAt;
    std::vector<std::string> unavailable;
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("duskferry.capture.audio");
    std::shared_ptr<AudioEncoder> encoder;
    std::shared_ptr<AudioCaptureStream> stream;
};

/// What the phone hears: the packets decoded with the reference client's decoder, the tone's
/// region found by its energy, its spectral peak and the pts steps within it.
void expectTone(Recording& recording, AudioCodecKind codec, double hz, bool checkTiming = true) {
    recording.stream->stop();
    recording.queue->sync([] {});
    std::lock_guard lock(recording.mutex);
    ASSERT_EQ(recording.configs.size(), 1u);
    const auto& config = recording.configs[0];
    EXPECT_EQ(config.codec, codec.rawValue());
    ASSERT_TRUE(config.cookie);
    std::string why;
    auto decoder = phone::AudioDecoder::create(config.codec, 48000, 2, config.cookie, &why);
    ASSERT_TRUE(decoder) << why;

    std::vector<int16_t> pcm;
    std::vector<size_t> loudPackets;
    for (size_t i = 0; i < recording.packets.size(); ++i) {
        const size_t before = pcm.size();
        ASSERT_TRUE(decoder->decode(recording.packets[i].data, pcm)) << "packet " << i;
        const size_t frames = (pcm.size() - before) / 2;
        if (codec == AudioCodecKind::opus) {
            EXPECT_EQ(frames, 960u) << "packet " << i;
        }
        double energy = 0;
        for (size_t s = before; s < pcm.size(); s += 2) energy += double(pcm[s]) * pcm[s];
        if (frames && std::sqrt(energy / frames) > 0.1 * 32768) loudPackets.push_back(i);
    }
    // 1.5 s of tone is about 70 packets; the edges may be quieter.
    ASSERT_GT(loudPackets.size(), 50u);
    const size_t first = loudPackets.front(), last = loudPackets.back();
    if (checkTiming) {
        EXPECT_EQ(last - first + 1, loudPackets.size()) << "the tone has no silent packet in it";
        const double packetSeconds = codec.framesPerPacket() / 48000.0;
        for (size_t i = first + 1; i <= last; ++i) {
            const double step = recording.packets[i].pts - recording.packets[i - 1].pts;
            EXPECT_GE(step, 0) << "packet " << i;
            EXPECT_LT(step, 2 * packetSeconds) << "a gap longer than one packet before packet " << i;
        }
        // Stamped on the uptime clock, as the screen frames are, shortly before each packet
        // left the encoder (the smoothing of the capture's times may lean a few ms ahead; how
        // short the wait is, is the benchmark's business).
        for (size_t i = 0; i < recording.packets.size(); ++i) {
            const double age = recording.producedAt[i] - recording.packets[i].pts;
            EXPECT_TRUE(age > -0.01 && age < 0.25)
                << "packet " << i << " left the encoder " << age << " s after its time";
        }
    }
    // The middle of the tone: 8192 frames from the packet a quarter of the way in.
    const size_t frameSize = codec.framesPerPacket();
    const size_t start = (first + (last - first) / 4) * frameSize;
    ASSERT_LE(start + 8192, pcm.size() / 2);
    EXPECT_NEAR(peakFrequency(pcm, start, 8192), hz, hz * 0.02);
}

TEST(PulseAudioCapture, AToneOnTheDefaultSinkIsHeardThroughEachCodec) {
    DF_REQUIRE_SERVICE(pulseRuns(), "a PulseAudio server");
    // A fresh server glitches while it sets its sink up for the first playback; that is its
    // own start, not what is measured here.
    playTone(500, 0.5);
    for (const AudioCodecKind codec : {AudioCodecKind::opus, AudioCodecKind::aacLc}) {
        SCOPED_TRACE(std::string(codec.rawValue()));
        Recording recording(codec);
        std::this_thread::sleep_for(300ms);  // connected and recording
        playTone(1000, 1.5);
        std::this_thread::sleep_for(200ms);
        expectTone(recording, codec, 1000);
        EXPECT_TRUE(recording.unavailable.empty());
    }
}

TEST(PulseAudioCapture, FollowsAChangeOfTheDefaultSink) {
    DF_REQUIRE_SERVICE(pulseRuns(), "a PulseAudio server");
    DF_REQUIRE_TOOL("pactl");
    ASSERT_TRUE(pactl("load-module module-null-sink sink_name=duskferry_second rate=48000 channels=2"));
    std::string previous;
    if (FILE* p = popen("pactl get-default-sink", "r")) {
        char line[256] = {};
        if (fgets(line, sizeof line, p)) previous = std::string(line).substr(0, std::string(line).find('\n'));
        pclose(p);
    }
    // A default source of its own, so that the server has no reason to move the recording:
    // only the capture's own following of the default sink can.
    if (!previous.empty()) {
        ASSERT_TRUE(pactl("set-default-source " + previous + ".monitor"));
    }
    {
        Recording recording(AudioCodecKind::opus);
        std::this_thread::sleep_for(300ms);
        ASSERT_TRUE(pactl("set-default-sink duskferry_second"));
        std::this_thread::sleep_for(300ms);
        // Only the new default sink plays the tone; the old one's monitor stays silent.
        playTone(1500, 1.5, "duskferry_second");
        std::this_thread::sleep_for(200ms);
        // A sink just made sends nothing until something plays and then catches up in bursts;
        // only the tone counts here.
        expectTone(recording, AudioCodecKind::opus, 1500, false);
    }
    if (!previous.empty()) pactl("set-default-sink " + previous);
    pactl("unload-module module-null-sink sink_name=duskferry_second");
    std::system("pactl list short modules | awk '/sink_name=duskferry_second/ {print $1}' | "
                "xargs -r -n1 pactl unload-module >/dev/null 2>&1");
}

TEST(PulseAudioCapture, AMissingSoundServerIsReportedOnce) {
    Recording recording(AudioCodecKind::opus, "unix:/nonexistent/duskferry-no-server");
    {
        std::unique_lock lock(recording.mutex);
        ASSERT_TRUE(recording.changed.wait_for(lock, 5s, [&] { return !recording.unavailable.empty(); }));
    }
    std::this_thread::sleep_for(300ms);
    std::lock_guard lock(recording.mutex);
    EXPECT_EQ(recording.unavailable.size(), 1u);
    EXPECT_TRUE(recording.packets.empty());
}

TEST(AudioCookies, LayoutsThePhonesDecoderTakes) {
    const Bytes asc{0x11, 0x90};
    const Bytes es = linux_audio::aacElementaryStreamDescriptor(asc, 1536, 128000, 128000);
    const Bytes want{0x03, 0x80, 0x80, 0x80, 0x22, 0x00, 0x00, 0x00,                          // ES_Descriptor
                     0x04, 0x80, 0x80, 0x80, 0x14, 0x40, 0x15, 0x00, 0x06, 0x00,              // DecoderConfig
                     0x00, 0x01, 0xF4, 0x00, 0x00, 0x01, 0xF4, 0x00,                          // bit rates
                     0x05, 0x80, 0x80, 0x80, 0x02, 0x11, 0x90,                                // the ASC
                     0x06, 0x80, 0x80, 0x80, 0x01, 0x02};                                     // SLConfig
    EXPECT_EQ(es, want);
    EXPECT_EQ(phone::AudioDecoder::aacConfigFromCookie(es), asc);

    const Bytes head = linux_audio::opusIdentificationHeader(2, 120, 48000);
    EXPECT_EQ(head, (Bytes{'O', 'p', 'u', 's', 'H', 'e', 'a', 'd', 1, 2, 120, 0, 0x80, 0xBB, 0, 0, 0, 0, 0}));
}

}  // namespace
}  // namespace df
