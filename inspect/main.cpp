// torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]
// torla-inspect RESULT csv [--peaks | --front] [--threshold kPa] [--depth-threshold m] [-o FILE]
// torla-inspect RESULT map ... / netcdf ...   (inspect/map_export.cpp, inspect/netcdf_export.cpp)
// torla-inspect DIR/exceedance.csv map ... / netcdf ...   (inspect/exceedance_export.cpp)
//
// Exit status: 0 done, 1 the result file cannot be read or is inconsistent
// (or the output cannot be written, or would overwrite the input), 2 wrong
// usage. The result file is read record by record: the memory needed is one
// record and the peak table.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <vector>
#include <cerrno>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_record.h"
#include "inspect/run_view.h"

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

const char* const kUsage =
    "usage: torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]\n"
    "                                    [--zones Z] [--zone-pressure p3|p2|max] [--split-at S]\n"
    "       torla-inspect RESULT runout [--json] [--zones Z] [--zone-pressure p3|p2|max] [--split-at S]\n"
    "       torla-inspect RESULT csv [--peaks | --front] [--threshold kPa] [--depth-threshold m]\n"
    "                                [--zones Z] [--zone-pressure p3|p2|max] [-o FILE]\n"
    "       torla-inspect RESULT at (--s S | --point E,N) [--heights LIST] [--json | --csv]\n"
    "                               [-o FILE]\n"
    "       torla-inspect RESULT score OBS.toml [--json]\n"
    "\n"
    "summary  names, cells, dumps, time span, run-out, largest front speed and the\n"
    "         largest pressures of both moving layers; --json for scripts.\n"
    "         The flow counts as present where the suspension-layer pressure exceeds\n"
    "         --threshold (default 0.1 kPa) or the saltation-layer depth exceeds\n"
    "         --depth-threshold (default 0.1 m). With the run record RESULT.json\n"
    "         beside the result: the stop reason, the onset of instability and the\n"
    "         peaks before it, the mass balance and the warnings. Then the run-outs\n"
    "         and the alpha-beta run-out, as `runout' gives them.\n"
    "runout   the run-outs of both layers' pressures at the zone limits (--zones: swiss\n"
    "         (default), austria, damage or kPa limits 1,3,30; judged on --zone-pressure),\n"
    "         along the path, horizontally, their elevation and angle from the top, and\n"
    "         whether the run decides them; beside them the alpha-beta run-out from the\n"
    "         split point (--split-at, horizontal m; default the command file's, else the\n"
    "         lower end of the release). A run that blew up is judged by the peaks its\n"
    "         run record keeps from before the onset.\n"
    "score    the run held against an observation file (docs/observations.md): per\n"
    "         observation the model's value, the observed one, the difference and z,\n"
    "         the covered stretch's lengths and skill scores, and one misfit.\n"
    "map, netcdf  see torla-inspect RESULT map --help, netcdf --help\n"
    "csv      the dumps in long form (time, cell, path length, elevation relative to\n"
    "         the first cell, the twelve quantities), or with --peaks the peak table\n"
    "         (with the map coordinates easting and northing of every cell), or with\n"
    "         --front the front of every dump (empty where no flow) and the run-out,\n"
    "         to standard output or to FILE (never the result file itself).\n"
    "         Values that are not finite are written nan, inf, -inf.\n"
    "at       the pressure over height at one cell (S m of horizontal distance from the\n"
    "         top, or the map point E,N projected onto the path) at every dump, and its\n"
    "         peak over the run (docs/heights.md); text, --csv or --json.\n";

int usage_error(const std::string& what) {
    std::cerr << "torla-inspect: " << torla::inspect::plain_text(what) << "\n" << kUsage;
    return kStatusUsage;
}

bool parse_threshold(const char* text, double& out) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < 0.0) return false;
    out = v;
    return true;
}

struct Options {
    bool json = false, peaks = false, front = false;
    const char* out_path = nullptr;
    torla::inspect::Thresholds th;
    std::string zones = "swiss", zone_pressure = "p3";  // the summary's run-outs
    std::optional<double> split_at_m;
};

