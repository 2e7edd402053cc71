// torla-profile on an analytic valley made here with GDAL: the profile on
// the surface, the spacing, the same path in three formats, the downhill
// orientation, the refusals, and a command file that torla runs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include "profile/profile.h"
#include "terrain_fixture.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

profile::Profile profile_of(const std::string& dem, const std::string& line,
                            double spacing = 10.0) {
    profile::Options o;
    o.dem_path = dem;
    o.line_path = line;
    o.spacing_m = spacing;
    return profile::make_profile(o);
}

TEST(Profile, ElevationsOnTheSurfaceAtExactSpacing) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::write_lines(dir.file("path.geojson"), "GeoJSON", {{"valley", test::valley_path()}});
    for (const double spacing : {10.0, 7.5}) {
        const profile::Profile p =
            profile_of(dir.file("dem.tif"), dir.file("path.geojson"), spacing);
        const auto n = p.distance_m.size();
        // The path: 400.1 + 402.0 + 100.5 m, every whole spacing, the end
        // kept only when at least half a spacing beyond.
        const double length = p.line_length_m;
        EXPECT_NEAR(length, std::hypot(30, 400) + std::hypot(40, 400) + std::hypot(10, 200), 1e-9);
        const auto whole = static_cast<std::size_t>(std::floor(length / spacing));
        const bool end_kept = length - whole * spacing >= 0.5 * spacing;
        ASSERT_EQ(n, whole + 1 + (end_kept ? 1 : 0)) << spacing;
        EXPECT_FALSE(p.flipped);
        double along = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i < whole + 1) {
                EXPECT_DOUBLE_EQ(p.distance_m[i], i * spacing);
            }
            EXPECT_NEAR(p.elevation_m[i], test::valley_elevation(p.easting[i], p.northing[i]), 0.01)
                << i;
            if (i > 0) {
                const double chord =
                    std::hypot(p.easting[i] - p.easting[i - 1], p.northing[i] - p.northing[i - 1]);
                EXPECT_LE(chord, p.distance_m[i] - p.distance_m[i - 1] + 1e-9);
                along += chord;
            }
        }
        // The points lie on the line: the chords fall short only at the two bends.
        EXPECT_NEAR(along, p.distance_m.back(), 0.2);
        EXPECT_DOUBLE_EQ(p.easting[0], 400200.0);
        EXPECT_DOUBLE_EQ(p.northing[0], 5101100.0);
        EXPECT_EQ(p.crs_epsg, "EPSG:32632");
        // The default release: the upper tenth of the profile.
        for (std::size_t i = 0; i < n; ++i)
            EXPECT_EQ(p.released[i], p.distance_m[i] <= 0.1 * p.distance_m.back()) << i;
    }
    EXPECT_THROW(profile_of(dir.file("dem.tif"), dir.file("path.geojson"), 0.0), profile::Refusal);
    EXPECT_THROW(profile_of(dir.file("dem.tif"), dir.file("path.geojson"), -10.0),
                 profile::Refusal);
    EXPECT_THROW(profile_of(dir.file("dem.tif"), dir.file("path.geojson"), INFINITY),
                 profile::Refusal);
}

// The same path as GPX and KML (in WGS84), and drawn uphill: the same
// profile, with a note saying what was done to the line.
TEST(Profile, SamePathInOtherFormatsOrDrawnUphillGivesTheSameProfile) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    auto up = test::valley_path();
    std::reverse(up.begin(), up.end());
    test::write_lines(dir.file("path.geojson"), "GeoJSON", {{"valley", test::valley_path()}});
    test::write_lines(dir.file("path.gpx"), "GPX", {{"valley", test::valley_path()}});
    test::write_lines(dir.file("path.kml"), "KML", {{"valley", test::valley_path()}});
    test::write_lines(dir.file("up.geojson"), "GeoJSON", {{"valley", up}});
    const profile::Profile ref = profile_of(dir.file("dem.tif"), dir.file("path.geojson"));
    for (const auto& [other, note] : {std::pair{"path.gpx", "reprojected from EPSG:4326"},
                                      {"path.kml", "reprojected from EPSG:4326"},
                                      {"up.geojson", "runs uphill"}}) {
        const profile::Profile p = profile_of(dir.file("dem.tif"), dir.file(other));
        EXPECT_EQ(p.flipped, std::string(other) == "up.geojson");
        ASSERT_EQ(p.notes.size(), 1u) << other;
        EXPECT_NE(p.notes[0].find(note), std::string::npos) << p.notes[0];
        ASSERT_EQ(p.distance_m.size(), ref.distance_m.size()) << other;
        for (std::size_t i = 0; i < p.distance_m.size(); ++i) {
            EXPECT_NEAR(p.distance_m[i], ref.distance_m[i], 1e-3) << other << " point " << i;
            EXPECT_NEAR(p.elevation_m[i], ref.elevation_m[i], 1e-3) << other << " point " << i;
            EXPECT_NEAR(p.easting[i], ref.easting[i], 1e-3) << other << " point " << i;
            EXPECT_NEAR(p.northing[i], ref.northing[i], 1e-3) << other << " point " << i;
        }
    }
}

