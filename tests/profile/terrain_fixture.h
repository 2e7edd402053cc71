// An analytic valley and path lines made with GDAL or as text; torla-profile's output read back.
#pragma once

#include <memory>
#include <stdexcept>
#include <utility>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "test_support.h"

namespace torla::test {

using Points = std::vector<std::pair<double, double>>;

// The valley in UTM 32N on 2 m pixels from (400000, 5100000): rising northwards by 0.5 m per m, a
// parabolic cross-section around x = 400200. A bilinear sample is within c h^2 / 4 = 2 mm of it.
inline double valley_elevation(double x, double y) {
    return 1000.0 + 0.5 * (y - 5100000.0) + 0.002 * (x - 400200.0) * (x - 400200.0);
}

// A GeoTIFF of the valley, or of a surface z (-9999 no data), in an EPSG code's CRS (0: none).
inline void make_valley_dem(const std::string& path, int epsg = 32632,
                            double (*z)(double, double) = valley_elevation) {
    GDALAllRegister();
    const int cols = 200, rows = 600;
    GDALDataset* ds = GetGDALDriverManager()->GetDriverByName("GTiff")->Create(
        path.c_str(), cols, rows, 1, GDT_Float64, nullptr);
    double gt[6] = {400000.0, 2.0, 0, 5100000.0 + 2.0 * rows, 0, -2.0};
    std::vector<double> v(cols * rows);
    ds->SetGeoTransform(gt);
    OGRSpatialReference s;
    if (epsg && s.importFromEPSG(epsg) == OGRERR_NONE) ds->SetSpatialRef(&s);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            v[r * cols + c] = z(gt[0] + 2.0 * c + 1, gt[3] - 2.0 * r - 1);
    GDALRasterBand* b = ds->GetRasterBand(1);
    const bool ok =
        b->SetNoDataValue(-9999.0) == CE_None &&
        b->RasterIO(GF_Write, 0, 0, cols, rows, v.data(), cols, rows, GDT_Float64, 0, 0) == CE_None;
    GDALClose(ds);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

// A path down the valley with a bend, in UTM 32N, drawn from the top.
inline Points valley_path() {
    return {{400200, 5101100}, {400230, 5100700}, {400190, 5100300}, {400200, 5100100}};
}

// The points, in UTM 32N, as longitude and latitude in WGS84.
inline Points wgs84(Points pts) {
    OGRSpatialReference utm, wgs(SRS_WKT_WGS84_LAT_LONG);
    utm.importFromEPSG(32632);
    wgs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(&utm, &wgs));
    for (auto& [x, y] : pts) ct->Transform(1, &x, &y);
    return pts;
}

// Lines (name, UTM 32N vertices) into a file of an OGR driver; into GPX as tracks in WGS84.
inline void write_lines(const std::string& path, const std::string& driver,
                        const std::vector<std::pair<std::string, Points>>& lines, bool crs = true) {
    GDALAllRegister();
    GDALDataset* ds = GetGDALDriverManager()
                          ->GetDriverByName(driver.c_str())
                          ->Create(path.c_str(), 0, 0, 0, GDT_Unknown, nullptr);
    const bool gpx = driver == "GPX";
    OGRSpatialReference utm;
    utm.importFromEPSG(32632);
    const char* track[] = {"FORCE_GPX_TRACK=YES", nullptr};
    OGRLayer* layer = ds->CreateLayer("path", crs && !gpx ? &utm : nullptr, wkbLineString,
                                      gpx ? const_cast<char**>(track) : nullptr);
    OGRFieldDefn field("name", OFTString);
    if (!gpx) layer->CreateField(&field);
    for (const auto& [name, pts] : lines) {
        OGRFeature feat(layer->GetLayerDefn());
        feat.SetField("name", name.c_str());
        OGRLineString ls;
        for (const auto& [x, y] : gpx ? wgs84(pts) : pts) ls.addPoint(x, y);
        feat.SetGeometry(&ls);
        if (layer->CreateFeature(&feat) != OGRERR_NONE)
            throw std::runtime_error("cannot write " + path);
    }
    GDALClose(ds);
}

// GeoJSON as text, holding what OGR would not write; in UTM 32N by default.
inline const std::string kUtm =
    "\"crs\": {\"type\": \"name\", \"properties\": {\"name\": \"EPSG:32632\"}}, ";

inline std::string coordinates(const Points& pts) {
    std::ostringstream s;
    s.precision(12);
    for (const auto& [x, y] : pts) s << (s.tellp() > 0 ? ", [" : "[") << x << ", " << y << "]";
    return s.str();
}
inline const std::string kValley = coordinates(valley_path());
// A name crafted to end its comment line and start a section, in JSON as it is escaped.
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

// Across the valley from x 400100 to 400300, in WGS84 when asked.
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

// The valley and path, both bare (no CRS), two lines (west, valley), a release polygon, a split.
inline void make_inputs(const TempDir& dir) {
    make_valley_dem(dir.file("dem.tif"));
    make_valley_dem(dir.file("bare.tif"), 0);
    write_text(dir.file("path.geojson"), geojson_line("\"valley\"", kValley));
    write_lines(dir.file("bare.shp"), "ESRI Shapefile", {{"valley", valley_path()}}, false);
    Points west = valley_path();
    for (auto& v : west) v.first -= 60.0;
    write_text(dir.file("two.geojson"), geojson_both(geojson_line("\"west\"", coordinates(west)),
                                                     geojson_line("\"valley\"", kValley)));
    write_text(dir.file("poly.geojson"), geojson_polygon("", 5100900, 5101200));
    write_text(dir.file("split.geojson"), geojson_point(400215, 5100500));
}

// The numbers of the rows after a section's header up to the next section.
inline std::vector<std::vector<double>> rows_after(const std::string& cmd,
                                                   const std::string& header) {
    std::istringstream in(cmd.substr(cmd.find(header + "\n") + header.size() + 1));
    std::vector<std::vector<double>> rows;
    for (std::string line; std::getline(in, line) && line[0] != '|';) {
        std::istringstream row(line);
        std::vector<double> r;
        for (double x; row >> x;) r.push_back(x);
        if (!r.empty()) rows.push_back(r);  // not the Number_of_Points line
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