// Reads the options of the sub-command; returns an empty string or what is
// wrong with them.
std::string parse_options(const std::string& command, int argc, char** argv, Options& o) {
    for (int a = 3; a < argc; ++a) {
        const std::string opt = argv[a];
        const bool summary = command == "summary";
        if (summary && opt == "--json") {
            o.json = true;
        } else if (opt == "--zones" || opt == "--zone-pressure" || (summary && opt == "--split-at")) {
            if (a + 1 >= argc) return opt + " needs a value";
            const char* value = argv[++a];
            double split = 0.0;
            if (opt == "--zones")
                o.zones = value;
            else if (opt == "--zone-pressure")
                o.zone_pressure = value;
            else if (parse_threshold(value, split))
                o.split_at_m = split;
            else
                return opt + " takes a number of 0 or more, not `" + value + "'";
        } else if (opt == "--threshold" || opt == "--depth-threshold") {
            if (a + 1 >= argc) return opt + " needs a value";
            double& target = opt == "--threshold" ? o.th.pressure_kpa : o.th.depth_m;
            if (!parse_threshold(argv[++a], target))
                return opt + " takes a number of 0 or more, not `" + argv[a] + "'";
        } else if (!summary && opt == "--peaks") {
            o.peaks = true;
        } else if (!summary && opt == "--front") {
            o.front = true;
        } else if (!summary && opt == "-o") {
            if (a + 1 >= argc) return "-o needs a file name";
            o.out_path = argv[++a];
        } else {
            return "unknown option `" + opt + "' of " + command;
        }
    }
    if (o.peaks && o.front) return "--peaks and --front are two exports: choose one";
    return "";
}

void notes(const torla::ResultTables& r, const std::string& path) {
    if (r.cut_short)
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(path) << ": note: the file is cut short, " << r.cut_bytes
                  << " bytes after the last whole record ignored\n";
    else if (r.count_unpatched)
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(path)
                  << ": note: the dump count is not patched, the run did not finish\n";
}

// The comment lines of the zones and of a run that blew up, after the
// export's own.
void csv_run_notes(std::ostream& o, const torla::inspect::RunView& v) {
    o << "# zones: " << torla::describe_zone_set(v.zones) << "\n";
    o << "# zone_pressure: " << torla::zone_pressure_name(v.zones.pressure) << "\n";
    o << "# zone_limits[kPa]:";
    for (std::size_t k = 0; k < v.zones.classes.size(); ++k)
        o << (k ? "," : " ") << torla::inspect::number_text(v.zones.classes[k].lower_kpa);
    o << "\n# zone_names:";
    for (std::size_t k = 0; k < v.zones.classes.size(); ++k)
        o << (k ? "," : " ") << v.zones.classes[k].name;
    o << "\n";
    if (v.unstable)
        o << "# unstable: the run blew up"
          << (v.onset_s ? " at t = " + torla::inspect::number_text(*v.onset_s) + " s" : std::string())
          << "; peaks from " << v.peaks_source << "; dumps after the onset left out\n";
}

// The dump records up to the onset of a run that blew up, row by row.
std::string write_dump_export(std::ostream& o, const torla::ResultTables& r, const std::string& path,
                              const torla::inspect::RunView& v) {
    torla::ResultReader again;
    torla::ResultTables tables;
    if (std::string err = again.open(path, tables); !err.empty()) return err;
    torla::inspect::write_dumps_csv_head(o, r);
    const std::vector<double> z = torla::inspect::relative_elevation(r);
    std::vector<float> record;
    for (std::size_t d = 0; d < again.records() && o; ++d) {
        if (std::string err = again.read_record(record); !err.empty()) return err;
        if (v.onset_s && record[0] > *v.onset_s) break;
        torla::inspect::write_dump_rows(o, r, z, record);
    }
    return "";
}

