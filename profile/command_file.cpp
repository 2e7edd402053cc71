// The command file torla-profile writes: a comment block stating what was
// read and chosen (prose, and `# key: value' lines for programs), the global
// section, the coordinate rows and the local rows.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <utility>

#include "input/command_writer.h"
#include "profile/profile.h"
#include "profile/release.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

struct ReleaseSpan {
    std::size_t first = 0, last = 0;  // the first and last released point
};

ReleaseSpan release_span(const Profile& p) {
    ReleaseSpan r{p.distance_m.size(), 0};
    for (std::size_t i = 0; i < p.released.size(); ++i)
        if (p.released[i]) r.first = std::min(r.first, i), r.last = i;
    return r;
}

// The release at point i: the bundled one, or from the fracture depth.
ReleaseValues release_at(const Options& o, const Profile& p, std::size_t i) {
    const double d = p.release_depth_m.empty() ? NAN : p.release_depth_m[i];
    return std::isnan(d) ? ReleaseValues{} : release_for_mass(o.snow_density_kg_m3 * d);
}

// The cover depth at point i: by elevation, less the released slab.
double cover_at(const Options& o, const Profile& p, std::size_t i) {
    const double z_ref = o.snow_elevation_m.value_or(p.elevation_m.front());
    double h1 = std::max(
        0.0, o.snow_depth_m + o.snow_gradient_m_per_100m * (p.elevation_m[i] - z_ref) / 100.0);
    if (p.released[i] && !p.release_depth_m.empty() && !std::isnan(p.release_depth_m[i]))
        h1 = std::max(0.0, h1 - p.release_depth_m[i]);
    return h1;
}

void add(std::vector<std::string>& c, const std::string& key, const std::string& value) {
    for (auto& l : keyed_comment_lines(key, value)) c.push_back(l);
}

void describe_profile(const Options& o, const Profile& p, std::vector<std::string>& c) {
    const std::size_t n = p.distance_m.size();
    double steepest = 0.0;
    std::size_t at = 0;
    for (std::size_t i = 1; i < n; ++i) {
        const double a = std::atan2(p.elevation_m[i - 1] - p.elevation_m[i],
                                    p.distance_m[i] - p.distance_m[i - 1]);
        if (a > steepest) steepest = a, at = i - 1;
    }
    const double top = p.elevation_m.front();
    c.push_back("# Profile: " + std::to_string(n) + " points every " + fmt("%g", o.spacing_m) +
                " m of horizontal distance" +
                (p.flipped ? " (the line taken from its other end)" : "") + "; length " +
                fmt("%.1f", p.distance_m.back()) + " m (line " + fmt("%.1f", p.line_length_m) +
                " m), drop " + fmt("%.1f", top - p.elevation_m.back()) + " m (" + fmt("%.1f", top) +
                " to " + fmt("%.1f", p.elevation_m.back()) + " m),");
    c.push_back("#   steepest slope " + fmt("%.1f", steepest * 180.0 / M_PI) + " degrees between " +
                fmt("%.0f", p.distance_m[at]) + " and " + fmt("%.0f", p.distance_m[at + 1]) +
                " m; elevations sampled bilinearly from the DEM" +
                (o.smooth_m > 0
                     ? ", then averaged over " + fmt("%g", o.smooth_m) + " m (--smooth; at most " +
                           fmt("%.2f", p.smooth_change_m) + " m changed)."
                     : "."));
    c.push_back("# Coordinate rows: index, horizontal distance from the top (m), elevation (m),");
    c.push_back(
        "#   easting and northing in the CRS above (m; the result file keeps them as 32-bit "
        "floats).");
    c.push_back("# Snow cover: " + fmt("%g", o.snow_depth_m) + " m at " +
                fmt("%.1f", o.snow_elevation_m.value_or(top)) + " m" +
                (o.snow_elevation_m ? "" : " (the top of the profile)") + ", changing by " +
                fmt("%g", o.snow_gradient_m_per_100m) +
                " m per 100 m of elevation (0 m at least);");
    c.push_back("#   density " + fmt("%g", o.snow_density_kg_m3) + " kg/m3, threshold velocity " +
                fmt("%g", o.threshold_velocity_m_s) + " m/s.");
}

