// torla-profile on an analytic valley made here with GDAL: the profile on
// the surface, the spacing, the same path in three formats, the downhill
// orientation, the CRS taken from either side and the release from a
// polygon (the command file is test_profile_options.cpp's).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>

#include "profile/profile.h"
#include "profile/text_escape.h"
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
    test::make_inputs(dir);
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
    }
    for (const double bad : {0.0, -10.0, HUGE_VAL})
        EXPECT_THROW(profile_of(dir.file("dem.tif"), dir.file("path.geojson"), bad),
                     profile::Refusal);
}

// The same path as GPX and KML (in WGS84), drawn uphill, without a CRS on
// one side (taken from the other) or on both (--assume-crs), or picked from
// two lines (the other one first): the same profile, with a note saying
// what was done.
TEST(Profile, SamePathInOtherFormsGivesTheSameProfile) {
    TempDir dir;
    test::make_valley_dem(dir.file("dem.tif"));
    test::make_valley_dem(dir.file("bare.tif"), {.crs = false});
    auto up = test::valley_path(), west = test::valley_path();
    std::reverse(up.begin(), up.end());
    for (auto& v : west) v.first -= 60.0;
    for (const auto& [name, driver] :
         {std::pair{"path.geojson", "GeoJSON"}, {"path.gpx", "GPX"}, {"path.kml", "KML"}})
        test::write_lines(dir.file(name), driver, {{"valley", test::valley_path()}});
    test::write_lines(dir.file("up.geojson"), "GeoJSON", {{"valley", up}});
    test::write_lines(dir.file("bare.shp"), "ESRI Shapefile", {{"valley", test::valley_path()}},
                      false);
    test::write_lines(dir.file("two.geojson"), "GeoJSON",
                      {{"west", west}, {"valley", test::valley_path()}});
    const profile::Profile ref = profile_of(dir.file("dem.tif"), dir.file("path.geojson"));
    const std::string taken = "has no CRS: taken as EPSG:32632 (WGS 84 / UTM zone 32N), the ";
    struct Case {
        std::string dem, line, note;
        std::string assume_crs = "";
        std::optional<std::string> name = {};
        std::optional<int> index = {};
    };
    const std::vector<Case> cases = {
        {"dem.tif", "path.gpx", "reprojected from EPSG:4326"},
        {"dem.tif", "path.kml", "reprojected from EPSG:4326"},
        {"dem.tif", "up.geojson", "runs uphill"},
        {"bare.tif", "path.geojson", taken + "line's"},
        {"dem.tif", "bare.shp", taken + "DEM's"},
        {"bare.tif", "bare.shp", "", "EPSG:32632"},
        {"dem.tif", "two.geojson", "", "", "valley"},
        {"dem.tif", "two.geojson", "", "", {}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dem + " " + c.line);
        profile::Options o;
        o.dem_path = dir.file(c.dem);
        o.line_path = dir.file(c.line);
        o.assume_crs = c.assume_crs;
        o.line_name = c.name;
        o.line_index = c.index;
        const profile::Profile p = profile::make_profile(o);
        EXPECT_EQ(p.flipped, c.line == "up.geojson");
        if (!c.note.empty()) {
            ASSERT_EQ(p.notes.size(), 1u);
            EXPECT_NE(p.notes[0].find(c.note), std::string::npos) << p.notes[0];
        }
        ASSERT_EQ(p.distance_m.size(), ref.distance_m.size());
        for (auto v : {&profile::Profile::distance_m, &profile::Profile::elevation_m,
                       &profile::Profile::easting, &profile::Profile::northing})
            for (std::size_t i = 0; i < p.distance_m.size(); ++i)
                EXPECT_NEAR((p.*v)[i], (ref.*v)[i], 1e-3) << "point " << i;
    }
}

// The polygon between two northings of test::geojson_polygon in WGS84,
// GeoJSON's own CRS.
std::string wgs84_polygon(double y0, double y1) {
    OGRSpatialReference utm, wgs;
    utm.importFromEPSG(32632);
    wgs.importFromEPSG(4326);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&utm, &wgs));
    std::string ring;
    for (auto [x, y] : std::vector<std::pair<double, double>>{
             {400100, y0}, {400300, y0}, {400300, y1}, {400100, y1}, {400100, y0}}) {
        ct->Transform(1, &x, &y);
        ring += (ring.empty() ? "[" : ", [") + profile::fmt("%.10f, %.10f]", x, y);
    }
    return test::geojson_feature("", "{\"type\": \"Polygon\", \"coordinates\": [[" + ring + "]]}",
                                 "");
}

// The release where the path crosses a polygon, in the line's CRS or
// another.
TEST(Profile, ReleaseWhereThePathCrossesAPolygon) {
    TempDir dir;
    test::make_inputs(dir);
    test::write_text(dir.file("utm.geojson"), test::geojson_polygon("", 5100905.0, 5101005.0));
    test::write_text(dir.file("wgs.geojson"), wgs84_polygon(5100905.0, 5101005.0));
    test::write_text(dir.file("top.geojson"), test::geojson_polygon("", 5101050.0, 5101200.0));
    profile::Options o;
    o.dem_path = dir.file("dem.tif");
    o.line_path = dir.file("path.geojson");
    for (const char* polygon : {"utm.geojson", "wgs.geojson"}) {
        o.release_polygon = dir.file(polygon);
        const profile::Profile p = profile::make_profile(o);
        int released = 0;
        for (std::size_t i = 0; i < p.released.size(); ++i) {
            // A metre of tolerance: the WGS84 polygon's edges are straight in degrees.
            const double from_middle = std::fabs(p.northing[i] - 5100955.0);  // of 100 m
            if (std::fabs(from_middle - 50.0) > 1.0) {
                EXPECT_EQ(p.released[i], from_middle < 50.0) << polygon << " " << i;
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
}

}  // namespace
}  // namespace torla
