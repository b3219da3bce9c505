#pragma once
// Decodes the agent's audio packets to 16-bit interleaved PCM: Opus with libopus, AAC-LC and
// AAC-ELD with libavcodec's AAC decoder configured from the `audioConfig` cookie (an MPEG-4
// elementary-stream descriptor around the AudioSpecificConfig, as a phone's audio converter
// takes it; a bare AudioSpecificConfig is accepted too). The Opus cookie (an "OpusHead"
// identification header) is not needed: the agent always sends 48 kHz stereo.
// Used on the client's session queue only.

#include "protocol/Bytes.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace df::phone {

class AudioDecoder {
public:
    virtual ~AudioDecoder() = default;
    /// Decodes one packet and appends its samples (interleaved, `channels()` per frame).
    /// False when the packet does not decode; the decoder stays usable.
    virtual bool decode(std::span<const uint8_t> packet, std::vector<int16_t>& pcm) = 0;
    virtual int sampleRate() const = 0;
    virtual int channels() const = 0;

    /// A decoder for the codec named by `audioConfig` ("opus", "aac-lc", "aac-eld"); nothing
    /// and a reason in `error` when the codec is unknown or the decoder cannot be set up.
    /// The AudioSpecificConfig of an AAC cookie: taken out of an elementary-stream descriptor
    /// (first byte 0x03), or the cookie itself; nothing when a descriptor holds none.
    static std::optional<Bytes> aacConfigFromCookie(std::span<const uint8_t> cookie);

    static std::unique_ptr<AudioDecoder> create(const std::string& codec, int sampleRate,
                                                int channels, const std::optional<Bytes>& cookie,
                                                std::string* error = nullptr);
};

/// Streams 16-bit PCM into a RIFF/WAVE file; the sizes in the header are filled in by
/// `close()` (also run by the destructor), so a file cut short still has a valid header
/// for everything written up to the last close.
class WavWriter {
public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, int sampleRate, int channels, std::string* error = nullptr);
    bool isOpen() const { return file_ != nullptr; }
    bool write(std::span<const int16_t> samples);
    /// Writes the final sizes and closes; false when the file could not be completed.
    bool close();
    uint64_t dataBytes() const { return dataBytes_; }

private:
    bool writeHeader();
    std::FILE* file_ = nullptr;
    int sampleRate_ = 0;
    int channels_ = 0;
    uint64_t dataBytes_ = 0;
    bool failed_ = false;
};

}  // namespace df::phone
