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
#include <vector>
#include <cerrno>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_record.h"

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

const char* const kUsage =
    "usage: torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]\n"
    "       torla-inspect RESULT csv [--peaks | --front] [--threshold kPa] [--depth-threshold m]\n"
    "                                [-o FILE]\n"
    "       torla-inspect RESULT at (--s S | --point E,N) [--heights LIST] [--json | --csv]\n"
    "                               [-o FILE]\n"
    "\n"
    "summary  names, cells, dumps, time span, run-out, largest front speed and the\n"
    "         largest pressures of both moving layers; --json for scripts.\n"
    "         The flow counts as present where the suspension-layer pressure exceeds\n"
    "         --threshold (default 0.1 kPa) or the saltation-layer depth exceeds\n"
    "         --depth-threshold (default 0.1 m). With the run record RESULT.json\n"
    "         beside the result: the stop reason, the onset of instability and the\n"
    "         peaks before it, the mass balance and the warnings.\n"
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
    std::cerr << "torla-inspect: " << what << "\n" << kUsage;
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
};

// Reads the options of the sub-command; returns an empty string or what is
// wrong with them.
std::string parse_options(const std::string& command, int argc, char** argv, Options& o) {
    for (int a = 3; a < argc; ++a) {
        const std::string opt = argv[a];
        const bool summary = command == "summary";
        if (summary && opt == "--json") {
            o.json = true;
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

// The front of every record, read one record at a time.
std::string read_front(torla::ResultReader& reader, const torla::ResultTables& r,
                       const torla::inspect::Thresholds& th,
                       std::vector<torla::inspect::FrontSample>& front) {
    std::vector<float> record;
    for (std::size_t d = 0; d < reader.records(); ++d) {
        if (std::string err = reader.read_record(record); !err.empty()) return err;
        front.push_back(torla::inspect::front_at(r, record, th));
    }
    return "";
}

void notes(const torla::ResultTables& r, const std::string& path) {
    if (r.cut_short)
        std::cerr << "torla-inspect: " << path << ": note: the file is cut short, " << r.cut_bytes
                  << " bytes after the last whole record ignored\n";
    else if (r.count_unpatched)
        std::cerr << "torla-inspect: " << path
                  << ": note: the dump count is not patched, the run did not finish\n";
}

int csv(torla::ResultReader& reader, const torla::ResultTables& r, const std::string& path,
        const Options& opt) {
    if (opt.peaks && !r.has_peak_table()) {
        std::cerr << "torla-inspect: " << path << ": no peak table, the run did not finish\n";
        return kStatusBadFile;
    }
    notes(r, path);
    std::ofstream file;
    if (opt.out_path) {
        file.open(opt.out_path, std::ios::binary | std::ios::trunc);
        if (!file) {
            std::cerr << "torla-inspect: cannot create " << opt.out_path << ": "
                      << std::strerror(errno) << "\n";
            return kStatusBadFile;
        }
    }
    std::ostream& o = opt.out_path ? static_cast<std::ostream&>(file) : std::cout;
    std::string err;
    if (opt.peaks) {
        torla::inspect::write_peaks_csv(o, r);
    } else if (opt.front) {
        std::vector<torla::inspect::FrontSample> front;
        err = read_front(reader, r, opt.th, front);
        if (err.empty())
            torla::inspect::write_front_csv(o, r, torla::inspect::summarize(r, std::move(front), opt.th));
    } else {
        torla::inspect::write_dumps_csv_head(o, r);
        const std::vector<double> z = torla::inspect::relative_elevation(r);
        std::vector<float> record;
        for (std::size_t d = 0; d < reader.records() && err.empty() && o; ++d) {
            err = reader.read_record(record);
            if (err.empty()) torla::inspect::write_dump_rows(o, r, z, record);
        }
    }
    o.flush();
    if (!err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }
    if (!o) {
        std::cerr << "torla-inspect: cannot write "
                  << (opt.out_path ? opt.out_path : "standard output") << "\n";
        return kStatusBadFile;
    }
    return 0;
}

int summary(torla::ResultReader& reader, const torla::ResultTables& r, const std::string& path,
            const Options& opt) {
    std::vector<torla::inspect::FrontSample> front;
    if (std::string err = read_front(reader, r, opt.th, front); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }
    torla::inspect::Summary s = torla::inspect::summarize(r, std::move(front), opt.th);
    if (std::string err = torla::inspect::height_maxima(path, r, s); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }
    torla::inspect::RunRecord record;
    bool found = false;
    std::vector<float> times;
    for (const torla::inspect::FrontSample& f : s.front) times.push_back(static_cast<float>(f.time));
    if (std::string note = torla::inspect::read_run_record(path, r, times, record, found);
        !note.empty())
        std::cerr << "torla-inspect: note: " << torla::inspect::plain_text(note) << "\n";
    if (opt.json)
        torla::inspect::write_summary_json(std::cout, r, s, found ? &record : nullptr);
    else
        torla::inspect::write_summary_text(std::cout, r, s, found ? &record : nullptr);
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
    if (command != "summary" && command != "csv")
        return usage_error("unknown sub-command `" + command + "'");
    Options opt;
    if (const std::string err = parse_options(command, argc, argv, opt); !err.empty())
        return usage_error(err);
    const std::string path = argv[1];
    if (opt.out_path) {
        const std::string clash = torla::inspect::output_clobbers_input(opt.out_path, {path});
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
        std::cerr << "torla-inspect: out of memory reading " << (argc > 1 ? argv[1] : "the input")
                  << "\n";
    } catch (const std::exception& e) {
        std::cerr << "torla-inspect: " << e.what() << "\n";
    }
    return kStatusBadFile;
}
