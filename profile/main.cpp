// torla-profile DEM PATH -o FILE.cmd [options]
//
// Exit status: 0 written, 1 an input refused or the output not written (the
// message names the file, the layer and the position), 2 wrong usage.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <gdal.h>

#include "profile/file_checks.h"
#include "profile/profile.h"
#include "profile/text_escape.h"

namespace {

constexpr int kStatusRefused = 1;
constexpr int kStatusUsage = 2;

const char* const kUsage =
    "usage: torla-profile DEM PATH -o FILE.cmd [options]\n"
    "\n"
    "DEM    any raster GDAL reads (GeoTIFF, ESRI ASCII grid, VRT, ...), band 1 = elevation (m)\n"
    "PATH   any vector file OGR reads with the path as a line (GeoJSON, shapefile,\n"
    "       GeoPackage, GPX, KML, ...); drawn either way, it is taken downhill\n"
    "\n"
    "  --line NAME            the line whose name attribute is NAME (a file with several lines)\n"
    "  --line-index K         the K-th line (from 0) as the message lists them\n"
    "  --assume-crs CRS       CRS of an input that has none (EPSG:2056, a WKT, a PROJ string)\n"
    "  --spacing M            horizontal distance between profile points (default 10 m)\n"
    "  --cell-size M          cells of at most M m (Elem_Size; default: the spacing)\n"
    "  --smooth M             average the sampled elevations over M horizontal m (default off)\n"
    "  --snow-depth M         snow cover depth at --snow-elevation (default 1 m)\n"
    "  --snow-elevation M     reference elevation of --snow-depth (default: the top of the "
    "profile)\n"
    "  --snow-gradient M      change of the depth per 100 m of elevation (default 0.05 m)\n"
    "  --snow-density KG_M3   density of the cover (default 120 kg/m3)\n"
    "  --threshold-velocity M_S  threshold velocity of the cover (default 0.4 m/s)\n"
    "  --release FROM:TO      release over FROM to TO m along the path (default: the upper tenth)\n"
    "  --release-polygon FILE release where the path lies in the polygons of FILE\n"
    "  --release-depth M      fracture depth: the cover density x M released per m2 of slope\n"
    "                         (default: the bundled release; a polygon's thickness attribute)\n"
    "  --split-at S           alpha-beta split point S horizontal m from the top\n"
    "                         (default: the lower end of the release)\n"
    "  --split-point FILE     the split point: the one point of FILE, snapped onto the path\n"
    "  --max-time S           simulated time (default 100 s)\n"
    "  --dump-interval S      time between dumps (default 2 s)\n"
    "  --numerics WORD        standard or robust (default robust)\n"
    "  --name TEXT            Track_Name (default: Path <line file name>)\n"
    "  --run-name TEXT        Run_Name (default: the release and the snow depth)\n";

int usage_error(const std::string& what) {
    std::cerr << "torla-profile: " << what << "\n" << kUsage;
    return kStatusUsage;
}

bool number(const char* text, double& out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v)) return false;
    out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using torla::profile::NamedFile;
    using torla::profile::Options;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    Options o;
    for (int a = 0; a < argc; ++a) {
        if (a) o.argv_text += ' ';
        o.argv_text += argv[a];
    }
    std::vector<std::string> positional;
    for (int a = 1; a < argc; ++a) {
        const std::string opt = argv[a];
        if (opt.size() < 2 || opt[0] != '-') {
            positional.push_back(opt);
            continue;
        }
        if (a + 1 >= argc) return usage_error(torla::profile::escaped(opt) + " needs a value");
        const char* v = argv[++a];
        double x = 0.0;
        auto need_number = [&](double& target, bool positive) {
            if (!number(v, x) || (positive && !(x > 0.0))) return false;
            target = x;
            return true;
        };
        bool ok = true;
        if (opt == "-o")
            o.out_path = v;
        else if (opt == "--line")
            o.line_name = v;
        else if (opt == "--line-index") {
            ok = number(v, x) && x >= 0 && x == std::floor(x) && x < 1e9;
            if (ok) o.line_index = static_cast<int>(x);
        } else if (opt == "--assume-crs")
            o.assume_crs = v;
        else if (opt == "--spacing")
            ok = need_number(o.spacing_m, true);
        else if (opt == "--cell-size") {
            double c = 0;
            ok = need_number(c, true);
            o.cell_size_m = c;
        } else if (opt == "--smooth")
            ok = need_number(o.smooth_m, false) && x >= 0;
        else if (opt == "--release-depth") {
            double d = 0;
            ok = need_number(d, true);
            o.release_depth_m = d;
        } else if (opt == "--split-at") {
            double d = 0;
            ok = need_number(d, false) && x >= 0;
            o.split_at_m = d;
        } else if (opt == "--split-point")
            o.split_point_path = v;
        else if (opt == "--snow-depth")
            ok = need_number(o.snow_depth_m, false) && x >= 0;
        else if (opt == "--snow-elevation") {
            double e = 0;
            ok = need_number(e, false);
            o.snow_elevation_m = e;
        } else if (opt == "--snow-gradient")
            ok = need_number(o.snow_gradient_m_per_100m, false);
        else if (opt == "--snow-density")
            ok = need_number(o.snow_density_kg_m3, true);
        else if (opt == "--threshold-velocity")
            ok = need_number(o.threshold_velocity_m_s, true);
        else if (opt == "--release") {
            const char* colon = std::strchr(v, ':');
            double from = 0, to = 0;
            ok = colon && number(std::string(v, colon).c_str(), from) && number(colon + 1, to) &&
                 from >= 0 && to >= from;
            if (ok) o.release_m = {from, to};
        } else if (opt == "--release-polygon")
            o.release_polygon = v;
        else if (opt == "--max-time")
            ok = need_number(o.max_time_s, true);
        else if (opt == "--dump-interval")
            ok = need_number(o.dump_interval_s, true);
        else if (opt == "--numerics") {
            ok = std::strcmp(v, "standard") == 0 || std::strcmp(v, "robust") == 0;
            if (ok) o.numerics = v;
        } else if (opt == "--name")
            o.track_name = v;
        else if (opt == "--run-name")
            o.run_name = v;
        else
            return usage_error("unknown option `" + torla::profile::escaped(opt) + "'");
        if (!ok)
            return usage_error(opt + ": `" + torla::profile::escaped(v) +
                               "' is not a value it takes");
    }
    if (positional.size() != 2) return usage_error("a DEM and a path line are needed");
    if (o.out_path.empty()) return usage_error("-o FILE.cmd is needed");
    if (o.release_m && !o.release_polygon.empty())
        return usage_error("--release and --release-polygon exclude each other");
    if (o.split_at_m && !o.split_point_path.empty())
        return usage_error("--split-at and --split-point exclude each other");
    o.dem_path = positional[0];
    o.line_path = positional[1];

    int status = 0;
    try {
        std::vector<NamedFile> inputs = {{"DEM", o.dem_path}, {"path line", o.line_path}};
        if (!o.release_polygon.empty()) inputs.push_back({"release polygon file", o.release_polygon});
        if (!o.split_point_path.empty()) inputs.push_back({"split-point file", o.split_point_path});
        for (const NamedFile& f : inputs) torla::profile::require_regular_input(f);
        torla::profile::require_safe_output(o.out_path, inputs);
        const torla::profile::Profile p = torla::profile::make_profile(o);
        for (const auto& note : p.notes) std::cerr << "torla-profile: note: " << note << "\n";
        torla::profile::write_atomically(o.out_path, torla::profile::command_file_text(o, p));
        std::cerr << "torla-profile: " << torla::profile::escaped(o.out_path) << ": "
                  << p.distance_m.size() << " points, " << p.distance_m.back() << " m, drop "
                  << p.elevation_m.front() - p.elevation_m.back() << " m\n";
    } catch (const std::runtime_error& e) {
        // A refusal or a failed write: status 1 either way.
        std::cerr << "torla-profile: " << e.what() << "\n";
        status = kStatusRefused;
    }
    GDALDestroy();
    return status;
}
