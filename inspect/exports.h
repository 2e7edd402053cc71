// torla-inspect's exports onto the map (GeoPackage, GeoJSON) and of the
// whole run (NetCDF), with what they find beside the result file: the copy
// of the command file in the log (the CRS that torla-profile wrote there,
// the elevation of the top) and the run record (arrival times, scheme, stop
// reason). Only torla-inspect links GDAL and netCDF for them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "inspect/alpha_beta.h"
#include "inspect/inspect.h"
#include "model/runout.h"
#include "output/result_format.h"

namespace torla {
struct HeightsData;
}

namespace torla::inspect {

// What lies beside RESULT: the log RESULT minus its last three characters
// plus "plg", and the run record RESULT.json. Everything is optional.
struct RunContext {
    std::string log_path, record_path;
    std::string torla_version;  // from the log's first line
    std::string command_text;   // the command file as the log copies it
    std::string crs_wkt;        // the run record's crs_wkt, else the log copy's "# crs_wkt" lines
    std::optional<double> top_elevation_m;  // m, of the first coordinate row
    bool has_record = false;
    std::vector<std::optional<double>> arrival_time_s;  // s, per cell (record)
    std::string numerics, stop_reason;                  // record, or empty
    std::string record_refusal;  // why a record that is there was left out, or empty
};

// Only the log's part of it: the version, the command file's copy, the CRS
// and the elevation of the top.
void read_log_copy(const std::string& result_path, RunContext& c, std::vector<std::string>& notes);
// Reads what there is beside the result r, whose dump records are at
// dump_times (s). The log is optional: what is missing or unusable goes
// into `notes`. The run record is read and accepted as the summary does
// (inspect/run_record.h); one that is there but left out (another run's,
// not a regular file, not JSON) is record_refusal, and the exports fail on
// it: their inputs disagree.
RunContext read_run_context(const std::string& result_path, const ResultTables& r,
                            const std::vector<float>& dump_times, std::vector<std::string>& notes);

// The companions of a result file: its log and its run record.
std::vector<std::string> companion_paths(const std::string& result_path);
// What is wrong with writing to each of outputs: one of them is the result
// or a companion (inspect.h output_clobbers_input), or a file an export
// writes beside its named output (derived) is there without that output:
// not one of an earlier export's, never replaced unasked. Empty when
// nothing.
std::string outputs_clobber(const std::vector<std::string>& outputs, const std::string& result_path,
                            const std::string& derived = "");
// Every record's time and, where front is given, its front (summary's
// thresholds), reading one record at a time.
std::string scan_records(ResultReader& reader, const ResultTables& r, std::vector<float>& times,
                         std::vector<FrontSample>* front = nullptr);

// The whole file at path into out, when it is a regular file (checked
// before it is opened, so a FIFO never blocks) of at most 64 MB; returns
// "" or why not.
std::string read_regular_file(const std::string& path, std::string& out);
// The same, as a yes or no.
bool read_whole_file(const std::string& path, std::string& out);

// A refusal or failure of an export: "torla-inspect: " and the message
// (names escaped) on standard error; returns status 1.
int refuse_export(const std::string& what);
// Whether path ends with ext (written in lower case), in any case.
bool has_extension(const std::string& path, const std::string& ext);

// The pieces of a command file's text the exports use.
std::string crs_wkt_of_command_text(const std::string& text);
std::optional<double> top_elevation_of_command_text(const std::string& text);
// The coordinate rows as a profile, horizontal distance measured from the
// first row; empty when a row is not finite or does not go forward.
std::vector<ProfilePoint> profile_of_command_text(const std::string& text);
// The split point torla-profile recorded, "# split_s_horizontal_m: S" in the
// comment block, and its "# split_source: ..." line.
std::optional<double> split_of_command_text(const std::string& text, std::string& source);

// An ensemble's exceedance table, DIR/exceedance.csv of torla-ensemble
// collect: two comment lines (the members and those left out), the header,
// one row per cell. collect builds it in memory and hands it to the
// writers below; torla-inspect reads it back from the CSV.
struct ExceedanceColumn {
    enum Kind { kFixed, kProbability, kPercentile } kind = kFixed;
    std::string header;          // as the table names it: P(p3>1kPa), P(p@5m>3kPa), p3_p5[kPa]
    std::string field;           // its name in the exports: prob_p3_gt_1kpa, p3_p5_kpa
    std::string units;           // UDUNITS; "" for the cell index
    std::string quantity;        // p3, p2, h3 or h2; p: the pressure at a height
    double threshold_kpa = 0.0;  // kPa, of a probability
    double height_m = -1.0;      // m above the snow cover, of quantity p; -1 otherwise
    int percentile = 0;          // 5, 50 or 95
};
// The columns, each as collect writes its header and the exports name it:
// the fixed ones (0 cell ... 4 elevation), P(p3>TkPa) and P(p2>TkPa),
// P(p@Zm>TkPa) and Q_pNN[unit].
ExceedanceColumn fixed_column(int index);
ExceedanceColumn probability_column(const std::string& quantity, double threshold_kpa);
ExceedanceColumn height_probability_column(double height_m, double threshold_kpa);
ExceedanceColumn percentile_column(const std::string& quantity, int percentile);
inline constexpr int kExceedanceFixedColumns = 5;

struct ExceedanceTable {
    std::string path;  // the CSV, named in messages and the NetCDF's source
    int members = 0, used = 0;
    std::string failed, unstable, not_run;  // member indices as listed, or "none"
    std::vector<ExceedanceColumn> columns;
    std::vector<std::vector<double>> rows;  // per cell, a value per column in its units
};
// Returns an empty string or why the table is refused (file, line, column).
std::string read_exceedance_table(const std::string& path, ExceedanceTable& t);

// The map's CRS: WKT, and the file it came from (named when GDAL cannot read
// it); an empty wkt refuses the map, naming the table.
struct ExceedanceCrs {
    std::string wkt, source;
};
// The table onto the map: outputs[0] a GeoPackage (layers cells and path),
// or a GeoJSON of the cells in WGS84 with outputs[1] the path. The table as
// NetCDF. Each output is written beside under a temporary name and renamed
// when whole; returns "" or why it could not be written.
std::string write_exceedance_map(const ExceedanceTable& t, const ExceedanceCrs& crs,
                                 const std::vector<std::string>& outputs);
// history: the NetCDF's history attribute (the command that wrote it).
std::string write_exceedance_netcdf(const ExceedanceTable& t, const std::string& crs_wkt,
                                    const std::string& out, const std::string& history);
// The CRS an ensemble's table is shown in: the base command file that
// DIR/plan.txt names (or the first member's copy of it) beside the table at
// table_path; what is missing goes into notes. inputs: every file read.
ExceedanceCrs ensemble_crs(const std::string& table_path, std::vector<std::string>& inputs,
                           std::vector<std::string>& notes);

// The sub-commands `map` and `netcdf`: argv as torla-inspect got it
// (argv[1] the result file, argv[2] the sub-command). Returns the exit status.
int map_main(int argc, char** argv);
int netcdf_main(int argc, char** argv);
// The largest pressure at each height of RESULT.heights into the summary,
// when that file is there (inspect/at.cpp); returns "" or what is wrong.
std::string height_maxima(const std::string& result_path, const ResultTables& r, Summary& s);
// RESULT.heights when it is there (found), checked against the result;
// returns "" or what is wrong with it.
std::string read_kept_heights(const std::string& result_path, const ResultTables& r,
                              HeightsData& out, bool& found);
// The name of a per-cell field of the peak at height h (m) in the map
// exports: p_at_2m_max_kpa, p_at_0_5m_max_kpa.
std::string height_field_name(double h);
// `at`: the pressure over height at one cell (inspect/at.cpp).
int at_main(int argc, char** argv);
// The peak pressure (kPa) at height_m above the ground at one cell of the
// result at path, as `at` gives it: over every pass where the run kept the
// peaks at that height (source "passes"), else over the dumps ("dumps").
std::string peak_pressure_at_height(const std::string& path, const ResultData& r, int cell,
                                    double height_m, double& peak_kpa, std::string& source);
// `map` and `netcdf` of an exceedance table (argv[1] the table).
int exceedance_main(int argc, char** argv);
// torla-inspect RESULT score OBS.toml [--json] (score.cpp).
int score_main(int argc, char** argv);

}  // namespace torla::inspect
