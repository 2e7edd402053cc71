// torla-profile's choices: the numerics it writes, cells apart from the
// sampling, the smoothing, the release from a fracture depth (the mass kept)
// or a polygon's thickness attribute, the alpha-beta split point, and the
// command file following the profile.
#include <gtest/gtest.h>

#include <cmath>

#include "profile/profile.h"
#include "profile/steps.h"
#include "profile/text_escape.h"
#include "terrain_fixture.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

using test::fact;
using test::rows_after;

// Runs torla-profile in dir with the valley and its path; the command file's text.
std::string made(const TempDir& dir, const std::string& options, int expect = 0,
                 std::string* console = nullptr) {
    if (!std::filesystem::exists(dir.file("dem.tif"))) test::make_inputs(dir);
    std::filesystem::remove(dir.file("made.cmd"));
    std::string out;
    const int status = test::run_profile(dir, "dem.tif path.geojson -o made.cmd " + options, out);
    EXPECT_EQ(status, expect) << options << "\n" << out;
    if (console) *console = out;
    return status == 0 ? test::read_text(dir.file("made.cmd")) : "";
}

// What the options change is said in the comment block, the global section
// and the default names, and only then; torla runs the files with either
// numerics and cells apart from the sampling.
TEST(ProfileOptions, TheFileSaysWhatWasChosen) {
    TempDir dir;
    struct Case {
        std::string options;
        std::vector<std::string> present, absent;
    };
    const std::vector<Case> cases = {
        {"--max-time 2",
         {"\nNumerics robust\n", "# numerics: robust\n", "\nElem_Size 10\nMax_Dev 3\n",
          "drop 498.3 m (1550.0 to 1051.7 m),", "over the upper tenth of the path (0 to 100.0 m)",
          "elevations sampled bilinearly from the DEM.\n", "\nTrack_Name Path path.geojson\n",
          "\nRun_Name Release 0-100 m, 1 m snow\n", "# release_depth_source: bundled release\n",
          "# cell_size_m: 10\n"},
         {"averaged over", "fracture depth"}},
        {"--max-time 2 --numerics standard --cell-size 2.5",
         {"\nNumerics standard\n", "# numerics: standard\n", "\nElem_Size 2.5\nMax_Dev 0.75\n",
          "# cell_size_m: 2.5\n", "# spacing_m: 10\n"},
         {"Numerics robust"}},
        {"--numerics robust --smooth 30 --name T --run-name R",
         {"\nNumerics robust\n", "then averaged over 30 m (--smooth; at most ",
          "\nTrack_Name T\nRun_Name R\n", "# smooth_m: 30\n"},
         {}},
        {"--release-depth 0.5",
         {"a fracture depth (--release-depth) times the cover density 120 kg/m3",
          "# release_mass_kg_m2: 60\n", "# saltation_mass_share: 0.652174\n"},
         {"saltation h2 1.5 m"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        const std::string cmd = made(dir, c.options);
        for (const auto& text : c.present)
            EXPECT_NE(cmd.find(text), std::string::npos) << text << "\n" << cmd.substr(0, 4000);
        for (const auto& text : c.absent) EXPECT_EQ(cmd.find(text), std::string::npos) << text;
        std::string out;
        if (c.options.find("--max-time") != std::string::npos) {
            EXPECT_EQ(test::run_torla(dir, cmd, out), 0) << out;
        }
    }
    // The cells do not change the profile's sampling.
    EXPECT_EQ(rows_after(made(dir, ""), "| COORDINATES"),
              rows_after(made(dir, "--cell-size 2.5"), "| COORDINATES"));
}

// The moving average on profiles whose answer is known.
TEST(ProfileOptions, SmoothingAveragesOverTheWindowAndKeepsTheEnds) {
    const std::vector<double> s = {0, 10, 20, 30, 40, 50, 60};
    struct Case {
        std::vector<double> z;
        double window;
        std::vector<double> expected;
    };
    const std::vector<Case> cases = {
        {{60, 50, 40, 30, 20, 10, 0}, 40, {60, 50, 40, 30, 20, 10, 0}},  // a plane stays
        {{60, 50, 40, 33, 20, 10, 0}, 20, {60, 50, 41, 31, 21, 10, 0}},  // a bump over 3 points
        {{60, 50, 40, 33, 20, 10, 0}, 0, {60, 50, 40, 33, 20, 10, 0}},   // off
        {{60, 50, 40, 33, 20, 10, 0}, 19, {60, 50, 40, 33, 20, 10, 0}},  // narrower than 2 steps
        {{60, 54, 40, 30, 20, 10, 0},
         60,
         {60, 154.0 / 3, 40.8, 214.0 / 7, 20, 10, 0}},  // narrowed at the ends
    };
    for (const Case& c : cases) {
        std::vector<double> z = c.z;
        double largest = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i)
            largest = std::max(largest, std::fabs(c.expected[i] - c.z[i]));
        EXPECT_NEAR(profile::smooth_elevations(s, z, c.window), largest, 1e-12) << c.window;
        for (std::size_t i = 0; i < z.size(); ++i)
            EXPECT_NEAR(z[i], c.expected[i], 1e-12) << c.window << " " << i;
    }
}

// A fracture depth releases the cover density times the depth per square
// metre of slope, split 45:24 between the layers, and takes the slab from
// the cover; 0.575 m of 120 kg/m3 is the bundled release exactly (1.5 m of
// 30 kg/m3 and 8 m of 3 kg/m3).
TEST(ProfileOptions, ReleaseDepthKeepsTheReleasedMass) {
    TempDir dir;
    const std::vector<double> cover =
        rows_after(made(dir, "--release 0:100"), "| POWDER SNOW LOCAL PARAMETERS")[0];
    for (const auto& [depth, density] : {std::pair{0.575, 120.0}, {1.3, 250.0}}) {
        const std::string options =
            profile::fmt("--release 0:100 --release-depth %g --snow-density %g", depth, density);
        const std::string cmd = made(dir, options);
        const auto rows = rows_after(cmd, "| POWDER SNOW LOCAL PARAMETERS");
        for (const auto& r : rows) {
            if (r[5] == 0) continue;
            const double mass = r[5] * r[7] + r[8] * r[10];
            EXPECT_NEAR(mass / (density * depth), 1.0, 1e-11) << options;
            EXPECT_NEAR(r[5] * r[7] / mass, 45.0 / 69.0, 1e-11) << options;
            EXPECT_EQ(r[7], 30.0);
            EXPECT_EQ(r[10], 3.0);
        }
        EXPECT_NEAR(rows[0][3], std::max(0.0, cover[3] - depth), 1e-3) << options;
        EXPECT_EQ(fact(cmd, "release_depth_source"), "--release-depth");
    }
}

// A release polygon with a thickness attribute; --release-depth overrides it.
TEST(ProfileOptions, PolygonThicknessAttributeGivesTheDepth) {
    TempDir dir;
    made(dir, "");
    struct Case {
        std::string properties, options, depth_fact, message;
        int status;
    };
    const std::vector<Case> cases = {
        {"\"thickness\": 0.8", "", "0.8", "", 0},
        {"\"Release_Depth\": 1.2, \"depth\": 9", "", "1.2", "", 0},
        {"\"fracture_depth\": \"0.9\"", "", "0.9", "", 0},
        {"\"slab\": 0.7", "", "(missing)", "", 0},
        {"\"thickness\": 0.8", "--release-depth 0.5", "0.5",
         "note: --release-depth 0.5 m overrides the fracture depths of poly.geojson", 0},
        {"\"thickness\": -1", "", "",
         "poly.geojson: layer \"poly\", feature 0: attribute thickness = `-1' is no fracture depth",
         1},
        {"\"d0\": \"deep\"", "", "", "attribute d0 = `deep' is no fracture depth", 1},
    };
    for (const Case& c : cases) {
        test::write_text(dir.file("poly.geojson"),
                         test::geojson_polygon(c.properties, 5101000, 5101200));
        std::string out;
        const std::string cmd =
            made(dir, "--release-polygon poly.geojson " + c.options, c.status, &out);
        EXPECT_NE(out.find(c.message), std::string::npos) << c.properties << "\n" << out;
        if (c.status != 0) continue;
        EXPECT_EQ(fact(cmd, "release_depth_m"), c.depth_fact) << c.properties;
        const auto rows = rows_after(cmd, "| POWDER SNOW LOCAL PARAMETERS");
        const double d = c.depth_fact == "(missing)" ? 0.575 : std::stod(c.depth_fact);
        EXPECT_NEAR(rows[0][5] * rows[0][7] + rows[0][8] * rows[0][10], 120.0 * d, 1e-9)
            << c.properties;
    }
}

// The split point: the release's lower end, --split-at, or a point snapped
// onto the nearest place of the profile (on either side, and at its ends);
// recorded as two adjacent comment lines.
TEST(ProfileOptions, SplitPointFromTheReleaseAnOptionOrAPointFile) {
    TempDir dir;
    made(dir, "");
    // A point `along' m down the leg (x0, y0) to (x1, y1) and `off' m to the
    // east of it (west when negative): on the first leg of the path, 4 m
    // above its top and 6 m beyond its end (the profile's last point is at
    // 1000 m, 3.37 m short of the end).
    auto point = [&](const char* name, double x0, double y0, double x1, double y1, double along,
                     double off) {
        const double l = std::hypot(x1 - x0, y1 - y0), ux = (x1 - x0) / l, uy = (y1 - y0) / l;
        test::write_text(dir.file(name), test::geojson_point(x0 + along * ux - off * uy,
                                                             y0 + along * uy + off * ux));
    };
    point("near.geojson", 400200, 5101100, 400230, 5100700, 200, 20);
    point("west.geojson", 400200, 5101100, 400230, 5100700, 302.5, -15);
    point("far.geojson", 400200, 5101100, 400230, 5100700, 200, 80);
    point("top.geojson", 400200, 5101100, 400230, 5100700, -4, 3);
    point("end.geojson", 400200, 5100100, 400210, 5099900, 6, 0);
    struct Case {
        std::string options, s, source, message;
        int status;
    };
    const std::vector<Case> cases = {
        {"--release 0:150", "150.000", "release", "", 0},
        {"", "100.000", "release", "", 0},  // the upper tenth of 1000 m
        {"--split-at 312.5", "312.500", "split-at", "", 0},
        {"--split-point near.geojson", "200.000", "split-point near.geojson",
         "snapped onto the path at 200.0 m, 20.0 m from it", 0},
        {"--split-point west.geojson", "302.500", "split-point west.geojson",
         "snapped onto the path at 302.5 m, 15.0 m from it", 0},
        {"--split-point top.geojson", "0.000", "split-point top.geojson",
         "snapped onto the path at 0.0 m, 5.0 m from it", 0},
        {"--split-point end.geojson", "1000.000", "split-point end.geojson",
         "snapped onto the path at 1000.0 m, 9.4 m from it", 0},
        {"--split-point far.geojson", "", "",
         "far.geojson: layer \"far\", feature 0: the split point (", 1},
        {"--split-point path.geojson", "", "", "path.geojson: 0 points in its layers", 1},
        {"--split-at 5000", "", "", "--split-at 5000: beyond the end of the profile", 1},
    };
    for (const Case& c : cases) {
        std::string out;
        const std::string cmd = made(dir, c.options, c.status, &out);
        EXPECT_NE(out.find(c.message), std::string::npos) << c.options << "\n" << out;
        if (c.status != 0) continue;
        EXPECT_NE(
            cmd.find("\n# split_s_horizontal_m: " + c.s + "\n# split_source: " + c.source + "\n"),
            std::string::npos)
            << c.options << "\n"
            << cmd.substr(0, 3000);
    }
}

// The command file: its rows are those of the profile, the snow cover
// follows the elevation, the comment block names the CRS and the steepest
// slope. (That torla runs such a file, with the map coordinates and the CRS
// carried through to the exports, is the export tests' run.)
TEST(Profile, CommandFileFollowsTheProfile) {
    TempDir dir;
    const std::string cmd = made(dir, "--max-time 6 --release 0:100 --snow-depth 0.8");
    ASSERT_FALSE(cmd.empty());
    std::istringstream lines(cmd);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 255u) << line;
    EXPECT_NE(cmd.find("\n0 0 0.4 0.800 120 1.5 5 30 8 5 3 2 1.2\n"), std::string::npos) << cmd;
    EXPECT_NE(cmd.find("\n# crs: EPSG:32632 (WGS 84 / UTM zone 32N)\n"), std::string::npos) << cmd;
    const auto coords = rows_after(cmd, "| COORDINATES");
    const auto locals = rows_after(cmd, "| POWDER SNOW LOCAL PARAMETERS");
    ASSERT_EQ(locals.size(), coords.size());
    for (std::size_t i = 0; i < locals.size(); ++i) {
        const auto& v = locals[i];
        ASSERT_EQ(v.size(), 13u) << i;
        EXPECT_EQ(v[0], static_cast<double>(i));
        EXPECT_EQ(v[5] > 0, i <= 10) << i;  // released from 0 to 100 m
        // 0.8 m at the top, 5 cm less per 100 m down.
        EXPECT_NEAR(v[3], 0.8 + 0.05 * (coords[i][2] - coords[0][2]) / 100.0, 5e-4) << i;
        EXPECT_EQ(v[2], 0.4);
        EXPECT_EQ(v[4], 120.0);
    }
    // The steepest step of the coordinate rows, as the comment block states it.
    double steepest = 0.0;
    std::size_t at = 0;
    for (std::size_t i = 1; i < coords.size(); ++i) {
        const double a = std::atan((coords[i - 1][2] - coords[i][2]) / 10.0) * 180.0 / M_PI;
        if (a > steepest) steepest = a, at = i - 1;
    }
    EXPECT_GT(steepest, 20.0);
    const std::string expected = profile::fmt(
        "#   steepest slope %.1f degrees between %zu and %zu m;", steepest, at * 10, at * 10 + 10);
    EXPECT_NE(cmd.find(expected), std::string::npos) << expected << "\n" << cmd;
}

}  // namespace
}  // namespace torla
