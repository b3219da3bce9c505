#pragma once
// Turns the agent's video stream back into something a decoder or a file can take:
// frames arrive as NAL units each preceded by a 4-byte big-endian length (no start codes),
// and the parameter sets arrive separately in `videoConfig`. Runs on the client's session
// queue; no locking.

#include "protocol/Bytes.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace df::phone {

/// One NAL unit inside a received buffer (no start code, no length prefix).
using NalView = std::span<const uint8_t>;

/// Splits a length-prefixed frame into its NAL units. Nothing when a length runs past the
/// end, a NAL unit is empty, or bytes are left over: such a frame is malformed.
std::optional<std::vector<NalView>> splitLengthPrefixed(std::span<const uint8_t> data);

/// Splits an Annex B byte stream (3- or 4-byte start codes) into its NAL units.
std::vector<NalView> splitAnnexB(std::span<const uint8_t> data);

/// HEVC NAL unit type (bits 1..6 of the first header byte); -1 for a unit shorter than 2 bytes.
int hevcNalType(NalView nal);
/// Intra random access point (BLA, IDR, CRA: types 16 to 23): a decoder can start here.
bool isIrapNal(NalView nal);
/// VPS, SPS or PPS (types 32, 33, 34).
bool isParameterSetNal(NalView nal);

/// Parameter sets announced by `videoConfig`.
struct ParameterSets {
    Bytes vps, sps, pps;
};

/// Builds an Annex B elementary stream from the announced parameter sets and the frames.
/// The parameter sets are written before every keyframe so that the stream (and any cut of
/// it that starts at a keyframe) decodes on its own, also after a change of configuration.
class AnnexBWriter {
public:
    void setParameterSets(ParameterSets sets) { sets_ = std::move(sets); }
    bool hasParameterSets() const { return sets_.has_value(); }

    /// The Annex B bytes of one frame; nothing when the frame is malformed or when it is a
    /// keyframe that arrives before any parameter sets (it could not be decoded).
    std::optional<Bytes> frame(std::span<const uint8_t> lengthPrefixed, bool isKeyframe) const;

private:
    std::optional<ParameterSets> sets_;
};

/// What a received video frame looks like next to its keyframe flag.
struct FrameCheck {
    bool wellFormed = false;   ///< every length prefix fits exactly
    bool hasIrap = false;      ///< at least one IRAP picture NAL unit
    bool flagMatches = false;  ///< wellFormed and the keyframe flag equals hasIrap
};
FrameCheck checkFrame(std::span<const uint8_t> lengthPrefixed, bool isKeyframe);

}  // namespace df::phone
