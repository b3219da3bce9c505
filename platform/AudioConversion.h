#pragma once
// The host's audio converter: linear PCM in, one compressed packet at a time out, for the
// codecs an audio stream to the phone may use (Opus, AAC-ELD, AAC-LC).
// Linux: libopus and libavcodec (platform/linux/audio); tests: fake::FakeAudioConversion.
//
// What callers rely on:
//  1. supportsOutputFormat() says whether the host can produce a stream of that description
//     at all; createConverter() answers null when it cannot build a converter between the
//     two formats (an unsupported output, an input it cannot read).
//  2. convert() produces at most one packet of the output's frames per packet. It pulls PCM
//     through `input`, synchronously and on the caller's thread, as long as it needs more for
//     the packet; `input` answers nothing when it has no more right now, and convert() then
//     returns what it has (often no packet). PCM taken but not yet encoded stays inside the
//     converter and goes into later packets.
//  3. A packet's bytes are the codec's raw packet: no container, no ADTS or Ogg framing.
//  4. magicCookie() is what the phone's decoder needs before the first packet (the codec's
//     configuration in the layout the phone's audio converter takes), or nothing when the
//     codec needs none. It does not change over a converter's life.
//
// Threading: a converter is used from one thread at a time; the service from any thread.

#include "platform/AudioCapture.h"
#include "protocol/Bytes.h"
#include "protocol/MediaPayloads.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace df {

/// A run of interleaved PCM handed to a converter.
struct PcmBuffer {
    PcmFormat format;
    uint32_t frames = 0;
    Bytes data;
};

class AudioConverter {
public:
    /// The next PCM to convert, or nothing when there is none right now.
    using InputProvider = std::function<std::optional<PcmBuffer>()>;

    struct Result {
        /// 0 on success; anything else is the host's error and no packet came.
        int32_t status = 0;
        /// Nothing when the input ran out before a packet was complete.
        std::optional<Bytes> packet;
    };

    virtual ~AudioConverter() = default;
    virtual Result convert(const InputProvider& input) = 0;
    virtual std::optional<Bytes> magicCookie() const = 0;
};

class AudioConversion {
public:
    virtual ~AudioConversion() = default;
    virtual bool supportsOutputFormat(const AudioStreamDescription& output) const = 0;
    virtual std::unique_ptr<AudioConverter> createConverter(const PcmFormat& input,
                                                            const AudioStreamDescription& output) = 0;
};

}  // namespace df
