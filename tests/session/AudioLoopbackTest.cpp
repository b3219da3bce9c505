// The phone hears this computer, for real: a tone played into the sound server the test
// command started (a null sink as its default) reaches the reference client through the
// agent (libpulse capture, libopus or libavcodec's AAC, the session's audio frames over
// loopback), and the client's WAV has the tone's pitch and no gap.
// Skipped without an X display or a sound server, failed under CI=true.

#include "tests/session/StreamLoopback.h"
#include "tests/support/PulseTone.h"

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace df {
namespace {

using namespace std::chrono_literals;
using namespace testsupport;

/// The 16-bit samples of a WAV file's data chunk.
std::vector<int16_t> readWavSamples(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (size_t at = 12; at + 8 <= bytes.size();) {
        uint32_t size = 0;
        std::memcpy(&size, bytes.data() + at + 4, 4);
        if (std::memcmp(bytes.data() + at, "data", 4) == 0) {
            const size_t count = std::min<size_t>(size, bytes.size() - at - 8) / 2;
            std::vector<int16_t> samples(count);
            std::memcpy(samples.data(), bytes.data() + at + 8, count * 2);
            return samples;
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

class AudioLoopbackTest : public StreamLoopback, public ::testing::WithParamInterface<const char*> {
protected:
    void SetUp() override {
        DF_REQUIRE_SERVICE(std::system("pactl info >/dev/null 2>&1") == 0, "a sound server ($PULSE_SERVER)");
        startServer(true);
    }
};

TEST_P(AudioLoopbackTest, AToneReachesThePhoneWithItsPitchAndWithoutGaps) {
    const std::string codec = GetParam();
    phone::PhoneOptions options;
    options.quality = QualityRequest(30, 4, 1280, true, std::vector<std::string>{codec});
    const std::string wav = (dir / "heard.wav").string();
    options.mediaOptions.wavPath = wav;
    auto client = startPhone(options);
    ASSERT_TRUE(client);
    ASSERT_TRUE(waitForLine("audioConfig codec=" + codec + " ", 30));
    std::this_thread::sleep_for(300ms);
    playTone(1000, 1.5);
    phone::ScriptStep leave;
    leave.delay = 0.3;
    client->addScriptStep(std::move(leave));
    const auto out = leaveAndWait(*client);
    ASSERT_TRUE(out) << "the phone did not leave";
    EXPECT_EQ(field(*out, "total", "audio_gaps"), "0");

    // The loud stretch of what the phone decoded, and its pitch in the middle.
    const auto pcm = readWavSamples(wav);
    const size_t frames = pcm.size() / 2;
    size_t first = frames, last = 0;
    constexpr size_t block = 480;
    for (size_t f = 0; f + block <= frames; f += block) {
        double energy = 0;
        for (size_t i = f; i < f + block; ++i) energy += double(pcm[2 * i]) * pcm[2 * i];
        if (std::sqrt(energy / block) > 0.1 * 32768) first = std::min(first, f), last = f + block;
    }
    ASSERT_LT(first, last) << "no tone in " << frames << " frames";
    EXPECT_GT(last - first, static_cast<size_t>(1.2 * toneRate)) << "the tone is cut short";
    const size_t middle = first + (last - first) / 2 - 4096;
    EXPECT_NEAR(peakFrequency(pcm, middle, 8192), 1000, 20);
}

INSTANTIATE_TEST_SUITE_P(Codecs, AudioLoopbackTest, ::testing::Values("opus", "aac-lc"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param[0] == 'o' ? "Opus" : "AacLc");
                         });

}  // namespace
}  // namespace df
