// Figures of system audio on the real host, per codec (Opus, AAC-LC): while another process
// plays a tone into the default sink, the libpulse capture feeds the audio encoder for a few
// seconds and the program prints
//  - capture-to-packet latency p50 and p95: from a packet's presentation time (when the
//    capture says its audio was recorded) to the moment it left the encoder (goal for Opus:
//    p50 at most 25 ms);
//  - CPU of this process (capture, queue and encoder threads) in percent of one core
//    (goal: under 3 %).
// Needs a sound server (the test services start one; PULSE_SERVER names it).

#include "DuskFerryAgent/capture/AudioEncoder.h"
#include "platform/SerialQueue.h"
#include "platform/linux/audio/LinuxAudio.h"

#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace df;

constexpr double recordSeconds = 8;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/// A 16-bit stereo WAV of a 1 kHz tone, long enough for one run.
std::string writeTone() {
    const std::string path = "/tmp/duskferry-audio-bench-" + std::to_string(getpid()) + ".wav";
    const uint32_t frames = static_cast<uint32_t>((recordSeconds + 2) * 48000);
    std::ofstream out(path, std::ios::binary);
    const auto put = [&out](uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(v >> (8 * i)));
    };
    out.write("RIFF", 4);
    put(36 + frames * 4, 4);
    out.write("WAVEfmt ", 8);
    put(16, 4), put(1, 2), put(2, 2), put(48000, 4), put(48000 * 4, 4), put(4, 2), put(16, 2);
    out.write("data", 4);
    put(frames * 4, 4);
    for (uint32_t i = 0; i < frames; ++i) {
        const auto v = static_cast<int16_t>(16000 * std::sin(2 * std::numbers::pi * 1000 * i / 48000.0));
        put(static_cast<uint16_t>(v), 2), put(static_cast<uint16_t>(v), 2);
    }
    return path;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * (values.size() - 1))];
}

void run(AudioCodecKind codec, const std::string& tone) {
    const char* server = std::getenv("PULSE_SERVER");
    std::mutex mutex;
    std::vector<double> ages;
    double startedAt = 0;
    auto encoder = AudioEncoder::create(
        linux_audio::makeLinuxAudioConversion(), codec, [](const AudioConfig&) {},
        [&](const AudioFramePacket& packet) {
            const double now = Clock::system().uptime();
            std::lock_guard lock(mutex);
            if (now - startedAt > 0.5) ages.push_back(now - packet.pts);
        });
    auto queue = SerialQueue::create("duskferry.capture.audio");
    auto stream = linux_audio::makePulseAudioCapture(server ? std::optional<std::string>(server) : std::nullopt)
                      ->createStream(
                          AudioCaptureConfiguration{}, queue, [&](const AudioSample& s) { encoder->handle(s); },
                          [](const AudioCaptureError& e) { std::printf("audio unavailable: %s\n", e.message.c_str()); });
    pid_t player = 0;
    const char* argv[] = {"paplay", tone.c_str(), nullptr};
    if (posix_spawnp(&player, "paplay", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
        std::printf("cannot run paplay\n");
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the player is playing

    startedAt = Clock::system().uptime();
    const double cpuBefore = cpuSeconds();
    stream->start();
    std::this_thread::sleep_for(std::chrono::duration<double>(recordSeconds));
    stream->stop();
    queue->sync([] {});
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = Clock::system().uptime() - startedAt;
    kill(player, SIGTERM);
    waitpid(player, nullptr, 0);
    queue->shutdown();

    std::lock_guard lock(mutex);
    std::printf("audio %-6s packets=%zu capture_to_packet_ms p50=%.1f p95=%.1f cpu_percent_of_core=%.2f\n",
                std::string(codec.rawValue()).c_str(), ages.size(), percentile(ages, 0.5) * 1000,
                percentile(ages, 0.95) * 1000, 100 * cpu / wall);
}

}  // namespace

int main() {
    if (std::system("pactl info >/dev/null 2>&1") != 0) {
        std::printf("no sound server: start one (scripts/test-services.sh, df_start_pulseaudio)\n");
        return 1;
    }
    const std::string tone = writeTone();
    for (const AudioCodecKind codec : {AudioCodecKind::opus, AudioCodecKind::aacLc}) run(codec, tone);
    std::remove(tone.c_str());
    return 0;
}
