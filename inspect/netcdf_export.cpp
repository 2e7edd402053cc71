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

// What the export writes: the result file, its companions and what is
// derived from them. The reader stays open: the dump records are put one at
// a time.
struct NetcdfContent {
    std::string path;  // the result file
    std::string out;   // the file written
    ResultReader reader;
    ResultTables r;
    std::vector<float> dump_times;  // s
    std::vector<FrontSample> front;
    RunContext ctx;
    UnstableRun unstable;
    HeightsData kept;  // the peaks over height (RESULT.heights)
    bool has_kept = false;
    bool placed = false;  // the geometry has eastings and northings
};

// The notes on a result file that is cut short or whose run did not finish.
void note_unfinished(const NetcdfContent& c) {
    if (c.r.cut_short)
        std::cerr << "torla-inspect: " << plain_text(c.path) << ": note: the file is cut short, "
                  << c.r.cut_bytes << " bytes after the last whole record left out\n";
    else if (c.r.count_unpatched)
        std::cerr << "torla-inspect: " << plain_text(c.path)
                  << ": note: the dump count is not patched, the run did not finish\n";
}

// Reads the result file and its companions into c; returns the refusal, or
// "" to go on. The cheap refusals first; the dump records are read one at a
// time, once here for their times and fronts, once later into the file.
std::string read_netcdf_content(NetcdfContent& c) {
    if (const std::string clash = outputs_clobber({c.out}, c.path); !clash.empty()) return clash;
    if (const std::string err = c.reader.open(c.path, c.r); !err.empty()) return err;
    note_unfinished(c);
    if (const std::string err = scan_records(c.reader, c.r, c.dump_times, &c.front); !err.empty())
        return err;
    std::vector<std::string> notes;
    c.ctx = read_run_context(c.path, c.r, c.dump_times, notes);
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << plain_text(note) << "\n";
    if (!c.ctx.record_refusal.empty())
        return c.ctx.record_refusal + "; the result and its run record disagree";
    c.unstable = judge_stability(c.path, c.r, c.dump_times, c.front);
    if (const std::string err = read_kept_heights(c.path, c.r, c.kept, c.has_kept); !err.empty())
        return err;
    for (const GeometryRow& g : c.r.geometry) c.placed |= g.aux2 != 0.0f || g.aux6 != 0.0f;
    return "";
}

struct NetcdfDimensions {
    int time = 0, cell = 0, layer = 0;
};

// The ids of the variables defined; -1 where the run has no such variable.
struct NetcdfVariables {
    int time = -1, cell = -1, path_length = -1, elevation = -1, slope = -1, curvature = -1;
    int easting = -1, northing = -1, crs = -1;
    int q[kResultQuantities], max[kResultQuantities], max_depths[kResultQuantities];
    int front_cell = -1, front_path_length = -1, arrival = -1;
    int height = -1, height_max = -1, height_time = -1;
};

NetcdfDimensions define_dimensions(int nc, const NetcdfContent& c) {
    NetcdfDimensions d;
    check(nc_def_dim(nc, "time", c.dump_times.size(), &d.time), "dimension time");
    check(nc_def_dim(nc, "cell", static_cast<std::size_t>(c.r.n_cells), &d.cell), "dimension cell");
    check(nc_def_dim(nc, "layer", 3, &d.layer), "dimension layer");
    return d;
}

// The eastings, northings and CRS of a placed track.
void define_placement(int nc, const NetcdfContent& c, const NetcdfDimensions& d,
                      NetcdfVariables& v) {
    v.easting = define(nc, "easting", NC_DOUBLE, {d.cell}, "m", "easting of the cell");
    v.northing = define(nc, "northing", NC_DOUBLE, {d.cell}, "m", "northing of the cell");
    text_attribute(nc, v.easting, "standard_name", "projection_x_coordinate");
    text_attribute(nc, v.northing, "standard_name", "projection_y_coordinate");
    if (c.ctx.crs_wkt.empty()) return;
    check(nc_def_var(nc, "crs", NC_INT, 0, nullptr, &v.crs), "variable crs");
    text_attribute(nc, v.crs, "crs_wkt", c.ctx.crs_wkt);
    text_attribute(nc, v.crs, "spatial_ref", c.ctx.crs_wkt);
    transverse_mercator_attributes(nc, v.crs, c.ctx.crs_wkt);
}

