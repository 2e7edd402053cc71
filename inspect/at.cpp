// torla-inspect RESULT at (--s S | --point E,N) [--heights LIST] [--json | --csv] [-o FILE]
//
// The pressure over height at one cell of the path: at every dump, from the
// dump's layer values and the profile coefficients in the result header
// (model/height_pressure.h), and its peak over the run. The peak comes from
// the peaks over height the run kept on every pass (<result>.heights, key
// Height_Peaks on) where they hold every height asked for, else from the
// dumps alone; `peak_source' says which.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "model/bytes.h"
#include "model/height_pressure.h"
#include "model/runout.h"
#include "output/heights_format.h"
#include "support/cli_options.h"
#include "support/json.h"
#include "support/run_files.h"

namespace torla::inspect {

namespace {

constexpr int kBadFile = 1;
constexpr int kUsage = 2;

// A mistake found after the options were read (the place, the heights, the
// output): the message and where to look, status 2.
int at_usage(const std::string& what) {
    std::cerr << "torla-inspect: at: " << what << "\nRun with --help for more.\n";
    return kUsage;
}

struct AtOptions {
    std::optional<double> s;
    std::optional<std::pair<double, double>> point;
    std::string heights;
    bool json = false, csv = false;
    std::string out_path;
};

bool finite_number(const std::string& text, double& v) {
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && std::isfinite(v);
}

std::optional<std::pair<double, double>> map_point(const std::string& t) {
    const std::size_t comma = t.find(',');
    double e, n;
    if (comma == std::string::npos || !finite_number(t.substr(0, comma), e) ||
        !finite_number(t.substr(comma + 1), n))
        return std::nullopt;
    return std::make_pair(e, n);
}

// Returns -1 to go on, 0 after --help, 2 after wrong usage.
int parse_at_options(int argc, char** argv, AtOptions& o) {
    CLI::App app{
        "The pressure over height at one cell at every dump, and its peak over the run "
        "(docs/heights.md); text, --csv or --json.",
        "torla-inspect RESULT at"};
    cli::house_style(app);
    app.add_option_function<std::string>(
           "--s",
           [&o](const std::string& v) {
               double x = 0.0;
               finite_number(v, x);
               o.s = x;
           },
           "the cell nearest S metres of horizontal distance from the top of the track")
        ->type_name("S")
        ->check(cli::value_check(
            [](const std::string& v) {
                double x;
                return finite_number(v, x);
            },
            "is not a number", plain_text));
    app.add_option_function<std::string>(
           "--point", [&o](const std::string& v) { o.point = map_point(v); },
           "the cell nearest the map point (easting, northing) projected onto the path")
        ->type_name("E,N")
        ->check(cli::value_check([](const std::string& v) { return map_point(v).has_value(); },
                                 "is not EASTING,NORTHING", plain_text));
    app.add_option("--heights", o.heights,
                   "heights above the base of the flow in metres, rising, comma-separated "
                   "(default: those of RESULT.heights, else 2,5,10,15,20,25,30)")
        ->type_name("LIST");
    app.add_flag("--json", o.json, "for scripts");
    app.add_flag("--csv", o.csv, "one row per dump");
    app.add_option("-o", o.out_path, "the file written (default: standard output)")
        ->type_name("FILE");
    return cli::parse(
        app, argc - 2, argv + 2, "torla-inspect", plain_text,
        [&o] {
            if (o.s.has_value() == o.point.has_value()) return "give one of --s and --point";
            if (o.json && o.csv) return "--json and --csv are two forms: choose one";
            return "";
        },
        "at");
}

// Horizontal distance of every cell from cell 0, as the run-outs measure it.
std::vector<double> horizontal_distance(const ResultTables& r) {
    return track_axis(r.geometry).horizontal_m;
}

// Where the cell was found, for the output.
struct Place {
    int cell = -1;
    double horizontal_m = 0.0;
    std::optional<double> distance_m;  // of a map point from the path
};

std::string place_at_distance(const ResultTables& r, double s, Place& p) {
    const std::vector<double> x = horizontal_distance(r);
    const double half = r.n_cells > 1 ? 0.5 * (x.back() - x[x.size() - 2]) : 0.0;
    if (s < -1e-9 || s > x.back() + half)
        return "--s " + number_text(s) + " m lies outside the track, 0 to " +
               number_text(x.back()) + " m of horizontal distance";
    int best = 0;
    for (int i = 1; i < r.n_cells; ++i)
        if (std::fabs(x[i] - s) < std::fabs(x[best] - s)) best = i;
    p = {best, x[best], std::nullopt};
    return "";
}

// The map point projected onto the polyline of the cells' map coordinates;
// the cell is the nearer end of the nearest piece.
std::string place_at_point(const ResultTables& r, double e, double n, Place& p) {
    bool placed = false;
    for (const GeometryRow& g : r.geometry) placed |= g.aux2 != 0.0f || g.aux6 != 0.0f;
    if (!placed)
        return "the geometry table carries no map coordinates (easting, northing); use --s";
    double best = INFINITY;
    for (int i = 0; i < r.n_cells; ++i) {
        const int j = std::min(i + 1, r.n_cells - 1);
        const double ax = r.geometry[i].aux2, ay = r.geometry[i].aux6;
        const double dx = r.geometry[j].aux2 - ax, dy = r.geometry[j].aux6 - ay;
        const double len2 = dx * dx + dy * dy;
        const double t =
            len2 > 0.0 ? std::clamp(((e - ax) * dx + (n - ay) * dy) / len2, 0.0, 1.0) : 0.0;
        const double d = std::hypot(ax + t * dx - e, ay + t * dy - n);
        if (d < best) {
            best = d;
            p.cell = t <= 0.5 ? i : j;
        }
    }
    p.horizontal_m = horizontal_distance(r)[p.cell];
    p.distance_m = best;
    return "";
}

// The value of the last line "KEY number" of a command file's text, or the
// parameter table's default (as the run reads its parameter lines).
double command_value(const std::string& text, const std::string& key) {
    double value = 0.0;
    for (const ParameterEntry& e : parameter_table())
        if (key == e.key) value = e.default_value;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first, number;
        double v;
        if (words >> first >> number && first == key && finite_number(number, v)) value = v;
    }
    return value;
}

// Everything the view shows.
struct AtView {
    Place place;
    std::vector<double> heights;          // m
    std::vector<double> times;            // s, of the dumps
    std::vector<std::vector<double>> p;   // kPa, per dump and height
    std::vector<double> peak, peak_time;  // kPa, s (NaN: never above 0)
    std::string source;                   // passes or dumps
    std::string densities_from;           // where Air_Density and rho_diff came from
};

// The densities, the heights and the kept peaks: from RESULT.heights when
// it is there, else the log's copy of the command file.
std::string gather(const std::string& path, const ResultData& r, const AtOptions& o, AtView& v,
                   HeightProfile& prof) {
    HeightsData h;
    bool kept = false;
    if (std::string err = read_kept_heights(path, r, h, kept); !err.empty()) return err;
    const std::string list = !o.heights.empty() ? o.heights : kept ? "" : kDefaultPeakHeights;
    if (!list.empty()) {
        if (std::string err = parse_height_list(list, v.heights); !err.empty())
            return "--heights: " + err;
    } else {
        v.heights = h.heights;
    }
    double air, rho_diff;
    if (kept) {
        air = h.air_density, rho_diff = h.rho_diff;
        v.densities_from = support::heights_path_of(path);
    } else {
        std::vector<std::string> notes;
        RunContext ctx;
        read_log_copy(path, ctx, notes);
        air = command_value(ctx.command_text, "Air_Density");
        rho_diff = command_value(ctx.command_text, "Particle_Density") - air;
        v.densities_from =
            ctx.command_text.empty() ? "the parameter defaults (no log)" : ctx.log_path;
    }
    prof = height_profile(r.coefficients, air, rho_diff);
    v.peak.assign(v.heights.size(), 0.0);
    v.peak_time.assign(v.heights.size(), NAN);
    v.source = "dumps";
    if (kept &&
        std::includes(h.heights.begin(), h.heights.end(), v.heights.begin(), v.heights.end())) {
        v.source = "passes";
        for (std::size_t k = 0; k < v.heights.size(); ++k) {
            const std::size_t j =
                std::find(h.heights.begin(), h.heights.end(), v.heights[k]) - h.heights.begin();
            v.peak[k] = h.peak_at(v.place.cell, j);
            v.peak_time[k] = h.time_at(v.place.cell, j);
        }
    }
    return "";
}

// The pressure over height at every dump, folded into the peaks too (so a
// peak is never below a dump's value).
void compute(const ResultData& r, const HeightProfile& prof, AtView& v) {
    const int i = v.place.cell;
    for (std::size_t d = 0; d < r.dumps.size(); ++d) {
        const CellLayers l{r.dump_value(d, kRowSaltDepth, i), r.dump_value(d, kRowSaltPressure, i),
                           r.dump_value(d, kRowSuspDepth, i), r.dump_value(d, kRowSuspVelocity, i),
                           r.dump_value(d, kRowSuspConcentration, i)};
        v.times.push_back(r.dump_time(d));
        std::vector<double> row;
        for (std::size_t k = 0; k < v.heights.size(); ++k) {
            row.push_back(pressure_at_height(prof, l, v.heights[k]));
            if (row[k] > v.peak[k]) v.peak[k] = row[k], v.peak_time[k] = v.times.back();
        }
        v.p.push_back(row);
    }
}

nlohmann::json number_or_null(double x) {
    return std::isfinite(x) ? nlohmann::json(x) : nlohmann::json();
}

void write_json(std::ostream& out, const std::string& path, const ResultData& r, const AtView& v) {
    nlohmann::json j;
    j["result"] = path;
    j["problem"] = r.problem_name;
    j["run"] = r.run_name;
    j["cell"] = v.place.cell;
    j["path_length_m"] = r.geometry[v.place.cell].path_length;
    j["horizontal_m"] = v.place.horizontal_m;
    j["point_distance_m"] =
        v.place.distance_m ? nlohmann::json(*v.place.distance_m) : nlohmann::json();
    j["heights_m"] = v.heights;
    j["peak_kPa"] = v.peak;
    nlohmann::json times = nlohmann::json::array();
    for (double t : v.peak_time) times.push_back(number_or_null(t));
    j["peak_time_s"] = times;
    j["peak_source"] = v.source;
    j["densities_from"] = v.densities_from;
    nlohmann::json dumps = nlohmann::json::array();
    for (std::size_t d = 0; d < v.times.size(); ++d)
        dumps.push_back({{"t_s", v.times[d]}, {"p_kPa", v.p[d]}});
    j["dumps"] = dumps;
    out << support::json_text(j, 1) << "\n";
}

void write_csv(std::ostream& out, const std::string& path, const ResultData& r, const AtView& v) {
    out << "# result: " << plain_text(path) << "\n# cell: " << v.place.cell
        << "\n# path_length[m]: " << number_text(r.geometry[v.place.cell].path_length)
        << "\n# horizontal[m]: " << number_text(v.place.horizontal_m)
        << "\n# peak_source: " << v.source;
    out << "\n# peak[kPa]:";
    for (double p : v.peak) out << ' ' << number_text(p);
    out << "\n# peak_time[s]:";
    for (double t : v.peak_time) out << ' ' << number_text(t);
    out << "\ntime[s]";
    for (double h : v.heights) out << ",p_" << number_text(h) << "m[kPa]";
    out << '\n';
    for (std::size_t d = 0; d < v.times.size(); ++d) {
        out << number_text(v.times[d]);
        for (double p : v.p[d]) out << ',' << number_text(p);
        out << '\n';
    }
}

void write_text(std::ostream& out, const std::string& path, const ResultData& r, const AtView& v) {
    out << "Pressure over height at cell " << v.place.cell << " of " << plain_text(path) << "\n"
        << "  path length " << number_text(r.geometry[v.place.cell].path_length, 6)
        << " m, horizontal distance " << number_text(v.place.horizontal_m, 6) << " m from the top";
    if (v.place.distance_m)
        out << ", " << number_text(*v.place.distance_m, 4) << " m from the point";
    out << "\n  densities from " << plain_text(v.densities_from) << "\n\n  height [m]  ";
    for (double h : v.heights) out << ' ' << std::setw(9) << number_text(h, 4);
    out << "\n  peak [kPa] ";
    for (double p : v.peak) out << ' ' << std::setw(9) << number_text(p, 4);
    out << "\n  at [s]     ";
    for (double t : v.peak_time)
        out << ' ' << std::setw(9) << (std::isfinite(t) ? number_text(t, 5) : "-");
    out << "\n  (peaks over " << (v.source == "passes" ? "every pass of the run" : "the dumps only")
        << ")\n\n  t [s]       p [kPa] at each height\n";
    for (std::size_t d = 0; d < v.times.size(); ++d) {
        out << "  " << std::setw(9) << number_text(v.times[d], 6) << "  ";
        for (double p : v.p[d]) out << ' ' << std::setw(9) << number_text(p, 4);
        out << '\n';
    }
}

}  // namespace

