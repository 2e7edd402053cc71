// The alpha-beta split point: from --split-at, from a point snapped onto the
// path (--split-point), or the lower end of the release (see steps.h).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include <ogrsf_frmts.h>

#include "profile/gdal_io.h"
#include "profile/steps.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

struct SplitPoint {
    double x = 0.0, y = 0.0;  // in the DEM's CRS
    std::string where;        // file, layer, feature
};

// The one point of the file, in the DEM's CRS.
SplitPoint read_split_point(const std::string& path, const OGRSpatialReference& dem_crs,
                            std::vector<std::string>& notes) {
    Dataset ds = open_dataset(path, GDAL_OF_VECTOR, "split-point file");
    std::vector<SplitPoint> found;
    for (int l = 0; l < ds->GetLayerCount(); ++l) {
        OGRLayer* layer = ds->GetLayer(l);
        for (auto& f : *layer) {
            const OGRGeometry* g = f->GetGeometryRef();
            if (!g) continue;
            const auto type = wkbFlatten(g->getGeometryType());
            const OGRPoint* pt = nullptr;
            if (type == wkbPoint) pt = g->toPoint();
            if (type == wkbMultiPoint && g->toMultiPoint()->getNumGeometries() == 1)
                pt = g->toMultiPoint()->getGeometryRef(0);
            if (!pt || pt->IsEmpty()) continue;
            SplitPoint s{pt->getX(), pt->getY(), feature_text(path, layer, f->GetFID())};
            if (!std::isfinite(s.x) || !std::isfinite(s.y))
                throw Refusal(s.where + ": the point has a coordinate that is not a finite number");
            const ToDem t = to_dem_crs(g, layer, dem_crs, path, notes);
            const double x0 = s.x, y0 = s.y;
            if (t.needed && (!t.ct || !t.ct->Transform(1, &s.x, &s.y) || !std::isfinite(s.x) ||
                             !std::isfinite(s.y)))
                throw Refusal(s.where + ": the point (" + fmt("%.8g", x0) + ", " + fmt("%.8g", y0) +
                              ") in " + crs_label(*t.crs) + " has no place in the DEM's " +
                              crs_label(dem_crs));
            found.push_back(std::move(s));
        }
    }
    if (found.size() != 1)
        throw Refusal(escaped(path) + ": " + std::to_string(found.size()) +
                      " points in its layers; the split point must be the only one");
    return found.front();
}

}  // namespace

void locate_split(const Options& o, const OGRSpatialReference& dem_crs, Profile& p) {
    const std::size_t n = p.distance_m.size();
    if (o.split_at_m) {
        if (*o.split_at_m > p.distance_m.back())
            throw Refusal("--split-at " + fmt("%g", *o.split_at_m) +
                          ": beyond the end of the "
                          "profile (" +
                          fmt("%.1f", p.distance_m.back()) + " m)");
        p.split_s_m = *o.split_at_m;
        p.split_source = "split-at";
        return;
    }
    if (o.split_point_path.empty()) {
        std::size_t last = 0;
        for (std::size_t i = 0; i < n; ++i)
            if (p.released[i]) last = i;
        p.split_s_m = p.distance_m[last];
        p.split_source = "release";
        return;
    }
    const SplitPoint sp = read_split_point(o.split_point_path, dem_crs, p.notes);
    double best = std::numeric_limits<double>::infinity(), at = 0.0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double dx = p.easting[i + 1] - p.easting[i], dy = p.northing[i + 1] - p.northing[i];
        const double len2 = dx * dx + dy * dy;
        double t = len2 > 0 ? ((sp.x - p.easting[i]) * dx + (sp.y - p.northing[i]) * dy) / len2 : 0;
        t = std::clamp(t, 0.0, 1.0);
        const double d = std::hypot(p.easting[i] + t * dx - sp.x, p.northing[i] + t * dy - sp.y);
        if (d < best) best = d, at = p.distance_m[i] + t * (p.distance_m[i + 1] - p.distance_m[i]);
    }
    if (!(best <= kSplitPointTolerance))
        throw Refusal(sp.where + ": the split point (" + fmt("%.2f", sp.x) + ", " +
                      fmt("%.2f", sp.y) + ") lies " + fmt("%.1f", best) +
                      " m from the path; at most " + fmt("%g", kSplitPointTolerance) +
                      " m is snapped onto it");
    p.split_s_m = at;
    p.split_source = "split-point " + escaped(o.split_point_path);
    p.notes.push_back(sp.where + ": the split point snapped onto the path at " + fmt("%.1f", at) +
                      " m, " + fmt("%.1f", best) + " m from it");
}

}  // namespace torla::profile
