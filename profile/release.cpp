// The release points and the released layers (see release.h).
#include "profile/release.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>

#include <ogrsf_frmts.h>

#include "profile/gdal_io.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

struct ReleasePolygon {
    std::unique_ptr<OGRGeometry> shape;  // in the DEM's CRS
    std::optional<double> depth_m;       // m, from the thickness attribute
    std::string where;                   // file, layer, feature
};

// The first thickness field of the layer, or -1.
int thickness_field(OGRFeatureDefn& d, std::string& name) {
    for (const char* want : kThicknessFields)
        for (int i = 0; i < d.GetFieldCount(); ++i)
            if (EQUAL(d.GetFieldDefn(i)->GetNameRef(), want)) {
                name = d.GetFieldDefn(i)->GetNameRef();
                return i;
            }
    return -1;
}

std::optional<double> thickness_of(OGRFeature& f, int field, const std::string& where,
                                   const std::string& name) {
    if (field < 0 || !f.IsFieldSetAndNotNull(field)) return std::nullopt;
    const std::string text = f.GetFieldAsString(field);
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(d) || !(d > 0.0))
        throw Refusal(where + ": attribute " + escaped(name) + " = `" + escaped(text) +
                      "' is no fracture depth (a positive number of metres)");
    return d;
}

std::vector<ReleasePolygon> read_polygons(const std::string& path,
                                          const OGRSpatialReference& dem_crs,
                                          std::vector<std::string>& notes) {
    Dataset ds = open_dataset(path, GDAL_OF_VECTOR, "release polygon file");
    std::vector<ReleasePolygon> out;
    for (int l = 0; l < ds->GetLayerCount(); ++l) {
        OGRLayer* layer = ds->GetLayer(l);
        std::string field_name;
        const int field = thickness_field(*layer->GetLayerDefn(), field_name);
        for (auto& f : *layer) {
            const OGRGeometry* g = f->GetGeometryRef();
            if (!g) continue;
            const auto type = wkbFlatten(g->getGeometryType());
            if (type != wkbPolygon && type != wkbMultiPolygon) continue;
            ReleasePolygon r;
            r.where = feature_text(path, layer, f->GetFID());
            r.depth_m = thickness_of(*f, field, r.where, field_name);
            r.shape.reset(g->clone());
            const ToDem t = to_dem_crs(g, layer, dem_crs, path, notes);
            if (t.needed && (!t.ct || r.shape->transform(t.ct.get()) != OGRERR_NONE))
                throw Refusal(r.where + ": cannot be transformed from " + crs_label(*t.crs) +
                              " to " + crs_label(dem_crs));
            out.push_back(std::move(r));
        }
    }
    if (out.empty()) throw Refusal(escaped(path) + ": no polygon in any layer");
    std::sort(notes.begin(), notes.end());
    notes.erase(std::unique(notes.begin(), notes.end()), notes.end());
    return out;
}

// Polygons with and without a depth cannot be mixed: the ones without
// would silently take the bundled release.
void require_depths_all_or_none(const std::vector<ReleasePolygon>& polys) {
    const auto with = std::count_if(polys.begin(), polys.end(),
                                    [](const ReleasePolygon& r) { return r.depth_m.has_value(); });
    if (with == 0 || with == static_cast<long>(polys.size())) return;
    for (const auto& r : polys)
        if (!r.depth_m)
            throw Refusal(r.where +
                          ": no fracture depth attribute, while other release polygons "
                          "have one; give every polygon a depth, or --release-depth for all");
}

}  // namespace

ReleaseValues release_for_mass(double mass_kg_m2) {
    ReleaseValues r;
    r.h2_m = kSaltationMassShare * mass_kg_m2 / r.rho2_kg_m3;
    r.h3_m = (1.0 - kSaltationMassShare) * mass_kg_m2 / r.snow_kg_m3;
    return r;
}

void release_in_polygons(const Options& o, const OGRSpatialReference& dem_crs, Profile& p) {
    const std::vector<ReleasePolygon> polys = read_polygons(o.release_polygon, dem_crs, p.notes);
    const bool attributed = std::any_of(
        polys.begin(), polys.end(), [](const ReleasePolygon& r) { return r.depth_m.has_value(); });
    if (!o.release_depth_m) require_depths_all_or_none(polys);
    const std::size_t n = p.distance_m.size();
    p.released.assign(n, false);
    p.release_depth_m.assign(n, o.release_depth_m.value_or(NAN));
    for (std::size_t i = 0; i < n; ++i) {
        OGRPoint pt(p.easting[i], p.northing[i]);
        const ReleasePolygon* first = nullptr;
        for (const auto& r : polys) {
            if (!r.shape->Intersects(&pt)) continue;
            if (first && !o.release_depth_m && first->depth_m != r.depth_m)
                throw Refusal(first->where + " and " + r.where +
                              ": overlapping release polygons with different fracture depths "
                              "at " +
                              fmt("%.1f", p.distance_m[i]) + " m along the path");
            if (!first) first = &r;
        }
        p.released[i] = first != nullptr;
        if (first && first->depth_m && !o.release_depth_m) p.release_depth_m[i] = *first->depth_m;
    }
    if (std::find(p.released.begin(), p.released.end(), true) == p.released.end())
        throw Refusal(escaped(o.release_polygon) +
                      ": the path does not cross the release polygons");
    if (o.release_depth_m && attributed)
        p.notes.push_back("--release-depth " + fmt("%g", *o.release_depth_m) +
                          " m overrides the fracture depths of " + escaped(o.release_polygon));
    p.release_depth_source = o.release_depth_m ? "--release-depth"
                             : attributed      ? "attribute of " + escaped(o.release_polygon)
                                               : "";
}

void release_along_path(const Options& o, Profile& p) {
    const std::size_t n = p.distance_m.size();
    const double from = o.release_m ? o.release_m->first : 0.0;
    const double to = o.release_m ? o.release_m->second : 0.1 * p.distance_m.back();
    p.released.assign(n, false);
    p.release_depth_m.assign(n, o.release_depth_m.value_or(NAN));
    for (std::size_t i = 0; i < n; ++i)
        p.released[i] = p.distance_m[i] >= from && p.distance_m[i] <= to;
    if (std::find(p.released.begin(), p.released.end(), true) == p.released.end())
        throw Refusal("--release " + fmt("%g", from) + ":" + fmt("%g", to) +
                      ": no point of the profile lies there (the profile is " +
                      fmt("%.1f", p.distance_m.back()) + " m long, points every " +
                      fmt("%g", o.spacing_m) + " m)");
    p.release_depth_source = o.release_depth_m ? "--release-depth" : "";
}

}  // namespace torla::profile
