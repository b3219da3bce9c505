#include "tools/phone/StreamStats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace df::phone {

namespace {
std::string fixed(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}
std::string meanOrDash(double sum, int64_t n, int decimals) {
    return n > 0 ? fixed(sum / static_cast<double>(n), decimals) : "-";
}
double kbps(uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) * 8.0 / 1000.0 / seconds : 0.0;
}
}  // namespace

void StreamStats::addVideo(Window& w, size_t bytes, bool keyframe) {
    ++w.frames;
    if (keyframe) ++w.keyframes;
    w.videoBytes += bytes;
}

void StreamStats::videoFrame(double arrival, double pts, size_t bytes, bool keyframe) {
    addVideo(window_, bytes, keyframe);
    addVideo(total_, bytes, keyframe);
    if (lastArrival_ && lastPts_) {
        const double d = std::fabs((arrival - *lastArrival_) - (pts - *lastPts_)) * 1000.0;
        // A new encoder restarts its clock; an interval that far off is a restart, not jitter.
        if (std::isfinite(d) && d < 10000.0) {
            for (Window* w : {&window_, &total_}) {
                w->jitterSum += d;
                ++w->jitterSamples;
                w->jitterMax = std::max(w->jitterMax, d);
            }
        }
    }
    lastArrival_ = arrival;
    lastPts_ = pts;
}

void StreamStats::audioPacket(double /*arrival*/, double pts, size_t bytes) {
    for (Window* w : {&window_, &total_}) {
        ++w->audioPackets;
        w->audioBytes += bytes;
    }
    if (lastAudioPts_ && std::isfinite(pts)) {
        const double step = pts - *lastAudioPts_;
        audioStepMax_ = std::max(audioStepMax_.value_or(step), step);
        // A millisecond of slack for times rounded on the way.
        if (audioPacketSeconds_ && step > 2 * *audioPacketSeconds_ + 0.001) ++audioGaps_;
    }
    lastAudioPts_ = pts;
}

void StreamStats::audioStream(std::optional<double> packetSeconds) {
    audioPacketSeconds_ = packetSeconds;
    lastAudioPts_.reset();
}

void StreamStats::heartbeatRoundTrip(double ms) {
    for (Window* w : {&window_, &total_}) {
        w->rttSum += ms;
        ++w->rttSamples;
        w->rttMax = std::max(w->rttMax, ms);
    }
    lastRtt_ = ms;
}

void StreamStats::pictureDecoded(double arrival, double decodeStart, double decodeDone) {
    const double decodeMs = std::max(decodeDone - decodeStart, 0.0) * 1000.0;
    std::optional<double> g2g;
    if (lastRtt_) g2g = std::max(decodeDone - arrival, 0.0) * 1000.0 + *lastRtt_ / 2.0;
    for (Window* w : {&window_, &total_}) {
        ++w->pictures;
        w->decodeSum += decodeMs;
        w->decodeMax = std::max(w->decodeMax, decodeMs);
        if (g2g) {
            w->g2gSum += *g2g;
            ++w->g2gSamples;
            w->g2gMax = std::max(w->g2gMax, *g2g);
        }
    }
}

std::vector<std::string> StreamStats::tick(double now) {
    std::vector<std::string> lines;
    while (now - windowStart_ >= 1.0) {
        ++second_;
        const Window& w = window_;
        // Heartbeats come every 4 s; a second without one shows the latest round trip.
        std::string rtt = w.rttSamples > 0 ? meanOrDash(w.rttSum, w.rttSamples, 2)
                                           : (lastRtt_ ? fixed(*lastRtt_, 2) : "-");
        lines.push_back("stats t=" + std::to_string(second_) + " frames=" +
                        std::to_string(w.frames) + " keyframes=" + std::to_string(w.keyframes) +
                        " video_kbps=" + fixed(kbps(w.videoBytes, 1.0), 1) +
                        " audio_kbps=" + fixed(kbps(w.audioBytes, 1.0), 1) +
                        " audio_pps=" + std::to_string(w.audioPackets) + " jitter_ms=" + meanOrDash(w.jitterSum, w.jitterSamples, 2) +
                        " hb_rtt_ms=" + rtt + " decoded_fps=" + std::to_string(w.pictures) +
                        " decode_ms=" + meanOrDash(w.decodeSum, w.pictures, 2) +
                        " g2g_est_ms=" + meanOrDash(w.g2gSum, w.g2gSamples, 2));
        window_ = Window{};
        windowStart_ += 1.0;
    }
    return lines;
}

std::string StreamStats::totals(double now) const {
    const double seconds = std::max(now - start_, 0.0);
    const Window& t = total_;
    return "total seconds=" + fixed(seconds, 2) + " frames=" + std::to_string(t.frames) +
           " keyframes=" + std::to_string(t.keyframes) + " bad_frames=" +
           std::to_string(badFrames_) + " video_bytes=" + std::to_string(t.videoBytes) +
           " video_kbps=" + fixed(kbps(t.videoBytes, seconds), 1) +
           " fps=" + fixed(seconds > 0 ? static_cast<double>(t.frames) / seconds : 0.0, 2) +
           " audio_packets=" + std::to_string(t.audioPackets) +
           " audio_bytes=" + std::to_string(t.audioBytes) +
           " audio_kbps=" + fixed(kbps(t.audioBytes, seconds), 1) +
           " audio_pps=" + fixed(seconds > 0 ? static_cast<double>(t.audioPackets) / seconds : 0.0, 2) +
           " audio_gaps=" + (audioPacketSeconds_ ? std::to_string(audioGaps_) : "-") +
           " audio_step_max_ms=" + (audioStepMax_ ? fixed(*audioStepMax_ * 1000.0, 1) : "-") +
           " jitter_ms=" + meanOrDash(t.jitterSum, t.jitterSamples, 2) +
           " jitter_max_ms=" + (t.jitterSamples > 0 ? fixed(t.jitterMax, 2) : "-") +
           " heartbeats=" + std::to_string(t.rttSamples) +
           " hb_rtt_ms=" + meanOrDash(t.rttSum, t.rttSamples, 2) +
           " hb_rtt_max_ms=" + (t.rttSamples > 0 ? fixed(t.rttMax, 2) : "-") +
           " pictures=" + std::to_string(t.pictures) +
           " decoded_fps=" + fixed(seconds > 0 ? static_cast<double>(t.pictures) / seconds : 0.0, 2) +
           " decode_ms=" + meanOrDash(t.decodeSum, t.pictures, 2) +
           " decode_max_ms=" + (t.pictures > 0 ? fixed(t.decodeMax, 2) : "-") +
           " g2g_est_ms=" + meanOrDash(t.g2gSum, t.g2gSamples, 2) +
           " g2g_est_max_ms=" + (t.g2gSamples > 0 ? fixed(t.g2gMax, 2) : "-");
}

}  // namespace df::phone
