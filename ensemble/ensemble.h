// torla-ensemble: many runs of one scenario with varied inputs, and one
// answer from them. The ensemble file (a small TOML file), the sampling of the
// members, their folders, the engines that run them and the aggregation.
#pragma once

#include "model/runout.h"

#include <cstdint>
#include <string>
#include <vector>

#include "input/command_file.h"
#include "model/parameters.h"
#include "model/sha256.h"
#include "support/numbers.h"
#include "support/stop_signals.h"

namespace torla::inspect {
struct ExceedanceTable;
}

namespace torla::ensemble {

// ---- The ensemble file's TOML (read by toml++): [sections], key = value
// with strings, numbers, arrays and inline tables.
inline constexpr std::size_t kMaxEnsembleFile = std::size_t{1} << 20;  // bytes
inline constexpr int kMaxTomlDepth =
    32;  // arrays and inline tables within each other, parts of a key
struct TomlField;
struct TomlValue {
    enum Kind { kString, kNumber, kArray, kTable } kind = kNumber;
    std::string text;               // kString
    double number = 0.0;            // kNumber
    bool integer = false;           // kNumber written without fraction or exponent
    int64_t whole = 0;              // kNumber with integer: its exact value
    std::vector<TomlValue> items;   // kArray
    std::vector<TomlField> fields;  // kTable, in the order of the file
    int line = 0, column = 0;
};
struct TomlField {
    std::string first;  // the key
    TomlValue second;
};
struct TomlEntry {
    std::string section;  // "" before the first [section]
    std::string key;
    TomlValue value;
    int line = 0, column = 0;  // of the value
};
// Returns an empty string, or "line N, column C: what is wrong".
std::string parse_toml(const std::string& text, std::vector<TomlEntry>& out);

// ---- The ensemble file.
enum class Sampling { kGrid, kLatinHypercube, kRandom };

// The local-table columns after the index, by name (place 0 is unused).
inline constexpr const char* kLocalColumns[12] = {
    "", "u_threshold", "h1", "rho1", "h2", "u2", "rho2", "h3", "u3", "snow_mass", "k3", "eps3"};

// One varied key: a global parameter (values replace the base's) or a
// local column (factors scale it in every row); listed values or a range.
struct Variation {
    std::string name;
    int line = 0, place = 0;  // line and column of its value in the ensemble file
    int column = -1;          // local column 1 ... 11, or -1 for a global key
    bool word = false;        // a global key whose value is a word
    bool range = false;
    double min = 0.0, max = 0.0;       // range
    std::vector<double> values{};      // listed numbers (or factors)
    std::vector<std::string> words{};  // listed words
    bool local() const { return column >= 0; }
    std::size_t choices() const { return word ? words.size() : values.size(); }
};

// The pressure at a height above the snow cover and its thresholds, from
// [thresholds] at_height = [ { z_m = 5.0, p_kPa = [1.0, 3.0] }, ... ].
struct HeightThresholds {
    double z_m = 0.0;           // m, as the members' Peak_Heights write it (9 digits)
    std::vector<double> p_kpa;  // kPa
    int line = 0, column = 0;   // of the entry in the ensemble file
};

struct EnsembleFile {
    std::string path;       // the ensemble file
    std::string text;       // its bytes
    std::string base;       // the base command file as the ensemble file names it
    std::string base_path;  // resolved against the ensemble file's folder
    int members = 0;        // after expansion of a grid
    Sampling sampling = Sampling::kLatinHypercube;
    uint64_t seed = 0;
    std::vector<Variation> vary;
    std::vector<double> p3_thresholds, p2_thresholds;  // kPa
    std::vector<HeightThresholds> at_height;           // [thresholds] at_height, in file order
    ZoneSet zones = default_zone_set();                // [zones]: the run-out table's limits
};
const char* sampling_name(Sampling s);

// Reads and checks an ensemble file (not yet the base file). Returns an empty string
// or the reason for refusing it, naming the line.
// The file must be a regular file of at most kMaxEnsembleFile bytes.
std::string read_ensemble_file(const std::string& path, EnsembleFile& ens);
// The same for text already read; path names it in messages.
std::string parse_ensemble_file(const std::string& path, const std::string& text,
                                EnsembleFile& ens);

// ---- Sampling: the value of every varied key for every member.
struct MemberValues {
    std::vector<double> numbers;     // per variation (a factor for a local column)
    std::vector<std::string> words;  // per variation; empty unless a word key
};
// Same ensemble file and seed, same values, on every machine: the generator is the
// project's own (splitmix64), drawn numbers are rounded to 9 significant
// digits, the text written to the command files.
std::vector<MemberValues> sample_members(const EnsembleFile& ens);
// The stratum (0 ... n-1) a latin-hypercube value of a range falls in.
int stratum_of(double value, double min, double max, int n);
// A value as written into the command files and members.csv: 9 digits.
using support::number_text;

// ---- The members' command files.
struct BaseFile {
    CommandFile file;  // as the reader read it
};
// Reads a base command file as torla reads it (name used in messages).
// Returns an empty string or the refusal ("line N: why").
std::string parse_base(const std::string& text, BaseFile& base, const std::string& name = "base");
std::string effective_command_file(const BaseFile& base, const EnsembleFile& ens,
                                   const MemberValues& v);
// The Peak_Heights of the members when the ensemble asks for pressures at
// heights: the asked heights, and the base's own where it keeps peaks over
// height, rising and each once; "" when none are asked. Returns "" or the
// refusal (the ensemble file's line and key).
std::string member_peak_heights(const BaseFile& base, const EnsembleFile& ens, std::string& list);
// Checks a command file with torla's reader, in this process; returns an
// empty string or the refusal ("line N: why"). With generator, also runs
// generator (knotline), in a scratch folder, on the input torla would write.
std::string check_command_file(const std::string& path, const std::string& generator = "");

// ---- The tool's processes (process.cpp).
// The private scratch folder (mkdtemp), made at the first call; removed by
// remove_scratch and, whatever ends the tool, by a janitor process.
std::string scratch_folder(std::string& err);
void remove_scratch();
// SIGINT, SIGTERM and SIGHUP are noted (stop_signal) and interrupt waits;
// die_of_stop_signal removes the scratch folder and ends the tool by the
// signal noted (and returns where none was).
using support::install_stop_handlers;
using support::stop_signal;
void die_of_stop_signal();
// Starts args[0] in the folder open at folder_fd, its output into out_fd, in
// a process group of its own, killed when the tool dies; -1 where it cannot
// start.
pid_t spawn_member_process(int folder_fd, const std::vector<std::string>& args, int out_fd);
// Longest absolute name of an ensemble folder: the members' information
// files hold it (with "/grid/") on a line of at most 255 characters.
inline constexpr std::size_t kMaxFolderName = 240;
// Memory the members may take while an ensemble is prepared, bytes.
inline constexpr double kMaxPlanBytes = 1024.0 * 1048576.0;

using torla::sha256_hex;  // the project's SHA-256 (model/sha256.h)

// ---- The ensemble folder.
struct Member {
    int index = 0;
    std::string hash;    // SHA-256 of the effective command file
    std::string folder;  // relative to the ensemble folder
    MemberValues values;
};
struct Plan {
    EnsembleFile ensemble;
    std::vector<Member> members;
    bool shared_grid = false;  // the grid file is the same for every member
    bool refused = false;  // prepare's error is a refusal of the input (else a failure to write)
};
std::string member_folder_name(int index, int count, const std::string& hash);

// Writes the plan and every member's folder (command and information files)
// into dir, checking each command file written in up to `jobs` processes at
// once; a folder whose two files are already right is left alone.
std::string prepare(const std::string& ensemble_path, const std::string& dir,
                    const std::string& bin_dir, Plan& plan, int jobs = 1);
std::string load_plan(const std::string& dir, Plan& plan);

// What a member's folder says about its run.
struct MemberState {
    bool finished = false;  // ran to an exit status with the plan's hash, its result as it was left
    int exit_status = -1;
    std::string stop_reason;
    bool onset = false;
    double onset_time = 0.0;
    int onset_cell = -1;
};
MemberState member_state(const std::string& dir, const Member& m);
// Runs one member in its folder with bin_dir/torla and records how it ended
// (member.status: the hash and the exit status). start_member starts it,
// finish_member records the status waitpid gave; run_member does both.
int run_member(const std::string& dir, const Member& m, const std::string& bin_dir);
int start_member(const std::string& dir, const Member& m, const std::string& bin_dir);
int finish_member(const std::string& dir, const Member& m, int wait_status);

// ---- Engines.
struct LocalOptions {
    int jobs = 1;
    bool progress = false;
};
// Runs every member not yet finished; returns the number that ended with a
// status other than 0. At a stop signal, the running members get it too and
// are waited for; they stay unfinished.
int run_local(const std::string& dir, const Plan& plan, const std::string& bin_dir,
              const LocalOptions& opt, const std::vector<int>& only = {});

// ---- One answer.
struct CollectFigures {
    int members = 0, used = 0, failed = 0, unstable = 0, missing = 0;
    bool write_failed = false;  // a table could not be written (the error says which)
};
// Largest peak a used member may have (kPa or m): beyond it, or not finite,
// the member blew up and is left out as failed.
inline constexpr double kLargestPeak = 1e12;
// Writes members.csv, exceedance.csv, runout.csv, fronts.csv and
// ensemble.json into dir; with export_notes, also exceedance.gpkg and
// exceedance.nc (export_exceedance), what could not be written of them
// into export_notes. Returns "" or why collect failed.
std::string collect(const std::string& dir, CollectFigures& figures,
                    std::vector<std::string>* export_notes = nullptr);
// exceedance.gpkg and exceedance.nc of the table (none: only the earlier
// ones removed) written by torla-inspect's writers, in this process, into a
// new private folder of dir and moved beside DIR/exceedance.csv; returns
// what could not be written and why, for standard error.
std::vector<std::string> export_exceedance(const std::string& dir,
                                           const inspect::ExceedanceTable* table);
// Percentile p (0 ... 100) of sorted values, linear between order statistics.
double percentile(const std::vector<double>& sorted, double p);

}  // namespace torla::ensemble