std::string read_kept_heights(const std::string& path, const ResultTables& r, HeightsData& h,
                              bool& found) {
    found = file_kind(support::heights_path_of(path)) != FileKind::kAbsent;
    if (!found) return "";
    if (std::string err = read_heights_file(support::heights_path_of(path), h); !err.empty())
        return err;
    if (h.n_cells != r.n_cells)
        return support::heights_path_of(path) + ": " + std::to_string(h.n_cells) +
               " cells, the result has " + std::to_string(r.n_cells);
    return "";
}

std::string height_field_name(double h) {
    std::string text = number_text(h, 6);
    std::replace(text.begin(), text.end(), '.', '_');
    return "p_at_" + text + "m_max_kpa";
}

std::string height_maxima(const std::string& path, const ResultTables& r, Summary& s) {
    HeightsData h;
    bool found = false;
    if (std::string err = read_kept_heights(path, r, h, found); !err.empty() || !found) return err;
    for (std::size_t k = 0; k < h.heights.size(); ++k) {
        Summary::HeightMaximum m;
        m.height_m = h.heights[k];
        for (int i = 0; i < h.n_cells; ++i)
            if (h.peak_at(i, k) > m.kpa)
                m.kpa = h.peak_at(i, k), m.cell = i, m.time_s = h.time_at(i, k);
        s.height_maxima.push_back(m);
    }
    return "";
}

