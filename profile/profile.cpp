// torla-profile's profile: the DEM through GDAL, the line taken into the
// DEM's CRS with PROJ, checked against the DEM's extent, resampled, sampled
// bilinearly, optionally smoothed; then the release and the split point.
#include "profile/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "profile/gdal_io.h"
#include "profile/line_reader.h"
#include "profile/release.h"
#include "profile/steps.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

std::string at_position(double s, double e, double n) {
    return "at " + fmt("%.1f", s) + " m along the path (" + fmt("%.2f", e) + ", " + fmt("%.2f", n) +
           ")";
}

// The DEM's first band with its geotransform, read pixel by pixel through
// GDAL's block cache.
struct Raster {
    std::string path;  // escaped, for messages
    GDALRasterBand* band = nullptr;
    double gt[6] = {}, inv[6] = {};
    int width = 0, height = 0;
    bool has_nodata = false;
    double nodata = 0.0;

    double pixel(int col, int row) const {
        double v = 0.0;
        if (band->RasterIO(GF_Read, col, row, 1, 1, &v, 1, 1, GDT_Float64, 0, 0) != CE_None)
            throw Refusal(path + ": band 1: cannot read pixel (" + std::to_string(col) + ", " +
                          std::to_string(row) + ")");
        return v;
    }
    bool is_nodata(double v) const { return std::isnan(v) || (has_nodata && v == nodata); }
    bool inside(double x, double y, double& px, double& py) const {
        px = inv[0] + inv[1] * x + inv[2] * y;
        py = inv[3] + inv[4] * x + inv[5] * y;
        return px >= 0.0 && px <= width && py >= 0.0 && py <= height;
    }

    // Bilinear between the four pixel centres around the point; the outer
    // half pixel takes the edge pixels. nullopt outside the raster.
    // `where` names the position for a no-data refusal.
    std::optional<double> sample(double x, double y, const std::string& where) const {
        double px = 0.0, py = 0.0;
        if (!inside(x, y, px, py)) return std::nullopt;
        const double fx = px - 0.5, fy = py - 0.5;
        const int c0 = std::clamp(static_cast<int>(std::floor(fx)), 0, width - 2);
        const int r0 = std::clamp(static_cast<int>(std::floor(fy)), 0, height - 2);
        const double wx = std::clamp(fx - c0, 0.0, 1.0), wy = std::clamp(fy - r0, 0.0, 1.0);
        const double w[4] = {(1 - wx) * (1 - wy), wx * (1 - wy), (1 - wx) * wy, wx * wy};
        double z = 0.0;
        for (int k = 0; k < 4; ++k) {
            if (w[k] == 0.0) continue;
            const int col = c0 + (k & 1), row = r0 + (k >> 1);
            const double v = pixel(col, row);
            if (is_nodata(v))
                throw Refusal(path + ": band 1: no-data pixel (column " + std::to_string(col) +
                              ", row " + std::to_string(row) + ") under the path " + where);
            z += w[k] * v;
        }
        return z;
    }
};

Raster open_raster(GDALDataset& dem, const std::string& path) {
    Raster r;
    r.path = escaped(path);
    if (dem.GetRasterCount() < 1) throw Refusal(r.path + ": no raster band");
    r.band = dem.GetRasterBand(1);
    r.width = dem.GetRasterXSize();
    r.height = dem.GetRasterYSize();
    if (r.width < 2 || r.height < 2)
        throw Refusal(r.path + ": band 1: " + std::to_string(r.width) + " x " +
                      std::to_string(r.height) + " pixels; bilinear sampling needs 2 x 2 at least");
    if (dem.GetGeoTransform(r.gt) != CE_None)
        throw Refusal(r.path + ": no geotransform: the raster is not placed on a map");
    if (!GDALInvGeoTransform(r.gt, r.inv))
        throw Refusal(r.path + ": the geotransform cannot be inverted");
    int has = 0;
    r.nodata = r.band->GetNoDataValue(&has);
    r.has_nodata = has != 0;
    return r;
}

std::unique_ptr<OGRSpatialReference> user_crs(const std::string& text) {
    auto s = std::make_unique<OGRSpatialReference>();
    if (s->SetFromUserInput(text.c_str()) != OGRERR_NONE)
        throw Refusal("--assume-crs: `" + escaped(text) +
                      "' is no coordinate reference system GDAL knows");
    s->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return s;
}

