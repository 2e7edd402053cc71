// torla-inspect's exports onto the map (GeoPackage, GeoJSON) and of the
// whole run (NetCDF), with what they find beside the result file: the copy
// of the command file in the log (the CRS that torla-profile wrote there,
// the elevation of the top) and the run record (arrival times, scheme, stop
// reason). Only torla-inspect links GDAL and netCDF for them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "inspect/inspect.h"
#include "output/result_format.h"

namespace torla {
struct HeightsData;
}

namespace torla::inspect {

// What lies beside RESULT: the log RESULT minus its last three characters
// plus "plg", and the run record RESULT.json. Everything is optional.
struct RunContext {
    std::string log_path, record_path;
    std::string torla_version;              // from the log's first line
    std::string command_text;               // the command file as the log copies it
    std::string crs_wkt;                    // joined "# crs_wkt" lines of the command file
    std::optional<double> top_elevation_m;  // m, of the first coordinate row
    bool has_record = false;
    std::vector<std::optional<double>> arrival_time_s;  // s, per cell (record)
    std::string numerics, stop_reason;                  // record, or empty
};

// Reads what there is; `notes` says what is missing or unusable.
RunContext read_run_context(const std::string& result_path, const ResultData& r,
                            std::vector<std::string>& notes);

// The pieces of a command file's text the exports use.
// The whole file at path into out; false when it cannot be opened.
bool read_whole_file(const std::string& path, std::string& out);
std::string crs_wkt_of_command_text(const std::string& text);
std::optional<double> top_elevation_of_command_text(const std::string& text);

// Hazard-zone classes from pressure thresholds (kPa): a cell belongs to the
// last class whose lower bound its zone pressure reaches, or to "none".
struct ZoneClass {
    double lower_kpa;
    std::string name;
};
// A preset name (swiss, austria, damage) or thresholds "1,3,30" (kPa, rising);
// returns an empty string or what is wrong.
std::string parse_zones(const std::string& text, std::vector<ZoneClass>& out);
// The class index (0 = none, k = out[k - 1]) of a pressure.
int zone_of(const std::vector<ZoneClass>& zones, double pressure_kpa);

// An ensemble's exceedance table, DIR/exceedance.csv of torla-ensemble
// collect: two comment lines (the members and those left out), the header,
// one row per cell.
struct ExceedanceColumn {
    enum Kind { kFixed, kProbability, kPercentile } kind = kFixed;
    std::string header;          // as the table names it: P(p3>1kPa), p3_p5[kPa]
    std::string field;           // its name in the exports: prob_p3_gt_1kpa, p3_p5_kpa
    std::string units;           // UDUNITS; "" for the cell index
    std::string quantity;        // p3, p2, h3 or h2 (probabilities and percentiles)
    double threshold_kpa = 0.0;  // kPa, of a probability
    int percentile = 0;          // 5, 50 or 95
};
struct ExceedanceTable {
    std::string path;
    int members = 0, used = 0;
    std::string failed, unstable, not_run;  // member indices as listed, or "none"
    std::vector<ExceedanceColumn> columns;
    std::vector<std::vector<double>> rows;  // per cell, a value per column in its units
};
// Returns an empty string or why the table is refused (file, line, column).
std::string read_exceedance_table(const std::string& path, ExceedanceTable& t);

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
// `map` and `netcdf` of an exceedance table (argv[1] the table).
int exceedance_main(int argc, char** argv);

}  // namespace torla::inspect
