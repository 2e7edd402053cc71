// torla-inspect: what engineers read off a result file. The front of the
// avalanche at every dump and its speed, the run-out from the peak table,
// the largest pressures, and the exports that the plotting tool reads.
#pragma once

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "output/result_format.h"
#include "support/files.h"
#include "support/numbers.h"

namespace torla::inspect {

// Where the flow counts as present: suspension-layer pressure above
// pressure_kpa, or saltation-layer depth above depth_m (both strictly). The
// file holds 32-bit values, so the thresholds are rounded to 32 bits before
// the comparison: a stored 0.1 kPa is not above a threshold of 0.1 kPa.
// The definition is flow_present (model/quantities.h), which the run's
// record of the front shares.
struct Thresholds {
    double pressure_kpa = kFlowPressure;
    double depth_m = kFlowDepth;
};

// Elevation of every cell relative to cell 0 (negative downhill). The
// result file keeps path length and slope but no elevation: each step along
// the path drops by its length times the sine of the mean slope of its two
// end points, which is exact on a circular arc between them.
std::vector<double> relative_elevation(const ResultTables& r);

// The front at one dump: the furthest cell where the flow is present, or
// none when it is nowhere.
struct FrontSample {
    double time = 0.0;
    int cell = -1;
    double path_length = 0.0;
    bool present() const { return cell >= 0; }
};
// The front in one dump record (12 (n + 1) floats), and in every record.
FrontSample front_at(const ResultTables& r, const std::vector<float>& record, const Thresholds& th);
std::vector<FrontSample> front_positions(const ResultData& r, const Thresholds& th);

// The front between cells, as the score reads it: from the summary's front
// cell i (the last cell where the flow is present), the position where the
// presence quantity falls to its threshold, interpolated linearly between
// cell i and cell i + 1, as i + w with w in [0, 1]. Where both quantities
// are above at i, the further crossing. Cell i itself (w = 0) where it is
// the last cell or cell i + 1 holds no finite value; none without a front.
// The summary's front stays the cell.
std::optional<double> front_between_cells(const ResultTables& r, const std::vector<float>& record,
                                          const Thresholds& th, int front_cell);

// Mean front speed between two dumps that both have a front and lie apart
// in time: difference of path length over difference of time.
struct FrontSpeed {
    double t0 = 0.0, t1 = 0.0, speed = 0.0;
};
std::vector<FrontSpeed> front_speeds(const std::vector<FrontSample>& front);

// The largest entry of one quantity in the peak table and where it is.
struct PeakMaximum {
    float value = 0.0f;
    int cell = -1;
    double path_length = 0.0;
    float h1 = 0.0f, h2 = 0.0f, h3 = 0.0f;  // depths when it was set
    int non_finite_cells = 0;               // cells whose value is not finite, left out
};
// Over the cells with a finite value; cell stays -1 when there is none.
PeakMaximum peak_maximum(const ResultTables& r, int quantity);

// The furthest cell whose peak value of the quantity exceeds the threshold.
std::optional<int> furthest_peak_above(const ResultTables& r, int quantity, double threshold);

struct Summary {
    Thresholds thresholds;
    double track_length = 0.0, drop = 0.0;  // m
    double t_first = 0.0, t_last = 0.0;     // s, of the dump records
    // Run-out (needs the peak table): the furthest of the two cells below.
    std::optional<int> runout_cell, runout_pressure_cell, runout_depth_cell;
    bool runout_at_track_end = false;  // within the last two cells
    std::vector<FrontSample> front;
    std::vector<FrontSpeed> speeds;
    std::optional<FrontSpeed> fastest;
    std::optional<double> front_reaches_end;  // first dump time, s
    std::optional<PeakMaximum> max_salt_pressure, max_susp_pressure;
    // The largest pressure at each height of RESULT.heights (a run with
    // Height_Peaks on), where it was and when; empty without that file.
    struct HeightMaximum {
        double height_m = 0.0, kpa = 0.0, time_s = 0.0;
        int cell = -1;
    };
    std::vector<HeightMaximum> height_maxima;
};
// The summary from the tables and the front of every dump record, in order
// (as a reader hands the records over one at a time); or from a whole file.
Summary summarize(const ResultTables& r, std::vector<FrontSample> front, const Thresholds& th);
Summary summarize(const ResultData& r, const Thresholds& th);

struct RunRecord;  // run_record.h
void write_summary_text(std::ostream& o, const ResultTables& r, const Summary& s,
                        const RunRecord* record = nullptr);
// The summary for scripts: one JSON object with the run record's part when
// there is one, then the members of extra (the run-outs), then "notes"
// naming every value that is not finite and so written as null.
nlohmann::ordered_json summary_json(
    const ResultTables& r, const Summary& s, const RunRecord* record = nullptr,
    const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());
void write_summary_json(std::ostream& o, const ResultTables& r, const Summary& s,
                        const RunRecord* record = nullptr,
                        const nlohmann::ordered_json& extra = nlohmann::ordered_json::object());

// The dumps in long form, one row per dump and cell, and the peak table one
// row per cell; each led by two comment lines with the names and a header
// row naming every column with its unit (the quantity table's name[unit]).
// The peak table ends with the map coordinates of every cell, the carried
// geometry values easting (aux2) and northing (aux6). Numbers that are not
// finite are written as the words nan, inf and -inf.
void write_dumps_csv(std::ostream& o, const ResultData& r);
void write_peaks_csv(std::ostream& o, const ResultTables& r);
// The dump export piece by piece: the lines before the rows, then the rows
// of one record; z is relative_elevation(r).
void write_dumps_csv_head(std::ostream& o, const ResultTables& r);
void write_dump_rows(std::ostream& o, const ResultTables& r, const std::vector<double>& z,
                     const std::vector<float>& record);
// The front of every dump, one row per dump: time, cell, path length (both
// empty where no cell carries flow), and the front speed since the dump
// before (empty where front_speeds gives none). Led by comment lines with
// the names, the thresholds, the run-out (from the peak table, or unknown)
// and the time the front reaches the end of the track.
void write_front_csv(std::ostream& o, const ResultTables& r, const Summary& s);

// A name for text and CSV: UTF-8 as it stands, but control characters,
// line separators (U+0085, U+2028, U+2029) and bytes that are not UTF-8
// written as escapes (\n, \r, \t, \u0085, \xfc), so that a name keeps to
// its line.
std::string plain_text(const std::string& text);

// Text as one CSV field: plain_text, in double quotes (doubled inside) when
// it holds a comma or a quote.
std::string csv_field(const std::string& text);

// A number for text and CSV: %.*g, or nan, inf, -inf.
using support::number_text;

// What is wrong with writing to out_path when the program reads the files
// in inputs: the same name or the same file (device and inode, which also
// catches links); empty when nothing.
std::string output_clobbers_input(const std::string& out_path,
                                  const std::vector<std::string>& inputs);

// An output written under a temporary name beside its own, moved into
// place when whole (support/files.h).
using support::OutputFile;

}  // namespace torla::inspect
