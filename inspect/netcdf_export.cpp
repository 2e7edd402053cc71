// torla-inspect RESULT netcdf -o FILE.nc
//
// The whole run as netCDF-4 with CF conventions: dimensions time (the dump
// records) and cell; every quantity of a dump record; the geometry as
// coordinates; the peak table with cell_methods; the front per dump; the
// names, version, command file, scheme and stop reason as global attributes.
#include <cmath>
#include <cstring>
#include <iostream>
#include <string>

#include <netcdf.h>
#include <ogr_spatialref.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_view.h"
#include "model/quantities.h"
#include "output/heights_format.h"
#include "support/cli_options.h"

namespace torla::inspect {

namespace {

constexpr int kStatusBadFile = 1;

// A netCDF call failed: the message names the file and what was done.
struct NcFailure {
    std::string what;
};

void check(int status, const std::string& what) {
    if (status != NC_NOERR) throw NcFailure{what + ": " + nc_strerror(status)};
}

void text_attribute(int nc, int var, const char* name, const std::string& value) {
    check(nc_put_att_text(nc, var, name, value.size(), value.c_str()),
          std::string("attribute ") + name);
}

// The units of the quantities table as UDUNITS writes them.
std::string udunits(const std::string& unit) {
    if (unit == "kg/m3") return "kg m-3";
    if (unit == "m/s") return "m s-1";
    if (unit == "-") return "1";
    if (unit == "m2/s2") return "m2 s-2";
    if (unit == "m2/s3") return "m2 s-3";
    return unit;
}

// CF standard names where the CF table has one for the quantity.
const char* standard_name(const std::string& q) {
    if (q == "h1") return "surface_snow_thickness";
    if (q == "rho1") return "snow_density";
    return nullptr;
}

// CF's grid_mapping_name and its parameters for a transverse Mercator CRS
// (UTM, Gauss-Krueger and the like); other projections keep crs_wkt alone.
void transverse_mercator_attributes(int nc, int var, const std::string& wkt) {
    OGRSpatialReference s;
    if (s.importFromWkt(wkt.c_str()) != OGRERR_NONE || !s.IsProjected()) return;
    const char* method = s.GetAttrValue("PROJECTION");
    if (!method || std::string(method) != SRS_PT_TRANSVERSE_MERCATOR) return;
    text_attribute(nc, var, "grid_mapping_name", "transverse_mercator");
    const struct {
        const char* cf;
        const char* parameter;
    } parameters[] = {
        {"scale_factor_at_central_meridian", SRS_PP_SCALE_FACTOR},
        {"longitude_of_central_meridian", SRS_PP_CENTRAL_MERIDIAN},
        {"latitude_of_projection_origin", SRS_PP_LATITUDE_OF_ORIGIN},
        {"false_easting", SRS_PP_FALSE_EASTING},
        {"false_northing", SRS_PP_FALSE_NORTHING},
    };
    for (const auto& p : parameters) {
        const double v = s.GetNormProjParm(p.parameter, 0.0);
        check(nc_put_att_double(nc, var, p.cf, NC_DOUBLE, 1, &v), p.cf);
    }
}

int define(int nc, const std::string& name, nc_type type, std::initializer_list<int> dims,
           const std::string& units, const std::string& long_name) {
    int id = 0;
    std::vector<int> d(dims);
    check(nc_def_var(nc, name.c_str(), type, static_cast<int>(d.size()), d.data(), &id),
          "variable " + name);
    if (!units.empty()) text_attribute(nc, id, "units", units);
    text_attribute(nc, id, "long_name", long_name);
    return id;
}

// A run that blew up (its record says so) is exported with the peaks its
// record keeps from before the onset and the dumps up to the onset only.
struct UnstableRun {
    bool blew_up = false;
    std::optional<double> onset_s;
    std::string peaks_source;
};

UnstableRun judge_stability(const std::string& path, ResultTables& r,
                            std::vector<float>& dump_times, std::vector<FrontSample>& front) {
    RunRecord record;
    bool found = false;
    read_run_record(path, r, dump_times, record, found);
    UnstableRun u;
    if (!found || !record_says_unstable(record)) return u;
    u.blew_up = true;
    if (record.onset && record.onset->time_s) u.onset_s = record.onset->time_s;
    trust_record_peaks(r, record);
    u.peaks_source = r.has_peak_table() ? "the run record's peaks before the onset"
                                        : "none: the record keeps no peaks before an onset";
    while (u.onset_s && !dump_times.empty() && dump_times.back() > *u.onset_s)
        dump_times.pop_back();
    if (front.size() > dump_times.size()) front.resize(dump_times.size());
    std::cerr << "torla-inspect: " << plain_text(path) << ": note: the run blew up; exported with "
              << u.peaks_source << " and the dumps before the onset\n";
    return u;
}

// A refusal or failure: the message (names escaped), status 1.
int refuse(const std::string& what) {
    std::cerr << "torla-inspect: " << plain_text(what) << "\n";
    return kStatusBadFile;
}

// The first nt dump records into the quantities' variables, one record at a time.
void put_records(int nc, ResultReader& reader, int n, std::size_t nt, const int* v_q) {
    std::vector<float> record;
    reader.rewind();
    for (std::size_t d = 0; d < reader.records() && d < nt; ++d) {
        if (const std::string err = reader.read_record(record); !err.empty()) throw NcFailure{err};
        for (int q = 0; q < kResultQuantities; ++q) {
            const std::size_t start[2] = {d, 0}, count[2] = {1, static_cast<std::size_t>(n)};
            const float* row = &record[static_cast<std::size_t>(q) * (n + 1) + 1];
            check(nc_put_vara_float(nc, v_q[q], start, count, row), kQuantities[q].name);
        }
    }
}

// Returns -1 to go on, 0 after --help, 2 after wrong usage.
int parse_netcdf_options(int argc, char** argv, std::string& out) {
    CLI::App app{
        "The whole run as NetCDF: every dump of every quantity, the peaks, the arrival times and "
        "the "
        "pressure over height where the run kept it.",
        "torla-inspect RESULT netcdf"};
    cli::house_style(app);
    app.add_option("-o", out, "the file written")->type_name("FILE.nc");
    return cli::parse(
        app, argc - 2, argv + 2, "torla-inspect", plain_text,
        [&out] { return out.empty() ? "netcdf needs -o FILE.nc" : ""; }, "netcdf");
}

}  // namespace

int netcdf_main(int argc, char** argv) {
    std::string out;
    if (const int status = parse_netcdf_options(argc, argv, out); status >= 0) return status;
    const std::string path = argv[1];
    // The cheap refusals first; the dump records are read one at a time,
    // once for their times and fronts, once into the file.
    if (const std::string clash = outputs_clobber({out}, path); !clash.empty())
        return refuse(clash);
    ResultReader reader;
    ResultTables r;
    if (const std::string err = reader.open(path, r); !err.empty()) return refuse(err);
    if (r.cut_short)
        std::cerr << "torla-inspect: " << plain_text(path) << ": note: the file is cut short, "
                  << r.cut_bytes << " bytes after the last whole record left out\n";
    else if (r.count_unpatched)
        std::cerr << "torla-inspect: " << plain_text(path)
                  << ": note: the dump count is not patched, the run did not finish\n";
    std::vector<float> dump_times;
    std::vector<FrontSample> front;
    if (const std::string err = scan_records(reader, r, dump_times, &front); !err.empty())
        return refuse(err);
    std::vector<std::string> notes;
    const RunContext ctx = read_run_context(path, r, dump_times, notes);
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << plain_text(note) << "\n";
    if (!ctx.record_refusal.empty())
        return refuse(ctx.record_refusal + "; the result and its run record disagree");
    const UnstableRun unstable = judge_stability(path, r, dump_times, front);
    HeightsData kept;
    bool has_kept = false;
    if (const std::string err = read_kept_heights(path, r, kept, has_kept); !err.empty())
        return refuse(err);
    const int n = r.n_cells;
    const std::size_t nt = dump_times.size();
    bool placed = false;
    for (const GeometryRow& g : r.geometry) placed |= g.aux2 != 0.0f || g.aux6 != 0.0f;

    OutputFile out_file(out);  // written beside, moved into place when whole
    int nc = -1;
    try {
        check(nc_create(out_file.temp().c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), "cannot create");
        int t_dim = 0, c_dim = 0, l_dim = 0;
        check(nc_def_dim(nc, "time", nt, &t_dim), "dimension time");
        check(nc_def_dim(nc, "cell", static_cast<std::size_t>(n), &c_dim), "dimension cell");
        check(nc_def_dim(nc, "layer", 3, &l_dim), "dimension layer");

        const int v_time =
            define(nc, "time", NC_DOUBLE, {t_dim}, "s", "time since the start of the run");
        text_attribute(nc, v_time, "axis", "T");
        const int v_cell =
            define(nc, "cell", NC_INT, {c_dim}, "", "cell index along the path, from the top");
        const int v_len =
            define(nc, "path_length", NC_FLOAT, {c_dim}, "m", "path length along the track");
        const bool absolute = ctx.top_elevation_m.has_value();
        const int v_elev = define(nc, "elevation", NC_DOUBLE, {c_dim}, "m",
                                  absolute ? "elevation of the track"
                                           : "elevation of the track relative to the first cell");
        if (absolute) text_attribute(nc, v_elev, "standard_name", "surface_altitude");
        text_attribute(
            nc, v_elev, "comment",
            "rebuilt from the cell lengths and slopes of the result file" +
                std::string(absolute ? ", from the first coordinate row's elevation" : ""));
        const int v_slope = define(nc, "slope", NC_FLOAT, {c_dim}, "degree",
                                   "slope angle of the track, positive downhill");
        const int v_curv = define(nc, "curvature", NC_FLOAT, {c_dim}, "m-1",
                                  "curvature of the track, positive where concave");
        int v_e = -1, v_n = -1, v_crs = -1;
        std::string coordinates = "path_length elevation slope";
        if (placed) {
            v_e = define(nc, "easting", NC_DOUBLE, {c_dim}, "m", "easting of the cell");
            v_n = define(nc, "northing", NC_DOUBLE, {c_dim}, "m", "northing of the cell");
            text_attribute(nc, v_e, "standard_name", "projection_x_coordinate");
            text_attribute(nc, v_n, "standard_name", "projection_y_coordinate");
            coordinates += " easting northing";
            if (!ctx.crs_wkt.empty()) {
                check(nc_def_var(nc, "crs", NC_INT, 0, nullptr, &v_crs), "variable crs");
                text_attribute(nc, v_crs, "crs_wkt", ctx.crs_wkt);
                text_attribute(nc, v_crs, "spatial_ref", ctx.crs_wkt);
                transverse_mercator_attributes(nc, v_crs, ctx.crs_wkt);
            }
        }

        int v_q[kResultQuantities], v_max[kResultQuantities], v_depths[kResultQuantities];
        for (int q = 0; q < kResultQuantities; ++q) {
            const ResultQuantity& rq = kQuantities[q];
            v_q[q] = define(nc, rq.name, NC_FLOAT, {t_dim, c_dim}, udunits(rq.unit), rq.label);
            if (const char* sn = standard_name(rq.name))
                text_attribute(nc, v_q[q], "standard_name", sn);
            text_attribute(nc, v_q[q], "coordinates", coordinates);
            if (v_crs >= 0) text_attribute(nc, v_q[q], "grid_mapping", "crs");
            if (!r.has_peak_table()) continue;
            v_max[q] =
                define(nc, std::string(rq.name) + "_max", NC_FLOAT, {c_dim}, udunits(rq.unit),
                       std::string("largest ") + rq.label + " over the run");
            text_attribute(nc, v_max[q], "cell_methods", "time: maximum");
            text_attribute(nc, v_max[q], "comment",
                           "from the peak table: over every time step, not only the dumps");
            if (const char* sn = standard_name(rq.name))
                text_attribute(nc, v_max[q], "standard_name", sn);
            text_attribute(nc, v_max[q], "coordinates", coordinates);
            v_depths[q] =
                define(nc, std::string(rq.name) + "_max_depths", NC_FLOAT, {c_dim, l_dim}, "m",
                       std::string("depths h1, h2, h3 when ") + rq.name + " reached its maximum");
        }
        const int v_front = define(nc, "front_cell", NC_INT, {t_dim}, "", "cell of the front");
        const int fill_int = -1;
        check(nc_put_att_int(nc, v_front, "_FillValue", NC_INT, 1, &fill_int),
              "front_cell _FillValue");
        const int v_front_s =
            define(nc, "front_path_length", NC_FLOAT, {t_dim}, "m", "path length of the front");
        const float fill_float = -1.0f;
        check(nc_put_att_float(nc, v_front_s, "_FillValue", NC_FLOAT, 1, &fill_float),
              "front_path_length _FillValue");
        const std::string front_comment =
            "the furthest cell where p3 > 0.1 kPa or h2 > 0.1 m (torla-inspect summary's front); "
            "fill where there is none";
        text_attribute(nc, v_front, "comment", front_comment);
        text_attribute(nc, v_front_s, "comment", front_comment);
        int v_arrival = -1;
        if (!ctx.arrival_time_s.empty()) {
            v_arrival = define(nc, "arrival_time", NC_DOUBLE, {c_dim}, "s",
                               "first time the flow was present in the cell");
            const double fill = -1.0;
            check(nc_put_att_double(nc, v_arrival, "_FillValue", NC_DOUBLE, 1, &fill),
                  "arrival_time _FillValue");
        }

        // The peaks over height of a run with Height_Peaks on (RESULT.heights).
        int v_height = -1, v_hmax = -1, v_htime = -1;
        if (has_kept) {
            int h_dim = 0;
            check(nc_def_dim(nc, "height", kept.heights.size(), &h_dim), "dimension height");
            v_height =
                define(nc, "height", NC_DOUBLE, {h_dim}, "m", "height above the base of the flow");
            text_attribute(nc, v_height, "axis", "Z");
            text_attribute(nc, v_height, "positive", "up");
            v_hmax = define(nc, "pressure_over_height_max", NC_DOUBLE, {c_dim, h_dim}, "kPa",
                            "largest pressure at each height over the run");
            text_attribute(nc, v_hmax, "cell_methods", "time: maximum");
            text_attribute(nc, v_hmax, "comment",
                           "from RESULT.heights: over every time step; the suspension layer's "
                           "velocity and concentration profiles, the larger of the two layers "
                           "where both reach (docs/heights.md)");
            text_attribute(nc, v_hmax, "coordinates", coordinates);
            v_htime = define(nc, "pressure_over_height_max_time", NC_DOUBLE, {c_dim, h_dim}, "s",
                             "time of the largest pressure at each height");
            const double fill = -1.0;
            check(nc_put_att_double(nc, v_htime, "_FillValue", NC_DOUBLE, 1, &fill),
                  "pressure_over_height_max_time _FillValue");
        }
        text_attribute(nc, NC_GLOBAL, "Conventions", "CF-1.8");
        text_attribute(nc, NC_GLOBAL, "title", "TORLA run " + r.run_name + " of " + r.problem_name);
        text_attribute(nc, NC_GLOBAL, "problem_name", r.problem_name);
        text_attribute(nc, NC_GLOBAL, "run_name", r.run_name);
        text_attribute(
            nc, NC_GLOBAL, "source",
            "torla " + (ctx.torla_version.empty() ? "(version unknown)" : ctx.torla_version));
        text_attribute(nc, NC_GLOBAL, "program_version",
                       ctx.torla_version.empty() ? "unknown" : ctx.torla_version);
        text_attribute(nc, NC_GLOBAL, "history", "torla-inspect " + path + " netcdf -o " + out);
        text_attribute(nc, NC_GLOBAL, "result_file", path);
        if (!ctx.command_text.empty())
            text_attribute(nc, NC_GLOBAL, "command_file", ctx.command_text);
        if (!ctx.numerics.empty()) text_attribute(nc, NC_GLOBAL, "scheme", ctx.numerics);
        if (!ctx.stop_reason.empty()) text_attribute(nc, NC_GLOBAL, "stop_reason", ctx.stop_reason);
        text_attribute(nc, NC_GLOBAL, "dump_count_patched", r.count_unpatched ? "no" : "yes");
        text_attribute(nc, NC_GLOBAL, "unstable", unstable.blew_up ? "yes" : "no");
        if (unstable.blew_up) {
            text_attribute(nc, NC_GLOBAL, "peaks_source", unstable.peaks_source);
            if (unstable.onset_s)
                check(nc_put_att_double(nc, NC_GLOBAL, "onset_time_s", NC_DOUBLE, 1,
                                        &*unstable.onset_s),
                      "onset_time_s");
        }
        text_attribute(nc, NC_GLOBAL, "cut_short", r.cut_short ? "yes" : "no");
        check(nc_enddef(nc), "end of definitions");

        std::vector<double> times(nt);
        for (std::size_t d = 0; d < nt; ++d) times[d] = dump_times[d];
        check(nc_put_var_double(nc, v_time, times.data()), "time");
        std::vector<int> cells(n);
        std::vector<float> len(n), slope(n), curv(n);
        std::vector<double> elev = relative_elevation(r), e(n), nn(n);
        for (int i = 0; i < n; ++i) {
            cells[i] = i;
            len[i] = r.geometry[i].path_length;
            slope[i] = r.geometry[i].slope_deg;
            curv[i] = r.geometry[i].curvature;
            if (absolute) elev[i] += *ctx.top_elevation_m;
            e[i] = r.geometry[i].aux2;
            nn[i] = r.geometry[i].aux6;
        }
        check(nc_put_var_int(nc, v_cell, cells.data()), "cell");
        check(nc_put_var_float(nc, v_len, len.data()), "path_length");
        check(nc_put_var_double(nc, v_elev, elev.data()), "elevation");
        check(nc_put_var_float(nc, v_slope, slope.data()), "slope");
        check(nc_put_var_float(nc, v_curv, curv.data()), "curvature");
        if (placed) {
            check(nc_put_var_double(nc, v_e, e.data()), "easting");
            check(nc_put_var_double(nc, v_n, nn.data()), "northing");
        }
        put_records(nc, reader, n, nt, v_q);
        for (int q = 0; q < kResultQuantities; ++q) {
            if (!r.has_peak_table()) continue;
            std::vector<float> mx(n), depths(3 * static_cast<std::size_t>(n));
            for (int i = 0; i < n; ++i) {
                mx[i] = r.peak(q, i, 0);
                for (int k = 0; k < 3; ++k) depths[3 * i + k] = r.peak(q, i, k + 1);
            }
            check(nc_put_var_float(nc, v_max[q], mx.data()),
                  std::string(kQuantities[q].name) + "_max");
            check(nc_put_var_float(nc, v_depths[q], depths.data()),
                  std::string(kQuantities[q].name) + "_max_depths");
        }
        std::vector<int> fc(nt, -1);
        std::vector<float> fs(nt, -1.0f);
        for (std::size_t d = 0; d < nt && d < front.size(); ++d)
            if (front[d].present())
                fc[d] = front[d].cell, fs[d] = static_cast<float>(front[d].path_length);
        check(nc_put_var_int(nc, v_front, fc.data()), "front_cell");
        check(nc_put_var_float(nc, v_front_s, fs.data()), "front_path_length");
        if (v_arrival >= 0) {
            std::vector<double> at(n);
            for (int i = 0; i < n; ++i) at[i] = ctx.arrival_time_s[i].value_or(-1.0);
            check(nc_put_var_double(nc, v_arrival, at.data()), "arrival_time");
        }
        if (has_kept) {
            std::vector<double> when(kept.time);
            for (double& w : when) w = std::isfinite(w) ? w : -1.0;
            check(nc_put_var_double(nc, v_height, kept.heights.data()), "height");
            check(nc_put_var_double(nc, v_hmax, kept.peak.data()), "pressure_over_height_max");
            check(nc_put_var_double(nc, v_htime, when.data()), "pressure_over_height_max_time");
        }
        check(nc_close(nc), "close");
        nc = -1;
    } catch (const NcFailure& f) {
        if (nc >= 0) nc_close(nc);
        return refuse(out + ": " + f.what);
    }
    if (std::string err = out_file.commit(); !err.empty()) return refuse(err);
    if (!r.has_peak_table())
        std::cerr << "torla-inspect: " << path
                  << ": note: no peak table, the _max variables are left out\n";
    std::cerr << "torla-inspect: " << plain_text(out) << ": " << nt << " dumps of " << n
              << " cells\n";
    return 0;
}

}  // namespace torla::inspect
