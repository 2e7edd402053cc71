// torla-profile's work: the DEM and the line through GDAL/OGR, the
// reprojection through PROJ, the resampled profile and the command file.
#include "profile/profile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <sstream>

#include <gdal_priv.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

namespace torla::profile {

namespace {

std::string fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

std::string at_position(double s, double e, double n) {
    return "at " + fmt("%.1f", s) + " m along the path (" + fmt("%.2f", e) + ", " + fmt("%.2f", n) +
           ")";
}

struct DatasetCloser {
    void operator()(GDALDataset* d) const { GDALClose(d); }
};
using Dataset = std::unique_ptr<GDALDataset, DatasetCloser>;

Dataset open_dataset(const std::string& path, unsigned flags, const char* what) {
    GDALAllRegister();
    CPLPushErrorHandler(CPLQuietErrorHandler);
    Dataset d(GDALDataset::Open(path.c_str(), flags | GDAL_OF_VERBOSE_ERROR));
    CPLPopErrorHandler();
    if (!d) {
        std::string why = CPLGetLastErrorMsg();
        throw Refusal(path + ": cannot be opened as " + what + (why.empty() ? "" : ": " + why));
    }
    return d;
}

// The DEM's first band with its geotransform, read pixel by pixel through
// GDAL's block cache.
struct Raster {
    std::string path;
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

