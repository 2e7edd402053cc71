// Opening the inputs through GDAL, shared by the readers of torla-profile.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <gdal_priv.h>
#include <ogr_spatialref.h>

namespace torla::profile {

using Dataset = GDALDatasetUniquePtr;

// Opens a regular file (see require_regular_input) as a raster or a vector
// file, the latter in one of the formats paths come in (gdal_io.cpp); `role'
// names it in messages ("DEM", "path line", ...). A GeoJSON
// file's crs member is checked against what GDAL made of it. Throws Refusal.
Dataset open_dataset(const std::string& path, unsigned flags, const std::string& role);

// The CRS of a layer's feature geometry (or else of the layer), in
// traditional GIS axis order; null when there is none.
std::unique_ptr<OGRSpatialReference> crs_of(const OGRGeometry* g, OGRLayer* layer);

// How a feature's geometry comes into the DEM's CRS: `crs` is the feature's
// (crs_of), `needed` says it differs from the DEM's, `ct` is the
// transformation (null when needed but none can be made). A feature without
// a CRS is taken as in the DEM's, with a note naming `path`.
struct ToDem {
    std::unique_ptr<OGRSpatialReference> crs;
    std::unique_ptr<OGRCoordinateTransformation> ct;
    bool needed = false;
};
ToDem to_dem_crs(const OGRGeometry* g, OGRLayer* layer, const OGRSpatialReference& dem_crs,
                 const std::string& path, std::vector<std::string>& notes);

// "EPSG:32632 (WGS 84 / UTM zone 32N)", or the name alone.
std::string crs_label(const OGRSpatialReference& s);

// "file: layer \"L\", feature F" with the file and the layer escaped.
std::string feature_text(const std::string& path, OGRLayer* layer, GIntBig fid);

}  // namespace torla::profile
