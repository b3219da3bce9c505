#pragma once
// The agent's own arrow-pointer outline: the logo in the control panel and the status icon.
// Seven points in a 24 × 24 design square (x to the right, y downwards), scaled by the
// shorter side of the rectangle it is drawn in and hung from its top-left corner (not
// centred in a rectangle that is not square). Pure geometry, any thread; a drawing toolkit
// turns the points into its own path (move to the first, lines to the others, close).

#include <array>

namespace df {

struct BrandCursorShape {
    struct Point {
        double x = 0;
        double y = 0;
        bool operator==(const Point&) const = default;
    };
    struct Rect {
        double x = 0;
        double y = 0;
        double width = 0;
        double height = 0;
    };
    static constexpr double designSize = 24;
    static constexpr std::array<Point, 7> design{{{5, 2}, {5, 20}, {9.5, 15.8}, {12.4, 22}, {14.8, 21}, {12, 15}, {18, 14.6}}};

    /// The closed outline in `rect`, the tip first.
    static std::array<Point, 7> path(const Rect& rect);
};

}  // namespace df
