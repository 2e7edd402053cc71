// The `crs' member of a GeoJSON file (of the 2008 GeoJSON format; RFC 7946
// dropped it). GDAL falls back to WGS84 without a word when it cannot make
// sense of the member; torla-profile refuses such a file instead.
#pragma once

#include <string>

class OGRSpatialReference;

namespace torla::profile {

// For a file GDAL opened with its GeoJSON driver: when the top-level object
// has a `crs' member other than null, it must be {"type": "name",
// "properties": {"name": CRS}} or {"type": "EPSG", "properties": {"code":
// N}} naming a CRS PROJ knows, and the same CRS as GDAL gave the layer
// (`layer_crs', may be null). Throws Refusal naming the file otherwise.
void check_geojson_crs(const std::string& path, const OGRSpatialReference* layer_crs);

}  // namespace torla::profile
