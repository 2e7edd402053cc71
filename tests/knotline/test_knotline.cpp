// The grid generator's track geometry and grid columns (bad inputs: the bad-input corpus).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "knotline/knotline.h"
#include "test_support.h"

namespace torla {
namespace {

struct Xy {
    double x, y;
};

// A generator input with the given points; place q (2..15) of point i is local(i, q).
GeneratorInput input_of(
    const std::vector<Xy>& pts, float elem, float max_dev,
    const std::function<float(int, int)>& local = [](int, int) { return 0.0f; }) {
    GeneratorInput in;
    in.elem_size = elem;
    in.max_dev = max_dev;
    in.points = alloc_float_rows(static_cast<int>(pts.size()), kInputPointFloats);
    for (int i = 0; i < in.points.rows; ++i) {
        in.points[i][0] = static_cast<float>(pts[i].x);
        in.points[i][1] = static_cast<float>(pts[i].y);
        for (int q = 2; q < kInputPointFloats; ++q) in.points[i][q] = local(i, q);
    }
    return in;
}

FloatRows grid_of(const GeneratorInput& in) {
    FloatRows g;
    EXPECT_EQ(knotline::make_grid(in, g), "");
    return g;
}

// Distance from (x, y) to the polyline through pts.
double distance_to_polyline(const std::vector<Xy>& pts, double x, double y) {
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const double dx = pts[i + 1].x - pts[i].x, dy = pts[i + 1].y - pts[i].y;
        const double t =
            std::clamp(((x - pts[i].x) * dx + (y - pts[i].y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        best = std::min(best, std::hypot(x - pts[i].x - t * dx, y - pts[i].y - t * dy));
    }
    return best;
}

TEST(KnotlineGeometry, CornerArcsStayWithinMaxDevAndKeepTheDirectionContinuous) {
    struct Case {
        std::vector<Xy> pts;
        float max_dev;
        double tangent;  // distance from the corner to the arc's ends, 0: set by Max_Dev
    } cases[] = {
        {{{0, 500}, {300, 300}, {600, 250}}, 2.0f, 0.0},  // a corner of 24 degrees, long segments
        {{{0, 500}, {20, 480}, {600, 250}},
         5.0f,
         0.5 * std::hypot(20.0, 20.0)},                   // half a short segment
        {{{0, 500}, {300, 300}, {600, 450}}, 2.0f, 0.0},  // turning the other way
    };
    for (const Case& c : cases) {
        const GeneratorInput in = input_of(c.pts, 0.25f, c.max_dev);
        const knotline::Track t = knotline::build_track(in.points, in.max_dev);
        const knotline::Corner& corner = t.corners[1];
        if (c.tangent > 0) {
            EXPECT_NEAR(corner.tangent, c.tangent, 1e-9);
            EXPECT_LT(corner.deviation, c.max_dev);
        } else {
            EXPECT_NEAR(corner.deviation, c.max_dev, 1e-9);
        }
        // The arc's middle the deviation from the corner, its points the radius from its centre.
        double mx, my;
        t.point_at(t.stations[1], mx, my);
        EXPECT_NEAR(std::hypot(mx - c.pts[1].x, my - c.pts[1].y), corner.deviation, 1e-6);
        const auto arc =
            std::find_if(t.pieces.begin(), t.pieces.end(), [](const auto& p) { return p.arc; });
        ASSERT_NE(arc, t.pieces.end());
        EXPECT_NEAR(arc->radius, corner.radius, 1e-9);
        for (double f : {0.0, 0.3, 1.0}) {
            double x, y;
            t.point_at(arc->s0 + f * arc->length, x, y);
            EXPECT_NEAR(std::hypot(x - arc->cx, y - arc->cy), corner.radius, 1e-6 * corner.radius)
                << f;
        }
        EXPECT_NEAR(arc->cx + corner.radius * std::cos(arc->alpha0), arc->x0, 1e-6 * corner.radius);
        EXPECT_NEAR(arc->cy + corner.radius * std::sin(arc->alpha0), arc->y0, 1e-6 * corner.radius);

        const FloatRows g = grid_of(in);
        double max_turn = 0.0;
        int chords = 0;
        for (int k = 0; k < g.rows; ++k) {
            EXPECT_LE(distance_to_polyline(c.pts, g[k][0], g[k][1]), corner.deviation + 1e-3) << k;
            if (k > 0) max_turn = std::max(max_turn, std::fabs(double(g[k][4]) - g[k - 1][4]));
            // The chord between a point's neighbours is parallel to the track there.
            if (k == 0 || k + 1 == g.rows || g[k - 1][5] != g[k][5] || g[k + 1][5] != g[k][5])
                continue;
            const double dx = double(g[k + 1][0]) - g[k - 1][0],
                         dy = double(g[k + 1][1]) - g[k - 1][1];
            EXPECT_NEAR(g[k][4], -std::atan2(dy, dx), 3e-4) << k;
            ++chords;
        }
        EXPECT_GT(chords, g.rows / 2);
        // No kink: turns between neighbours no sharper than the corner's arc.
        EXPECT_LE(max_turn, 0.25 / corner.radius + 1e-5);
        EXPECT_GT(max_turn, 0.0);
    }
}

// As many cells as the length needs, none longer, all of one length (up to the sag of a
// chord on an arc), from the first input point to the last.
TEST(KnotlineGeometry, EqualCellsNoneLongerThanElemSizeFromEndToEnd) {
    std::vector<Xy> wavy;
    for (int i = 0; i < 25; ++i)
        wavy.push_back(
            {i * 37.3 + 9.0 * std::sin(i * 1.7), 1500.0 - i * 30.0 + 25.0 * std::sin(i * 0.9)});
    const struct {
        std::vector<Xy> pts;
        float elem;
        double spread;  // largest relative difference of two cells
    } cases[] = {
        {{{0, 1000}, {100, 950}, {200, 900}, {300, 850}}, 7.0f, 1e-5},  // collinear: no bend
        {{{0, 1000}, {300, 850}}, 7.0f, 1e-5},
        {wavy, 0.7f, 2e-3},
        {wavy, 10.0f, 2e-3},
        {wavy, 400.0f, 1.0},
        // Nearly straight corners: arcs of radii up to 1e12 times their
        // segments must place their points to the segments' precision.
        {{{0, 0}, {100000, 0}, {200000, -1.5e-7}}, 10.0f, 1e-4},        // turn 1.5e-12 rad
        {{{0, 0}, {186940, 0}, {186970, -4.524736e-11}}, 11.0f, 1e-4},  // a short second segment
        {{{0, 0}, {5000, 0}, {6000, 3e-9}}, 5.0f, 1e-4},                // bending upward
    };
    for (const auto& c : cases) {
        const GeneratorInput in = input_of(c.pts, c.elem, 4.0f);
        const FloatRows g = grid_of(in);
        const int m = g.rows - 1;
        EXPECT_EQ(m, static_cast<int>(
                         std::ceil(knotline::build_track(in.points, in.max_dev).length / c.elem)));
        float shortest = g[0][3], longest = g[0][3];
        for (int k = 0; k < g.rows; ++k) {
            shortest = std::min(shortest, g[k][3]);
            longest = std::max(longest, g[k][3]);
            if (k > 0) {
                EXPECT_GT(g[k][0], g[k - 1][0]) << c.elem << " " << k;
            }
        }
        EXPECT_LE(longest, c.elem * (1.0 + 1e-6)) << c.pts.size() << " " << c.elem;
        EXPECT_LE(longest / shortest - 1.0, c.spread) << c.pts.size() << " " << c.elem;
        EXPECT_EQ(std::make_pair(g[0][0], g[0][1]),
                  std::make_pair(float(c.pts[0].x), float(c.pts[0].y)));
        EXPECT_EQ(std::make_pair(g[m][0], g[m][1]),
                  std::make_pair(float(c.pts.back().x), float(c.pts.back().y)));
    }
}

TEST(KnotlineGeometry, SlopeAndCurvatureFollowTheProfile) {
    const struct {
        std::vector<Xy> pts;
        int curvature_sign;
    } cases[] = {
        {{{0, 1000}, {200, 880}, {400, 840}, {600, 830}}, +1},  // concave
        {{{0, 1000}, {200, 990}, {400, 950}, {600, 830}}, -1},  // convex
        {{{0, 1000}, {300, 800}, {500, 790}, {700, 810}}, +1},  // counter-slope
        {{{0, 1000}, {200, 900}, {400, 800}, {600, 700}}, 0},   // straight
        {{{0, 1000}, {1, 999}, {200, 900}, {400, 880}}, +1},    // a bend within the first cell
    };
    for (const auto& c : cases) {
        const FloatRows g = grid_of(input_of(c.pts, 5.0f, 3.0f));
        const int m = g.rows - 1;
        double turned = 0.0;
        bool bent = false;
        for (int k = 0; k < g.rows; ++k) {
            EXPECT_GE(c.curvature_sign * g[k][5], 0.0f) << k;
            bent = bent || g[k][5] != 0.0f;
            if (k > 0) {
                EXPECT_GE(c.curvature_sign * (g[k - 1][4] - g[k][4]), -1e-6) << k;
            }
            // Half cells at the ends; the last cell is straight.
            turned += g[k][5] * ((k == 0 || k == m) ? 0.5 : 1.0) * g[m][3];
        }
        EXPECT_EQ(bent, c.curvature_sign != 0);
        // The curvatures add up to the whole change of slope, from that of
        // the first segment to that of the last (negative where it climbs).
        EXPECT_NEAR(turned, g[0][4] - g[m][4], 2e-4);
        EXPECT_NEAR(g[0][4], std::atan2(c.pts[0].y - c.pts[1].y, c.pts[1].x - c.pts[0].x), 1e-6);
        EXPECT_NEAR(g[m][4], std::atan2(c.pts[2].y - c.pts[3].y, c.pts[3].x - c.pts[2].x), 1e-6);
    }
}

TEST(KnotlineColumns, CarriedPlacesInterpolateLinearlyAlongTheTrack) {
    // Two equal segments cut into 20 cells: grid point 10 is input point 1.
    auto value = [](int i, int q) { return static_cast<float>(q * 10 + (i == 1 ? 7 * q : 0) - i); };
    const FloatRows g = grid_of(input_of({{0, 100}, {100, 50}, {200, 0}}, 11.2f, 2.0f, value));
    ASSERT_EQ(g.rows, 21);
    const int column_of_place[] = {0, 0, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    for (int q = 2; q < kInputPointFloats; ++q)
        for (int k = 0; k < g.rows; ++k) {
            const int i = k <= 10 ? 0 : 1;
            const double w = (k - 10.0 * i) / 10.0;
            EXPECT_NEAR(g[k][column_of_place[q]], (1.0 - w) * value(i, q) + w * value(i + 1, q),
                        1e-4)
                << q << " " << k;
        }
}

}  // namespace
}  // namespace torla
