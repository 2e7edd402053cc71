// torla-inspect RESULT runout [--json] [--split-at S] [--zones Z] [--zone-pressure P]:
// the run-outs of both moving layers' pressures at the zone limits and the
// alpha-beta run-out beside them (run_view.h).
#include <iostream>

#include "inspect/run_view.h"
#include "support/cli_options.h"
#include "support/json.h"

namespace torla::inspect {

namespace {

constexpr int kStatusBadFile = 1;
constexpr int kStatusUsage = 2;

struct RunoutOptions {
    bool json = false;
    std::string zones = "swiss", zone_pressure = "p3";
    std::optional<double> split_at_m;
};

// Reads the options after the sub-command; returns -1 to go on, else the
// status to end with (help printed, or wrong usage).
int parse_runout_options(int argc, char** argv, RunoutOptions& o) {
    CLI::App app{
        "The run-outs of both moving layers' pressures at the zone limits (furthest "
        "cell above each limit, along the path, horizontally, its elevation and angle "
        "from the top of the track, and whether the run decides it) and the alpha-beta "
        "run-out beside them.",
        "torla-inspect RESULT runout"};
    cli::house_style(app);
    app.add_flag("--json", o.json, "for scripts");
    app.add_option("--split-at", o.split_at_m,
                   "the alpha-beta split point, horizontal m from the top (default: the one the "
                   "command file records, else the lower end of the release)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--zones", o.zones, "swiss, austria, damage or rising kPa limits (1,3,30)");
    app.add_option("--zone-pressure", o.zone_pressure,
                   "p3, p2 or max: the pressure the zones judge");
    return cli::parse(app, argc - 2, argv + 2, "torla-inspect", plain_text, nullptr, "runout");
}

}  // namespace

int runout_main(int argc, char** argv) {
    RunoutOptions o;
    if (const int status = parse_runout_options(argc, argv, o); status >= 0) return status;
    RunViewOptions vo;
    vo.split_at_m = o.split_at_m;
    if (const std::string err = parse_zone_set(o.zones, o.zone_pressure, vo.zones); !err.empty()) {
        std::cerr << "torla-inspect: " << plain_text(err) << "\n";
        return kStatusUsage;
    }
    const std::string path = argv[1];
    ResultReader reader;
    ResultTables r;
    RunView v;
    std::string err = reader.open(path, r);
    if (err.empty()) err = read_run_view(reader, r, path, vo, v);
    if (!err.empty()) {
        std::cerr << "torla-inspect: " << plain_text(err) << "\n";
        return kStatusBadFile;
    }
    if (!v.record_note.empty())
        std::cerr << "torla-inspect: note: " << plain_text(v.record_note) << "\n";
    if (o.json)
        std::cout << support::json_text(runouts_json(v), 2) << "\n";
    else
        write_runouts_text(std::cout, v);
    return 0;
}

}  // namespace torla::inspect
