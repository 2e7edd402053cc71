// torla-inspect: what engineers read off a result file. The front of the
// avalanche at every dump and its speed, the run-out from the peak table,
// the largest pressures, and the exports that the plotting tool reads.
#pragma once

#include <array>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "output/result_format.h"

namespace torla::inspect {

// Where the flow counts as present: suspension-layer pressure above
// pressure_kpa, or saltation-layer depth above depth_m (both strictly). The
// file holds 32-bit values, so the thresholds are rounded to 32 bits before
// the comparison: a stored 0.1 kPa is not above a threshold of 0.1 kPa.
struct Thresholds {
    double pressure_kpa = 0.1;
    double depth_m = 0.1;
};

// Elevation of every cell relative to cell 0 (negative downhill). The
// result file keeps path length and slope but no elevation: each step along
// the path drops by its length times the sine of the mean slope of its two
// end points, which is exact on a circular arc between them.
std::vector<double> relative_elevation(const ResultData& r);

// The front at one dump: the furthest cell where the flow is present, or
// none when it is nowhere.
struct FrontSample {
    double time = 0.0;
    int cell = -1;
    double path_length = 0.0;
    bool present() const { return cell >= 0; }
};
std::vector<FrontSample> front_positions(const ResultData& r, const Thresholds& th);

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
};
PeakMaximum peak_maximum(const ResultData& r, int quantity);

// The furthest cell whose peak value of the quantity exceeds the threshold.
std::optional<int> furthest_peak_above(const ResultData& r, int quantity, double threshold);

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
};
Summary summarize(const ResultData& r, const Thresholds& th);

void write_summary_text(std::ostream& o, const ResultData& r, const Summary& s);
void write_summary_json(std::ostream& o, const ResultData& r, const Summary& s);

// The dumps in long form, one row per dump and cell, and the peak table one
// row per cell; each led by two comment lines with the names and a header
// row naming every column with its unit.
void write_dumps_csv(std::ostream& o, const ResultData& r);
void write_peaks_csv(std::ostream& o, const ResultData& r);

// A name from the command file as a JSON string: UTF-8 as it stands, any
// other bytes taken as Latin-1.
std::string json_string(const std::string& text);

}  // namespace torla::inspect