std::string peak_pressure_at_height(const std::string& path, const ResultData& r, int cell,
                                    double height_m, double& peak_kpa, std::string& source) {
    AtOptions o;
    o.heights = support::exact_number_text(height_m);
    AtView v;
    v.place.cell = cell;
    HeightProfile prof{};
    if (std::string err = gather(path, r, o, v, prof); !err.empty()) return err;
    compute(r, prof, v);
    peak_kpa = v.peak[0];
    source = v.source;
    return "";
}

int at_main(int argc, char** argv) {
    const std::string path = argv[1];
    AtOptions o;
    if (const int status = parse_at_options(argc, argv, o); status >= 0) return status;
    if (!o.out_path.empty())
        if (std::string err =
                output_clobbers_input(o.out_path, {path, support::heights_path_of(path)});
            !err.empty())
            return at_usage(err);
    ResultData r;
    if (const std::string err = read_result_file(path, r); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kBadFile;
    }
    AtView v;
    std::string err = o.s ? place_at_distance(r, *o.s, v.place)
                          : place_at_point(r, o.point->first, o.point->second, v.place);
    if (!err.empty()) return at_usage(path + ": " + err);
    HeightProfile prof{};
    if (err = gather(path, r, o, v, prof); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return err.rfind("--heights", 0) == 0 ? kUsage : kBadFile;
    }
    compute(r, prof, v);
    std::ostringstream text;
    if (o.json)
        write_json(text, path, r, v);
    else if (o.csv)
        write_csv(text, path, r, v);
    else
        write_text(text, path, r, v);
    if (o.out_path.empty()) {
        std::cout << text.str();
        return std::cout.flush() ? 0 : kBadFile;
    }
    std::ofstream f(o.out_path, std::ios::binary);
    f << text.str();
    if (!f.flush()) {
        std::cerr << "torla-inspect: " << o.out_path << ": cannot write\n";
        return kBadFile;
    }
    return 0;
}

}  // namespace torla::inspect
