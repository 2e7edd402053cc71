// knotline on nearly straight corners: the arc that rounds such a corner has
// a radius of up to 1e12 times its segments, and the grid points on it must
// still be placed to the precision of the segments themselves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "input/input.h"
#include "knotline/knotline.h"

namespace torla {
namespace {

GeneratorInput three_points(double x1, double x2, double y2, float elem) {
    GeneratorInput in;
    in.elem_size = elem;
    in.max_dev = 2.0f;
    in.points = alloc_float_rows(3, kInputPointFloats);
    in.points[1][0] = static_cast<float>(x1);
    in.points[2][0] = static_cast<float>(x2);
    in.points[2][1] = static_cast<float>(y2);
    return in;
}

TEST(KnotlineNearlyStraight, CellsStayEvenWhereTheCornerArcIsHuge) {
    struct Case {
        double x1, x2, y2;  // corner at (x1, 0), end at (x2, y2); start at the origin
        float elem;
    } cases[] = {
        {100000.0, 200000.0, -1.5e-7, 10.0f},      // turn 1.5e-12 rad, radius near 7e16 m
        {186940.0, 186970.0, -4.524736e-11, 11.0f},  // a short second segment
        {1000.0, 2000.0, -1.5e-9, 1.0f},
        {5000.0, 6000.0, 3e-9, 5.0f},               // bending upward
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "corner at " << c.x1 << ", end at " << c.x2 << ", " << c.y2);
        FloatRows grid;
        ASSERT_EQ(knotline::make_grid(three_points(c.x1, c.x2, c.y2, c.elem), grid), "");
        ASSERT_GE(grid.rows, 2);
        float shortest = grid[0][3], longest = grid[0][3];
        for (int k = 0; k < grid.rows; ++k) {
            shortest = std::min(shortest, grid[k][3]);
            longest = std::max(longest, grid[k][3]);
        }
        // The track is straight to within 1e-7 m: all cells equal, none
        // longer than the element size, the last point on the end point.
        EXPECT_LE(longest, c.elem * (1.0 + 1e-6));
        EXPECT_GE(shortest, c.elem * (1.0 - 1e-4)) << "longest " << longest;
        EXPECT_EQ(grid[grid.rows - 1][0], static_cast<float>(c.x2));
        for (int k = 1; k < grid.rows; ++k) EXPECT_GT(grid[k][0], grid[k - 1][0]) << "grid point " << k;
    }
}

}  // namespace
}  // namespace torla
