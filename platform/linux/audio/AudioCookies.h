#pragma once
// The decoder cookies the phone's audio converter takes for each codec, built from what our
// encoders report.

#include "protocol/Bytes.h"

#include <cstdint>

namespace df::linux_audio {

/// An MPEG-4 elementary-stream descriptor for an AAC stream: ES_Descriptor (tag 3) holding a
/// DecoderConfigDescriptor (tag 4: MPEG-4 audio, audio stream, buffer size and bit rates) with
/// the AudioSpecificConfig as its DecoderSpecificInfo (tag 5), then an SLConfigDescriptor
/// (tag 6, predefined 2). Layout of ISO/IEC 14496-1, sections 7.2.6.5 to 7.2.6.8 (the body of
/// an MP4 'esds' box); every length is written in four bytes (0x80 0x80 0x80 n), the form
/// Apple's own AAC encoder gives its cookie.
Bytes aacElementaryStreamDescriptor(const Bytes& audioSpecificConfig, uint32_t bufferSizeBytes,
                                    uint32_t maxBitrate, uint32_t averageBitrate);

/// The Opus identification header "OpusHead" (RFC 7845, section 5.1): version 1, the channel
/// count, the encoder's pre-skip in 48 kHz samples, the input rate, no output gain, channel
/// mapping family 0 (mono or stereo). Little-endian fields, 19 bytes.
Bytes opusIdentificationHeader(uint8_t channels, uint16_t preSkip, uint32_t inputSampleRate);

}  // namespace df::linux_audio
