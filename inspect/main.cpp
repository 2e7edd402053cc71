// torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]
// torla-inspect RESULT csv [--peaks | --front] [--threshold kPa] [--depth-threshold m] [-o FILE]
// torla-inspect RESULT map ... / netcdf ...   (inspect/map_export.cpp, inspect/netcdf_export.cpp)
// torla-inspect DIR/exceedance.csv map ... / netcdf ...   (inspect/exceedance_export.cpp)
//
// Exit status: 0 done, 1 the result file cannot be read or is inconsistent
// (or the output cannot be written, or would overwrite the input), 2 wrong
// usage. The result file is read record by record: the memory needed is one
// record and the peak table.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <vector>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_record.h"
#include "inspect/run_view.h"
#include "support/cli_options.h"

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

// The sub-commands, one line each in --help; each reads its own options.
struct SubCommand {
    const char* name;
    const char* line;
};
constexpr SubCommand kSubCommands[] = {
    {"summary",
     "names, cells, dumps, time span, run-out, largest front speed and pressures, the run record"},
    {"runout",
     "the run-outs of both layers' pressures at the zone limits and the alpha-beta run-out"},
    {"csv",
     "the dumps in long form, or the peak table (--peaks) or the front of every dump (--front)"},
    {"at", "the pressure over height at one cell at every dump, and its peak (docs/heights.md)"},
    {"score", "the run held against an observation file (docs/observations.md)"},
    {"map",
     "the peaks, zones and run-outs onto the map (GeoPackage, GeoJSON); also of "
     "DIR/exceedance.csv"},
    {"netcdf", "the whole run (or DIR/exceedance.csv) as NetCDF"},
};

// A mistake found after the options were read (a zone set): the message
// and where to look, status 2.
int usage_error(const std::string& what) {
    std::cerr << "torla-inspect: " << torla::inspect::plain_text(what)
              << "\nRun with --help for more.\n";
    return kStatusUsage;
}

struct Options {
    bool json = false, peaks = false, front = false;
    const char* out_path = nullptr;
    std::string out;  // what out_path points to
    torla::inspect::Thresholds th;
    std::string zones = "swiss", zone_pressure = "p3";  // the summary's run-outs
    std::optional<double> split_at_m;
};

// A number of 0 or more as strtod reads all of the text, or nothing.
std::optional<double> non_negative(const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(v) || v < 0.0) return std::nullopt;
    return v;
}

void add_non_negative(CLI::App& app, const std::string& name, const std::string& type,
                      const std::string& help, std::function<void(double)> set) {
    app.add_option_function<std::string>(
           name, [set](const std::string& v) { set(*non_negative(v)); }, help)
        ->type_name(type)
        ->check(torla::cli::value_check(
            [](const std::string& v) { return non_negative(v).has_value(); },
            "is not a number of 0 or more", torla::inspect::plain_text));
}

