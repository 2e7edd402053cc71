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

// Everything of a result file but its dump records: the header, the
// geometry, the peak table, and what the file's layout says about the run.
// The dump count is the header field as it stands (n when the run did not
// patch it).
struct ResultTables {
    std::string problem_name, run_name;
    int16_t n_cells = 0;
    int16_t dump_count = 0;
    float coefficients[12] = {};
    std::vector<GeometryRow> geometry;
    std::vector<float> peaks;  // 48 n floats; empty without a peak table
    // The run never reached its end: the count still holds the placeholder n
    // while the records differ, or the peak table (written just before the
    // patch) is missing, as in a file of a run that is still going or was
    // killed.
    bool count_unpatched = false;
    // The run stopped on the small-step limit and appended one closing record
    // beyond the count.
    bool closing_record = false;
    // The file was cut short (a record or the peak table cut by a full disk
    // or a kill), and the bytes after the last whole record that were left
    // out (0 when the cut fell just after a record).
    bool cut_short = false;
    uint64_t cut_bytes = 0;
    bool has_peak_table() const { return !peaks.empty(); }
    // Float `slot` (0 the maximum, 1 to 3 the depths h1, h2, h3 when it was
    // set) of the peak entry of quantity q at a cell.
    float peak(int q, int cell, int slot) const {
        return peaks[kPeakEntryFloats * (static_cast<std::size_t>(q) * n_cells + cell) + slot];
    }
    // Floats of one dump record: 12 rows of the time, then the cells.
    std::size_t record_floats() const {
        return static_cast<std::size_t>(kResultQuantities) *
               (static_cast<std::size_t>(n_cells) + 1);
    }
};

// A whole result file in memory, records and all.
struct ResultData : ResultTables {
    // dumps[d] holds 12 rows of n + 1 floats: the time, then the cells.
    std::vector<std::vector<float>> dumps;
    float dump_time(std::size_t d) const { return dumps[d][0]; }
    float dump_value(std::size_t d, int row, int cell) const {
        return dumps[d][static_cast<std::size_t>(row) * (n_cells + 1) + cell + 1];
    }
};

// Reads a result file record by record: open() reads the header, the
// geometry and the peak table and checks the time slots of every record;
// read_record() then hands the records over one at a time, so the memory
// needed is one record and the peak table.
//
// The number of dump records follows from the file size. An unpatched count
// is accepted and flagged in count_unpatched; a file without its peak table
// is accepted only with an unpatched count or as cut short. A file cut
// inside a record or the peak table keeps every whole record before the cut
// whose time slots agree and go forward; the rest is counted in cut_bytes.
// Refused, with what is wrong: anything but a regular file, a file too short
// for its header or geometry, larger than any result file of its cell count
// can be, a count that fits neither the records nor the placeholder, a
// record whose time slots disagree or whose time goes back (in a file of
// whole pieces).
class ResultReader {
public:
    ResultReader() = default;
    ~ResultReader();
    ResultReader(const ResultReader&) = delete;
    ResultReader& operator=(const ResultReader&) = delete;

    std::string open(const std::string& path, ResultTables& out);
    std::size_t records() const { return records_; }
    // The next dump record into rec (resized to the record's floats).
    std::string read_record(std::vector<float>& rec);
    // Back to the first record, for a second pass over the file.
    void rewind() { next_ = 0; }

private:
    std::string check_times(const ResultTables& out, uint64_t records, bool cut, std::size_t& good);
    std::string read_whole_layout(ResultTables& out, uint64_t rest, uint64_t peak_bytes,
                                  bool with_peaks);
    std::string read_cut_layout(ResultTables& out, uint64_t rest, uint64_t peak_bytes);

    int fd_ = -1;
    std::string path_;
    uint64_t records_at_ = 0, record_bytes_ = 0;
    std::size_t records_ = 0, next_ = 0;
    std::size_t record_floats_ = 0;
};

// Reads a whole result file into memory with ResultReader; returns an empty
// string or what is wrong with the file.
std::string read_result_file(const std::string& path, ResultData& out);

}  // namespace torla
