#pragma once
// Sound for the tests that record system audio: a sine played into the sound server the test
// command started ($PULSE_SERVER), and the frequency that dominates decoded PCM.

#include <gtest/gtest.h>
#include <pulse/error.h>
#include <pulse/simple.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace df::testsupport {

inline constexpr int toneRate = 48000;

/// $PULSE_SERVER, else nothing (libpulse's own choice).
inline std::optional<std::string> pulseServer() {
    const char* server = std::getenv("PULSE_SERVER");
    return server && *server ? std::optional<std::string>(server) : std::nullopt;
}

/// Plays `seconds` of a sine at `hz` (amplitude 0.5, both channels) into `sink` (nothing: the
/// default sink) and waits until it has been played.
inline void playTone(double hz, double seconds, const char* sink = nullptr) {
    const pa_sample_spec format{PA_SAMPLE_FLOAT32LE, toneRate, 2};
    int error = 0;
    const auto server = pulseServer();
    // Buffer enough that a busy machine does not starve the player (the gaps would be real).
    pa_buffer_attr attr;
    attr.maxlength = attr.minreq = attr.prebuf = attr.fragsize = static_cast<uint32_t>(-1);
    attr.tlength = static_cast<uint32_t>(pa_usec_to_bytes(300000, &format));
    pa_simple* out = pa_simple_new(server ? server->c_str() : nullptr, "duskferry-test", PA_STREAM_PLAYBACK, sink,
                                   "tone", &format, nullptr, &attr, &error);
    ASSERT_TRUE(out) << pa_strerror(error);
    const int frames = static_cast<int>(seconds * toneRate);
    std::vector<float> pcm(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i)
        pcm[2 * i] = pcm[2 * i + 1] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * hz * i / toneRate));
    EXPECT_EQ(pa_simple_write(out, pcm.data(), pcm.size() * sizeof(float), &error), 0) << pa_strerror(error);
    EXPECT_EQ(pa_simple_drain(out, &error), 0) << pa_strerror(error);
    pa_simple_free(out);
}

/// The frequency with the most energy in the left channel of `pcm` (interleaved stereo),
/// scanned in 2 Hz steps over 100 Hz to 5 kHz.
inline double peakFrequency(const std::vector<int16_t>& pcm, size_t firstFrame, size_t frames) {
    double best = 0, bestPower = -1;
    for (double hz = 100; hz <= 5000; hz += 2) {
        // Goertzel.
        const double k = 2 * std::cos(2 * std::numbers::pi * hz / toneRate);
        double s1 = 0, s2 = 0;
        for (size_t i = 0; i < frames; ++i) {
            const double s = pcm[2 * (firstFrame + i)] / 32768.0 + k * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        const double power = s1 * s1 + s2 * s2 - k * s1 * s2;
        if (power > bestPower) bestPower = power, best = hz;
    }
    return best;
}

}  // namespace df::testsupport