void describe_release(const Options& o, const Profile& p, std::vector<std::string>& c) {
    const ReleaseSpan span = release_span(p);
    const std::string where =
        !o.release_polygon.empty()
            ? "where the path lies in the polygons of " +
                  escaped(o.release_polygon)
                      .substr(0, utf8_prefix(escaped(o.release_polygon), 0, 120))
        : o.release_m ? "over " + fmt("%g", o.release_m->first) + " to " +
                            fmt("%g", o.release_m->second) + " m along the path (--release)"
                      : "over the upper tenth of the path (0 to " +
                            fmt("%.1f", 0.1 * p.distance_m.back()) + " m)";
    c.push_back("# Release " + where + ": points " + std::to_string(span.first) + " to " +
                std::to_string(span.last) + ", tapering to nothing over one point;");
    const ReleaseValues rel = release_at(o, p, span.first);
    if (p.release_depth_source.empty()) {
        c.push_back("#   saltation h2 " + fmt("%g", rel.h2_m) + " m, u2 " + fmt("%g", rel.u2_m_s) +
                    " m/s, rho2 " + fmt("%g", rel.rho2_kg_m3) + " kg/m3; suspension h3 " +
                    fmt("%g", rel.h3_m) + " m, u3 " + fmt("%g", rel.u3_m_s) + " m/s, " +
                    fmt("%g", rel.snow_kg_m3) + " kg/m3 of snow, k3 " + fmt("%g", rel.k3_m2_s2) +
                    " m2/s2, eps3 " + fmt("%g", rel.eps3_m2_s3) + " m2/s3.");
        return;
    }
    c.push_back("#   a fracture depth (" + p.release_depth_source + ") times the cover density " +
                fmt("%g", o.snow_density_kg_m3) + " kg/m3 released per m2 of slope, " +
                fmt("%.4f", kSaltationMassShare) + " of it");
    c.push_back("#   saltating at rho2 " + fmt("%g", rel.rho2_kg_m3) +
                " kg/m3, the rest suspended at " + fmt("%g", rel.snow_kg_m3) +
                " kg/m3 (the bundled release's shares), u2 = u3 " + fmt("%g", rel.u2_m_s) +
                " m/s; the cover there less the depth.");
}

// The machine-readable facts, one `# key: value' line each.
void facts(const Options& o, const Profile& p, std::vector<std::string>& c) {
    const ReleaseSpan span = release_span(p);
    const double cell = o.cell_size_m.value_or(o.spacing_m);
    c.push_back("# numerics: " + o.numerics);
    c.push_back("# spacing_m: " + fmt("%g", o.spacing_m));
    c.push_back("# cell_size_m: " + fmt("%g", cell));
    c.push_back("# smooth_m: " + fmt("%g", o.smooth_m));
    c.push_back("# smooth_max_change_m: " + fmt("%.3f", p.smooth_change_m));
    c.push_back("# release_from_m: " + fmt("%.3f", p.distance_m[span.first]));
    c.push_back("# release_to_m: " + fmt("%.3f", p.distance_m[span.last]));
    if (!p.release_depth_source.empty()) {
        double lo = INFINITY, hi = -INFINITY;
        for (std::size_t i = 0; i < p.released.size(); ++i)
            if (p.released[i])
                lo = std::min(lo, p.release_depth_m[i]), hi = std::max(hi, p.release_depth_m[i]);
        c.push_back("# release_depth_m: " + fmt("%g", lo) +
                    (hi > lo ? " to " + fmt("%g", hi) : ""));
        add(c, "release_depth_source:", p.release_depth_source);
        c.push_back("# release_mass_kg_m2: " + fmt("%.6g", o.snow_density_kg_m3 * lo) +
                    (hi > lo ? " to " + fmt("%.6g", o.snow_density_kg_m3 * hi) : ""));
        c.push_back("# saltation_mass_share: " + fmt("%.6f", kSaltationMassShare));
    } else {
        c.push_back("# release_depth_source: bundled release");
    }
    c.push_back("# split_s_horizontal_m: " + fmt("%.3f", p.split_s_m));
    add(c, "split_source:", p.split_source);
}