// The time and the geometry as coordinates; returns the coordinates
// attribute of the quantities.
std::string define_coordinates(int nc, const NetcdfContent& c, const NetcdfDimensions& d,
                               NetcdfVariables& v) {
    v.time = define(nc, "time", NC_DOUBLE, {d.time}, "s", "time since the start of the run");
    text_attribute(nc, v.time, "axis", "T");
    v.cell = define(nc, "cell", NC_INT, {d.cell}, "", "cell index along the path, from the top");
    v.path_length =
        define(nc, "path_length", NC_FLOAT, {d.cell}, "m", "path length along the track");
    const bool absolute = c.ctx.top_elevation_m.has_value();
    v.elevation = define(
        nc, "elevation", NC_DOUBLE, {d.cell}, "m",
        absolute ? "elevation of the track" : "elevation of the track relative to the first cell");
    if (absolute) text_attribute(nc, v.elevation, "standard_name", "surface_altitude");
    text_attribute(nc, v.elevation, "comment",
                   "rebuilt from the cell lengths and slopes of the result file" +
                       std::string(absolute ? ", from the first coordinate row's elevation" : ""));
    v.slope = define(nc, "slope", NC_FLOAT, {d.cell}, "degree",
                     "slope angle of the track, positive downhill");
    v.curvature = define(nc, "curvature", NC_FLOAT, {d.cell}, "m-1",
                         "curvature of the track, positive where concave");
    std::string coordinates = "path_length elevation slope";
    if (c.placed) {
        define_placement(nc, c, d, v);
        coordinates += " easting northing";
    }
    return coordinates;
}

// Every quantity over time and cell and, where the run has a peak table,
// its largest value and the depths then.
void define_quantities(int nc, const NetcdfContent& c, const NetcdfDimensions& d,
                       const std::string& coordinates, NetcdfVariables& v) {
    for (int q = 0; q < kResultQuantities; ++q) {
        const ResultQuantity& rq = kQuantities[q];
        v.q[q] = define(nc, rq.name, NC_FLOAT, {d.time, d.cell}, udunits(rq.unit), rq.label);
        if (const char* sn = standard_name(rq.name))
            text_attribute(nc, v.q[q], "standard_name", sn);
        text_attribute(nc, v.q[q], "coordinates", coordinates);
        if (v.crs >= 0) text_attribute(nc, v.q[q], "grid_mapping", "crs");
        v.max[q] = v.max_depths[q] = -1;
        if (!c.r.has_peak_table()) continue;
        v.max[q] = define(nc, std::string(rq.name) + "_max", NC_FLOAT, {d.cell}, udunits(rq.unit),
                          std::string("largest ") + rq.label + " over the run");
        text_attribute(nc, v.max[q], "cell_methods", "time: maximum");
        text_attribute(nc, v.max[q], "comment",
                       "from the peak table: over every time step, not only the dumps");
        if (const char* sn = standard_name(rq.name))
            text_attribute(nc, v.max[q], "standard_name", sn);
        text_attribute(nc, v.max[q], "coordinates", coordinates);
        v.max_depths[q] =
            define(nc, std::string(rq.name) + "_max_depths", NC_FLOAT, {d.cell, d.layer}, "m",
                   std::string("depths h1, h2, h3 when ") + rq.name + " reached its maximum");
    }
}

// The front per dump and, where the run kept them, the arrival times.
void define_front_and_arrival(int nc, const NetcdfContent& c, const NetcdfDimensions& d,
                              NetcdfVariables& v) {
    v.front_cell = define(nc, "front_cell", NC_INT, {d.time}, "", "cell of the front");
    const int fill_int = -1;
    check(nc_put_att_int(nc, v.front_cell, "_FillValue", NC_INT, 1, &fill_int),
          "front_cell _FillValue");
    v.front_path_length =
        define(nc, "front_path_length", NC_FLOAT, {d.time}, "m", "path length of the front");
    const float fill_float = -1.0f;
    check(nc_put_att_float(nc, v.front_path_length, "_FillValue", NC_FLOAT, 1, &fill_float),
          "front_path_length _FillValue");
    const std::string front_comment =
        "the furthest cell where p3 > 0.1 kPa or h2 > 0.1 m (torla-inspect summary's front); "
        "fill where there is none";
    text_attribute(nc, v.front_cell, "comment", front_comment);
    text_attribute(nc, v.front_path_length, "comment", front_comment);
    if (c.ctx.arrival_time_s.empty()) return;
    v.arrival = define(nc, "arrival_time", NC_DOUBLE, {d.cell}, "s",
                       "first time the flow was present in the cell");
    const double fill = -1.0;
    check(nc_put_att_double(nc, v.arrival, "_FillValue", NC_DOUBLE, 1, &fill),
          "arrival_time _FillValue");
}