TEST(Profile, LinesPickedByNameOrIndexAndMissingCrsTakenFromTheOther) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::make_valley_dem(dir.file("bare.tif"), {.crs = false});
    auto west = test::valley_path();
    for (auto& v : west) v.first -= 60.0;
    test::write_lines(dir.file("two.geojson"), "GeoJSON",
                      {{"valley", test::valley_path()}, {"west", west}});
    test::write_lines(dir.file("bare.shp"), "ESRI Shapefile", {{"valley", test::valley_path()}},
                      false);
    test::write_lines(dir.file("valley.geojson"), "GeoJSON", {{"valley", test::valley_path()}});
    profile::Options o;
    o.dem_path = dir.file("dem.tif");
    o.line_path = dir.file("two.geojson");
    o.line_name = "west";
    EXPECT_DOUBLE_EQ(profile::make_profile(o).easting[0], 400140.0);
    o.line_name.reset();
    o.line_index = 0;
    EXPECT_DOUBLE_EQ(profile::make_profile(o).easting[0], 400200.0);

    // A DEM without CRS takes the line's, a line without one the DEM's.
    const profile::Profile a = profile_of(dir.file("bare.tif"), dir.file("valley.geojson"));
    const profile::Profile b = profile_of(dir.file("dem.tif"), dir.file("bare.shp"));
    const std::string taken = "has no CRS: taken as EPSG:32632 (WGS 84 / UTM zone 32N), the ";
    ASSERT_EQ(std::make_pair(a.notes.size(), b.notes.size()),
              std::make_pair(std::size_t{1}, std::size_t{1}));
    EXPECT_NE(a.notes[0].find(taken + "line's"), std::string::npos) << a.notes[0];
    EXPECT_NE(b.notes[0].find(taken + "DEM's"), std::string::npos) << b.notes[0];
    EXPECT_EQ(a.elevation_m, b.elevation_m);
    // Neither: --assume-crs names it.
    o.dem_path = dir.file("bare.tif");
    o.line_path = dir.file("bare.shp");
    o.line_index.reset();
    o.assume_crs = "EPSG:32632";
    EXPECT_EQ(profile::make_profile(o).elevation_m, b.elevation_m);
}

// A polygon written with OGR in UTM 32N, or in WGS84.
void write_polygon(const std::string& path, double y0, double y1, bool wgs84) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GeoJSON")->Create(
        path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    OGRSpatialReference utm, wgs;
    utm.importFromEPSG(32632);
    wgs.importFromEPSG(4326);
    utm.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    OGRLayer* layer = ds->CreateLayer("release", wgs84 ? &wgs : &utm, wkbPolygon, nullptr);
    OGRLinearRing ring;
    for (auto [x, y] : std::vector<std::pair<double, double>>{
             {400100, y0}, {400300, y0}, {400300, y1}, {400100, y1}, {400100, y0}})
        ring.addPoint(x, y);
    if (wgs84) {
        std::unique_ptr<OGRCoordinateTransformation> ct(
            OGRCreateCoordinateTransformation(&utm, &wgs));
        ring.transform(ct.get());
    }
    OGRPolygon poly;
    poly.addRing(&ring);
    OGRFeature f(layer->GetLayerDefn());
    f.SetGeometry(&poly);
    if (layer->CreateFeature(&f) != OGRERR_NONE) throw std::runtime_error("cannot write " + path);
    GDALClose(ds);
}