    // Bilinear between the four pixel centres around the point; the outer
    // half pixel takes the edge pixels. nullopt outside the raster.
    // `where` names the position for a no-data refusal.
    std::optional<double> sample(double x, double y, const std::string& where) const {
        const double px = inv[0] + inv[1] * x + inv[2] * y;
        const double py = inv[3] + inv[4] * x + inv[5] * y;
        if (!(px >= 0.0 && px <= width && py >= 0.0 && py <= height)) return std::nullopt;
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

std::string crs_label(const OGRSpatialReference& s) {
    const char* name = s.GetName();
    const char* auth = s.GetAuthorityName(nullptr);
    const char* code = s.GetAuthorityCode(nullptr);
    std::string out = name ? name : "unnamed CRS";
    if (auth && code) out = std::string(auth) + ":" + code + " (" + out + ")";
    return out;
}

std::string epsg_of(const OGRSpatialReference& s) {
    const char* auth = s.GetAuthorityName(nullptr);
    const char* code = s.GetAuthorityCode(nullptr);
    if (auth && code && std::string(auth) == "EPSG") return std::string("EPSG:") + code;
    return "";
}

std::unique_ptr<OGRSpatialReference> user_crs(const std::string& text) {
    auto s = std::make_unique<OGRSpatialReference>();
    if (s->SetFromUserInput(text.c_str()) != OGRERR_NONE)
        throw Refusal("--assume-crs: `" + text + "' is no coordinate reference system GDAL knows");
    s->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    return s;
}

struct LineCandidate {
    std::string layer, name;
    GIntBig fid = 0;
    std::vector<std::pair<double, double>> points;
    std::unique_ptr<OGRSpatialReference> crs;
    double length = 0.0;  // in the file's own units
};

std::string name_attribute(OGRFeature& f) {
    for (int i = 0; i < f.GetFieldCount(); ++i) {
        std::string field = f.GetFieldDefnRef(i)->GetNameRef();
        std::transform(field.begin(), field.end(), field.begin(), ::tolower);
        if (field == "name" && f.IsFieldSetAndNotNull(i)) return f.GetFieldAsString(i);
    }
    return "";
}

// Every line of every layer, in file order; multi-lines of one part count
// as lines, of several parts are listed but refused when picked.
std::vector<LineCandidate> read_lines(const std::string& path) {
    Dataset ds = open_dataset(path, GDAL_OF_VECTOR, "a vector file");
    std::vector<LineCandidate> out;
    for (int l = 0; l < ds->GetLayerCount(); ++l) {
        OGRLayer* layer = ds->GetLayer(l);
        layer->ResetReading();
        for (auto& f : *layer) {
            const OGRGeometry* g = f->GetGeometryRef();
            if (!g) continue;
            const OGRLineString* line = nullptr;
            const auto type = wkbFlatten(g->getGeometryType());
            if (type == wkbLineString) {
                line = g->toLineString();
            } else if (type == wkbMultiLineString) {
                const auto* m = g->toMultiLineString();
                if (m->getNumGeometries() == 1) {
                    line = m->getGeometryRef(0);
                } else {
                    LineCandidate c;
                    c.layer = layer->GetName();
                    c.name = name_attribute(*f);
                    c.fid = f->GetFID();
                    c.length = -static_cast<double>(m->getNumGeometries());
                    out.push_back(std::move(c));
                    continue;
                }
            } else {
                continue;
            }
            LineCandidate c;
            c.layer = layer->GetName();
            c.name = name_attribute(*f);
            c.fid = f->GetFID();
            for (int i = 0; i < line->getNumPoints(); ++i)
                c.points.emplace_back(line->getX(i), line->getY(i));
            c.length = line->get_Length();
            const OGRSpatialReference* s = g->getSpatialReference();
            if (!s) s = layer->GetSpatialRef();
            if (s) {
                c.crs.reset(s->Clone());
                c.crs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
            }
            out.push_back(std::move(c));
        }
    }
    return out;
}

std::string describe(const std::vector<LineCandidate>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += "\n  " + std::to_string(i) + ": layer \"" + lines[i].layer + "\", feature " +
               std::to_string(lines[i].fid);
        if (!lines[i].name.empty()) out += ", name \"" + lines[i].name + "\"";
        if (lines[i].length < 0)
            out += ", " + fmt("%.0f", -lines[i].length) + " parts (not usable)";
        else
            out += ", " + std::to_string(lines[i].points.size()) + " vertices";
    }
    return out;
}

LineCandidate pick_line(const Options& o) {
    std::vector<LineCandidate> lines = read_lines(o.line_path);
    if (lines.empty()) throw Refusal(o.line_path + ": no line in any layer");
    std::size_t k = 0;
    if (o.line_index) {
        if (*o.line_index < 0 || static_cast<std::size_t>(*o.line_index) >= lines.size())
            throw Refusal(o.line_path + ": --line-index " + std::to_string(*o.line_index) +
                          ": there are " + std::to_string(lines.size()) +
                          " lines:" + describe(lines));
        k = static_cast<std::size_t>(*o.line_index);
    } else if (o.line_name) {
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].name == *o.line_name) hits.push_back(i);
        if (hits.size() != 1)
            throw Refusal(
                o.line_path + ": --line \"" + *o.line_name +
                "\": " + (hits.empty() ? "no line has this name" : "several lines have this name") +
                "; the lines are:" + describe(lines));
        k = hits[0];
    } else if (lines.size() > 1) {
        throw Refusal(o.line_path + ": " + std::to_string(lines.size()) +
                      " lines; pick one with --line NAME or --line-index K:" + describe(lines));
    }
    LineCandidate& c = lines[k];
    const std::string which = "layer \"" + c.layer + "\", feature " + std::to_string(c.fid);
    if (c.length < 0)
        throw Refusal(o.line_path + ": " + which + ": a multi-line of " + fmt("%.0f", -c.length) +
                      " parts; join them into one line");
    if (c.points.size() < 2)
        throw Refusal(o.line_path + ": " + which + ": a line needs at least two vertices");
    return std::move(lines[k]);
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

}  // namespace

std::vector<std::string> keyed_comment_lines(const std::string& key, const std::string& value,
                                             std::size_t width) {
    std::vector<std::string> out;
    std::size_t at = 0;
    do {
        out.push_back("# " + key + " " + value.substr(at, width));
        at += width;
    } while (at < value.size());
    return out;
}

Profile make_profile(const Options& o) {
    if (!(o.spacing_m > 0.0) || !std::isfinite(o.spacing_m))
        throw Refusal("--spacing must be a positive number of metres");
    Profile p;

    // The DEM and its CRS.
    Dataset dem = open_dataset(o.dem_path, GDAL_OF_RASTER, "a raster");
    Raster r;
    r.path = o.dem_path;
    if (dem->GetRasterCount() < 1) throw Refusal(o.dem_path + ": no raster band");
    r.band = dem->GetRasterBand(1);
    r.width = dem->GetRasterXSize();
    r.height = dem->GetRasterYSize();
    if (r.width < 2 || r.height < 2)
        throw Refusal(o.dem_path + ": band 1: " + std::to_string(r.width) + " x " +
                      std::to_string(r.height) + " pixels; bilinear sampling needs 2 x 2 at least");
    if (dem->GetGeoTransform(r.gt) != CE_None)
        throw Refusal(o.dem_path + ": no geotransform: the raster is not placed on a map");
    if (!GDALInvGeoTransform(r.gt, r.inv))
        throw Refusal(o.dem_path + ": the geotransform cannot be inverted");
    int has = 0;
    r.nodata = r.band->GetNoDataValue(&has);
    r.has_nodata = has != 0;

    LineCandidate line = pick_line(o);
    p.line_text = o.line_path + ", layer \"" + line.layer + "\", feature " +
                  std::to_string(line.fid) +
                  (line.name.empty() ? "" : ", name \"" + line.name + "\"");

    std::unique_ptr<OGRSpatialReference> dem_crs;
    if (const OGRSpatialReference* s = dem->GetSpatialRef()) {
        dem_crs.reset(s->Clone());
        dem_crs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    }
    if (!dem_crs && !line.crs) {
        if (o.assume_crs.empty())
            throw Refusal(o.dem_path + " and " + o.line_path +
                          ": neither has a coordinate reference system; name it with --assume-crs "
                          "(for example --assume-crs EPSG:2056)");
        dem_crs = user_crs(o.assume_crs);
        line.crs = user_crs(o.assume_crs);
        p.notes.push_back("neither the DEM nor the line has a CRS: both taken as " +
                          crs_label(*dem_crs) + " (--assume-crs)");
    } else if (!dem_crs) {
        dem_crs = o.assume_crs.empty() ? std::unique_ptr<OGRSpatialReference>(line.crs->Clone())
                                       : user_crs(o.assume_crs);
        dem_crs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        p.notes.push_back(o.dem_path + " has no CRS: taken as " + crs_label(*dem_crs) +
                          (o.assume_crs.empty() ? ", the line's" : " (--assume-crs)"));
    } else if (!line.crs) {
        line.crs = o.assume_crs.empty() ? std::unique_ptr<OGRSpatialReference>(dem_crs->Clone())
                                        : user_crs(o.assume_crs);
        line.crs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
        p.notes.push_back(o.line_path + " has no CRS: taken as " + crs_label(*line.crs) +
                          (o.assume_crs.empty() ? ", the DEM's" : " (--assume-crs)"));
    }
    if (!dem_crs->IsProjected())
        throw Refusal(o.dem_path + ": CRS " + crs_label(*dem_crs) +
                      " is not projected; distances along the path need metres (reproject the DEM, "
                      "for example with gdalwarp -t_srs EPSG:...)");
    if (std::fabs(dem_crs->GetLinearUnits() - 1.0) > 1e-12)
        throw Refusal(o.dem_path + ": CRS " + crs_label(*dem_crs) +
                      " has its coordinates in units other than metres");

    // The line into the DEM's CRS.
    if (!line.crs->IsSame(dem_crs.get())) {
        std::unique_ptr<OGRCoordinateTransformation> ct(
            OGRCreateCoordinateTransformation(line.crs.get(), dem_crs.get()));
        if (!ct)
            throw Refusal(o.line_path + ": no transformation from " + crs_label(*line.crs) +
                          " to " + crs_label(*dem_crs));
        for (auto& [x, y] : line.points)
            if (!ct->Transform(1, &x, &y))
                throw Refusal(o.line_path + ": vertex (" + fmt("%.8g", x) + ", " + fmt("%.8g", y) +
                              ") cannot be transformed to " + crs_label(*dem_crs));
        p.notes.push_back("the line reprojected from " + crs_label(*line.crs) + " to the DEM's " +
                          crs_label(*dem_crs));
    }
    // Repeated vertices add nothing.
    std::vector<std::pair<double, double>> v;
    for (const auto& pt : line.points)
        if (v.empty() || pt != v.back()) v.push_back(pt);
    double length = 0.0;
    for (std::size_t i = 1; i < v.size(); ++i)
        length += std::hypot(v[i].first - v[i - 1].first, v[i].second - v[i - 1].second);
    p.line_length_m = length;
    if (length < 6.0 * o.spacing_m)
        throw Refusal(o.line_path + ": layer \"" + line.layer + "\", feature " +
                      std::to_string(line.fid) + ": the path is " + fmt("%.1f", length) +
                      " m long, shorter than six cells of " + fmt("%g", o.spacing_m) +
                      " m (--spacing)");

    auto sample_all = [&](Profile& q) {
        q.elevation_m.clear();
        for (std::size_t i = 0; i < q.distance_m.size(); ++i) {
            const std::string where = at_position(q.distance_m[i], q.easting[i], q.northing[i]);
            const auto z = r.sample(q.easting[i], q.northing[i], where);
            if (!z) throw Refusal(o.dem_path + ": band 1: the path leaves the DEM " + where);
            q.elevation_m.push_back(*z);
        }
    };
    resample(v, o.spacing_m, p.distance_m, p.easting, p.northing);
    sample_all(p);
    if (p.elevation_m.back() > p.elevation_m.front()) {
        p.notes.push_back("the line runs uphill (" + fmt("%.1f", p.elevation_m.front()) + " m to " +
                          fmt("%.1f", p.elevation_m.back()) + " m): taken from its other end");
        p.flipped = true;
        std::reverse(v.begin(), v.end());
        resample(v, o.spacing_m, p.distance_m, p.easting, p.northing);
        sample_all(p);
    }
    bool descends = false;
    // A step counts as descending by a millimetre: the bilinear weights of a
    // flat DEM sum to 1 only within rounding.
    for (std::size_t i = 1; i < p.elevation_m.size(); ++i)
        descends |= p.elevation_m[i] < p.elevation_m[i - 1] - 1e-3;
    if (!descends)
        throw Refusal(o.dem_path + ": band 1: the profile under " + o.line_path +
                      " never descends (" + fmt("%.2f", p.elevation_m.front()) + " m all along)");

    // Release points.
    const std::size_t n = p.distance_m.size();
    p.released.assign(n, false);
    if (!o.release_polygon.empty()) {
        Dataset pd = open_dataset(o.release_polygon, GDAL_OF_VECTOR, "a vector file");
        OGRMultiPolygon zone;
        std::unique_ptr<OGRSpatialReference> zone_crs;
        for (int l = 0; l < pd->GetLayerCount(); ++l) {
            OGRLayer* layer = pd->GetLayer(l);
            for (auto& f : *layer) {
                const OGRGeometry* g = f->GetGeometryRef();
                if (!g) continue;
                const auto type = wkbFlatten(g->getGeometryType());
                if (type != wkbPolygon && type != wkbMultiPolygon) continue;
                if (!zone_crs && layer->GetSpatialRef()) {
                    zone_crs.reset(layer->GetSpatialRef()->Clone());
                    zone_crs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
                }
                if (type == wkbPolygon) {
                    zone.addGeometry(g);
                } else {
                    for (const auto* part : *g->toMultiPolygon()) zone.addGeometry(part);
                }
            }
        }
        if (zone.IsEmpty()) throw Refusal(o.release_polygon + ": no polygon in any layer");
        if (!zone_crs) {
            p.notes.push_back(o.release_polygon + " has no CRS: taken as the DEM's");
        } else if (!zone_crs->IsSame(dem_crs.get())) {
            std::unique_ptr<OGRCoordinateTransformation> ct(
                OGRCreateCoordinateTransformation(zone_crs.get(), dem_crs.get()));
            if (!ct || zone.transform(ct.get()) != OGRERR_NONE)
                throw Refusal(o.release_polygon + ": cannot be transformed to " +
                              crs_label(*dem_crs));
        }
        for (std::size_t i = 0; i < n; ++i) {
            OGRPoint pt(p.easting[i], p.northing[i]);
            p.released[i] = zone.Intersects(&pt);
        }
        if (std::find(p.released.begin(), p.released.end(), true) == p.released.end())
            throw Refusal(o.release_polygon + ": the path does not cross the release polygons");
    } else {
        const double from = o.release_m ? o.release_m->first : 0.0;
        const double to = o.release_m ? o.release_m->second : 0.1 * p.distance_m.back();
        for (std::size_t i = 0; i < n; ++i)
            p.released[i] = p.distance_m[i] >= from && p.distance_m[i] <= to;
        if (std::find(p.released.begin(), p.released.end(), true) == p.released.end())
            throw Refusal("--release " + fmt("%g", from) + ":" + fmt("%g", to) +
                          ": no point of the profile lies there (the profile is " +
                          fmt("%.1f", p.distance_m.back()) + " m long, points every " +
                          fmt("%g", o.spacing_m) + " m)");
    }

    char* wkt = nullptr;
    const char* wkt_options[] = {"FORMAT=WKT2_2019", "MULTILINE=NO", nullptr};
    dem_crs->exportToWkt(&wkt, wkt_options);
    p.crs_wkt = wkt ? wkt : "";
    CPLFree(wkt);
    p.crs_name = dem_crs->GetName() ? dem_crs->GetName() : "";
    p.crs_epsg = epsg_of(*dem_crs);
    p.dem_text = o.dem_path + " (band 1, " + std::to_string(r.width) + " x " +
                 std::to_string(r.height) + " pixels of " + fmt("%g", std::fabs(r.gt[1])) + " x " +
                 fmt("%g", std::fabs(r.gt[5])) + " m)";
    return p;
}

std::string command_file_text(const Options& o, const Profile& p) {
    const std::size_t n = p.distance_m.size();
    double steepest = 0.0;
    std::size_t steepest_at = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const double a = std::atan2(p.elevation_m[i - 1] - p.elevation_m[i],
                                    p.distance_m[i] - p.distance_m[i - 1]);
        if (a > steepest) steepest = a, steepest_at = i - 1;
    }
    const double top = p.elevation_m.front();
    const double z_ref = o.snow_elevation_m.value_or(top);
    const ReleaseValues rel;
    std::size_t first_rel = n, last_rel = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (p.released[i]) first_rel = std::min(first_rel, i), last_rel = i;