std::vector<std::string> comment_block(const Options& o, const Profile& p) {
    std::vector<std::string> c;
    c.push_back(
        "# TORLA command file made by torla-profile from a digital elevation model and a path "
        "line.");
    add(c, "command:", escaped(o.argv_text));
    add(c, "dem:", p.dem_text);
    add(c, "line:", p.line_text);
    c.push_back("# crs: " + (p.crs_epsg.empty() ? std::string("no EPSG code") : p.crs_epsg) + " (" +
                p.crs_name.substr(0, utf8_prefix(p.crs_name, 0, 150)) + ")");
    c.push_back("# The CRS as WKT, split over the crs_wkt lines (join them without separator):");
    add(c, "crs_wkt", p.crs_wkt);
    for (const auto& note : p.notes) add(c, "note:", note);
    describe_profile(o, p, c);
    describe_release(o, p, c);
    const double cell = o.cell_size_m.value_or(o.spacing_m);
    c.push_back("# Grid: cells of at most " + fmt("%g", cell) + " m, corners rounded within " +
                fmt("%g", 0.3 * cell) + " m.");
    c.push_back(
        "# Local rows: index, (not used), u_threshold (m/s), h1 (m), rho1 (kg/m3), h2 (m), u2 "
        "(m/s),");
    c.push_back(
        "#   rho2 (kg/m3), h3 (m), u3 (m/s), snow mass per volume (kg/m3), k3 (m2/s2), eps3 "
        "(m2/s3).");
    facts(o, p, c);
    return c;
}

std::string local_row(const Options& o, const Profile& p, std::size_t i) {
    std::string row = std::to_string(i) + " 0 " + fmt("%g", o.threshold_velocity_m_s) + " " +
                      fmt("%.3f", cover_at(o, p, i)) + " " + fmt("%g", o.snow_density_kg_m3);
    if (!p.released[i]) return row + " 0 0 0 0 0 0 0 0";
    const ReleaseValues r = release_at(o, p, i);
    // Depths from a fracture depth to 12 digits: the released mass is kept.
    const char* depth = p.release_depth_source.empty() ? "%g" : "%.12g";
    for (const auto& [f, v] :
         std::initializer_list<std::pair<const char*, double>>{{depth, r.h2_m},
                                                               {"%g", r.u2_m_s},
                                                               {"%g", r.rho2_kg_m3},
                                                               {depth, r.h3_m},
                                                               {"%g", r.u3_m_s},
                                                               {"%g", r.snow_kg_m3},
                                                               {"%g", r.k3_m2_s2},
                                                               {"%g", r.eps3_m2_s3}})
        row.append(" ").append(fmt(f, v));
    return row;
}

}  // namespace

std::string command_file_text(const Options& o, const Profile& p) {
    const std::size_t n = p.distance_m.size();
    const ReleaseSpan span = release_span(p);
    CommandDocument doc;
    // escaped() changes nothing in text that is escaped already; here it
    // makes sure no comment line is broken by what a file held.
    for (const auto& l : comment_block(o, p)) doc.add(LineKind::kComment, escaped(l));
    doc.add(LineKind::kOther, "");
    auto name_line = [&doc](const std::string& key, const std::string& v) {
        const std::string e = escaped(v);
        doc.add(LineKind::kName, key + " " + e.substr(0, utf8_prefix(e, 0, 200)));
    };
    std::string stem = o.line_path;
    if (const auto slash = stem.find_last_of('/'); slash != std::string::npos)
        stem = stem.substr(slash + 1);
    name_line("Track_Name", o.track_name.empty() ? "Path " + stem : o.track_name);
    name_line("Run_Name", o.run_name.empty() ? "Release " + fmt("%.0f", p.distance_m[span.first]) +
                                                   "-" + fmt("%.0f", p.distance_m[span.last]) +
                                                   " m, " + fmt("%g", o.snow_depth_m) + " m snow"
                                             : o.run_name);
    const double cell = o.cell_size_m.value_or(o.spacing_m);
    doc.add(LineKind::kSection, kPowderSection);
    doc.parameter("Grid_Method", "Polygon");
    doc.parameter("Elem_Size", fmt("%g", cell));
    doc.parameter("Max_Dev", fmt("%g", 0.3 * cell));
    doc.parameter("Max_Time", fmt("%g", o.max_time_s));
    doc.parameter("Dump_Interval", fmt("%g", o.dump_interval_s));
    doc.parameter("Numerics", o.numerics);
    doc.add(LineKind::kSection, kCoordinatesSection);
    doc.add(LineKind::kCount, "Number_of_Points " + std::to_string(n));
    for (std::size_t i = 0; i < n; ++i)
        doc.add(LineKind::kCoordinateRow, std::to_string(i) + " " + fmt("%.3f", p.distance_m[i]) +
                                              " " + fmt("%.3f", p.elevation_m[i]) + " " +
                                              fmt("%.3f", p.easting[i]) + " " +
                                              fmt("%.3f", p.northing[i]));
    doc.add(LineKind::kSection, kLocalSection);
    for (std::size_t i = 0; i < n; ++i) doc.add(LineKind::kLocalRow, local_row(o, p, i));
    doc.add(LineKind::kSection, kEndSection);
    return doc.text();
}

}  // namespace torla::profile
