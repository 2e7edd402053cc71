// torla-inspect DIR/exceedance.csv map -o FILE.gpkg|FILE.geojson [--crs CRS]
// torla-inspect DIR/exceedance.csv netcdf -o FILE.nc
//
// The exceedance table of an ensemble (torla-ensemble collect) onto the map
// and into NetCDF: one point per cell with every column of the table, and
// the path as a line measured by path length, in the CRS of the ensemble's
// base command file; or a CF file with a cell dimension and every
// probability and percentile as a variable. The table is read as collect
// writes it and refused, file, line and column named, where it is not.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include <gdal_priv.h>
#include <netcdf.h>
#include <ogr_spatialref.h>
#include <ogrsf_frmts.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "support/cli_options.h"

namespace torla::inspect {

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

const char* const kFixed[] = {"cell", "path_length[m]", "easting[m]", "northing[m]",
                              "elevation[m]"};
constexpr int kFixedCount = 5;

bool parse_number(const std::string& text, double& v) {
    if (text.empty()) return false;
    char* end = nullptr;
    v = std::strtod(text.c_str(), &end);
    return *end == '\0';
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(line);
    while (std::getline(in, item, sep)) out.push_back(item);
    if (!line.empty() && line.back() == sep) out.emplace_back();
    return out;
}

// Reads one column's header: fixed, P(Q>TkPa) or Q_pNN[unit].
std::string classify(const std::string& name, int index, ExceedanceColumn& c) {
    c = ExceedanceColumn{};
    c.header = name;
    if (index < kFixedCount) {
        if (name != kFixed[index])
            return std::string("column ") + std::to_string(index + 1) + " must be `" +
                   kFixed[index] + "', not `" + name + "'";
        static const char* fields[] = {"cell", "path_length_m", "easting_m", "northing_m",
                                       "elevation_m"};
        c.field = fields[index];
        c.units = index == 0 ? "" : "m";
        return "";
    }
    const bool p3 = name.rfind("P(p3>", 0) == 0, p2 = name.rfind("P(p2>", 0) == 0;
    const std::string tail = "kPa)";
    if ((p3 || p2) && name.size() > 5 + tail.size() &&
        name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
        const std::string t = name.substr(5, name.size() - 5 - tail.size());
        if (!parse_number(t, c.threshold_kpa) || !std::isfinite(c.threshold_kpa) ||
            c.threshold_kpa <= 0.0)
            return "column " + std::to_string(index + 1) + " `" + name + "': `" + t +
                   "' is no threshold in kPa";
        c.kind = ExceedanceColumn::kProbability;
        c.quantity = p3 ? "p3" : "p2";
        std::string tt = t;
        std::replace(tt.begin(), tt.end(), '.', 'p');
        c.field = "prob_" + c.quantity + "_gt_" + tt + "kpa";
        c.units = "1";
        return "";
    }
    for (const char* q : {"p3", "p2", "h3", "h2"}) {
        for (int p : {5, 50, 95}) {
            const std::string unit = q[0] == 'p' ? "kPa" : "m";
            if (name == std::string(q) + "_p" + std::to_string(p) + "[" + unit + "]") {
                c.kind = ExceedanceColumn::kPercentile;
                c.quantity = q;
                c.percentile = p;
                c.field = std::string(q) + "_p" + std::to_string(p) + (q[0] == 'p' ? "_kpa" : "_m");
                c.units = unit;
                return "";
            }
        }
    }
    return "column " + std::to_string(index + 1) + ": unknown column `" + name + "'";
}

struct DatasetCloser {
    void operator()(GDALDataset* d) const { GDALClose(d); }
};

struct NcFailure {
    std::string what;
};

void nc_check(int status, const std::string& what) {
    if (status != NC_NOERR) throw NcFailure{what + ": " + nc_strerror(status)};
}

void nc_text(int nc, int var, const std::string& name, const std::string& value) {
    nc_check(nc_put_att_text(nc, var, name.c_str(), value.size(), value.c_str()),
             "attribute " + name);
}

// What the exports need besides the table: the ensemble folder's base
// command file (plan.txt names it; the first member's copy of it where it
// has moved), for the CRS.
struct EnsembleContext {
    std::vector<std::string> inputs;  // every file read, never to be overwritten
    std::string command_path, crs_wkt;
};

EnsembleContext read_ensemble_context(const std::string& table_path,
                                      std::vector<std::string>& notes) {
    EnsembleContext c;
    c.inputs.push_back(table_path);
    const std::size_t slash = table_path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : table_path.substr(0, slash);
    const std::string plan_path = dir + "/plan.txt";
    std::ifstream plan(plan_path);
    if (!plan) {
        notes.push_back("no " + plan_path +
                        " beside the table: no base command file, no CRS from it");
        return c;
    }
    c.inputs.push_back(plan_path);
    c.inputs.push_back(dir + "/ensemble.toml");  // not read here, but status and collect read it
    std::string line, base, member;
    while (std::getline(plan, line)) {
        if (line.rfind("base ", 0) == 0) base = line.substr(5);
        if (member.empty() && line.rfind("member ", 0) == 0) {
            std::istringstream w(line.substr(7));
            std::string index, hash, folder;
            if (w >> index >> hash >> folder) member = dir + "/" + folder + "/member.cmd";
        }
    }
    std::string text;
    for (const std::string& path : {base, member}) {
        if (path.empty() || !read_whole_file(path, text)) continue;
        if (path == member)
            notes.push_back("the base command file `" + base + "' cannot be read; the CRS from " +
                            member);
        c.command_path = path;
        c.inputs.push_back(path);
        c.crs_wkt = crs_wkt_of_command_text(text);
        return c;
    }
    notes.push_back("neither the base command file `" + base +
                    "' nor a member's copy can be read: no CRS from it");
    return c;
}

int fail(const std::string& what) {
    std::cerr << "torla-inspect: " << plain_text(what) << "\n";
    return kStatusBadFile;
}

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() &&
           std::equal(tail.rbegin(), tail.rend(), s.rbegin(),
                      [](char a, char b) { return std::tolower(a) == b; });
}

}  // namespace

