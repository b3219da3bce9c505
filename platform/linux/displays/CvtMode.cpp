#include "platform/linux/displays/CvtMode.h"

#include <libxcvt/libxcvt.h>

#include <cstdlib>
#include <memory>

namespace df {

std::optional<CvtTimings> cvtTimings(uint32_t width, uint32_t height, double refreshRate) {
    if (width == 0 || height == 0 || width > 16384 || height > 16384 || !(refreshRate > 0) || refreshRate > 1000)
        return std::nullopt;
    std::unique_ptr<libxcvt_mode_info, decltype(&std::free)> info(
        libxcvt_gen_mode_info(static_cast<int>(width), static_cast<int>(height), static_cast<float>(refreshRate),
                              false, false),
        &std::free);
    if (!info || info->dot_clock == 0 || info->htotal == 0 || info->vtotal == 0) return std::nullopt;
    // The totals are 16 bits wide: a mode whose blanking wraps them is no mode.
    if (info->htotal < width || info->vtotal < height) return std::nullopt;
    CvtTimings t;
    t.width = info->hdisplay;
    t.height = info->vdisplay;
    t.dotClockHz = info->dot_clock * 1000;  // libxcvt counts kHz
    t.hSyncStart = info->hsync_start;
    t.hSyncEnd = info->hsync_end;
    t.hTotal = info->htotal;
    t.vSyncStart = info->vsync_start;
    t.vSyncEnd = info->vsync_end;
    t.vTotal = info->vtotal;
    t.hSyncPositive = (info->mode_flags & LIBXCVT_MODE_FLAG_HSYNC_POSITIVE) != 0;
    t.vSyncPositive = (info->mode_flags & LIBXCVT_MODE_FLAG_VSYNC_POSITIVE) != 0;
    return t;
}

}  // namespace df