// The peaks over height of a run with Height_Peaks on (RESULT.heights).
void define_heights(int nc, const NetcdfContent& c, const NetcdfDimensions& d,
                    const std::string& coordinates, NetcdfVariables& v) {
    if (!c.has_kept) return;
    int h_dim = 0;
    check(nc_def_dim(nc, "height", c.kept.heights.size(), &h_dim), "dimension height");
    v.height = define(nc, "height", NC_DOUBLE, {h_dim}, "m", "height above the base of the flow");
    text_attribute(nc, v.height, "axis", "Z");
    text_attribute(nc, v.height, "positive", "up");
    v.height_max = define(nc, "pressure_over_height_max", NC_DOUBLE, {d.cell, h_dim}, "kPa",
                          "largest pressure at each height over the run");
    text_attribute(nc, v.height_max, "cell_methods", "time: maximum");
    text_attribute(nc, v.height_max, "comment",
                   "from RESULT.heights: over every time step; the suspension layer's "
                   "velocity and concentration profiles, the larger of the two layers "
                   "where both reach (docs/heights.md)");
    text_attribute(nc, v.height_max, "coordinates", coordinates);
    v.height_time = define(nc, "pressure_over_height_max_time", NC_DOUBLE, {d.cell, h_dim}, "s",
                           "time of the largest pressure at each height");
    const double fill = -1.0;
    check(nc_put_att_double(nc, v.height_time, "_FillValue", NC_DOUBLE, 1, &fill),
          "pressure_over_height_max_time _FillValue");
}

// The names, version, command file, scheme and stop reason of the run.
void define_global_attributes(int nc, const NetcdfContent& c) {
    const ResultTables& r = c.r;
    const RunContext& ctx = c.ctx;
    text_attribute(nc, NC_GLOBAL, "Conventions", "CF-1.8");
    text_attribute(nc, NC_GLOBAL, "title", "TORLA run " + r.run_name + " of " + r.problem_name);
    text_attribute(nc, NC_GLOBAL, "problem_name", r.problem_name);
    text_attribute(nc, NC_GLOBAL, "run_name", r.run_name);
    text_attribute(
        nc, NC_GLOBAL, "source",
        "torla " + (ctx.torla_version.empty() ? "(version unknown)" : ctx.torla_version));
    text_attribute(nc, NC_GLOBAL, "program_version",
                   ctx.torla_version.empty() ? "unknown" : ctx.torla_version);
    text_attribute(nc, NC_GLOBAL, "history", "torla-inspect " + c.path + " netcdf -o " + c.out);
    text_attribute(nc, NC_GLOBAL, "result_file", c.path);
    if (!ctx.command_text.empty()) text_attribute(nc, NC_GLOBAL, "command_file", ctx.command_text);
    if (!ctx.numerics.empty()) text_attribute(nc, NC_GLOBAL, "scheme", ctx.numerics);
    if (!ctx.stop_reason.empty()) text_attribute(nc, NC_GLOBAL, "stop_reason", ctx.stop_reason);
    text_attribute(nc, NC_GLOBAL, "dump_count_patched", r.count_unpatched ? "no" : "yes");
    text_attribute(nc, NC_GLOBAL, "unstable", c.unstable.blew_up ? "yes" : "no");
    if (c.unstable.blew_up) {
        text_attribute(nc, NC_GLOBAL, "peaks_source", c.unstable.peaks_source);
        if (c.unstable.onset_s)
            check(nc_put_att_double(nc, NC_GLOBAL, "onset_time_s", NC_DOUBLE, 1,
                                    &*c.unstable.onset_s),
                  "onset_time_s");
    }
    text_attribute(nc, NC_GLOBAL, "cut_short", r.cut_short ? "yes" : "no");
}

// Defines every dimension, variable and attribute; returns the variables.
NetcdfVariables define_file(int nc, const NetcdfContent& c) {
    const NetcdfDimensions d = define_dimensions(nc, c);
    NetcdfVariables v;
    const std::string coordinates = define_coordinates(nc, c, d, v);
    define_quantities(nc, c, d, coordinates, v);
    define_front_and_arrival(nc, c, d, v);
    define_heights(nc, c, d, coordinates, v);
    define_global_attributes(nc, c);
    return v;
}

void put_coordinates(int nc, const NetcdfContent& c, const NetcdfVariables& v) {
    const std::size_t nt = c.dump_times.size();
    const int n = c.r.n_cells;
    std::vector<double> times(nt);
    for (std::size_t d = 0; d < nt; ++d) times[d] = c.dump_times[d];
    check(nc_put_var_double(nc, v.time, times.data()), "time");
    std::vector<int> cells(n);
    std::vector<float> len(n), slope(n), curv(n);
    std::vector<double> elev = relative_elevation(c.r), e(n), nn(n);
    for (int i = 0; i < n; ++i) {
        const GeometryRow& g = c.r.geometry[i];
        cells[i] = i;
        len[i] = g.path_length;
        slope[i] = g.slope_deg;
        curv[i] = g.curvature;
        if (c.ctx.top_elevation_m) elev[i] += *c.ctx.top_elevation_m;
        e[i] = g.aux2;
        nn[i] = g.aux6;
    }
    check(nc_put_var_int(nc, v.cell, cells.data()), "cell");
    check(nc_put_var_float(nc, v.path_length, len.data()), "path_length");
    check(nc_put_var_double(nc, v.elevation, elev.data()), "elevation");
    check(nc_put_var_float(nc, v.slope, slope.data()), "slope");
    check(nc_put_var_float(nc, v.curvature, curv.data()), "curvature");
    if (c.placed) {
        check(nc_put_var_double(nc, v.easting, e.data()), "easting");
        check(nc_put_var_double(nc, v.northing, nn.data()), "northing");
    }
}

