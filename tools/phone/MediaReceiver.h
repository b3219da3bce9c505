#pragma once
// Everything the client does with received media: checks each video frame (length
// prefixes, keyframe flag against the NAL types), rebuilds the Annex B stream from
// `videoConfig` for an optional .hevc file, decodes it with libavcodec (kept for a PNG
// snapshot), decodes audio after `audioConfig` into an optional WAV file, and feeds the
// statistics. Runs on the client's session queue only.
//
// The agent sends `videoConfig` and `audioConfig` on the control connection and the frames
// on the media channel, so nothing orders a config before its first frames on the way in:
// frames that arrive before their config wait here (a bounded number) and are used as soon
// as it arrives.

#include "protocol/Bytes.h"
#include "protocol/ControlMessage.h"
#include "protocol/MediaPayloads.h"
#include "tools/phone/AudioDecoder.h"
#include "tools/phone/HevcDecoder.h"
#include "tools/phone/HevcStream.h"
#include "tools/phone/StreamStats.h"

#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace df::phone {

struct MediaOptions {
    std::string hevcPath;      ///< write the rebuilt Annex B stream here ("" = no)
    std::string snapshotPath;  ///< write the latest decoded picture here at the end ("" = no)
    std::string wavPath;       ///< write decoded audio here ("" = no)
    bool decodeVideo = true;   ///< decode every frame (needed for the snapshot)
    /// Each decoded picture as it comes out (the viewer window); on the session queue.
    std::function<void(const RgbImage&)> onPicture;
    /// The client's monotonic clock in seconds, read around each decode for the decode time
    /// and the glass-to-glass estimate; without it those are not measured.
    std::function<double()> clock;
};

class MediaReceiver {
public:
    /// `log` receives problems worth a person's attention (a malformed frame, say).
    MediaReceiver(MediaOptions options, double now, std::function<void(const std::string&)> log);
    ~MediaReceiver();

    void videoConfig(const VideoConfig& config);
    /// A videoFrame payload; false when it is malformed in any way (also counted).
    bool videoFrame(std::span<const uint8_t> payload, double now);
    void audioConfig(const AudioConfig& config);
    /// An audioFrame payload; false when it does not parse or decode.
    bool audioFrame(std::span<const uint8_t> payload, double now);

    StreamStats& stats() { return stats_; }
    const HevcDecoder* decoder() const { return decoder_.get(); }
    int64_t audioSamplesDecoded() const { return audioFrames_; }
    int64_t audioDecodeErrors() const { return audioErrors_; }

    /// Closes the files and writes the snapshot; returns what went wrong, if anything.
    std::optional<std::string> finish();

    /// Frames held until their config arrives, at most this many of each kind.
    static constexpr size_t kMaxWaiting = 600;

private:
    struct Arrived {
        VideoFramePacket packet;
        double arrival;
    };
    bool useVideo(const VideoFramePacket& packet, double arrival);
    bool useAudio(const AudioFramePacket& packet);
    bool badVideo(const std::string& why);

    MediaOptions options_;
    std::function<void(const std::string&)> log_;
    StreamStats stats_;
    AnnexBWriter writer_;
    std::unique_ptr<HevcDecoder> decoder_;
    bool decoderSynced_ = false;  ///< a keyframe with parameter sets has gone in
    std::ofstream hevcFile_;
    bool hevcSynced_ = false;
    std::optional<VideoConfig> config_;
    std::unique_ptr<AudioDecoder> audio_;
    WavWriter wav_;
    std::vector<int16_t> pcm_;
    int64_t audioFrames_ = 0;
    int64_t audioErrors_ = 0;
    int64_t reportedBad_ = 0;
    std::deque<Arrived> waitingVideo_;
    std::deque<AudioFramePacket> waitingAudio_;
    bool audioConfigured_ = false;
};

}  // namespace df::phone
