#pragma once
// The HEVC fixture in the form the agent sends video: parameter sets apart (for
// videoConfig) and each picture's NAL units with 4-byte big-endian lengths.

#include "protocol/Bytes.h"
#include "tools/phone/HevcStream.h"

#include <filesystem>
#include <fstream>
#include <utility>
#include <vector>

namespace df::phone::testsupport {

struct AgentStream {
    ParameterSets sets;
    std::vector<std::pair<Bytes, bool>> frames;  ///< (length-prefixed NAL units, keyframe)
};

inline Bytes readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline Bytes lengthPrefixed(const std::vector<NalView>& nals) {
    Bytes out;
    for (const auto& nal : nals) {
        const auto n = static_cast<uint32_t>(nal.size());
        out.insert(out.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        out.insert(out.end(), nal.begin(), nal.end());
    }
    return out;
}

inline AgentStream agentFormOf(const Bytes& annexB) {
    AgentStream s;
    std::vector<NalView> picture;
    bool key = false;
    auto finish = [&] {
        if (!picture.empty()) s.frames.emplace_back(lengthPrefixed(picture), key);
        picture.clear();
        key = false;
    };
    for (const auto& nal : splitAnnexB(annexB)) {
        switch (hevcNalType(nal)) {
            case 32: s.sets.vps.assign(nal.begin(), nal.end()); break;
            case 33: s.sets.sps.assign(nal.begin(), nal.end()); break;
            case 34: s.sets.pps.assign(nal.begin(), nal.end()); break;
            case 35: case 39: case 40: break;  // delimiters and SEI
            default:
                // first_slice_segment_in_pic_flag starts a new picture.
                if (nal.size() > 2 && (nal[2] & 0x80)) finish();
                key = key || isIrapNal(nal);
                picture.push_back(nal);
        }
    }
    finish();
    return s;
}

inline std::filesystem::path fixturePath() {
    return std::filesystem::path(DF_PHONE_FIXTURES) / "tiny-64x64-3frames.hevc";
}

}  // namespace df::phone::testsupport
