#include "DuskFerryAgent/input/BrandCursorShape.h"

#include <algorithm>

namespace df {

std::array<BrandCursorShape::Point, 7> BrandCursorShape::path(const Rect& rect) {
    const double s = std::min(rect.width, rect.height) / designSize;
    std::array<Point, 7> out{};
    for (size_t i = 0; i < design.size(); ++i) out[i] = {rect.x + design[i].x * s, rect.y + design[i].y * s};
    return out;
}

}  // namespace df