// The release where the path crosses a polygon, in the line's CRS or
// another; none crossed is refused.
TEST(Profile, ReleaseWhereThePathCrossesAPolygon) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::write_lines(dir.file("path.geojson"), "GeoJSON", {{"valley", test::valley_path()}});
    write_polygon(dir.file("utm.geojson"), 5100905.0, 5101005.0, false);
    write_polygon(dir.file("wgs.geojson"), 5100905.0, 5101005.0, true);
    write_polygon(dir.file("away.geojson"), 5099000.0, 5099100.0, false);
    write_polygon(dir.file("top.geojson"), 5101050.0, 5101200.0, false);
    profile::Options o;
    o.dem_path = dir.file("dem.tif");
    o.line_path = dir.file("path.geojson");
    for (const char* polygon : {"utm.geojson", "wgs.geojson"}) {
        o.release_polygon = dir.file(polygon);
        const profile::Profile p = profile::make_profile(o);
        int released = 0;
        for (std::size_t i = 0; i < p.released.size(); ++i) {
            // A metre of tolerance: the WGS84 polygon's edges are straight in degrees.
            const double y = p.northing[i];
            if (y > 5100906.0 && y < 5101004.0) {
                EXPECT_TRUE(p.released[i]) << polygon << " " << i;
            }
            if (y < 5100904.0 || y > 5101006.0) {
                EXPECT_FALSE(p.released[i]) << polygon << " " << i;
            }
            released += p.released[i];
        }
        EXPECT_GE(released, 9) << polygon;
        EXPECT_LE(released, 11) << polygon;
    }
    // A polygon over the top releases the first points.
    o.release_polygon = dir.file("top.geojson");
    const profile::Profile top = profile::make_profile(o);
    for (std::size_t i = 0; i < top.released.size(); ++i)
        EXPECT_EQ(top.released[i], i <= 5) << i;  // 50 m along: 5101050.1
    o.release_polygon = dir.file("away.geojson");
    try {
        profile::make_profile(o);
        ADD_FAILURE() << "a polygon the path does not cross is accepted";
    } catch (const profile::Refusal& e) {
        EXPECT_NE(std::string(e.what()).find(
                      "away.geojson: the path does not cross the release polygons"),
                  std::string::npos)
            << e.what();
    }
}

// Each refusal of torla-profile: what it is given, a piece of the message,
// the status; no command file is left behind.
TEST(Profile, RefusalsNameTheFileTheLayerAndThePosition) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::make_valley_dem(dir.file("bare.tif"), {.crs = false});
    test::make_valley_dem(dir.file("hole.tif"), {.nodata_y = 5100501.0});
    test::make_valley_dem(dir.file("flat.tif"), {.flat = true});
    test::make_valley_dem(dir.file("geographic.tif"), {.geographic = true});
    test::write_lines(dir.file("path.geojson"), "GeoJSON", {{"valley", test::valley_path()}});
    test::write_lines(dir.file("bare.shp"), "ESRI Shapefile", {{"valley", test::valley_path()}},
                      false);
    test::write_lines(dir.file("out.geojson"), "GeoJSON",
                      {{"out", {{400200, 5101100}, {400200, 5099900}}}});
    test::write_lines(dir.file("short.geojson"), "GeoJSON",
                      {{"short", {{400200, 5101100}, {400200, 5101045}}}});
    auto west = test::valley_path();
    for (auto& v : west) v.first -= 60.0;
    test::write_lines(dir.file("two.geojson"), "GeoJSON",
                      {{"valley", test::valley_path()}, {"west", west}});
    test::write_text(dir.file("notes.txt"), "not a vector file\n");

    struct Case {
        std::string args, message;
        int status;
    };
    const std::vector<Case> cases = {
        {"dem.tif out.geojson",
         "out.geojson: layer \"path\", feature 0: a vertex (400200.00, 5099900.00) lies outside "
         "the DEM dem.tif",
         1},
        {"hole.tif path.geojson",
         "hole.tif: band 1: no-data pixel (column 104, row 349) under the path at 600.0 m along "
         "the path",
         1},
        {"dem.tif short.geojson",
         "short.geojson: layer \"path\", feature 0: the path is 55.0 m long, shorter than six "
         "cells of 10 m",
         1},
        {"flat.tif path.geojson",
         "flat.tif: band 1: the profile under path.geojson never descends (1500.00 m all along)",
         1},
        {"dem.tif two.geojson",
         "two.geojson: 2 lines; pick one with --line NAME or --line-index K:\n"
         "  0: layer \"path\", feature 0, name \"valley\", 4 vertices\n"
         "  1: layer \"path\", feature 1, name \"west\", 4 vertices",
         1},
        {"dem.tif two.geojson --line east",
         "--line \"east\": no line has this name; the lines are:", 1},
        {"dem.tif two.geojson --line-index 2", "--line-index 2: there are 2 lines:", 1},
        {"bare.tif bare.shp",
         "neither has a coordinate reference system; name it with --assume-crs", 1},
        {"geographic.tif bare.shp", "geographic.tif: CRS EPSG:4326 (WGS 84) is not projected", 1},
        {"dem.tif notes.txt", "notes.txt: cannot be opened as a vector file", 1},
        {"dem.tif path.geojson --release 2000:2100",
         "--release 2000:2100: no point of the profile lies there", 1},
        {"dem.tif path.geojson --spacing 0", "--spacing: `0' is not a value it takes", 2},
        {"dem.tif path.geojson --release 5:1", "--release: `5:1' is not a value it takes", 2},
        {"dem.tif path.geojson --release 0:5 --release-polygon path.geojson",
         "--release and --release-polygon exclude each other", 2},
        {"dem.tif path.geojson", "-o FILE.cmd is needed", 2},
    };
    for (const Case& c : cases) {
        std::string out;
        const bool with_output = c.message != "-o FILE.cmd is needed";
        const int status = test::run_in(
            dir.path(),
            test::bin_dir() + "/torla-profile " + c.args + (with_output ? " -o made.cmd" : ""),
            out);
        EXPECT_EQ(status, c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
        EXPECT_FALSE(std::filesystem::exists(dir.file("made.cmd"))) << c.args;
        std::filesystem::remove(dir.file("made.cmd"));
    }
}

