#pragma once
// Turns captured system audio (PCM buffers from the capture engine's audio queue) into
// compressed packets of the codec the phone chose, through the host's audio converter.
// Announces the stream once with an AudioConfig (codec, rate, channels, decoder cookie) just
// before the first packet, then hands every packet with its presentation time onward.
//
// Threads: handle() and everything it calls run on the capture engine's serial audio queue;
// the converter pulls its input synchronously inside handle(). The two callbacks fire there
// too; the session moves them onto its own queue. negotiate() may run on any thread.

#include "platform/AudioCapture.h"
#include "platform/AudioConversion.h"
#include "protocol/ControlMessage.h"
#include "protocol/MediaPayloads.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace df {

class AudioEncoder : public std::enable_shared_from_this<AudioEncoder> {
public:
    using ConfigHandler = std::function<void(const AudioConfig&)>;
    using PacketHandler = std::function<void(const AudioFramePacket&)>;

    /// The PCM every capture is asked for: 48 kHz, stereo, 32-bit float.
    static PcmFormat standardPcmFormat();

    /// The first of the phone's codec names, in the phone's order, that names a known codec
    /// this host can encode from standard PCM; nothing when none does (no audio then).
    static std::optional<AudioCodecKind> negotiate(const std::vector<std::string>& clientCodecs,
                                                   AudioConversion& conversion);

    /// Null when the host cannot produce `codec`'s output format.
    static std::shared_ptr<AudioEncoder> create(std::shared_ptr<AudioConversion> conversion, AudioCodecKind codec,
                                                ConfigHandler onConfig, PacketHandler onPacket);

    /// One captured buffer. Buffers the encoder cannot use are dropped silently.
    void handle(const AudioSample& sample);

    AudioCodecKind codec() const { return codec_; }

private:
    AudioEncoder(std::shared_ptr<AudioConversion> conversion, AudioCodecKind codec, ConfigHandler onConfig,
                 PacketHandler onPacket);
    void drain(double pts);

    const std::shared_ptr<AudioConversion> conversion_;
    const AudioCodecKind codec_;
    const ConfigHandler onConfig_;
    const PacketHandler onPacket_;
    const AudioStreamDescription outputFormat_;

    // Audio queue only.
    std::unique_ptr<AudioConverter> converter_;
    std::optional<PcmFormat> inputFormat_;
    bool configSent_ = false;
    std::deque<PcmBuffer> pendingInput_;
};

}  // namespace df