    std::vector<std::string> c;
    c.push_back(
        "# TORLA command file made by torla-profile from a digital elevation model and a path "
        "line.");
    for (auto& l : keyed_comment_lines("command:", o.argv_text)) c.push_back(l);
    for (auto& l : keyed_comment_lines("dem:", p.dem_text)) c.push_back(l);
    for (auto& l : keyed_comment_lines("line:", p.line_text)) c.push_back(l);
    c.push_back("# crs: " + (p.crs_epsg.empty() ? std::string("no EPSG code") : p.crs_epsg) + " (" +
                p.crs_name.substr(0, 150) + ")");
    c.push_back("# The CRS as WKT, split over the crs_wkt lines (join them without separator):");
    for (auto& l : keyed_comment_lines("crs_wkt", p.crs_wkt)) c.push_back(l);
    for (const auto& note : p.notes)
        for (auto& l : keyed_comment_lines("note:", note)) c.push_back(l);
    c.push_back("# Profile: " + std::to_string(n) + " points every " + fmt("%g", o.spacing_m) +
                " m of horizontal distance" +
                (p.flipped ? " (the line taken from its other end)" : "") + "; length " +
                fmt("%.1f", p.distance_m.back()) + " m (line " + fmt("%.1f", p.line_length_m) +
                " m), drop " + fmt("%.1f", top - p.elevation_m.back()) + " m (" + fmt("%.1f", top) +
                " to " + fmt("%.1f", p.elevation_m.back()) + " m),");
    c.push_back("#   steepest slope " + fmt("%.1f", steepest * 180.0 / M_PI) + " degrees between " +
                fmt("%.0f", p.distance_m[steepest_at]) + " and " +
                fmt("%.0f", p.distance_m[steepest_at + 1]) +
                " m; elevations sampled bilinearly from the DEM.");
    c.push_back("# Coordinate rows: index, horizontal distance from the top (m), elevation (m),");
    c.push_back(
        "#   easting and northing in the CRS above (m; the result file keeps them as 32-bit "
        "floats).");
    c.push_back("# Snow cover: " + fmt("%g", o.snow_depth_m) + " m at " + fmt("%.1f", z_ref) +
                " m" + (o.snow_elevation_m ? "" : " (the top of the profile)") + ", changing by " +
                fmt("%g", o.snow_gradient_m_per_100m) +
                " m per 100 m of elevation (0 m at least);");
    c.push_back("#   density " + fmt("%g", o.snow_density_kg_m3) + " kg/m3, threshold velocity " +
                fmt("%g", o.threshold_velocity_m_s) + " m/s.");
    const std::string rel_where =
        !o.release_polygon.empty()
            ? "where the path lies in the polygons of " + o.release_polygon.substr(0, 120)
        : o.release_m ? "over " + fmt("%g", o.release_m->first) + " to " +
                            fmt("%g", o.release_m->second) + " m along the path (--release)"
                      : "over the upper tenth of the path (0 to " +
                            fmt("%.1f", 0.1 * p.distance_m.back()) + " m)";
    c.push_back("# Release " + rel_where + ": points " + std::to_string(first_rel) + " to " +
                std::to_string(last_rel) + ", tapering to nothing over one point;");
    c.push_back("#   saltation h2 " + fmt("%g", rel.h2_m) + " m, u2 " + fmt("%g", rel.u2_m_s) +
                " m/s, rho2 " + fmt("%g", rel.rho2_kg_m3) + " kg/m3; suspension h3 " +
                fmt("%g", rel.h3_m) + " m, u3 " + fmt("%g", rel.u3_m_s) + " m/s, " +
                fmt("%g", rel.snow_kg_m3) + " kg/m3 of snow, k3 " + fmt("%g", rel.k3_m2_s2) +
                " m2/s2, eps3 " + fmt("%g", rel.eps3_m2_s3) + " m2/s3.");
    c.push_back("# Grid: cells of at most " + fmt("%g", o.spacing_m) +
                " m, corners rounded within " + fmt("%g", 0.3 * o.spacing_m) + " m.");
    c.push_back(
        "# Local rows: index, (not used), u_threshold (m/s), h1 (m), rho1 (kg/m3), h2 (m), u2 "
        "(m/s),");
    c.push_back(
        "#   rho2 (kg/m3), h3 (m), u3 (m/s), snow mass per volume (kg/m3), k3 (m2/s2), eps3 "
        "(m2/s3).");

