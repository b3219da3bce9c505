#pragma once
// The agent's arrow-pointer logo as seven points in a 24 by 24 design square (x to the
// right, y downwards), drawn by the status icon and the panel's header.
//
// Stand-in: the input area's BrandCursorShape is the one owner of this outline; until it is
// part of this build, the shell draws from this copy. Swap the two callers
// (views/ControlPanelView.cpp, views/QtShellViews.cpp) to BrandCursorShape and delete this
// file when it lands.

#include <array>

namespace df::BrandOutline {

struct Point {
    double x;
    double y;
};

inline constexpr std::array<Point, 7> kPoints = {{
    {5, 2}, {5, 20}, {9.5, 15.8}, {12.4, 22}, {14.8, 21}, {12, 15}, {18, 14.6},
}};

}  // namespace df::BrandOutline
