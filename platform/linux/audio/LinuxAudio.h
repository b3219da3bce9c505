#pragma once
// The host's system-audio services on Linux, built by the programs' main (and the
// integration tests) and handed to the capture engine.

#include "platform/AudioCapture.h"
#include "platform/AudioConversion.h"

#include <memory>
#include <optional>
#include <string>

namespace df::linux_audio {

/// Records the default sink's monitor through libpulse. `server` is a libpulse server string
/// ("unix:/run/user/1000/pulse/native"); nothing means libpulse's own choice (the user's
/// session server). A server that cannot be reached is never started on demand.
std::shared_ptr<AudioCapture> makePulseAudioCapture(std::optional<std::string> server = std::nullopt);

/// Opus (libopus, 20 ms packets, restricted low delay) and AAC-LC (libavcodec's "aac",
/// 1024 frames a packet) from 48 kHz PCM, float or 16-bit, mono or stereo. AAC-ELD has no
/// encoder here: its output format is not supported.
std::shared_ptr<AudioConversion> makeLinuxAudioConversion();

}  // namespace df::linux_audio