std::string read_exceedance_table(const std::string& path, ExceedanceTable& t) {
    t = ExceedanceTable{};
    t.path = path;
    std::string text;
    if (!read_whole_file(path, text)) return "cannot read " + path;
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    auto at = [&](std::size_t l) { return path + ": line " + std::to_string(l + 1); };
    // "# members N, used M" and "# left out: failed A; unstable B; not run C".
    if (lines.size() < 3 ||
        std::sscanf(lines[0].c_str(), "# members %d, used %d", &t.members, &t.used) != 2)
        return at(0) + ": not the `# members N, used M' line that torla-ensemble collect writes";
    const std::string lo = lines[1];
    const std::size_t f = lo.find("# left out: failed "), u = lo.find("; unstable "),
                      n = lo.find("; not run ");
    if (f != 0 || u == std::string::npos || n == std::string::npos || n < u)
        return at(1) +
               ": not the `# left out: failed ...; unstable ...; not run ...' line of "
               "torla-ensemble collect";
    t.failed = lo.substr(19, u - 19);
    t.unstable = lo.substr(u + 11, n - u - 11);
    t.not_run = lo.substr(n + 10);
    const std::vector<std::string> head = split(lines[2], ',');
    for (std::size_t k = 0; k < head.size(); ++k) {
        ExceedanceColumn c;
        if (auto err = classify(head[k], static_cast<int>(k), c); !err.empty())
            return at(2) + ", " + err;
        t.columns.push_back(c);
    }
    if (t.columns.size() <= kFixedCount) return at(2) + ": no probability or percentile columns";
    for (std::size_t l = 3; l < lines.size(); ++l) {
        const std::vector<std::string> cells = split(lines[l], ',');
        if (cells.size() != t.columns.size())
            return at(l) + ": " + std::to_string(cells.size()) + " values where the header has " +
                   std::to_string(t.columns.size()) + " columns";
        std::vector<double> row(cells.size());
        for (std::size_t k = 0; k < cells.size(); ++k) {
            // Percentiles over no members are nan; every other value is finite.
            const bool may_be_nan = t.columns[k].kind == ExceedanceColumn::kPercentile;
            if (!parse_number(cells[k], row[k]) ||
                (!std::isfinite(row[k]) && !(may_be_nan && std::isnan(row[k]))))
                return at(l) + ", column " + std::to_string(k + 1) + " (" + t.columns[k].header +
                       "): `" + cells[k] + "' is not a number";
        }
        if (row[0] != static_cast<double>(t.rows.size()))
            return at(l) + ", column 1 (cell): cell `" + cells[0] + "' where cell " +
                   std::to_string(t.rows.size()) + " comes next";
        t.rows.push_back(std::move(row));
    }
    if (t.rows.empty()) return path + ": no cells after the header (line 3)";
    return "";
}

