// Small terrain made in the test with GDAL: an analytic valley as a raster
// and path lines in the formats an engineer draws them in, GeoJSON written
// as text; torla-profile run on them and its command file read back. No
// data set is shipped.
#pragma once

#include <cmath>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "test_support.h"

namespace torla::test {

using Points = std::vector<std::pair<double, double>>;

// The valley in UTM zone 32N on 2 m pixels, its lower-left corner at
// (400000, 5100000): rising northwards by 0.5 m per m, a parabolic
// cross-section around the thalweg x = 400200. A bilinear sample is within
// c h^2 / 4 = 2 mm of it.
inline constexpr int kValleyCols = 200, kValleyRows = 600;

inline double valley_elevation(double x, double y) {
    return 1000.0 + 0.5 * (y - 5100000.0) + 0.002 * (x - 400200.0) * (x - 400200.0);
}

struct DemOptions {
    bool crs = true;          // EPSG:32632 written into the file
    bool flat = false;        // 1500 m everywhere
    bool geographic = false;  // CRS EPSG:4326 instead (the numbers stay the same)
    double nodata_y = -1.0;   // a row of no-data pixels across the valley at this northing
};

// A GeoTIFF of the valley.
inline void make_valley_dem(const std::string& path, const DemOptions& o = {}) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), kValleyCols, kValleyRows, 1, GDT_Float64, nullptr);
    double gt[6] = {400000.0, 2.0, 0, 5100000.0 + 2.0 * kValleyRows, 0, -2.0};
    ds->SetGeoTransform(gt);
    OGRSpatialReference s;
    s.importFromEPSG(o.geographic ? 4326 : 32632);
    if (o.crs) ds->SetSpatialRef(&s);
    GDALRasterBand* b = ds->GetRasterBand(1);
    b->SetNoDataValue(-9999.0);
    std::vector<double> z(kValleyCols * kValleyRows);
    for (int r = 0; r < kValleyRows; ++r)
        for (int c = 0; c < kValleyCols; ++c) {
            const double x = gt[0] + 2.0 * c + 1.0, y = gt[3] - 2.0 * r - 1.0;
            z[r * kValleyCols + c] = std::fabs(y - o.nodata_y) < 1.0 ? -9999.0
                                     : o.flat                        ? 1500.0
                                                                     : valley_elevation(x, y);
        }
    if (b->RasterIO(GF_Write, 0, 0, kValleyCols, kValleyRows, z.data(), kValleyCols, kValleyRows,
                    GDT_Float64, 0, 0) != CE_None)
        throw std::runtime_error("cannot write " + path);
    GDALClose(ds);
}

// A path down the valley with a bend, in UTM 32N, drawn from the top.
inline Points valley_path() {
    return {{400200, 5101100}, {400230, 5100700}, {400190, 5100300}, {400200, 5100100}};
}

// The points, in UTM 32N, as longitude and latitude in WGS84.
inline Points wgs84(Points pts) {
    OGRSpatialReference utm, wgs;
    utm.importFromEPSG(32632);
    wgs.importFromEPSG(4326);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&utm, &wgs));
    for (auto& [x, y] : pts) ct->Transform(1, &x, &y);
    return pts;
}

// One line per entry (name, vertices in UTM 32N) into a vector file of the
// given OGR driver; GPX holds WGS84 only, so the vertices are transformed
// there, each line a track of one segment. `crs' false writes no CRS.
inline void write_lines(const std::string& path, const std::string& driver,
                        const std::vector<std::pair<std::string, Points>>& lines, bool crs = true) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()
                          ->GetDriverByName(driver.c_str())
                          ->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    const bool gpx = driver == "GPX";
    OGRSpatialReference utm;
    utm.importFromEPSG(32632);
    char** lco = gpx ? CSLSetNameValue(nullptr, "FORCE_GPX_TRACK", "YES") : nullptr;
    OGRLayer* layer = ds->CreateLayer(gpx ? "tracks" : "path", crs && !gpx ? &utm : nullptr,
                                      gpx ? wkbMultiLineString : wkbLineString, lco);
    CSLDestroy(lco);
    OGRFieldDefn field("name", OFTString);
    if (!gpx) layer->CreateField(&field);
    for (const auto& [name, pts] : lines) {
        OGRFeature feat(layer->GetLayerDefn());
        feat.SetField("name", name.c_str());
        OGRLineString ls;
        for (const auto& [x, y] : gpx ? wgs84(pts) : pts) ls.addPoint(x, y);
        OGRMultiLineString m;
        m.addGeometry(&ls);
        feat.SetGeometry(gpx ? static_cast<OGRGeometry*>(&m) : &ls);
        if (layer->CreateFeature(&feat) != OGRERR_NONE)
            throw std::runtime_error("cannot write " + path);
    }
    GDALClose(ds);
}