std::unique_ptr<OGRSpatialReference> copy_of(const OGRSpatialReference& s) {
    std::unique_ptr<OGRSpatialReference> c(s.Clone());
    c->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return c;
}

// The DEM's CRS, and the line's when it has none; a note for each CRS
// borrowed or assumed. Refuses a DEM CRS that is not projected in metres.
std::unique_ptr<OGRSpatialReference> resolve_crs(const Options& o, GDALDataset& dem,
                                                 LineCandidate& line, Profile& p) {
    std::unique_ptr<OGRSpatialReference> dem_crs;
    if (const OGRSpatialReference* s = dem.GetSpatialRef()) dem_crs = copy_of(*s);
    const std::string dem_file = escaped(o.dem_path), line_file = escaped(o.line_path);
    if (!dem_crs && !line.crs) {
        if (o.assume_crs.empty())
            throw Refusal(dem_file + " and " + line_file +
                          ": neither has a coordinate reference system; name it with --assume-crs "
                          "(for example --assume-crs EPSG:2056)");
        dem_crs = user_crs(o.assume_crs);
        line.crs = user_crs(o.assume_crs);
        p.notes.push_back("neither the DEM nor the line has a CRS: both taken as " +
                          crs_label(*dem_crs) + " (--assume-crs)");
    } else if (!dem_crs) {
        dem_crs = o.assume_crs.empty() ? copy_of(*line.crs) : user_crs(o.assume_crs);
        p.notes.push_back(dem_file + " has no CRS: taken as " + crs_label(*dem_crs) +
                          (o.assume_crs.empty() ? ", the line's" : " (--assume-crs)"));
    } else if (!line.crs) {
        line.crs = o.assume_crs.empty() ? copy_of(*dem_crs) : user_crs(o.assume_crs);
        p.notes.push_back(line_file + " has no CRS: taken as " + crs_label(*line.crs) +
                          (o.assume_crs.empty() ? ", the DEM's" : " (--assume-crs)"));
    }
    if (!dem_crs->IsProjected())
        throw Refusal(dem_file + ": CRS " + crs_label(*dem_crs) +
                      " is not projected; distances along the path need metres (reproject the DEM, "
                      "for example with gdalwarp -t_srs EPSG:...)");
    if (std::fabs(dem_crs->GetLinearUnits() - 1.0) > 1e-12)
        throw Refusal(dem_file + ": CRS " + crs_label(*dem_crs) +
                      " has its coordinates in units other than metres");
    return dem_crs;
}

// The line's vertices in the DEM's CRS; a vertex PROJ cannot place is
// refused with its own coordinates and index.
void reproject(const OGRSpatialReference& dem_crs, LineCandidate& line, Profile& p) {
    if (line.crs->IsSame(&dem_crs)) return;
    std::unique_ptr<OGRCoordinateTransformation> ct(
        OGRCreateCoordinateTransformation(line.crs.get(), &dem_crs));
    if (!ct)
        throw Refusal(line.where + ": no transformation from " + crs_label(*line.crs) + " to " +
                      crs_label(dem_crs));
    for (std::size_t i = 0; i < line.points.size(); ++i) {
        auto& [x, y] = line.points[i];
        const double x0 = x, y0 = y;
        if (!ct->Transform(1, &x, &y) || !std::isfinite(x) || !std::isfinite(y))
            throw Refusal(
                line.where + ", vertex " + std::to_string(i) + ": (" + fmt("%.8g", x0) + ", " +
                fmt("%.8g", y0) + ") in " + crs_label(*line.crs) + " has no place in the DEM's " +
                crs_label(dem_crs) +
                " (is the line's CRS right? --assume-crs names it for a file without one)");
    }
    p.notes.push_back("the line reprojected from " + crs_label(*line.crs) + " to the DEM's " +
                      crs_label(dem_crs));
}