static int exceedance_map(const ExceedanceTable& t, const std::string& crs_source,
                          const std::string& crs_wkt, const std::string& crs_option,
                          const std::vector<std::string>& outputs,
                          const std::vector<std::string>& notes) {
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << note << "\n";
    GDALAllRegister();
    OGRSpatialReference run_crs;
    run_crs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (!crs_option.empty()) {
        if (run_crs.SetFromUserInput(crs_option.c_str()) != OGRERR_NONE) {
            std::cerr << "torla-inspect: --crs: `" << plain_text(crs_option)
                      << "' is no CRS GDAL knows\nRun with --help for more.\n";
            return kStatusUsage;
        }
    } else if (!crs_wkt.empty()) {
        if (run_crs.importFromWkt(crs_wkt.c_str()) != OGRERR_NONE)
            return fail(crs_source +
                        ": the crs_wkt lines of the command file are no CRS GDAL reads");
    } else {
        return fail(
            t.path +
            ": no CRS: the ensemble's base command file has no crs_wkt lines (torla-profile "
            "writes them); name it with --crs");
    }
    const std::size_t n = t.rows.size();
    std::vector<double> x(n), y(n), m(n);
    for (std::size_t i = 0; i < n; ++i)
        m[i] = t.rows[i][1], x[i] = t.rows[i][2], y[i] = t.rows[i][3];
    const bool geojson = outputs.size() == 2;
    OGRSpatialReference wgs84;
    wgs84.importFromEPSG(4326);
    wgs84.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    if (geojson && !run_crs.IsSame(&wgs84)) {
        std::unique_ptr<OGRCoordinateTransformation> ct(
            OGRCreateCoordinateTransformation(&run_crs, &wgs84));
        if (!ct || !ct->Transform(static_cast<int>(n), x.data(), y.data()))
            return fail(std::string("cannot transform the cells to WGS84 for GeoJSON: ") +
                        CPLGetLastErrorMsg());
    }
    OGRSpatialReference& out_crs = geojson ? wgs84 : run_crs;
    GDALDriver* drv = GetGDALDriverManager()->GetDriverByName(geojson ? "GeoJSON" : "GPKG");
    const std::string& out = outputs[0];
    // Written beside under temporary names, moved into place when whole.
    OutputFile cells_file(out), path_out(outputs.back());
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::unique_ptr<GDALDataset, DatasetCloser> ds(
        drv->Create(cells_file.temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
    CPLPopErrorHandler();
    if (!ds) return fail("cannot create " + out + ": " + CPLGetLastErrorMsg());
    char** lco = geojson ? CSLSetNameValue(nullptr, "RFC7946", "YES") : nullptr;
    OGRLayer* cells = ds->CreateLayer("cells", &out_crs, wkbPoint, lco);
    bool ok = cells != nullptr;
    for (std::size_t k = 0; ok && k < t.columns.size(); ++k) {
        OGRFieldDefn d(t.columns[k].field.c_str(), k == 0 ? OFTInteger : OFTReal);
        d.SetAlternativeName(t.columns[k].header.c_str());
        ok = cells->CreateField(&d) == OGRERR_NONE;
    }
    ok = ok && cells->StartTransaction() == OGRERR_NONE;
    for (std::size_t i = 0; ok && i < n; ++i) {
        OGRFeature f(cells->GetLayerDefn());
        f.SetField(0, static_cast<int>(i));
        for (std::size_t k = 1; k < t.columns.size(); ++k) {
            if (std::isnan(t.rows[i][k]))
                f.SetFieldNull(static_cast<int>(k));
            else
                f.SetField(static_cast<int>(k), t.rows[i][k]);
        }
        OGRPoint pt(x[i], y[i]);
        f.SetGeometry(&pt);
        ok = cells->CreateFeature(&f) == OGRERR_NONE;
    }
    ok = ok && cells->CommitTransaction() == OGRERR_NONE;
    std::unique_ptr<GDALDataset, DatasetCloser> path_ds;
    GDALDataset* target = ds.get();
    if (ok && geojson) {
        path_ds.reset(drv->Create(path_out.temp().c_str(), 0, 0, 0, GDT_Unknown, nullptr));
        target = path_ds.get();
        ok = target != nullptr;
    }
    OGRLayer* line =
        ok ? target->CreateLayer("path", &out_crs, geojson ? wkbLineString : wkbLineStringM, lco)
           : nullptr;
    CSLDestroy(lco);
    ok = ok && line;
    if (ok) {
        OGRFieldDefn members("members", OFTInteger), used("members_used", OFTInteger),
            measures("path_length_m", OFTRealList);
        ok = line->CreateField(&members) == OGRERR_NONE &&
             line->CreateField(&used) == OGRERR_NONE && line->CreateField(&measures) == OGRERR_NONE;
    }
    if (ok) {
        OGRFeature f(line->GetLayerDefn());
        f.SetField("members", t.members);
        f.SetField("members_used", t.used);
        f.SetField(f.GetFieldIndex("path_length_m"), static_cast<int>(n), m.data());
        OGRLineString ls;
        for (std::size_t i = 0; i < n; ++i) {
            if (geojson)
                ls.addPoint(x[i], y[i]);
            else
                ls.addPointM(x[i], y[i], m[i]);
        }
        f.SetGeometry(&ls);
        ok = line->CreateFeature(&f) == OGRERR_NONE;
    }
    CPLErrorReset();
    ds.reset();
    path_ds.reset();
    ok = ok && CPLGetLastErrorType() < CE_Failure;
    if (!ok) return fail("cannot write " + out + ": " + CPLGetLastErrorMsg());
    if (std::string err = cells_file.commit(); !err.empty()) return fail(err);
    if (geojson)
        if (std::string err = path_out.commit(); !err.empty()) return fail(err);
    std::cerr << "torla-inspect: " << out << ": " << n << " cells"
              << (geojson ? ", the path in " + outputs[1] : "") << "\n";
    return 0;
}

static int exceedance_netcdf(const ExceedanceTable& t, const std::string& crs_wkt,
                             const std::string& out, const std::vector<std::string>& notes) {
    OutputFile out_file(out);  // written beside, moved into place when whole
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << note << "\n";
    const std::size_t n = t.rows.size();
    int nc = -1;
    try {
        nc_check(nc_create(out_file.temp().c_str(), NC_NETCDF4 | NC_CLOBBER, &nc), "cannot create");
        int dim = 0;
        nc_check(nc_def_dim(nc, "cell", n, &dim), "dimension cell");
        int v_crs = -1;
        if (!crs_wkt.empty()) {
            nc_check(nc_def_var(nc, "crs", NC_INT, 0, nullptr, &v_crs), "variable crs");
            nc_text(nc, v_crs, "crs_wkt", crs_wkt);
            nc_text(nc, v_crs, "spatial_ref", crs_wkt);
        }
        std::vector<int> vars;
        std::vector<double> p3_thresholds, p2_thresholds;
        for (std::size_t k = 0; k < t.columns.size(); ++k) {
            const ExceedanceColumn& c = t.columns[k];
            static const char* fixed_names[] = {"cell", "path_length", "easting", "northing",
                                                "elevation"};
            static const char* fixed_long[] = {"cell index along the path, from the top",
                                               "path length along the track", "easting of the cell",
                                               "northing of the cell", "elevation of the track"};
            const std::string name = k < kFixedCount ? fixed_names[k] : c.field;
            int id = 0;
            nc_check(nc_def_var(nc, name.c_str(), k == 0 ? NC_INT : NC_DOUBLE, 1, &dim, &id),
                     "variable " + name);
            vars.push_back(id);
            if (!c.units.empty()) nc_text(nc, id, "units", c.units);
            nc_text(nc, id, "column", c.header);
            const std::string what = c.quantity == "p3"   ? "suspension-layer pressure"
                                     : c.quantity == "p2" ? "saltation-layer pressure"
                                     : c.quantity == "h3" ? "suspension-layer depth"
                                                          : "saltation-layer depth";
            if (k < kFixedCount) {
                nc_text(nc, id, "long_name", fixed_long[k]);
                if (k == 2) nc_text(nc, id, "standard_name", "projection_x_coordinate");
                if (k == 3) nc_text(nc, id, "standard_name", "projection_y_coordinate");
                if (k == 4) nc_text(nc, id, "standard_name", "surface_altitude");
                continue;
            }
            nc_text(nc, id, "coordinates", "path_length easting northing elevation");
            if (v_crs >= 0) nc_text(nc, id, "grid_mapping", "crs");
            nc_text(nc, id, "quantity", c.quantity);
            if (c.kind == ExceedanceColumn::kProbability) {
                std::ostringstream th;
                th << c.threshold_kpa;
                nc_text(nc, id, "long_name",
                        "fraction of the used members whose peak " + what + " exceeds " + th.str() +
                            " kPa");
                nc_check(nc_put_att_double(nc, id, "threshold", NC_DOUBLE, 1, &c.threshold_kpa),
                         "threshold");
                nc_text(nc, id, "threshold_units", "kPa");
                (c.quantity == "p3" ? p3_thresholds : p2_thresholds).push_back(c.threshold_kpa);
            } else {
                nc_text(nc, id, "long_name",
                        std::to_string(c.percentile) +
                            "th percentile over the used members of "
                            "the peak " +
                            what);
                nc_check(nc_put_att_int(nc, id, "percentile", NC_INT, 1, &c.percentile),
                         "percentile");
                const double fill = NC_FILL_DOUBLE;
                nc_check(nc_put_att_double(nc, id, "_FillValue", NC_DOUBLE, 1, &fill),
                         "_FillValue");
            }
        }
        nc_text(nc, NC_GLOBAL, "Conventions", "CF-1.8");
        nc_text(nc, NC_GLOBAL, "title",
                "TORLA ensemble: exceedance probabilities and percentiles along the path");
        nc_text(nc, NC_GLOBAL, "source", "torla-ensemble collect, " + t.path);
        nc_text(nc, NC_GLOBAL, "history", "torla-inspect " + t.path + " netcdf -o " + out);
        nc_check(nc_put_att_int(nc, NC_GLOBAL, "members", NC_INT, 1, &t.members), "members");
        nc_check(nc_put_att_int(nc, NC_GLOBAL, "members_used", NC_INT, 1, &t.used), "members_used");
        nc_text(nc, NC_GLOBAL, "members_failed", t.failed);
        nc_text(nc, NC_GLOBAL, "members_unstable", t.unstable);
        nc_text(nc, NC_GLOBAL, "members_not_run", t.not_run);
        if (!p3_thresholds.empty())
            nc_check(nc_put_att_double(nc, NC_GLOBAL, "p3_thresholds_kpa", NC_DOUBLE,
                                       p3_thresholds.size(), p3_thresholds.data()),
                     "p3_thresholds_kpa");
        if (!p2_thresholds.empty())
            nc_check(nc_put_att_double(nc, NC_GLOBAL, "p2_thresholds_kpa", NC_DOUBLE,
                                       p2_thresholds.size(), p2_thresholds.data()),
                     "p2_thresholds_kpa");
        nc_check(nc_enddef(nc), "end of definitions");
        std::vector<double> column(n);
        std::vector<int> index(n);
        for (std::size_t k = 0; k < t.columns.size(); ++k) {
            for (std::size_t i = 0; i < n; ++i) {
                column[i] = std::isnan(t.rows[i][k]) ? NC_FILL_DOUBLE : t.rows[i][k];
                index[i] = static_cast<int>(i);
            }
            nc_check(k == 0 ? nc_put_var_int(nc, vars[k], index.data())
                            : nc_put_var_double(nc, vars[k], column.data()),
                     t.columns[k].header);
        }
        nc_check(nc_close(nc), "close");
        nc = -1;
    } catch (const NcFailure& f) {
        if (nc >= 0) nc_close(nc);
        return fail(out + ": " + f.what);
    }
    if (std::string err = out_file.commit(); !err.empty()) return fail(err);
    std::cerr << "torla-inspect: " << out << ": " << n << " cells\n";
    return 0;
}

// The options of map and netcdf of a table; returns -1 to go on, 0 after
// --help, 2 after wrong usage.
static int parse_exceedance_options(int argc, char** argv, const std::string& command,
                                    std::string& out, std::string& crs) {
    const bool map = command == "map";
    CLI::App app{
        map ? "The ensemble's exceedance table onto the map: a point per cell with its "
              "probabilities and "
              "percentiles, in the base command file's CRS (or --crs); GeoJSON in WGS84 with the "
              "path in "
              "FILE-path.geojson."
            : "The ensemble's exceedance table as NetCDF: a variable per column over the cells.",
        "torla-inspect DIR/exceedance.csv " + command};
    cli::house_style(app);
    app.add_option("-o", out,
                   map ? "the file written: FILE.gpkg or FILE.geojson" : "the file written")
        ->type_name(map ? "FILE" : "FILE.nc");
    if (map)
        app.add_option(
               "--crs", crs,
               "the CRS where the base command file has none (EPSG:2056, a WKT, a PROJ string)")
            ->type_name("CRS");
    return cli::parse(
        app, argc - 2, argv + 2, "torla-inspect", plain_text,
        [&] {
            const bool named = map ? ends_with(out, ".geojson") || ends_with(out, ".json") ||
                                         ends_with(out, ".gpkg")
                                   : !out.empty();
            return named ? ""
                         : command + " needs -o FILE" + (map ? ".gpkg or -o FILE.geojson" : ".nc");
        },
        command);
}

int exceedance_main(int argc, char** argv) {
    const std::string table_path = argv[1], command = argv[2];
    std::string out, crs;
    if (const int status = parse_exceedance_options(argc, argv, command, out, crs); status >= 0)
        return status;
    const bool geojson = ends_with(out, ".geojson") || ends_with(out, ".json");
    ExceedanceTable t;
    if (auto err = read_exceedance_table(table_path, t); !err.empty()) return fail(err);
    std::vector<std::string> notes;
    const EnsembleContext ctx = read_ensemble_context(table_path, notes);
    std::vector<std::string> outputs = {out};
    if (command == "map" && geojson)
        outputs.push_back(out.substr(0, out.rfind('.')) + "-path.geojson");
    for (const std::string& o : outputs)
        if (auto clash = output_clobbers_input(o, ctx.inputs); !clash.empty()) return fail(clash);
    return command == "map" ? exceedance_map(t, ctx.crs_wkt.empty() ? "" : ctx.command_path,
                                             ctx.crs_wkt, crs, outputs, notes)
                            : exceedance_netcdf(t, ctx.crs_wkt, out, notes);
}

}  // namespace torla::inspect