// The peak table: the largest value of every quantity and the depths then.
void put_peaks(int nc, const NetcdfContent& c, const NetcdfVariables& v) {
    if (!c.r.has_peak_table()) return;
    const int n = c.r.n_cells;
    for (int q = 0; q < kResultQuantities; ++q) {
        std::vector<float> mx(n), depths(3 * static_cast<std::size_t>(n));
        for (int i = 0; i < n; ++i) {
            mx[i] = c.r.peak(q, i, 0);
            for (int k = 0; k < 3; ++k) depths[3 * i + k] = c.r.peak(q, i, k + 1);
        }
        check(nc_put_var_float(nc, v.max[q], mx.data()), std::string(kQuantities[q].name) + "_max");
        check(nc_put_var_float(nc, v.max_depths[q], depths.data()),
              std::string(kQuantities[q].name) + "_max_depths");
    }
}

void put_front_and_arrival(int nc, const NetcdfContent& c, const NetcdfVariables& v) {
    const std::size_t nt = c.dump_times.size();
    std::vector<int> fc(nt, -1);
    std::vector<float> fs(nt, -1.0f);
    for (std::size_t d = 0; d < nt && d < c.front.size(); ++d)
        if (c.front[d].present())
            fc[d] = c.front[d].cell, fs[d] = static_cast<float>(c.front[d].path_length);
    check(nc_put_var_int(nc, v.front_cell, fc.data()), "front_cell");
    check(nc_put_var_float(nc, v.front_path_length, fs.data()), "front_path_length");
    if (v.arrival < 0) return;
    std::vector<double> at(c.r.n_cells);
    for (int i = 0; i < c.r.n_cells; ++i) at[i] = c.ctx.arrival_time_s[i].value_or(-1.0);
    check(nc_put_var_double(nc, v.arrival, at.data()), "arrival_time");
}

void put_heights(int nc, const NetcdfContent& c, const NetcdfVariables& v) {
    if (!c.has_kept) return;
    std::vector<double> when(c.kept.time);
    for (double& w : when) w = std::isfinite(w) ? w : -1.0;
    check(nc_put_var_double(nc, v.height, c.kept.heights.data()), "height");
    check(nc_put_var_double(nc, v.height_max, c.kept.peak.data()), "pressure_over_height_max");
    check(nc_put_var_double(nc, v.height_time, when.data()), "pressure_over_height_max_time");
}

// Writes the file beside its place and moves it there when whole; returns
// the refusal, or "" when written.
std::string write_netcdf_file(NetcdfContent& c) {
    OutputFile out_file(c.out);
    int nc = -1;
    try {
        check(nc_create(out_file.temp().c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), "cannot create");
        const NetcdfVariables v = define_file(nc, c);
        check(nc_enddef(nc), "end of definitions");
        put_coordinates(nc, c, v);
        put_records(nc, c.reader, c.r.n_cells, c.dump_times.size(), v.q);
        put_peaks(nc, c, v);
        put_front_and_arrival(nc, c, v);
        put_heights(nc, c, v);
        check(nc_close(nc), "close");
        nc = -1;
    } catch (const NcFailure& f) {
        if (nc >= 0) nc_close(nc);
        return c.out + ": " + f.what;
    }
    return out_file.commit();
}

// What was written, to standard error.
void report_written(const NetcdfContent& c) {
    if (!c.r.has_peak_table())
        std::cerr << "torla-inspect: " << plain_text(c.path)
                  << ": note: no peak table, the _max variables are left out\n";
    std::cerr << "torla-inspect: " << plain_text(c.out) << ": " << c.dump_times.size()
              << " dumps of " << c.r.n_cells << " cells\n";
}

}  // namespace

int netcdf_main(int argc, char** argv) {
    NetcdfContent content;
    if (const int status = parse_netcdf_options(argc, argv, content.out); status >= 0)
        return status;
    content.path = argv[1];
    if (const std::string err = read_netcdf_content(content); !err.empty())
        return refuse_export(err);
    if (const std::string err = write_netcdf_file(content); !err.empty()) return refuse_export(err);
    report_written(content);
    return 0;
}

}  // namespace torla::inspect
