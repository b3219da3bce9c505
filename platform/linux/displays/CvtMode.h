#pragma once
// Timings of a display mode by the VESA Coordinated Video Timings formula (normal blanking),
// as the X server's own `cvt` computes them (libxcvt).

#include <cstdint>
#include <optional>

namespace df {

struct CvtTimings {
    uint32_t width = 0, height = 0;
    uint64_t dotClockHz = 0;
    uint32_t hSyncStart = 0, hSyncEnd = 0, hTotal = 0;
    uint32_t vSyncStart = 0, vSyncEnd = 0, vTotal = 0;
    bool hSyncPositive = false, vSyncPositive = false;
    bool operator==(const CvtTimings&) const = default;
};

/// Nothing for a size or rate the formula cannot serve (zero, or beyond the 16-bit totals).
std::optional<CvtTimings> cvtTimings(uint32_t width, uint32_t height, double refreshRate);

}  // namespace df
