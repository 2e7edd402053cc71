// Opening the inputs through GDAL (see gdal_io.h).
#include "profile/gdal_io.h"

#include <ogrsf_frmts.h>

#include "profile/file_checks.h"
#include "profile/geojson_crs.h"
#include "profile/profile.h"
#include "profile/text_escape.h"

namespace torla::profile {

// The vector formats path lines, release polygons and split points come in.
// GDAL otherwise tries every driver it has, and some of them do more than
// read: the GPSBabel driver starts an external program on any file that
// looks like one of its formats, others parse XML dialects nobody draws
// avalanche paths in. A file in another format is refused as unreadable.
static const char* const kVectorDrivers[] = {
    "GeoJSON", "GeoJSONSeq", "ESRI Shapefile", "GPKG",        "FlatGeobuf",   "KML",  "LIBKML",
    "GPX",     "GML",        "SQLite",         "OpenFileGDB", "MapInfo File", nullptr};

// The raster formats DEMs come in. Left out: VRT and the other formats
// that name further files or services (a VRT's sources are opened with every
// driver and may be any file of the machine or a web service), and the
// image formats no elevation model comes in.
static const char* const kRasterDrivers[] = {
    "GTiff", "AAIGrid", "XYZ",     "EHdr", "ENVI", "HFA",  "SAGA",        "GSAG",   "GSBG",
    "GS7BG", "USGSDEM", "SRTMHGT", "DTED", "BT",   "GPKG", "JP2OpenJPEG", "netCDF", nullptr};

Dataset open_dataset(const std::string& path, unsigned flags, const std::string& role) {
    require_regular_input({role, path});
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    CPLErrorReset();
    const char* const* allowed = (flags & GDAL_OF_VECTOR) ? kVectorDrivers : kRasterDrivers;
    Dataset d(GDALDataset::Open(path.c_str(), flags | GDAL_OF_VERBOSE_ERROR, allowed));
    CPLPopErrorHandler();
    if (!d) {
        const std::string why = CPLGetLastErrorMsg();
        throw Refusal(escaped(path) + ": cannot be opened as " +
                      ((flags & GDAL_OF_RASTER) ? "a raster" : "a vector file") + " (the " + role +
                      ")" + (why.empty() ? "" : ": " + escaped(why)));
    }
    if ((flags & GDAL_OF_VECTOR) && d->GetDriver() &&
        std::string(d->GetDriver()->GetDescription()) == "GeoJSON" && d->GetLayerCount() > 0)
        check_geojson_crs(path, d->GetLayer(0)->GetSpatialRef());
    return d;
}

std::unique_ptr<OGRSpatialReference> crs_of(const OGRGeometry* g, OGRLayer* layer) {
    const OGRSpatialReference* s = g ? g->getSpatialReference() : nullptr;
    if (!s) s = layer->GetSpatialRef();
    if (!s) return nullptr;
    std::unique_ptr<OGRSpatialReference> out(s->Clone());
    out->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return out;
}

ToDem to_dem_crs(const OGRGeometry* g, OGRLayer* layer, const OGRSpatialReference& dem_crs,
                 const std::string& path, std::vector<std::string>& notes) {
    ToDem t;
    t.crs = crs_of(g, layer);
    if (!t.crs) {
        notes.push_back(escaped(path) + " has no CRS: taken as the DEM's");
    } else if (!t.crs->IsSame(&dem_crs)) {
        t.needed = true;
        t.ct.reset(OGRCreateCoordinateTransformation(t.crs.get(), &dem_crs));
    }
    return t;
}

std::string crs_label(const OGRSpatialReference& s) {
    const char* name = s.GetName();
    const char* auth = s.GetAuthorityName(nullptr);
    const char* code = s.GetAuthorityCode(nullptr);
    std::string out = name ? escaped(name) : "unnamed CRS";
    if (auth && code) out = escaped(auth) + ":" + escaped(code) + " (" + out + ")";
    return out;
}

std::string feature_text(const std::string& path, OGRLayer* layer, GIntBig fid) {
    return escaped(path) + ": layer \"" + escaped(layer->GetName()) + "\", feature " +
           std::to_string(fid);
}

}  // namespace torla::profile