// summary's and csv's options (argv[2] the sub-command); returns -1 to go
// on, 0 after --help, 2 after wrong usage.
int parse_options(const std::string& command, int argc, char** argv, Options& o) {
    const bool summary = command == "summary";
    CLI::App app{
        summary
            ? "Names, cells, dumps, time span, run-out, largest front speed and the largest "
              "pressures "
              "of both moving layers; with the run record RESULT.json beside the result the stop "
              "reason, the onset of instability and the peaks before it, the mass balance and the "
              "warnings; then the run-outs and the alpha-beta run-out, as `runout' gives them."
            : "The dumps in long form (time, cell, path length, elevation relative to the first "
              "cell, "
              "the twelve quantities), or the peak table with the map coordinates of every cell, "
              "or "
              "the front of every dump and the run-out, to standard output or to FILE (never the "
              "result file itself). Values that are not finite are written nan, inf, -inf.",
        "torla-inspect RESULT " + command};
    torla::cli::house_style(app);
    if (summary) app.add_flag("--json", o.json, "for scripts");
    add_non_negative(app, "--threshold", "KPA",
                     "the flow is present where the suspension-layer pressure exceeds "
                     "it (default 0.1 kPa)",
                     [&o](double x) { o.th.pressure_kpa = x; });
    add_non_negative(app, "--depth-threshold", "M",
                     "or where the saltation-layer depth exceeds it (default 0.1 m)",
                     [&o](double x) { o.th.depth_m = x; });
    app.add_option("--zones", o.zones,
                   "swiss (default), austria, damage or rising kPa limits (1,3,30)")
        ->type_name("Z");
    app.add_option("--zone-pressure", o.zone_pressure,
                   "p3 (default), p2 or max: the pressure the zones judge")
        ->type_name("P");
    if (summary)
        add_non_negative(app, "--split-at", "S",
                         "the alpha-beta split point, horizontal m from the top",
                         [&o](double x) { o.split_at_m = x; });
    if (!summary) {
        app.add_flag("--peaks", o.peaks, "the peak table");
        app.add_flag("--front", o.front, "the front of every dump and the run-out");
        app.add_option("-o", o.out, "the file written (default: standard output)")
            ->type_name("FILE");
    }
    const int status = torla::cli::parse(
        app, argc - 2, argv + 2, "torla-inspect", torla::inspect::plain_text,
        [&o] {
            return o.peaks && o.front ? "--peaks and --front are two exports: choose one" : "";
        },
        command);
    if (!summary && app.get_option("-o")->count() > 0) o.out_path = o.out.c_str();
    return status;
}

void notes(const torla::ResultTables& r, const std::string& path) {
    if (r.cut_short)
        std::cerr << "torla-inspect: " << torla::inspect::plain_text(path)
                  << ": note: the file is cut short, " << r.cut_bytes
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
          << (v.onset_s ? " at t = " + torla::inspect::number_text(*v.onset_s) + " s"
                        : std::string())
          << "; peaks from " << v.peaks_source << "; dumps after the onset left out\n";
}

// The dump records up to the onset of a run that blew up, row by row.
std::string write_dump_export(std::ostream& o, const torla::ResultTables& r,
                              const std::string& path, const torla::inspect::RunView& v) {
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
        torla::inspect::write_summary_json(std::cout, r, s, record,
                                           torla::inspect::runouts_json(v));
    } else {
        torla::inspect::write_summary_text(std::cout, r, s, record);
        torla::inspect::write_runouts_text(std::cout, v);
    }
    return 0;
}

}  // namespace

// The first two words: the input and the sub-command. Returns -1 to go on
// (command set), 0 after --help, 2 after wrong usage.
int parse_inspect_command(int argc, char** argv, std::string& command) {
    CLI::App app{
        "Summaries and exports of a torla result file. Exit status: 0 done, 1 the result file "
        "cannot "
        "be read or is inconsistent (or the output cannot be written, or would overwrite the "
        "input), "
        "2 wrong usage.",
        "torla-inspect"};
    torla::cli::house_style(app);
    app.require_subcommand(0, 1);
    app.footer("Each sub-command's options: torla-inspect RESULT SUB-COMMAND --help.");
    std::string input;
    app.add_option("RESULT", input,
                   "the result file (map and netcdf: also an ensemble's DIR/exceedance.csv)")
        ->type_name("FILE");
    for (const SubCommand& c : kSubCommands) app.add_subcommand(c.name, c.line);
    // The sub-command's own options are read by the sub-command.
    const int status = torla::cli::parse(
        app, std::min(argc, 3), argv, "torla-inspect", torla::inspect::plain_text, [&app, &input] {
            return input.empty() || app.get_subcommands().empty()
                       ? "a result file and a sub-command are needed"
                       : "";
        });
    if (status == torla::cli::kGoOn) command = app.get_subcommands().front()->get_name();
    return status;
}

int run(int argc, char** argv) {
    std::string command;
    if (const int status = parse_inspect_command(argc, argv, command); status >= 0) return status;
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
    Options opt;
    if (const int status = parse_options(command, argc, argv, opt); status >= 0) return status;
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
        std::cerr << "torla-inspect: out of memory reading "
                  << torla::inspect::plain_text(argc > 1 ? argv[1] : "the input") << "\n";
    } catch (const std::exception& e) {
        std::cerr << "torla-inspect: " << e.what() << "\n";
    }
    return kStatusBadFile;
}