// Every vertex on the DEM, before any point is made along the line.
void require_within_dem(const Raster& r, const LineCandidate& line,
                        const std::vector<std::pair<double, double>>& v) {
    for (std::size_t i = 0; i < v.size(); ++i) {
        double px = 0.0, py = 0.0;
        if (!r.inside(v[i].first, v[i].second, px, py))
            throw Refusal(line.where + ": a vertex (" + fmt("%.2f", v[i].first) + ", " +
                          fmt("%.2f", v[i].second) + ") lies outside the DEM " + r.path +
                          " (pixel " + fmt("%.1f", px) + ", " + fmt("%.1f", py) + " of " +
                          std::to_string(r.width) + " x " + std::to_string(r.height) + ")");
    }
}

// Points every `spacing` of horizontal distance along the polyline from its
// first vertex; the end of the line is the last point when it lies at least
// half a spacing beyond the last whole one.
void resample(const std::vector<std::pair<double, double>>& v, double spacing,
              std::vector<double>& s, std::vector<double>& x, std::vector<double>& y) {
    std::vector<double> cum(v.size(), 0.0);
    for (std::size_t i = 1; i < v.size(); ++i)
        cum[i] =
            cum[i - 1] + std::hypot(v[i].first - v[i - 1].first, v[i].second - v[i - 1].second);
    const double total = cum.back();
    s.clear(), x.clear(), y.clear();
    std::size_t seg = 1;
    const long whole = static_cast<long>(std::floor(total / spacing + 1e-9));
    auto put = [&](double d) {
        while (seg + 1 < v.size() && cum[seg] < d) ++seg;
        const double len = cum[seg] - cum[seg - 1];
        const double t = len > 0 ? std::clamp((d - cum[seg - 1]) / len, 0.0, 1.0) : 0.0;
        s.push_back(d);
        x.push_back(v[seg - 1].first + t * (v[seg].first - v[seg - 1].first));
        y.push_back(v[seg - 1].second + t * (v[seg].second - v[seg - 1].second));
    };
    for (long k = 0; k <= whole; ++k) put(static_cast<double>(k) * spacing);
    if (total - static_cast<double>(whole) * spacing >= 0.5 * spacing) put(total);
}

// The vertices without repeats, of a length that makes at least six and at
// most kMaxPoints points at the spacing.
std::vector<std::pair<double, double>> usable_vertices(const Options& o, const LineCandidate& line,
                                                       Profile& p) {
    std::vector<std::pair<double, double>> v;
    for (const auto& pt : line.points)
        if (v.empty() || pt != v.back()) v.push_back(pt);
    double length = 0.0;
    for (std::size_t i = 1; i < v.size(); ++i)
        length += std::hypot(v[i].first - v[i - 1].first, v[i].second - v[i - 1].second);
    p.line_length_m = length;
    if (length < 6.0 * o.spacing_m)
        throw Refusal(line.where + ": the path is " + fmt("%.1f", length) +
                      " m long, shorter than six cells of " + fmt("%g", o.spacing_m) +
                      " m (--spacing)");
    const double points = std::floor(length / o.spacing_m) + 2.0;
    if (points > static_cast<double>(kMaxPoints))
        throw Refusal(line.where + ": the path of " + fmt("%.1f", length) + " m at --spacing " +
                      fmt("%g", o.spacing_m) + " m needs " + fmt("%.0f", points) +
                      " points; torla reads at most " + std::to_string(kMaxPoints) +
                      " (Number_of_Points): a larger --spacing");
    return v;
}

void sample_all(const Raster& r, Profile& q) {
    q.elevation_m.clear();
    for (std::size_t i = 0; i < q.distance_m.size(); ++i) {
        const std::string where = at_position(q.distance_m[i], q.easting[i], q.northing[i]);
        const auto z = r.sample(q.easting[i], q.northing[i], where);
        if (!z) throw Refusal(r.path + ": band 1: the path leaves the DEM " + where);
        q.elevation_m.push_back(*z);
    }
}

