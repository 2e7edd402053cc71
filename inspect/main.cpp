// torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]
// torla-inspect RESULT csv [--peaks] [-o FILE]
//
// Exit status: 0 done, 1 the result file cannot be read or is inconsistent
// (or the output cannot be written), 2 wrong usage.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <cerrno>

#include "inspect/inspect.h"

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

const char* const kUsage =
    "usage: torla-inspect RESULT summary [--json] [--threshold kPa] [--depth-threshold m]\n"
    "       torla-inspect RESULT csv [--peaks] [-o FILE]\n"
    "\n"
    "summary  names, cells, dumps, time span, run-out, largest front speed and the\n"
    "         largest pressures of both moving layers; --json for scripts.\n"
    "         The flow counts as present where the suspension-layer pressure exceeds\n"
    "         --threshold (default 0.1 kPa) or the saltation-layer depth exceeds\n"
    "         --depth-threshold (default 0.1 m).\n"
    "csv      the dumps in long form (time, cell, path length, elevation relative to\n"
    "         the first cell, the twelve quantities), or with --peaks the peak table,\n"
    "         to standard output or to FILE.\n";

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
    bool json = false, peaks = false;
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
        } else if (summary && (opt == "--threshold" || opt == "--depth-threshold")) {
            if (a + 1 >= argc) return opt + " needs a value";
            double& target = opt == "--threshold" ? o.th.pressure_kpa : o.th.depth_m;
            if (!parse_threshold(argv[++a], target))
                return opt + " takes a number of 0 or more, not `" + argv[a] + "'";
        } else if (!summary && opt == "--peaks") {
            o.peaks = true;
        } else if (!summary && opt == "-o") {
            if (a + 1 >= argc) return "-o needs a file name";
            o.out_path = argv[++a];
        } else {
            return "unknown option `" + opt + "' of " + command;
        }
    }
    return "";
}

int csv(const torla::ResultData& r, const std::string& path, const Options& opt) {
    if (opt.peaks && !r.has_peak_table()) {
        std::cerr << "torla-inspect: " << path << ": no peak table, the run did not finish\n";
        return kStatusBadFile;
    }
    if (r.count_unpatched)
        std::cerr << "torla-inspect: " << path
                  << ": note: the dump count is not patched, the run did not finish\n";
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
    if (opt.peaks)
        torla::inspect::write_peaks_csv(o, r);
    else
        torla::inspect::write_dumps_csv(o, r);
    o.flush();
    if (!o) {
        std::cerr << "torla-inspect: cannot write "
                  << (opt.out_path ? opt.out_path : "standard output") << "\n";
        return kStatusBadFile;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc < 3) return usage_error("a result file and a sub-command are needed");
    const std::string command = argv[2];
    if (command != "summary" && command != "csv")
        return usage_error("unknown sub-command `" + command + "'");
    Options opt;
    if (const std::string err = parse_options(command, argc, argv, opt); !err.empty())
        return usage_error(err);

    torla::ResultData r;
    if (const std::string err = torla::read_result_file(argv[1], r); !err.empty()) {
        std::cerr << "torla-inspect: " << err << "\n";
        return kStatusBadFile;
    }
    if (command == "csv") return csv(r, argv[1], opt);
    const torla::inspect::Summary s = torla::inspect::summarize(r, opt.th);
    if (opt.json)
        torla::inspect::write_summary_json(std::cout, r, s);
    else
        torla::inspect::write_summary_text(std::cout, r, s);
    return 0;
}
