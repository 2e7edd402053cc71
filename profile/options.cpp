// torla-profile's options (options.h), read with CLI11. Every value is
// checked by the rules below before it is taken; a refused one is named
// with the option: "--spacing: `0' is not a value it takes".
#include "profile/options.h"

#include <cmath>
#include <cstdlib>
#include <optional>

#include "profile/text_escape.h"
#include "support/cli_options.h"

namespace torla::profile {

namespace {

// A finite number as strtod reads all of the text, or nothing.
std::optional<double> number(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

enum class Range { kAny, kNonNegative, kPositive };

bool in_range(const std::optional<double>& x, Range r) {
    return x && (r == Range::kAny || (r == Range::kPositive ? *x > 0.0 : *x >= 0.0));
}

CLI::Validator takes(std::function<bool(const std::string&)> ok) {
    return cli::value_check(std::move(ok), "is not a value it takes", escaped);
}

// FROM:TO, 0 <= FROM <= TO.
std::optional<std::pair<double, double>> release_range(const std::string& text) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const auto from = number(text.substr(0, colon)), to = number(text.substr(colon + 1));
    if (!from || !to || *from < 0 || *to < *from) return std::nullopt;
    return std::pair{*from, *to};
}

// name is "--option VALUE": the option and the value's name in the help.
void add_number(CLI::App& app, const std::string& name, Range r, std::function<void(double)> set,
                const std::string& help) {
    const auto space = name.find(' ');
    app.add_option_function<std::string>(
           name.substr(0, space), [set](const std::string& v) { set(*number(v)); }, help)
        ->type_name(name.substr(space + 1))
        ->check(takes([r](const std::string& v) { return in_range(number(v), r); }));
}

void add_numbers(CLI::App& app, Options& o) {
    using R = Range;
    add_number(
        app, "--spacing M", R::kPositive, [&o](double x) { o.spacing_m = x; },
        "horizontal distance between profile points (default 10 m)");
    add_number(
        app, "--cell-size M", R::kPositive, [&o](double x) { o.cell_size_m = x; },
        "cells of at most M m (Elem_Size; default: the spacing)");
    add_number(
        app, "--smooth M", R::kNonNegative, [&o](double x) { o.smooth_m = x; },
        "average the sampled elevations over M horizontal m (default off)");
    add_number(
        app, "--snow-depth M", R::kNonNegative, [&o](double x) { o.snow_depth_m = x; },
        "snow cover depth at --snow-elevation (default 1 m)");
    add_number(
        app, "--snow-elevation M", R::kAny, [&o](double x) { o.snow_elevation_m = x; },
        "reference elevation of --snow-depth (default: the top of the profile)");
    add_number(
        app, "--snow-gradient M", R::kAny, [&o](double x) { o.snow_gradient_m_per_100m = x; },
        "change of the depth per 100 m of elevation (default 0.05 m)");
    add_number(
        app, "--snow-density KG_M3", R::kPositive, [&o](double x) { o.snow_density_kg_m3 = x; },
        "density of the cover (default 120 kg/m3)");
    add_number(
        app, "--threshold-velocity M_S", R::kPositive,
        [&o](double x) { o.threshold_velocity_m_s = x; },
        "threshold velocity of the cover (default 0.4 m/s)");
    add_number(
        app, "--release-depth M", R::kPositive, [&o](double x) { o.release_depth_m = x; },
        "fracture depth: the cover density x M released per m2 of slope (default: the "
        "bundled release; a polygon's thickness attribute)");
    add_number(
        app, "--split-at S", R::kNonNegative, [&o](double x) { o.split_at_m = x; },
        "alpha-beta split point S horizontal m from the top (default: the lower end of the "
        "release)");
    add_number(
        app, "--max-time S", R::kPositive, [&o](double x) { o.max_time_s = x; },
        "simulated time (default 100 s)");
    add_number(
        app, "--dump-interval S", R::kPositive, [&o](double x) { o.dump_interval_s = x; },
        "time between dumps (default 2 s)");
}

void add_words(CLI::App& app, Options& o) {
    app.add_option(
           "DEM", o.dem_path,
           "a raster (GeoTIFF, ESRI ASCII grid, ...; docs/terrain.md), band 1 = elevation (m)")
        ->required()
        ->type_name("FILE");
    app.add_option("PATH", o.line_path,
                   "any vector file OGR reads with the path as a line (GeoJSON, shapefile, "
                   "GeoPackage, GPX, "
                   "KML, ...); drawn either way, it is taken downhill")
        ->required()
        ->type_name("FILE");
    app.add_option("-o", o.out_path, "the command file written")->type_name("FILE.cmd");
    app.add_option_function<std::string>(
           "--line", [&o](const std::string& v) { o.line_name = v; },
           "the line whose name attribute is NAME (a file with several lines)")
        ->type_name("NAME");
    app.add_option_function<std::string>(
           "--line-index",
           [&o](const std::string& v) { o.line_index = static_cast<int>(*number(v)); },
           "the K-th line (from 0) as the message lists them")
        ->type_name("K")
        ->check(takes([](const std::string& v) {
            const auto x = number(v);
            return x && *x >= 0 && *x == std::floor(*x) && *x < 1e9;
        }));
    app.add_option("--assume-crs", o.assume_crs,
                   "CRS of an input that has none (EPSG:2056, a WKT, a PROJ string)")
        ->type_name("CRS");
    app.add_option_function<std::string>(
           "--release", [&o](const std::string& v) { o.release_m = release_range(v); },
           "release over FROM to TO m along the path (default: the upper tenth)")
        ->type_name("FROM:TO")
        ->check(takes([](const std::string& v) { return release_range(v).has_value(); }));
    app.add_option("--release-polygon", o.release_polygon,
                   "release where the path lies in the polygons of FILE")
        ->type_name("FILE");
    app.add_option("--split-point", o.split_point_path,
                   "the split point: the one point of FILE, snapped onto the path")
        ->type_name("FILE");
    app.add_option("--numerics", o.numerics, "standard or robust (default robust)")
        ->type_name("WORD")
        ->check(takes([](const std::string& v) { return v == "standard" || v == "robust"; }));
    app.add_option("--name", o.track_name, "Track_Name (default: Path <line file name>)")
        ->type_name("TEXT");
    app.add_option("--run-name", o.run_name, "Run_Name (default: the release and the snow depth)")
        ->type_name("TEXT");
}

// What is wrong with the options together, or "".
std::string together(const Options& o) {
    if (o.dem_path.empty() || o.line_path.empty()) return "a DEM and a path line are needed";
    if (o.out_path.empty()) return "-o FILE.cmd is needed";
    if (o.release_m && !o.release_polygon.empty())
        return "--release and --release-polygon exclude each other";
    if (o.split_at_m && !o.split_point_path.empty())
        return "--split-at and --split-point exclude each other";
    return "";
}

}  // namespace

int parse_profile_options(int argc, char** argv, Options& o) {
    for (int a = 0; a < argc; ++a) o.argv_text += (a ? " " : "") + std::string(argv[a]);
    CLI::App app{
        "A torla command file from a DEM and a path line: the profile under the line, the snow "
        "cover, the release and the run's settings.",
        "torla-profile"};
    cli::house_style(app);
    app.footer(
        "Exit status: 0 written, 1 an input refused or the output not written, 2 wrong usage.");
    add_words(app, o);
    add_numbers(app, o);
    return cli::parse(app, argc, argv, "torla-profile", escaped, [&o] { return together(o); });
}

}  // namespace torla::profile