    std::ostringstream out;
    for (const auto& l : c) out << l << "\n";
    out << "\n";
    auto name_line = [](const std::string& key, const std::string& v) {
        return key + " " + v.substr(0, 200) + "\n";
    };
    std::string stem = o.line_path;
    if (const auto slash = stem.find_last_of('/'); slash != std::string::npos)
        stem = stem.substr(slash + 1);
    out << name_line("Track_Name", o.track_name.empty() ? "Path " + stem : o.track_name);
    out << name_line("Run_Name", o.run_name.empty()
                                     ? "Release " + fmt("%.0f", p.distance_m[first_rel]) + "-" +
                                           fmt("%.0f", p.distance_m[last_rel]) + " m, " +
                                           fmt("%g", o.snow_depth_m) + " m snow"
                                     : o.run_name);
    out << "| POWDER SNOW GLOBAL PARAMETERS\n";
    out << "Grid_Method Polygon\n";
    out << "Elem_Size " << fmt("%g", o.spacing_m) << "\n";
    out << "Max_Dev " << fmt("%g", 0.3 * o.spacing_m) << "\n";
    out << "Max_Time " << fmt("%g", o.max_time_s) << "\n";
    out << "Dump_Interval " << fmt("%g", o.dump_interval_s) << "\n";
    if (!o.numerics.empty()) out << "Numerics " << o.numerics << "\n";
    out << "| COORDINATES\n";
    out << "Number_of_Points " << n << "\n";
    for (std::size_t i = 0; i < n; ++i)
        out << i << " " << fmt("%.3f", p.distance_m[i]) << " " << fmt("%.3f", p.elevation_m[i])
            << " " << fmt("%.3f", p.easting[i]) << " " << fmt("%.3f", p.northing[i]) << "\n";
    out << "| POWDER SNOW LOCAL PARAMETERS\n";
    for (std::size_t i = 0; i < n; ++i) {
        const double h1 = std::max(
            0.0, o.snow_depth_m + o.snow_gradient_m_per_100m * (p.elevation_m[i] - z_ref) / 100.0);
        out << i << " 0 " << fmt("%g", o.threshold_velocity_m_s) << " " << fmt("%.3f", h1) << " "
            << fmt("%g", o.snow_density_kg_m3);
        if (p.released[i])
            out << " " << fmt("%g", rel.h2_m) << " " << fmt("%g", rel.u2_m_s) << " "
                << fmt("%g", rel.rho2_kg_m3) << " " << fmt("%g", rel.h3_m) << " "
                << fmt("%g", rel.u3_m_s) << " " << fmt("%g", rel.snow_kg_m3) << " "
                << fmt("%g", rel.k3_m2_s2) << " " << fmt("%g", rel.eps3_m2_s3);
        else
            out << " 0 0 0 0 0 0 0 0";
        out << "\n";
    }
    out << "| END OF FILE\n";
    return out.str();
}

}  // namespace torla::profile
