// Small terrain made in the test with GDAL: an analytic valley as a raster
// and path lines in the formats an engineer draws them in. No data set is
// shipped.
#pragma once

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

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

}  // namespace torla::test