// GeoJSON written as text, so that it can hold what OGR would not write:
// the crs member naming UTM 32N, lines, polygons between two northings and
// a point.
inline const std::string kUtm =
    "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"EPSG:32632\"}}, ";

inline std::string coordinates(const Points& pts) {
    std::ostringstream s;
    s.precision(12);
    for (const auto& [x, y] : pts) s << (s.tellp() > 0 ? ", [" : "[") << x << ", " << y << "]";
    return s.str();
}
inline const std::string kValley = coordinates(valley_path());
// A line's name crafted to end its comment line and start a command file's section.
inline const std::string kEvilName =
    "\"x\\n| POWDER SNOW GLOBAL PARAMETERS\\nElem_Size 100\\r\\u2028\\u0085\\u001b[31m\"";

inline std::string geojson_feature(const std::string& properties, const std::string& geometry,
                                   const std::string& crs_member = kUtm) {
    return "{\"type\": \"FeatureCollection\", " + crs_member +
           "\"features\": [{\"type\": \"Feature\", \"properties\": {" + properties +
           "}, \"geometry\": " + geometry + "}]}\n";
}

inline std::string geojson_line(const std::string& name, const std::string& coordinates,
                                const std::string& crs_member = kUtm) {
    return geojson_feature("\"name\": " + name,
                           "{\"type\": \"LineString\", \"coordinates\": [" + coordinates + "]}",
                           crs_member);
}

// Across the valley from x 400100 to 400300; in WGS84, GeoJSON's own CRS,
// when asked.
inline std::string geojson_polygon(const std::string& properties, double y0, double y1,
                                   bool in_wgs84 = false) {
    const Points ring = {{400100, y0}, {400300, y0}, {400300, y1}, {400100, y1}, {400100, y0}};
    return geojson_feature(properties,
                           "{\"type\": \"Polygon\", \"coordinates\": [[" +
                               coordinates(in_wgs84 ? wgs84(ring) : ring) + "]]}",
                           in_wgs84 ? "" : kUtm);
}

inline std::string geojson_point(double x, double y) {
    return geojson_feature("",
                           "{\"type\": \"Point\", \"coordinates\": " + coordinates({{x, y}}) + "}");
}

// The features of two collections in one, in the first one's CRS.
inline std::string geojson_both(const std::string& a, const std::string& b) {
    return a.substr(0, a.size() - 3) + ", " + b.substr(b.find("{\"type\": \"Feature\""));
}

// The valley DEM and path, a release polygon, a split point; the DEM and
// the path without a CRS (bare), and the path beside a line 60 m west of it.
inline void make_inputs(const TempDir& dir) {
    make_valley_dem(dir.file("dem.tif"));
    make_valley_dem(dir.file("bare.tif"), {.crs = false});
    write_text(dir.file("path.geojson"), geojson_line("\"valley\"", kValley));
    write_lines(dir.file("bare.shp"), "ESRI Shapefile", {{"valley", valley_path()}}, false);
    Points west = valley_path();
    for (auto& v : west) v.first -= 60.0;
    write_text(dir.file("two.geojson"), geojson_both(geojson_line("\"west\"", coordinates(west)),
                                                     geojson_line("\"valley\"", kValley)));
    write_text(dir.file("poly.geojson"), geojson_polygon("", 5100900, 5101200));
    write_text(dir.file("split.geojson"), geojson_point(400215, 5100500));
}

// Runs torla-profile in dir; before goes in front of the program (a
// timeout, an environment).
inline int run_profile(const TempDir& dir, const std::string& args, std::string& out,
                       const std::string& before = "") {
    return run_in(dir.path(), before + bin_dir() + "/torla-profile " + args, out);
}

// The numbers of the rows after a header line of a command file (the local
// rows, the coordinate rows), up to the next section.
inline std::vector<std::vector<double>> rows_after(const std::string& cmd,
                                                   const std::string& header) {
    std::istringstream in(cmd.substr(cmd.find(header + "\n") + header.size() + 1));
    std::vector<std::vector<double>> rows;
    for (std::string line; std::getline(in, line) && line[0] != '|';) {
        if (line.rfind("Number_of_Points", 0) == 0) continue;
        std::istringstream row(line);
        rows.emplace_back();
        for (double x; row >> x;) rows.back().push_back(x);
    }
    return rows;
}

// The value of a `# key: value' line of the comment block.
inline std::string fact(const std::string& cmd, const std::string& key) {
    const auto at = cmd.find("\n# " + key + ": ");
    if (at == std::string::npos) return "(missing)";
    const auto from = at + key.size() + 5;
    return cmd.substr(from, cmd.find('\n', from) - from);
}

}  // namespace torla::test
