#pragma once
// What the client received, per second and in total, as plain "key=value" lines that a test
// or a benchmark can parse:
//
//   stats t=3 frames=60 keyframes=0 video_kbps=8123.4 audio_kbps=128.0 audio_pps=50 jitter_ms=1.21
//         hb_rtt_ms=0.84 decoded_fps=60 decode_ms=2.10 g2g_est_ms=3.02
//   total seconds=10.02 frames=600 keyframes=2 bad_frames=0 video_bytes=... video_kbps=...
//         audio_packets=500 audio_bytes=... audio_kbps=... audio_pps=49.90 audio_gaps=0
//         audio_step_max_ms=21.3 jitter_ms=... jitter_max_ms=... heartbeats=3 hb_rtt_ms=...
//         hb_rtt_max_ms=... pictures=598 decoded_fps=59.68 decode_ms=... decode_max_ms=...
//         g2g_est_ms=... g2g_est_max_ms=...
//
// frames counts what arrived, decoded_fps the pictures that came out of the decoder (what a
// viewer shows); decode_ms is the time spent in the decoder per picture.
//
// Glass to glass: a frame's presentation time is the agent's capture time on the agent's
// monotonic clock, which this client cannot compare with its own unless both run on one
// machine, and nothing in the protocol carries the agent's clock (the heartbeat is an empty
// message), so the offset between the clocks cannot be estimated. g2g_est_ms is therefore
// only the part this client can see plus the way in: decode complete minus arrival (waiting
// for a config included) plus half the latest heartbeat round trip; it leaves out the
// agent's capture and encode time. It is "-" until a round trip is known.
//
// Audio packets come at a fixed rate (audio_pps, packets per second). A gap is a step from one
// packet's presentation time to the next that is longer than two packets, so that at least one
// packet's worth of sound is missing; audio_step_max_ms is the longest step. Gaps are counted
// once the packet duration is known (from the audioConfig); a new audioConfig starts a new
// stream, whose first step is no gap.
//
// Jitter is frame to frame, as RTP defines it: for consecutive frames, the difference
// between their arrival interval and their presentation-time interval, averaged in
// absolute value. A value that has no sample yet is written as "-".
// Times are seconds of the client's monotonic clock, passed in so tests need no sleeping.
// Used on the client's session queue only.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace df::phone {

class StreamStats {
public:
    explicit StreamStats(double start) : start_(start), windowStart_(start) {}

    void videoFrame(double arrival, double pts, size_t bytes, bool keyframe);
    /// A frame whose length prefixes or keyframe flag did not hold up.
    void badFrame() { ++badFrames_; }
    void audioPacket(double arrival, double pts, size_t bytes);
    /// A new audio stream whose packets last `seconds` each (nothing: not known).
    void audioStream(std::optional<double> packetSeconds);
    void heartbeatRoundTrip(double ms);
    /// A picture came out of the decoder: the frame arrived at `arrival`, went into the
    /// decoder at `decodeStart` and was out at `decodeDone`.
    void pictureDecoded(double arrival, double decodeStart, double decodeDone);

    /// The per-second lines of every whole second that ended by `now` (empty seconds too).
    std::vector<std::string> tick(double now);
    /// The closing line.
    std::string totals(double now) const;

    int64_t frames() const { return total_.frames; }
    int64_t keyframes() const { return total_.keyframes; }
    int64_t badFrames() const { return badFrames_; }
    int64_t audioPackets() const { return total_.audioPackets; }
    int64_t audioGaps() const { return audioGaps_; }
    int64_t pictures() const { return total_.pictures; }
    std::optional<double> lastRoundTrip() const { return lastRtt_; }

private:
    struct Window {
        int64_t frames = 0;
        int64_t keyframes = 0;
        uint64_t videoBytes = 0;
        int64_t audioPackets = 0;
        uint64_t audioBytes = 0;
        double jitterSum = 0;
        int64_t jitterSamples = 0;
        double jitterMax = 0;
        double rttSum = 0;
        int64_t rttSamples = 0;
        double rttMax = 0;
        int64_t pictures = 0;
        double decodeSum = 0;
        double decodeMax = 0;
        double g2gSum = 0;
        int64_t g2gSamples = 0;
        double g2gMax = 0;
    };
    static void addVideo(Window& w, size_t bytes, bool keyframe);

    double start_;
    double windowStart_;
    int64_t second_ = 0;
    Window window_;
    Window total_;
    int64_t badFrames_ = 0;
    std::optional<double> lastArrival_;
    std::optional<double> lastPts_;
    std::optional<double> lastRtt_;
    std::optional<double> audioPacketSeconds_;
    std::optional<double> lastAudioPts_;
    int64_t audioGaps_ = 0;
    std::optional<double> audioStepMax_;
};

}  // namespace df::phone
