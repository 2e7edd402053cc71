// torla-profile's command files for the inputs and the options, on an analytic valley; smoothing.
#include <tuple>

#include "profile/steps.h"
#include "profile/text_escape.h"
#include "terrain_fixture.h"

namespace torla {
namespace {

using test::fact;
using test::rows_after;
using test::TempDir;
constexpr auto npos = std::string::npos;

// Each row's inputs and options: what the command file states, and what every file keeps: rows on
// the line every spacing, on the surface, the first file's when at 10 m; the cover by elevation
// less the slab; the release between its ends, of the stated mass (else the bundled 69 kg/m2),
// 45:24 between the layers. torla runs those made with --max-time.
TEST(Profile, CommandFileFollowsTheInputsAndTheOptions) {
    TempDir dir;
    test::make_inputs(dir);
    test::write_lines(dir.file("path.gpx"), "GPX", {{"valley", test::valley_path()}});
    const auto v = test::valley_path();
    // A split point `along' m down the first leg of the path (before its top too), `off' m east.
    auto point = [l = std::hypot(30, 400)](double along, double off) {
        return test::geojson_point(400200 + (30 * along + 400 * off) / l,
                                   5101100 + (30 * off - 400 * along) / l);
    };
    const std::string epsg = "\"crs\": {\"type\": \"EPSG\", \"properties\": {\"code\": 32632}}, ";
    const std::pair<const char*, std::string> files[] = {
        {"up.geojson", test::geojson_line("\"up\"", test::coordinates({v.rbegin(), v.rend()}))},
        {"evil.geojson", test::geojson_line(test::kEvilName, test::kValley)},
        {"epsg.geojson", test::geojson_line("\"v\"", test::kValley, epsg)},
        {"west.geojson", point(302.5, -15)},
        {"top.geojson", point(-4, 3)},
        {"end.geojson", test::geojson_point(400200.3, 5100094)},  // 6 m beyond the path's end
        {"thick.geojson", test::geojson_polygon("\"thickness\": 0.8", 5101000, 5101200)},
        {"named.geojson",
         test::geojson_polygon("\"depth\": 9, \"Release_Depth\": 1.2", 5101000, 5101200)},
        {"slab.geojson", test::geojson_polygon("\"slab\": 0.7", 5101000, 5101200)},
        {"wgs.geojson", test::geojson_polygon("", 5100905, 5101005, true)},
    };
    for (const auto& [name, text] : files) test::write_text(dir.file(name), text);
    const std::string utm = "EPSG:32632 (WGS 84 / UTM zone 32N)";
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
        {"--max-time 2 --snow-depth 0.8",
         {"\nElem_Size 10\nMax_Dev 3\n", "\nNumerics robust\n", "# numerics: robust\n",
          "\nTrack_Name Path path.geojson\nRun_Name Release 0-100 m, 0.8 m snow\n",
          "\n# crs: " + utm + "\n", "length 1000.0 m (line 1003.4 m), drop 498.3 m (1550.0 to",
          "over the upper tenth of the path (0 to 100.0 m)", "sampled bilinearly from the DEM.\n",
          "\n0 0 0.4 0.800 120 1.5 5 30 8 5 3 2 1.2\n", "Number_of_Points 101\n", "\n100 1000.000 ",
          "# split_s_horizontal_m: 100.000\n# split_source: release\n"}},
        {"dem.tif path.gpx", {"# note: the line reprojected from EPSG:4326"}},
        {"dem.tif up.geojson", {"# note: the line runs uphill", "(the line taken from its other"}},
        {"bare.tif path.geojson", {"note: bare.tif has no CRS: taken as " + utm + ", the line's"}},
        {"dem.tif bare.shp", {"note: bare.shp has no CRS: taken as " + utm + ", the DEM's"}},
        {"bare.tif bare.shp --assume-crs EPSG:32632", {"both taken as " + utm + " (--assume-crs)"}},
        {"dem.tif epsg.geojson", {"# line: epsg.geojson: layer \"epsg\", feature 0"}},
        {"dem.tif two.geojson --line valley", {"# line: two.geojson: layer \"two\", feature 1"}},
        {"dem.tif two.geojson --line-index 1", {"# line: two.geojson: layer \"two\", feature 1"}},
        // A name crafted to end its line and start a section, kept in its line.
        {"dem.tif evil.geojson --name \"a$(printf '\\nb')\"",
         {"name " + test::kEvilName, "\nTrack_Name a\\nb\n", "\nElem_Size 10\n"}},
        {"--spacing 7.5", {"Number_of_Points 135\n", "\n134 1003.368 "}},  // the end kept
        {"--max-time 2 --numerics standard --cell-size 2.5",
         {"\nElem_Size 2.5\nMax_Dev 0.75\n", "\nNumerics standard\n", "# numerics: standard\n",
          "# cell_size_m: 2.5\n", "# spacing_m: 10\n"}},
        {"--smooth 30 --name T --run-name R",
         {"then averaged over 30 m (--smooth; at most ", "\nTrack_Name T\nRun_Name R\n",
          "# smooth_m: 30\n"}},
        {"--release 0:100 --release-depth 1.3 --snow-density 250",
         {"depth_m: 1.3\n# release_depth_source: --release-depth\n# release_mass_kg_m2: 325\n",
          "(--release-depth) times the cover density 250 kg/m3", "share: 0.652174"}},
        {"--release-polygon thick.geojson",
         {"depth_m: 0.8\n# release_depth_source: attribute of thick.geojson\n",
          "mass_kg_m2: 96\n"}},
        {"--release-polygon named.geojson",
         {"depth_m: 1.2\n# release_depth_source: attribute of named.geojson\n"}},
        {"--release-polygon slab.geojson",
         {"# release_depth_source: bundled release\n", "\n0 0 0.4 1.000 120 1.5 5 30 8 5 3 2"}},
        {"--release-polygon thick.geojson --release-depth 0.5",
         {"depth_m: 0.5\n# release_depth_source: --release-depth\n",
          "note: --release-depth 0.5 m overrides the fracture depths of thick.geojson\n"}},
        // 95.3 to 195.5 m along the path; the edges bow by less than a metre.
        {"--release-polygon wgs.geojson", {"# release_from_m: 100.000\n# release_to_m: 190.000\n"}},
        {"--split-at 312.5", {"horizontal_m: 312.500\n# split_source: split-at\n"}},
        {"--split-point west.geojson",
         {"horizontal_m: 302.500\n# split_source: split-point west.geojson", "302.5 m, 15.0 m"}},
        {"--split-point top.geojson", {"snapped onto the path at 0.0 m, 5.0 m from it"}},
        {"--split-point end.geojson", {"snapped onto the path at 1000.0 m, 9.4 m from it"}},
    };
    std::string first_cmd;
    std::vector<std::vector<double>> first;
    for (const auto& [args, present] : cases) {
        SCOPED_TRACE(args);
        std::string out;
        const std::string run = "umask 027; " + test::bin_dir() + "/torla-profile " +
                                (args[0] == '-' ? "dem.tif path.geojson " : "") + args;
        ASSERT_EQ(test::run_in(dir.path(), run + " -o made.cmd", out), 0) << out;
        // Written whole, with the permissions of a new file (not the temporary file's 0600).
        const std::string cmd = test::read_text(dir.file("made.cmd"));
        EXPECT_EQ(cmd.substr(cmd.size() - 14), "| END OF FILE\n");
        EXPECT_EQ(std::filesystem::status(dir.file("made.cmd")).permissions(),
                  std::filesystem::perms(0640));
        for (const auto& text : present) EXPECT_CONTAINS(cmd, text) << text;
        // Comments, lines torla reads whole, none broken or driving a terminal.
        std::istringstream lines(cmd);
        int elem_size_lines = 0;
        bool comments = true;
        for (std::string l; std::getline(lines, l);) {
            comments &= !l.empty();
            EXPECT_TRUE(!comments || l[0] == '#') << l;
            EXPECT_LE(l.size(), 255u) << l;
            for (const char* bad : {"\r", "\x1b", "\x0b", "\x0c", "\xe2\x80\xa8", "\xc2\x85"})
                EXPECT_EQ(l.find(bad), npos) << l;
            elem_size_lines += l.rfind("Elem_Size", 0) == 0;
        }
        EXPECT_EQ(elem_size_lines, 1);
        const auto coords = rows_after(cmd, "| COORDINATES");
        const auto locals = rows_after(cmd, "| POWDER SNOW LOCAL PARAMETERS");
        if (first.empty()) first = coords, first_cmd = cmd;
        const double spacing = std::stod(fact(cmd, "spacing_m"));
        const auto& same = spacing == 10 ? first : coords;
        ASSERT_EQ(std::pair(locals.size(), same.size()), std::pair(coords.size(), coords.size()));
        // Smoothed elevations stay within the largest change the file states.
        const double dz = 0.01 + std::stod(fact(cmd, "smooth_max_change_m"));
        const double from = std::stod(fact(cmd, "release_from_m"));
        const double to = std::stod(fact(cmd, "release_to_m"));
        const std::string mass = fact(cmd, "release_mass_kg_m2"),
                          depth = fact(cmd, "release_depth_m");
        const double top = std::stod(cmd.substr(cmd.find("# Snow cover: ") + 14));  // m
        double along = 0.0;
        for (std::size_t i = 0; i < coords.size(); ++i) {
            const auto &c = coords[i], &r = locals[i];
            ASSERT_EQ(std::pair(c.size(), r.size()), std::pair(5ul, 13ul));
            EXPECT_EQ(std::pair(c[0], r[0]), std::pair(1.0 * i, 1.0 * i));
            EXPECT_DOUBLE_EQ(c[1], std::min(i * spacing, coords.back()[1]));
            EXPECT_NEAR(c[2], test::valley_elevation(c[3], c[4]), dz) << i;
            for (int k = 1; k < 5; ++k) EXPECT_NEAR(c[k], same[i][k], k == 2 ? dz : 1.5e-3) << i;
            EXPECT_EQ(r[5] > 0, c[1] >= from && c[1] <= to) << i;
            // The cover 5 cm less per 100 m down, less the slab where released.
            const double slab = r[5] > 0 && depth != "(missing)" ? std::stod(depth) : 0.0;
            const double cover = top + 0.05 * (c[2] - coords[0][2]) / 100.0 - slab;
            EXPECT_NEAR(r[3], std::max(0.0, cover), 6e-4) << i;
            if (i > 0) along += std::hypot(c[3] - coords[i - 1][3], c[4] - coords[i - 1][4]);
            if (r[5] == 0) continue;
            const double released = r[5] * r[7] + r[8] * r[10];
            EXPECT_NEAR(released / (mass == "(missing)" ? 69.0 : std::stod(mass)), 1.0, 1e-11);
            EXPECT_NEAR(r[5] * r[7] / released, 45.0 / 69.0, 1e-11);
            EXPECT_EQ(std::pair(r[7], r[10]), std::pair(30.0, 3.0));
        }
        // The chords fall short of the distance along the line only at the two bends.
        EXPECT_NEAR(along, coords.back()[1], 0.2);
        if (args.find("--max-time") == npos) continue;
        EXPECT_EQ(test::run_torla(dir, cmd, out), 0) << out;
    }
    // The first file's steepest step of 10 m, as its comment block states it.
    std::size_t at = 0;
    auto drop = [&first](std::size_t i) { return first[i][2] - first[i + 1][2]; };
    for (std::size_t i = 1; i + 1 < first.size(); ++i) at = drop(i) > drop(at) ? i : at;
    EXPECT_CONTAINS(first_cmd,
                    profile::fmt("#   steepest slope %.1f degrees between %zu and %zu m;",
                                 std::atan(drop(at) / 10) * 180 / M_PI, at * 10, at * 10 + 10));
}

// The moving average on profiles whose answer is known, and its largest change.
TEST(ProfileOptions, SmoothingAveragesOverTheWindowAndKeepsTheEnds) {
    const std::vector<double> s = {0, 10, 20, 30, 40, 50, 60}, plane = {60, 50, 40, 30, 20, 10, 0},
                              bump = {60, 50, 40, 33, 20, 10, 0};
    using Case = std::tuple<std::vector<double>, double, double, std::vector<double>>;
    const std::vector<Case> cases = {
        {plane, 40, 0, plane},                       // a plane stays
        {bump, 20, 2, {60, 50, 41, 31, 21, 10, 0}},  // a bump over 3 points
        {bump, 19, 0, bump},                         // narrower than 2 steps
        {{60, 54, 40, 30, 20, 10, 0}, 60, 8.0 / 3, {60, 154.0 / 3, 40.8, 214.0 / 7, 20, 10, 0}},
    };  // the last narrowed at the ends
    for (auto [z, window, largest, expected] : cases) {
        EXPECT_NEAR(profile::smooth_elevations(s, z, window), largest, 1e-12) << window;
        for (std::size_t i = 0; i < s.size(); ++i)
            EXPECT_NEAR(z[i], expected[i], 1e-12) << window << " " << i;
    }
}

}  // namespace
}  // namespace torla
