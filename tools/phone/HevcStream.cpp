#include "tools/phone/HevcStream.h"

namespace df::phone {

namespace {
constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};

void appendNal(Bytes& out, std::span<const uint8_t> nal) {
    out.insert(out.end(), kStartCode, kStartCode + 4);
    out.insert(out.end(), nal.begin(), nal.end());
}
}  // namespace

std::optional<std::vector<NalView>> splitLengthPrefixed(std::span<const uint8_t> data) {
    std::vector<NalView> nals;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 4) return std::nullopt;
        const uint32_t len = (uint32_t{data[pos]} << 24) | (uint32_t{data[pos + 1]} << 16) |
                             (uint32_t{data[pos + 2]} << 8) | uint32_t{data[pos + 3]};
        pos += 4;
        if (len == 0 || len > data.size() - pos) return std::nullopt;
        nals.push_back(data.subspan(pos, len));
        pos += len;
    }
    return nals;
}

std::vector<NalView> splitAnnexB(std::span<const uint8_t> data) {
    std::vector<NalView> nals;
    // Positions right after each start code (00 00 01, which a 4-byte code ends with).
    std::vector<std::pair<size_t, size_t>> marks;  // (start-code begin, payload begin)
    for (size_t i = 0; i + 2 < data.size(); ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            const size_t begin = (i > 0 && data[i - 1] == 0) ? i - 1 : i;
            marks.emplace_back(begin, i + 3);
            i += 2;
        }
    }
    for (size_t m = 0; m < marks.size(); ++m) {
        const size_t from = marks[m].second;
        const size_t to = m + 1 < marks.size() ? marks[m + 1].first : data.size();
        if (to > from) nals.push_back(data.subspan(from, to - from));
    }
    return nals;
}

int hevcNalType(NalView nal) {
    if (nal.size() < 2) return -1;
    return (nal[0] >> 1) & 0x3F;
}

bool isIrapNal(NalView nal) {
    const int t = hevcNalType(nal);
    return t >= 16 && t <= 23;
}

bool isParameterSetNal(NalView nal) {
    const int t = hevcNalType(nal);
    return t >= 32 && t <= 34;
}

std::optional<Bytes> AnnexBWriter::frame(std::span<const uint8_t> lengthPrefixed,
                                         bool isKeyframe) const {
    const auto nals = splitLengthPrefixed(lengthPrefixed);
    if (!nals) return std::nullopt;
    Bytes out;
    out.reserve(lengthPrefixed.size() + (isKeyframe && sets_ ? sets_->vps.size() +
                                                                   sets_->sps.size() +
                                                                   sets_->pps.size() + 12
                                                             : 0));
    if (isKeyframe) {
        if (!sets_) return std::nullopt;
        appendNal(out, sets_->vps);
        appendNal(out, sets_->sps);
        appendNal(out, sets_->pps);
    }
    for (const auto& nal : *nals) appendNal(out, nal);
    return out;
}

FrameCheck checkFrame(std::span<const uint8_t> lengthPrefixed, bool isKeyframe) {
    FrameCheck check;
    const auto nals = splitLengthPrefixed(lengthPrefixed);
    if (!nals || nals->empty()) return check;
    check.wellFormed = true;
    for (const auto& nal : *nals) check.hasIrap = check.hasIrap || isIrapNal(nal);
    check.flagMatches = check.hasIrap == isKeyframe;
    return check;
}

}  // namespace df::phone