// The command file: its rows are those of the profile, the snow cover
// follows the elevation, the comment block names the CRS and the steepest slope.
TEST(Profile, CommandFileRunsWithTorla) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::write_lines(dir.file("path.gpx"), "GPX", {{"valley", test::valley_path()}});
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(),
                           test::bin_dir() + "/torla-profile dem.tif path.gpx -o valley.cmd "
                                             "--max-time 6 --release 0:100 --snow-depth 0.8",
                           out),
              0)
        << out;
    EXPECT_NE(
        out.find("note: the line reprojected from EPSG:4326 (WGS 84) to the DEM's EPSG:32632"),
        std::string::npos)
        << out;
    const std::string cmd = test::read_text(dir.file("valley.cmd"));
    std::istringstream lines(cmd);
    std::string line;
    int rows_released = 0;
    bool in_locals = false, in_coordinates = false;
    std::vector<double> elevations;
    while (std::getline(lines, line)) {
        EXPECT_LE(line.size(), 255u) << line;
        if (line == "| POWDER SNOW LOCAL PARAMETERS") in_locals = true, in_coordinates = false;
        if (in_coordinates && line.rfind("Number_of_Points", 0) != 0) {
            std::istringstream row(line);
            double index, distance, elevation;
            row >> index >> distance >> elevation;
            elevations.push_back(elevation);
        }
        if (line == "| COORDINATES") in_coordinates = true;
        if (in_locals && line[0] != '|') {
            std::istringstream row(line);
            double v[13];
            for (double& x : v) row >> x;
            if (v[5] > 0) {
                ++rows_released;
                EXPECT_LE(v[0], 10);
            }
            if (v[0] == 0) {
                EXPECT_EQ(line, "0 0 0.4 0.800 120 1.5 5 30 8 5 3 2 1.2");
            }
            // 0.8 m at the top, 5 cm less per 100 m down.
            const auto i = static_cast<std::size_t>(v[0]);
            ASSERT_LT(i, elevations.size());
            EXPECT_NEAR(v[3], 0.8 + 0.05 * (elevations[i] - elevations[0]) / 100.0, 5e-4) << line;
            EXPECT_EQ(v[2], 0.4);
            EXPECT_EQ(v[4], 120.0);
        }
    }
    EXPECT_EQ(rows_released, 11);  // 0 to 100 m
    EXPECT_NE(cmd.find("\n# crs: EPSG:32632 (WGS 84 / UTM zone 32N)\n"), std::string::npos) << cmd;
    // The steepest step of the coordinate rows, as the comment block states it.
    double steepest = 0.0;
    std::size_t at = 0;
    for (std::size_t i = 1; i < elevations.size(); ++i) {
        const double a = std::atan((elevations[i - 1] - elevations[i]) / 10.0) * 180.0 / M_PI;
        if (a > steepest) steepest = a, at = i - 1;
    }
    char expected[128];
    std::snprintf(expected, sizeof expected,
                  "#   steepest slope %.1f degrees between %zu and %zu m;", steepest, at * 10,
                  at * 10 + 10);
    EXPECT_GT(steepest, 20.0);
    EXPECT_NE(cmd.find(expected), std::string::npos) << expected << "\n" << cmd;
    // (That torla runs such a file, with the map coordinates and the CRS
    // carried through to the exports, is the export tests' run.)
}

}  // namespace
}  // namespace torla
