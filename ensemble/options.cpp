// torla-ensemble's command line (options.h), read with CLI11: one
// sub-command, its options checked before they are taken.
#include "ensemble/options.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <thread>

#include "inspect/inspect.h"
#include "support/cli_options.h"

namespace torla::ensemble {

namespace {

constexpr long kMostMembers = 1000000;

// A whole number in [low, high] as strtol reads all of the text, or nothing.
std::optional<int> whole(const std::string& text, long low, long high) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || *end || v < low || v > high) return std::nullopt;
    return static_cast<int>(v);
}

std::string escape(const std::string& text) { return inspect::plain_text(text); }

// --option N, a whole number from 1 to kMostMembers, into target.
void add_count(CLI::App& app, const std::string& name, int& target, const std::string& help) {
    app.add_option_function<std::string>(
           name, [&target](const std::string& v) { target = *whole(v, 1, kMostMembers); }, help)
        ->type_name("N")
        ->check(cli::value_check(
            [](const std::string& v) { return whole(v, 1, kMostMembers).has_value(); },
            "is not a whole number from 1 to " + std::to_string(kMostMembers), escape));
}

void add_engine(CLI::App& app, std::string& engine) {
    app.add_option("--engine", engine, "local (default) or slurm")
        ->type_name("ENGINE")
        ->check(cli::value_check([](const std::string& v) { return v == "local" || v == "slurm"; },
                                 "is not local or slurm", escape));
}

int all_cores() { return static_cast<int>(std::max(1u, std::thread::hardware_concurrency())); }

// The options of the Slurm engine, the same for run and calibrate.
void add_slurm(CLI::App& app, SlurmOptions& s) {
    add_count(app, "--chunk", s.chunk, "Slurm: members per array task");
    add_count(app, "--max-parallel", s.max_parallel, "Slurm: array tasks at a time");
    app.add_option("--partition", s.partition, "Slurm: the partition")->type_name("P");
    app.add_option("--time", s.time_limit, "Slurm: the time limit of an array task")
        ->type_name("T");
    app.add_option("--account", s.account, "Slurm: the account")->type_name("A");
}

void add_run(CLI::App& app, RunCommand& r) {
    CLI::App* run =
        app.add_subcommand("run", "run the members of ENSEMBLE.toml into DIR and collect them");
    r.local.jobs = all_cores();
    r.local.progress = isatty(2);
    run->add_option("ENSEMBLE", r.ensemble_path, "the ensemble file (TOML)")
        ->required()
        ->type_name("FILE.toml");
    run->add_option("-o", r.dir, "the ensemble folder (made, or resumed)")->type_name("DIR");
    add_engine(*run, r.engine);
    add_count(*run, "--jobs", r.local.jobs,
              "members at a time on this machine (default: its cores)");
    add_slurm(*run, r.slurm);
    run->add_flag_callback(
        "--no-wait", [&r] { r.slurm.wait = false; }, "Slurm: return once the job is queued");
}

void add_chunk(CLI::App& app, ChunkCommand& c) {
    CLI::App* chunk = app.add_subcommand("run-chunk",
                                         "run members FIRST to FIRST + COUNT - 1 of DIR (a Slurm "
                                         "array task; torla-ensemble writes it into the job)");
    chunk->add_option("DIR", c.dir, "the ensemble folder")->required();
    chunk
        ->add_option_function<std::string>(
            "FIRST", [&c](const std::string& v) { c.first = *whole(v, 0, 1000000000); },
            "the first member")
        ->required()
        ->check(cli::value_check(
            [](const std::string& v) { return whole(v, 0, 1000000000).has_value(); },
            "is not a whole number of 0 or more", escape));
    add_count(*chunk, "COUNT", c.count, "how many members");
    chunk->get_option("COUNT")->required();
}

void add_calibrate(CLI::App& app, CalibrateOptions& o) {
    CLI::App* cal =
        app.add_subcommand("calibrate",
                           "search the [vary] ranges of CALIB.toml for the members that "
                           "fit OBS.toml (docs/calibration.md)");
    o.jobs = all_cores();
    cal->add_option("CALIB", o.calib_file, "the calibration file (an ensemble file of ranges)")
        ->type_name("FILE.toml");
    cal->add_option("--observed", o.observed, "the observation file")->type_name("OBS.toml");
    cal->add_option("-o", o.dir, "the calibration folder (made, or resumed)")->type_name("DIR");
    add_count(*cal, "--budget", o.budget, "members in all rounds (default: the file's members)");
    add_engine(*cal, o.engine);
    add_count(*cal, "--jobs", o.jobs, "members at a time on this machine (default: its cores)");
    add_slurm(*cal, o.slurm);
}

// What is wrong with the options together, or "".
std::string together(const CLI::App& app, const EnsembleCommand& c) {
    const auto chosen = app.get_subcommands();
    if (chosen.empty()) return "a sub-command is needed: run, calibrate, collect or status";
    const std::string name = chosen.front()->get_name();
    if (name == "run" && c.run.dir.empty()) return "run needs -o DIR";
    if (name == "calibrate" && c.calibrate.calib_file.empty())
        return "calibrate needs an ensemble file";
    if (name == "calibrate" && (c.calibrate.observed.empty() || c.calibrate.dir.empty()))
        return "calibrate needs --observed OBS.toml and -o DIR";
    return "";
}

}  // namespace

int parse_ensemble_options(int argc, char** argv, EnsembleCommand& c) {
    CLI::App app{
        "Many runs of one scenario with varied inputs, and one answer from them "
        "(docs/ensembles.md).",
        "torla-ensemble"};
    cli::house_style(app);
    app.require_subcommand(0, 1);
    app.footer(
        "Exit status: 0 done, 1 incomplete (members not run, a file not written, Slurm failed, the "
        "folder in use), 2 wrong usage, 3 a file or folder refused, 4 some members failed.");
    add_run(app, c.run);
    add_calibrate(app, c.calibrate);
    app.add_subcommand("collect", "the tables of the members run so far in DIR")
        ->add_option("DIR", c.dir, "the ensemble folder")
        ->required();
    app.add_subcommand("status", "how many members of DIR have run")
        ->add_option("DIR", c.dir, "the ensemble folder")
        ->required();
    add_chunk(app, c.chunk);
    const int status =
        cli::parse(app, argc, argv, "torla-ensemble", escape, [&] { return together(app, c); });
    if (status == cli::kGoOn) c.name = app.get_subcommands().front()->get_name();
    return status;
}

}  // namespace torla::ensemble
