// Small terrain made in the test with GDAL: an analytic valley as a raster
// and path lines in the formats an engineer draws them in, GeoJSON written
// as text; torla-profile run on them and its command file read back. No
// data set is shipped.
#pragma once

#include <cmath>
#include <filesystem>
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

// The valley in UTM zone 32N: rising northwards by 0.5 m per m, a parabolic
// cross-section around the thalweg x = kValleyX. A bilinear sample on 2 m
// pixels is within c h^2 / 4 = 2 mm of it.
inline constexpr double kValleyX0 = 400000.0, kValleyY0 = 5100000.0;  // m, lower-left corner
inline constexpr double kValleyX = 400200.0;                          // m, thalweg
inline constexpr int kValleyCols = 200, kValleyRows = 600;            // pixels
inline constexpr double kValleyPixel = 2.0;                           // m

inline double valley_elevation(double x, double y) {
    return 1000.0 + 0.5 * (y - kValleyY0) + 0.002 * (x - kValleyX) * (x - kValleyX);
}

struct DemOptions {
    bool crs = true;          // EPSG:32632 written into the file
    bool flat = false;        // 1500 m everywhere
    bool geographic = false;  // CRS EPSG:4326 instead (the numbers stay the same)
    double nodata_y = -1.0;   // > 0: a row of no-data pixels across the valley at this northing
};

// A GeoTIFF of the valley.
inline void make_valley_dem(const std::string& path, const DemOptions& o = {}) {
    GDALAllRegister();
    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDataset* ds = drv->Create(path.c_str(), kValleyCols, kValleyRows, 1, GDT_Float64, nullptr);
    double gt[6] = {kValleyX0, kValleyPixel, 0, kValleyY0 + kValleyRows * kValleyPixel,
                    0,         -kValleyPixel};
    ds->SetGeoTransform(gt);
    if (o.crs || o.geographic) {
        OGRSpatialReference s;
        s.importFromEPSG(o.geographic ? 4326 : 32632);
        ds->SetSpatialRef(&s);
    }
    GDALRasterBand* b = ds->GetRasterBand(1);
    b->SetNoDataValue(-9999.0);
    std::vector<double> row(kValleyCols);
    for (int r = 0; r < kValleyRows; ++r) {
        const double y = gt[3] - (r + 0.5) * kValleyPixel;
        for (int c = 0; c < kValleyCols; ++c) {
            const double x = kValleyX0 + (c + 0.5) * kValleyPixel;
            row[c] = o.flat ? 1500.0 : valley_elevation(x, y);
            if (o.nodata_y > 0 && std::fabs(y - o.nodata_y) < 0.5 * kValleyPixel) row[c] = -9999.0;
        }
        if (b->RasterIO(GF_Write, 0, r, kValleyCols, 1, row.data(), kValleyCols, 1, GDT_Float64, 0,
                        0) != CE_None)
            throw std::runtime_error("cannot write " + path);
    }
    GDALClose(ds);
}

// A path down the valley with a bend, in UTM 32N, drawn from the top.
inline std::vector<std::pair<double, double>> valley_path() {
    return {{400200, 5101100}, {400230, 5100700}, {400190, 5100300}, {400200, 5100100}};
}

// One line per entry (name, vertices in UTM 32N) into a vector file of the
// given OGR driver. GPX and KML hold WGS84 only, so the vertices are
// transformed there; `crs` false writes no CRS (GeoJSON).
inline void write_lines(
    const std::string& path, const std::string& driver,
    const std::vector<std::pair<std::string, std::vector<std::pair<double, double>>>>& lines,
    bool crs = true) {
    GDALAllRegister();
    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName(driver.c_str());
    GDALDataset* ds = drv->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    OGRSpatialReference utm, wgs;
    utm.importFromEPSG(32632);
    wgs.importFromEPSG(4326);
    utm.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    const bool geographic = driver == "GPX" || driver == "KML";
    OGRCoordinateTransformation* ct =
        geographic ? OGRCreateCoordinateTransformation(&utm, &wgs) : nullptr;
    char** lco = nullptr;
    if (driver == "GPX") lco = CSLSetNameValue(lco, "FORCE_GPX_TRACK", "YES");
    OGRLayer* layer = ds->CreateLayer(driver == "GPX" ? "tracks" : "path",
                                      crs ? (geographic ? &wgs : &utm) : nullptr,
                                      driver == "GPX" ? wkbMultiLineString : wkbLineString, lco);
    CSLDestroy(lco);
    if (driver != "GPX") {
        OGRFieldDefn f("name", OFTString);
        layer->CreateField(&f);
    }
    for (const auto& [name, pts] : lines) {
        OGRFeature* feat = OGRFeature::CreateFeature(layer->GetLayerDefn());
        feat->SetField("name", name.c_str());
        OGRLineString ls;
        for (auto [x, y] : pts) {
            if (ct) ct->Transform(1, &x, &y);
            ls.addPoint(x, y);
        }
        if (driver == "GPX") {
            OGRMultiLineString m;
            m.addGeometry(&ls);
            feat->SetGeometry(&m);
        } else {
            feat->SetGeometry(&ls);
        }
        if (layer->CreateFeature(feat) != OGRERR_NONE)
            throw std::runtime_error("cannot write " + path);
        OGRFeature::DestroyFeature(feat);
    }
    OGRCoordinateTransformation::DestroyCT(ct);
    GDALClose(ds);
}

// GeoJSON written as text, so that it can hold what OGR would not write:
// the crs member naming UTM 32N, the valley path's vertices, a line, a
// polygon between two northings and a point.
inline const std::string kUtm =
    "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"EPSG:32632\"}}, ";
inline const std::string kValley =
    "[400200, 5101100], [400230, 5100700], [400190, 5100300], [400200, 5100100]";

inline std::string geojson_feature(const std::string& properties, const std::string& geometry,
                                   const std::string& crs_member = kUtm) {
    return "{\"type\": \"FeatureCollection\", " + crs_member +
           "\"features\": [{\"type\": \"Feature\", \"properties\": {" + properties +
           "}, \"geometry\": " + geometry + "}]}\n";
}

inline std::string geojson_line(const std::string& name, const std::string& coordinates,
                                const std::string& crs_member = "") {
    return geojson_feature("\"name\": " + name,
                           "{\"type\": \"LineString\", \"coordinates\": [" + coordinates + "]}",
                           crs_member);
}

inline std::string geojson_polygon(const std::string& properties, double y0, double y1) {
    const std::string a = std::to_string(y0), b = std::to_string(y1);
    return geojson_feature(properties, "{\"type\": \"Polygon\", \"coordinates\": [[[400100, " + a +
                                           "], [400300, " + a + "], [400300, " + b +
                                           "], [400100, " + b + "], [400100, " + a + "]]]}");
}

// The features of two collections in one, in the first one's CRS.
inline std::string geojson_both(const std::string& a, const std::string& b) {
    return a.substr(0, a.size() - 3) + ", " + b.substr(b.find("{\"type\": \"Feature\""));
}

inline std::string geojson_point(double x, double y) {
    return geojson_feature("", "{\"type\": \"Point\", \"coordinates\": [" + std::to_string(x) +
                                   ", " + std::to_string(y) + "]}");
}

// The valley DEM and path, a release polygon and a split point.
inline void make_inputs(const TempDir& dir) {
    make_valley_dem(dir.file("dem.tif"));
    write_text(dir.file("path.geojson"), geojson_line("\"valley\"", kValley, kUtm));
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
    std::string line;
    while (std::getline(in, line) && line[0] != '|') {
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
