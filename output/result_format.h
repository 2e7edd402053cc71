// The result file: header with names, profile coefficients and geometry,
// one record per dump, the peak table, and the patched dump count. Its
// writer and its reader stand side by side in result_file.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/model_state.h"

namespace torla {

// ---- Writing, during a run. A failure stops the run with status 1 and a
// message naming the result file.

// Creates the result file anew with its header and geometry table and
// records the position of the dump-count field.
void write_result_header(ModelState& s, const std::vector<GeometryRow>& geometry);
// Appends one dump record of the conserved matrix m at time t; the record
// is assembled in s.dump_record and stays there until the next dump.
void write_dump(ModelState& s, double t, const Matrix& m);
// Appends the peak table and patches the dump count into the header.
void append_peak_table(const ModelState& s);
void patch_dump_count(const ModelState& s);

// A number bound for the result file that is not a finite 32-bit float: a
// finite state can still give a value beyond the float range, or a NaN
// where a clamped depth of 0 divides 0.
struct UnfitValue {
    int quantity = -1;  // row of the dump record or quantity of the peak table; -1: none
    int cell = -1;
    float value = 0.0f;
    bool found() const { return quantity >= 0; }
};
// The first such number of the dump record last written, row by row.
UnfitValue first_unfit_dump_value(const ModelState& s);
// The first such number of the peak table, maxima and depths alike.
UnfitValue first_unfit_peak(const ModelState& s);

// ---- Reading back.

// Everything a result file holds. The dump count is the header field as it
// stands (n when the run did not patch it).
struct ResultData {
    std::string problem_name, run_name;
    int16_t n_cells = 0;
    int16_t dump_count = 0;
    float coefficients[12] = {};
    std::vector<GeometryRow> geometry;
    // dumps[d] holds 12 rows of n + 1 floats: the time, then the cells.
    std::vector<std::vector<float>> dumps;
    std::vector<float> peaks;  // 48 n floats; empty without a peak table
    // The run never reached its end: the count still holds the placeholder n
    // while the records differ, or the peak table (written just before the
    // patch) is missing, as in a file of a run that is still going or was
    // killed.
    bool count_unpatched = false;
    // The run stopped on the small-step limit and appended one closing record
    // beyond the count.
    bool closing_record = false;
    bool has_peak_table() const { return !peaks.empty(); }
    float dump_time(std::size_t d) const { return dumps[d][0]; }
    float dump_value(std::size_t d, int row, int cell) const {
        return dumps[d][static_cast<std::size_t>(row) * (n_cells + 1) + cell + 1];
    }
    // Float `slot` (0 the maximum, 1 to 3 the depths h1, h2, h3 when it was
    // set) of the peak entry of quantity q at a cell.
    float peak(int q, int cell, int slot) const {
        return peaks[kPeakEntryFloats * (static_cast<std::size_t>(q) * n_cells + cell) + slot];
    }
};

// Reads a whole result file; the number of dump records follows from the
// file size. An unpatched count is accepted and flagged in count_unpatched;
// a file without its peak table is accepted only with an unpatched count.
// Returns an empty string, or what is wrong with the file: too short for a
// header field, bytes that are not whole records and a peak table, a count
// that fits neither the records nor the placeholder, a record whose time
// slots disagree or whose time goes back.
std::string read_result_file(const std::string& path, ResultData& out);

}  // namespace torla