// The sampled profile, taken downhill, smoothed when asked, descending
// somewhere, and no longer than knotline's grid holds in cells of the size.
void sample_profile(const Options& o, const Raster& r, std::vector<std::pair<double, double>>& v,
                    Profile& p) {
    resample(v, o.spacing_m, p.distance_m, p.easting, p.northing);
    sample_all(r, p);
    if (p.elevation_m.back() > p.elevation_m.front()) {
        p.notes.push_back("the line runs uphill (" + fmt("%.1f", p.elevation_m.front()) + " m to " +
                          fmt("%.1f", p.elevation_m.back()) + " m): taken from its other end");
        p.flipped = true;
        std::reverse(v.begin(), v.end());
        resample(v, o.spacing_m, p.distance_m, p.easting, p.northing);
        sample_all(r, p);
    }
    p.smooth_change_m = smooth_elevations(p.distance_m, p.elevation_m, o.smooth_m);
    bool descends = false;
    // A step counts as descending by a millimetre: the bilinear weights of a
    // flat DEM sum to 1 only within rounding.
    for (std::size_t i = 1; i < p.elevation_m.size(); ++i)
        descends |= p.elevation_m[i] < p.elevation_m[i - 1] - 1e-3;
    if (!descends)
        throw Refusal(r.path + ": band 1: the profile under " + escaped(o.line_path) +
                      " never descends (" + fmt("%.2f", p.elevation_m.front()) + " m all along)");
    p.slope_length_m = 0.0;
    for (std::size_t i = 1; i < p.elevation_m.size(); ++i)
        p.slope_length_m += std::hypot(p.distance_m[i] - p.distance_m[i - 1],
                                       p.elevation_m[i] - p.elevation_m[i - 1]);
    const double cell = o.cell_size_m.value_or(o.spacing_m);
    const double grid_points = std::ceil(p.slope_length_m / cell) + 1.0;
    if (grid_points > static_cast<double>(kMaxPoints))
        throw Refusal("--cell-size " + fmt("%g", cell) + ": the track of " +
                      fmt("%.1f", p.slope_length_m) + " m along the surface needs " +
                      fmt("%.0f", grid_points) + " grid points; knotline makes at most " +
                      std::to_string(kMaxPoints));
}

}  // namespace

std::vector<std::string> keyed_comment_lines(const std::string& key, const std::string& value,
                                             std::size_t width) {
    std::vector<std::string> out;
    std::size_t at = 0;
    do {
        const std::size_t take = utf8_prefix(value, at, width);
        out.push_back("# " + key + " " + value.substr(at, take));
        at += std::max<std::size_t>(take, 1);
    } while (at < value.size());
    return out;
}

Profile make_profile(const Options& o) {
    if (!(o.spacing_m > 0.0) || !std::isfinite(o.spacing_m))
        throw Refusal("--spacing must be a positive number of metres");
    Profile p;
    Dataset dem = open_dataset(o.dem_path, GDAL_OF_RASTER, "DEM");
    const Raster r = open_raster(*dem, o.dem_path);

    LineCandidate line = pick_line(o);
    p.line_text = line.where + (line.name.empty() ? "" : ", name \"" + escaped(line.name) + "\"");
    const auto dem_crs = resolve_crs(o, *dem, line, p);
    reproject(*dem_crs, line, p);
    require_within_dem(r, line, line.points);
    std::vector<std::pair<double, double>> v = usable_vertices(o, line, p);
    sample_profile(o, r, v, p);

    if (!o.release_polygon.empty())
        release_in_polygons(o, *dem_crs, p);
    else
        release_along_path(o, p);
    locate_split(o, *dem_crs, p);

    char* wkt = nullptr;
    const char* wkt_options[] = {"FORMAT=WKT2_2019", "MULTILINE=NO", nullptr};
    dem_crs->exportToWkt(&wkt, wkt_options);
    p.crs_wkt = wkt ? escaped(wkt) : "";
    CPLFree(wkt);
    p.crs_name = dem_crs->GetName() ? escaped(dem_crs->GetName()) : "";
    const char* auth = dem_crs->GetAuthorityName(nullptr);
    const char* code = dem_crs->GetAuthorityCode(nullptr);
    if (auth && code && std::string(auth) == "EPSG") p.crs_epsg = "EPSG:" + escaped(code);
    p.dem_text = r.path + " (band 1, " + std::to_string(r.width) + " x " +
                 std::to_string(r.height) + " pixels of " + fmt("%g", std::fabs(r.gt[1])) + " x " +
                 fmt("%g", std::fabs(r.gt[5])) + " m)";
    return p;
}

}  // namespace torla::profile
