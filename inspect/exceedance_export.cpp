// torla-inspect DIR/exceedance.csv map -o FILE.gpkg|FILE.geojson [--crs CRS]
// torla-inspect DIR/exceedance.csv netcdf -o FILE.nc
//
// The exceedance table of an ensemble (torla-ensemble collect) onto the map
// and into NetCDF: one point per cell with every column of the table, and
// the path as a line measured by path length, in the CRS of the ensemble's
// base command file; or a CF file with a cell dimension and every
// probability and percentile as a variable. The table is read as collect
// writes it and refused, file, line and column named, where it is not;
// collect hands its table to the same writers in memory.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>

#include <cpl_conv.h>
#include <ogr_spatialref.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "support/cli_options.h"

namespace torla::inspect {

namespace {

constexpr int kStatusUsage = 2;

const char* const kFixed[] = {"cell", "path_length[m]", "easting[m]", "northing[m]",
                              "elevation[m]"};
constexpr int kFixedCount = kExceedanceFixedColumns;

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

// A threshold's or a height's text in a field name: 0.5 as 0p5 (or 0_5).
std::string name_text(double v, char point) {
    std::string t = number_text(v);
    std::replace(t.begin(), t.end(), '.', point);
    return t;
}

// "P(p3>" T "kPa)" and "P(p@" Z "m>" T "kPa)": the threshold's and height's text.
bool probability_parts(const std::string& name, std::string& quantity, std::string& z,
                       std::string& t) {
    const std::string tail = "kPa)";
    if (name.size() <= 5 + tail.size() || name.rfind("P(p", 0) != 0 ||
        name.compare(name.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    const std::string body = name.substr(3, name.size() - 3 - tail.size());  // 3>1, @5m>1
    if (body.rfind("3>", 0) == 0 || body.rfind("2>", 0) == 0) {
        quantity = std::string("p") + body[0];
        t = body.substr(2);
        return true;
    }
    const std::size_t gt = body.find("m>");
    if (body[0] != '@' || gt == std::string::npos) return false;
    quantity = "p";
    z = body.substr(1, gt - 1);
    t = body.substr(gt + 2);
    return true;
}

// Reads one column's header: fixed, P(Q>TkPa), P(p@Zm>TkPa) or Q_pNN[unit].
std::string classify(const std::string& name, int index, ExceedanceColumn& c) {
    const std::string where = "column " + std::to_string(index + 1);
    if (index < kFixedCount) {
        c = fixed_column(index);
        return name == c.header ? "" : where + " must be `" + c.header + "', not `" + name + "'";
    }
    std::string quantity, z, t;
    if (probability_parts(name, quantity, z, t)) {
        double threshold = 0.0, height = 0.0;
        if (!parse_number(t, threshold) || !std::isfinite(threshold) || threshold <= 0.0)
            return where + " `" + name + "': `" + t + "' is no threshold in kPa";
        if (quantity == "p" &&
            (!parse_number(z, height) || !(height >= 0.0) || !std::isfinite(height)))
            return where + " `" + name + "': `" + z + "' is no height in m";
        c = quantity == "p" ? height_probability_column(height, threshold)
                            : probability_column(quantity, threshold);
        c.header = name;
        return "";
    }
    for (const char* q : {"p3", "p2", "h3", "h2"})
        for (int p : {5, 50, 95})
            if (name == percentile_column(q, p).header) {
                c = percentile_column(q, p);
                return "";
            }
    return where + ": unknown column `" + name + "'";
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

}  // namespace

ExceedanceColumn fixed_column(int index) {
    static const char* fields[] = {"cell", "path_length_m", "easting_m", "northing_m",
                                   "elevation_m"};
    ExceedanceColumn c;
    c.header = kFixed[index];
    c.field = fields[index];
    c.units = index == 0 ? "" : "m";
    return c;
}

ExceedanceColumn probability_column(const std::string& quantity, double threshold_kpa) {
    ExceedanceColumn c;
    c.kind = ExceedanceColumn::kProbability;
    c.quantity = quantity;
    c.threshold_kpa = threshold_kpa;
    c.header = "P(" + quantity + ">" + number_text(threshold_kpa) + "kPa)";
    c.field = "prob_" + quantity + "_gt_" + name_text(threshold_kpa, 'p') + "kpa";
    c.units = "1";
    return c;
}

ExceedanceColumn height_probability_column(double height_m, double threshold_kpa) {
    ExceedanceColumn c = probability_column("p", threshold_kpa);
    c.height_m = height_m;
    c.header = "P(p@" + number_text(height_m) + "m>" + number_text(threshold_kpa) + "kPa)";
    c.field =
        "prob_p_at_" + name_text(height_m, '_') + "m_gt_" + name_text(threshold_kpa, 'p') + "kpa";
    return c;
}

ExceedanceColumn percentile_column(const std::string& quantity, int percentile) {
    ExceedanceColumn c;
    const bool pressure = quantity[0] == 'p';
    c.kind = ExceedanceColumn::kPercentile;
    c.quantity = quantity;
    c.percentile = percentile;
    c.units = pressure ? "kPa" : "m";
    c.header = quantity + "_p" + std::to_string(percentile) + "[" + c.units + "]";
    c.field = quantity + "_p" + std::to_string(percentile) + (pressure ? "_kpa" : "_m");
    return c;
}

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

ExceedanceCrs ensemble_crs(const std::string& table_path, std::vector<std::string>& inputs,
                           std::vector<std::string>& notes) {
    const EnsembleContext ctx = read_ensemble_context(table_path, notes);
    inputs = ctx.inputs;
    return {ctx.crs_wkt, ctx.crs_wkt.empty() ? "" : ctx.command_path};
}

// --crs as WKT in crs; false where GDAL knows no such CRS.
static bool crs_option_wkt(const std::string& option, ExceedanceCrs& crs) {
    OGRSpatialReference given;
    char* wkt = nullptr;
    if (given.SetFromUserInput(option.c_str()) != OGRERR_NONE ||
        given.exportToWkt(&wkt) != OGRERR_NONE)
        return false;
    crs = {wkt, "--crs"};
    CPLFree(wkt);
    return true;
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
            const bool named = map ? has_extension(out, ".geojson") ||
                                         has_extension(out, ".json") || has_extension(out, ".gpkg")
                                   : !out.empty();
            return named ? ""
                         : command + " needs -o FILE" + (map ? ".gpkg or -o FILE.geojson" : ".nc");
        },
        command);
}

int exceedance_main(int argc, char** argv) {
    const std::string table_path = argv[1], command = argv[2];
    std::string out, crs_option;
    if (const int status = parse_exceedance_options(argc, argv, command, out, crs_option);
        status >= 0)
        return status;
    const bool geojson = has_extension(out, ".geojson") || has_extension(out, ".json");
    ExceedanceTable t;
    if (auto err = read_exceedance_table(table_path, t); !err.empty()) return refuse_export(err);
    std::vector<std::string> notes, inputs;
    ExceedanceCrs crs = ensemble_crs(table_path, inputs, notes);
    std::vector<std::string> outputs = {out};
    if (command == "map" && geojson)
        outputs.push_back(out.substr(0, out.rfind('.')) + "-path.geojson");
    for (const std::string& o : outputs)
        if (auto clash = output_clobbers_input(o, inputs); !clash.empty())
            return refuse_export(clash);
    for (const auto& note : notes) std::cerr << "torla-inspect: note: " << note << "\n";
    if (command == "map" && !crs_option.empty() && !crs_option_wkt(crs_option, crs)) {
        std::cerr << "torla-inspect: --crs: `" << plain_text(crs_option)
                  << "' is no CRS GDAL knows\nRun with --help for more.\n";
        return kStatusUsage;
    }
    const std::string err =
        command == "map"
            ? write_exceedance_map(t, crs, outputs)
            : write_exceedance_netcdf(t, crs.wkt, out,
                                      "torla-inspect " + table_path + " netcdf -o " + out);
    if (!err.empty()) return refuse_export(err);
    std::cerr << "torla-inspect: " << out << ": " << t.rows.size() << " cells"
              << (outputs.size() == 2 ? ", the path in " + outputs[1] : "") << "\n";
    return 0;
}

}  // namespace torla::inspect
