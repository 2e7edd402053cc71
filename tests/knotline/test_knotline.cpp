// The grid generator: geometry of the rounded and resampled track, the
// grid columns, and the program's handling of its file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "input/input.h"
#include "knotline/knotline.h"
#include "model/bytes.h"
#include "test_support.h"

namespace torla {
namespace {

using knotline::make_grid;

struct Xy {
    double x, y;
};

// A generator input with the given points; place q (2..15) of point i is local(i, q).
GeneratorInput input_of(const std::vector<Xy>& pts, float elem, float max_dev,
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
    EXPECT_EQ(make_grid(in, g), "");
    return g;
}

// Distance from (x, y) to the polyline through pts.
double distance_to_polyline(const std::vector<Xy>& pts, double x, double y) {
    double best = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i + 1 < pts.size(); ++i) {
        const double dx = pts[i + 1].x - pts[i].x, dy = pts[i + 1].y - pts[i].y;
        const double t = std::clamp(((x - pts[i].x) * dx + (y - pts[i].y) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        best = std::min(best, std::hypot(x - pts[i].x - t * dx, y - pts[i].y - t * dy));
    }
    return best;
}

TEST(KnotlineGeometry, StraightTrackHasEqualCellsConstantSlopeNoCurvature) {
    // Three collinear segments: the inner points must not bend the track.
    const std::vector<Xy> pts = {{0, 1000}, {100, 950}, {200, 900}, {300, 850}};
    const FloatRows g = grid_of(input_of(pts, 7.0f, 3.0f));
    const double length = 300.0 * std::sqrt(1.25);
    ASSERT_EQ(g.rows, static_cast<int>(std::ceil(length / 7.0)) + 1);
    const double cell = length / (g.rows - 1);
    const double slope = std::atan2(50.0, 100.0);
    for (int k = 0; k < g.rows; ++k) {
        EXPECT_NEAR(g[k][3], cell, 1e-4) << k;
        EXPECT_NEAR(g[k][4], slope, 1e-6) << k;
        EXPECT_EQ(g[k][5], 0.0f) << k;
        EXPECT_NEAR(g[k][1], 1000.0 - 0.5 * g[k][0], 1e-3) << k;
    }
    EXPECT_EQ(g[0][0], 0.0f);
    EXPECT_EQ(g[0][1], 1000.0f);
    EXPECT_EQ(g[g.rows - 1][0], 300.0f);
    EXPECT_EQ(g[g.rows - 1][1], 850.0f);
}

TEST(KnotlineGeometry, CornerArcStaysWithinMaxDevAndKeepsDirectionContinuous) {
    // A corner of about 24 degrees on long segments: Max_Dev sets the radius.
    const std::vector<Xy> pts = {{0, 500}, {300, 300}, {600, 250}};
    const GeneratorInput in = input_of(pts, 0.25f, 2.0f);
    const knotline::Track t = knotline::build_track(in.points, in.max_dev);
    const knotline::Corner& c = t.corners[1];
    EXPECT_NEAR(c.deviation, 2.0, 1e-9);
    double mx, my;
    t.point_at(t.stations[1], mx, my);
    EXPECT_NEAR(std::hypot(mx - 300.0, my - 300.0), 2.0, 1e-6);

    const FloatRows g = grid_of(in);
    double nearest = 1e9, max_turn = 0.0;
    for (int k = 0; k < g.rows; ++k) {
        EXPECT_LE(distance_to_polyline(pts, g[k][0], g[k][1]), 2.0 + 1e-3) << k;
        nearest = std::min(nearest, std::hypot(g[k][0] - 300.0, g[k][1] - 300.0));
        if (k > 0) max_turn = std::max(max_turn, std::fabs(double(g[k][4]) - g[k - 1][4]));
    }
    EXPECT_NEAR(nearest, 2.0, 0.01);
    // Within the arc and along the lines, the chord between the two
    // neighbours of a grid point is parallel to the track at the point.
    int checked = 0;
    for (int k = 1; k + 1 < g.rows; ++k) {
        if (g[k - 1][5] != g[k][5] || g[k + 1][5] != g[k][5]) continue;
        const double chord = -std::atan2(double(g[k + 1][1]) - g[k - 1][1], double(g[k + 1][0]) - g[k - 1][0]);
        EXPECT_NEAR(g[k][4], chord, 3e-4) << k;
        ++checked;
    }
    EXPECT_GT(checked, g.rows / 2);
    // No kink: between neighbours the direction turns no more than along an
    // arc of the corner's radius.
    EXPECT_LE(max_turn, 0.25 / c.radius + 1e-5);
    EXPECT_GT(max_turn, 0.0);

    // A short first segment: half of it bounds the arc, which then keeps
    // inside Max_Dev by a margin.
    const std::vector<Xy> tight = {{0, 500}, {20, 480}, {600, 250}};
    const GeneratorInput tin = input_of(tight, 0.25f, 5.0f);
    const knotline::Track tt = knotline::build_track(tin.points, tin.max_dev);
    EXPECT_NEAR(tt.corners[1].tangent, 0.5 * std::hypot(20.0, 20.0), 1e-9);
    EXPECT_LT(tt.corners[1].deviation, 5.0);
    const FloatRows tg = grid_of(tin);
    for (int k = 0; k < tg.rows; ++k)
        EXPECT_LE(distance_to_polyline(tight, tg[k][0], tg[k][1]), tt.corners[1].deviation + 1e-3);
}

TEST(KnotlineGeometry, CellsAreEvenAndNoneLongerThanElemSize) {
    std::vector<Xy> pts;
    for (int i = 0; i < 25; ++i)
        pts.push_back({i * 37.3 + 9.0 * std::sin(i * 1.7), 1500.0 - i * 30.0 + 25.0 * std::sin(i * 0.9)});
    for (float elem : {0.7f, 3.0f, 10.0f, 25.0f, 400.0f}) {
        const GeneratorInput in = input_of(pts, elem, 4.0f);
        const FloatRows g = grid_of(in);
        const double length = knotline::build_track(in.points, in.max_dev).length;
        EXPECT_EQ(g.rows - 1, static_cast<int>(std::ceil(length / elem))) << elem;
        float shortest = g[0][3], longest = g[0][3];
        for (int k = 0; k < g.rows; ++k) {
            EXPECT_LE(g[k][3], elem) << elem << " cell " << k;
            shortest = std::min(shortest, g[k][3]);
            longest = std::max(longest, g[k][3]);
        }
        // Equal arc lengths; the straight distances differ only by the
        // sag of a chord on the arcs (radii above 60 m here).
        if (elem <= 10.0f) {
            EXPECT_LT(longest / shortest, 1.002) << elem;
        }
    }
}

TEST(KnotlineGeometry, SlopeAndCurvatureSignsFollowTheProfile) {
    struct Case {
        const char* name;
        std::vector<Xy> pts;
        int curvature_sign;
    };
    const Case cases[] = {
        {"concave", {{0, 1000}, {200, 880}, {400, 840}, {600, 830}}, +1},
        {"convex", {{0, 1000}, {200, 990}, {400, 950}, {600, 830}}, -1},
        {"counter-slope", {{0, 1000}, {300, 800}, {500, 790}, {700, 810}}, +1},
    };
    for (const Case& c : cases) {
        const FloatRows g = grid_of(input_of(c.pts, 5.0f, 3.0f));
        const int m = g.rows - 1;
        const double h = g[1][3];
        double turned = 0.0;
        bool bent = false;
        for (int k = 0; k < g.rows; ++k) {
            EXPECT_GE(c.curvature_sign * g[k][5], 0.0f) << c.name << " " << k;
            bent = bent || g[k][5] != 0.0f;
            if (k > 0) {
                EXPECT_GE(c.curvature_sign * (g[k - 1][4] - g[k][4]), -1e-6) << c.name << " " << k;
            }
            turned += g[k][5] * ((k == 0 || k == m) ? 0.5 * h : h);
        }
        EXPECT_TRUE(bent) << c.name;
        // The curvatures add up to the whole change of slope.
        EXPECT_NEAR(turned, g[0][4] - g[m][4], 2e-4) << c.name;
        EXPECT_GT(g[0][4], 0.0f) << c.name;
    }
    // The counter-slope climbs at its end.
    const FloatRows g = grid_of(input_of(cases[2].pts, 5.0f, 3.0f));
    EXPECT_LT(g[g.rows - 1][4], 0.0f);
}

TEST(KnotlineColumns, CarriedPlacesInterpolateLinearlyAlongTheTrack) {
    // Straight track of two equal segments cut into 20 cells: grid point 10
    // is input point 1. Every place gets its own values per point.
    const std::vector<Xy> pts = {{0, 100}, {100, 50}, {200, 0}};
    auto value = [](int i, int q) { return static_cast<float>(q * 10 + (i == 1 ? 7 * q : 0) - i); };
    const FloatRows g = grid_of(input_of(pts, 11.2f, 2.0f, value));
    ASSERT_EQ(g.rows, 21);
    const int column_of_place[] = {0, 0, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};
    for (int q = 2; q < kInputPointFloats; ++q)
        for (int k = 0; k < g.rows; ++k) {
            const int i = k <= 10 ? 0 : 1;
            const double w = (k - 10.0 * i) / 10.0;
            const double expect = (1.0 - w) * value(i, q) + w * value(i + 1, q);
            EXPECT_NEAR(g[k][column_of_place[q]], expect, 1e-4) << "place " << q << " grid " << k;
        }

    // On a bent track, a place holding the input points' own horizontal
    // coordinate rises steadily and stays as close to the grid points' own
    // coordinate as the rounded track stays to the corners.
    const std::vector<Xy> bent = {{0, 800}, {150, 700}, {300, 680}, {420, 600}, {700, 590}};
    const FloatRows b = grid_of(input_of(bent, 4.0f, 3.0f, [&](int i, int q) {
        return q == 2 ? static_cast<float>(bent[i].x) : 0.0f;
    }));
    EXPECT_EQ(b[0][2], 0.0f);
    EXPECT_EQ(b[b.rows - 1][2], 700.0f);
    for (int k = 0; k < b.rows; ++k) {
        EXPECT_NEAR(b[k][2], b[k][0], 3.0) << k;
        if (k > 0) {
            EXPECT_GT(b[k][2], b[k - 1][2]) << k;
        }
    }
}

// ---- The program on its file.

class KnotlineProgram : public testing::Test {
protected:
    // Runs knotline on torla_grid.tmp in the temporary directory; standard
    // error goes to err_, standard output to out_.
    int run(const std::string& args = "torla_grid.tmp tor-la") {
        const std::string line =
            "( '" + test::bin_dir() + "/knotline' " + args + " 2> '" + dir_.file("err.txt") + "' )";
        const int rc = test::run_in(dir_.path(), line, out_);
        err_ = test::read_text(dir_.file("err.txt"));
        test::fs::remove(dir_.file("err.txt"));
        return rc;
    }
    std::vector<std::string> files() const {
        std::vector<std::string> names;
        for (const auto& e : test::fs::directory_iterator(dir_.path())) names.push_back(e.path().filename());
        return names;
    }
    test::TempDir dir_;
    std::string out_, err_;
};

TEST_F(KnotlineProgram, ReplacesTheInputWithTheGrid) {
    const GeneratorInput in = input_of({{0, 900}, {120, 830}, {260, 790}, {400, 785}}, 8.0f, 2.5f,
                                       [](int i, int q) { return static_cast<float>(i + q); });
    ASSERT_EQ(write_generator_input(dir_.file(kGridFile), in), "");
    ASSERT_EQ(run(), 0) << err_;
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "");
    EXPECT_EQ(files(), std::vector<std::string>{kGridFile});

    int16_t n = 0;
    ASSERT_EQ(read_grid_count(dir_.file(kGridFile), n), "");
    FloatRows rows;
    bool trailing = true;
    ASSERT_EQ(read_grid_rows(dir_.file(kGridFile), n, rows, trailing), "");
    EXPECT_FALSE(trailing);
    const FloatRows expect = grid_of(in);
    EXPECT_EQ(rows.rows, expect.rows);
    EXPECT_EQ(rows.data, expect.data);

    ASSERT_EQ(run("--help"), 0);
    EXPECT_NE(out_.find("usage: knotline FILE [tag]"), std::string::npos);
    EXPECT_NE(run(""), 0);
    EXPECT_NE(err_.find("usage:"), std::string::npos);
}

TEST_F(KnotlineProgram, BadInputIsReportedAndLeavesTheFileAsItWas) {
    const std::vector<Xy> good = {{0, 1000}, {100, 950}, {200, 930}};
    auto bytes_of = [&](const GeneratorInput& in) {
        const std::string path = dir_.file("scratch");
        EXPECT_EQ(write_generator_input(path, in), "");
        std::vector<unsigned char> b;
        EXPECT_EQ(read_file_bytes(path, b), "");
        test::fs::remove(path);
        return b;
    };
    struct Case {
        const char* what;
        std::vector<unsigned char> bytes;
    };
    std::vector<Case> cases;
    auto valid = bytes_of(input_of(good, 10.0f, 2.0f));
    cases.push_back({"fewer than the 3 points", {valid.begin(), valid.end() - 4}});
    cases.push_back({"more data than the 3 points", valid});
    cases.back().bytes.push_back(0);
    cases.push_back({"shorter than its 10-byte head", {valid.begin(), valid.begin() + 9}});
    cases.push_back({"a track needs at least 2", bytes_of(input_of({{0, 10}}, 10.0f, 2.0f))});
    cases.push_back({"point 2, place 0: horizontal coordinate 100",
                     bytes_of(input_of({{0, 1000}, {100, 950}, {100, 930}}, 10.0f, 2.0f))});
    cases.push_back({"point 1, place 0: horizontal coordinate -5",
                     bytes_of(input_of({{0, 1000}, {-5, 950}, {100, 930}}, 10.0f, 2.0f))});
    cases.push_back({"Elem_Size must be positive, is 0", bytes_of(input_of(good, 0.0f, 2.0f))});
    cases.push_back({"Max_Dev must be positive, is -1", bytes_of(input_of(good, 10.0f, -1.0f))});
    cases.push_back({"Elem_Size is not a finite number",
                     bytes_of(input_of(good, std::numeric_limits<float>::infinity(), 2.0f))});
    cases.push_back({"point 1, place 9: not a finite number", bytes_of(input_of(good, 10.0f, 2.0f, [](int i, int q) {
                         return i == 1 && q == 9 ? std::numeric_limits<float>::quiet_NaN() : 0.0f;
                     }))});
    cases.push_back({"more than the 32767", bytes_of(input_of({{0, 100}, {400, 0}}, 0.01f, 2.0f))});

    for (const Case& c : cases) {
        test::write_text(dir_.file(kGridFile), std::string(c.bytes.begin(), c.bytes.end()));
        EXPECT_EQ(run(), 1) << c.what;
        EXPECT_EQ(err_.rfind("   knotline:  ", 0), 0u) << err_;
        EXPECT_NE(err_.find(kGridFile), std::string::npos) << err_;
        EXPECT_NE(err_.find(c.what), std::string::npos) << err_;
        EXPECT_EQ(out_, "");
        const std::string now = test::read_text(dir_.file(kGridFile));
        EXPECT_EQ(now, std::string(c.bytes.begin(), c.bytes.end())) << c.what;
        EXPECT_EQ(files(), std::vector<std::string>{kGridFile}) << c.what;
    }

    test::fs::remove(dir_.file(kGridFile));
    EXPECT_EQ(run(), 1);
    EXPECT_NE(err_.find("cannot open torla_grid.tmp"), std::string::npos) << err_;
}

}  // namespace
}  // namespace torla