int csv(torla::ResultReader& reader, torla::ResultTables& r, const std::string& path,
        const Options& opt) {
    torla::inspect::RunViewOptions vo;
    vo.thresholds = opt.th;
    if (const std::string err = torla::parse_zone_set(opt.zones, opt.zone_pressure, vo.zones);
        !err.empty())
        return usage_error(err);
    torla::inspect::RunView v;
    std::string err = torla::inspect::read_run_view(reader, r, path, vo, v);
    if (!err.empty()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (opt.peaks && !r.has_peak_table()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(path) << ": no peak table, "
                  << (v.unstable ? "the run blew up and its record keeps no peaks before an onset"
                                 : "the run did not finish")
                  << "\n";
        return kStatusBadFile;
    }
    notes(r, path);
    // Written beside under a temporary name, moved into place when whole.
    std::optional<torla::inspect::OutputFile> target;
    std::ofstream file;
    if (opt.out_path) {
        target.emplace(opt.out_path);
        file.open(target->temp(), std::ios::binary | std::ios::trunc);
        if (!file) {
            std::cerr << "torla-inspect: cannot create " << torla::inspect::plain_text(opt.out_path)
                      << ": " << std::strerror(errno) << "\n";
            return kStatusBadFile;
        }
    }
    std::ostream& o = opt.out_path ? static_cast<std::ostream&>(file) : std::cout;
    if (opt.peaks) {
        csv_run_notes(o, v);
        torla::inspect::write_peaks_csv(o, r);
    } else if (opt.front) {
        if (v.unstable) csv_run_notes(o, v);
        torla::inspect::write_front_csv(o, r, torla::inspect::summarize(r, v.front, opt.th));
    } else {
        if (v.unstable) csv_run_notes(o, v);
        err = write_dump_export(o, r, path, v);
    }
    o.flush();
    if (!err.empty()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (opt.out_path) file.close();
    if (!o || (opt.out_path && !file)) {
        std::cerr << "torla-inspect: cannot write "
                  << (opt.out_path ? torla::inspect::plain_text(opt.out_path) : "standard output")
                  << "\n";
        return kStatusBadFile;
    }
    if (target) {
        if (const std::string err = target->commit(); !err.empty()) {
            std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
            return kStatusBadFile;
        }
    }
    return 0;
}

int summary(torla::ResultReader& reader, torla::ResultTables& r, const std::string& path,
            const Options& opt) {
    torla::inspect::RunViewOptions vo;
    vo.thresholds = opt.th;
    vo.split_at_m = opt.split_at_m;
    if (const std::string err = torla::parse_zone_set(opt.zones, opt.zone_pressure, vo.zones);
        !err.empty())
        return usage_error(err);
    torla::inspect::RunView v;
    if (std::string err = torla::inspect::read_run_view(reader, r, path, vo, v); !err.empty()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (!v.record_note.empty())
        std::cerr << "torla-inspect: note: " << torla::inspect::plain_text(v.record_note) << "\n";
    torla::inspect::Summary s = torla::inspect::summarize(r, v.front, opt.th);
    if (std::string err = torla::inspect::height_maxima(path, r, s); !err.empty()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
        return kStatusBadFile;
    }
    const torla::inspect::RunRecord* record = v.has_record ? &v.record : nullptr;
    if (opt.json) {
        torla::inspect::write_summary_json(std::cout, r, s, record, torla::inspect::runouts_json(v));
    } else {
        torla::inspect::write_summary_text(std::cout, r, s, record);
        torla::inspect::write_runouts_text(std::cout, v);
    }
    return 0;
}

}  // namespace

int run(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc < 3) return usage_error("a result file and a sub-command are needed");
    const std::string command = argv[2];
    // An ensemble's exceedance table, told apart by its name.
    const std::string input = argv[1];
    if ((command == "map" || command == "netcdf") && input.size() > 4 &&
        input.compare(input.size() - 4, 4, ".csv") == 0)
        return torla::inspect::exceedance_main(argc, argv);
    if (command == "map") return torla::inspect::map_main(argc, argv);
    if (command == "at") return torla::inspect::at_main(argc, argv);
    if (command == "netcdf") return torla::inspect::netcdf_main(argc, argv);
    if (command == "runout") return torla::inspect::runout_main(argc, argv);
    if (command == "score") return torla::inspect::score_main(argc, argv);
    if (command != "summary" && command != "csv")
        return usage_error("unknown sub-command `" + command + "'");
    Options opt;
    if (const std::string err = parse_options(command, argc, argv, opt); !err.empty())
        return usage_error(err);
    const std::string path = argv[1];
    if (opt.out_path) {
        // Neither the result nor its log or record (companions) is written over.
        const std::string clash = torla::inspect::outputs_clobber({opt.out_path}, path);
        if (!clash.empty()) {
            std::cerr << "torla-inspect: " << torla::inspect::plain_text(clash) << "\n";
            return kStatusBadFile;
        }
    }

    torla::ResultReader reader;
    torla::ResultTables r;
    if (const std::string err = reader.open(path, r); !err.empty()) {
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (command == "csv") return csv(reader, r, path, opt);
    return summary(reader, r, path, opt);
}

int main(int argc, char** argv) {
    // Memory runs short only on absurd inputs the checks above let through;
    // a message, never an abort.
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::cerr << "torla-inspect: out of memory reading " << torla::inspect::plain_text(argc > 1 ? argv[1] : "the input")
                  << "\n";
    } catch (const std::exception& e) {
        std::cerr << "torla-inspect: " << e.what() << "\n";
    }
    return kStatusBadFile;
}
