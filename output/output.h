// Output: the log file with its reports, the peak table, and the result
// file (output/result_format.h).
#pragma once

#include "model/model_state.h"
#include "output/result_format.h"

namespace torla {

// Creates the log, writes its header and a verbatim copy of the command
// file, and leaves the log stream open for appending.
void open_log(ModelState& s);
// Formats one piece of text into the log stream; a failed write stops the run.
void log_printf(ModelState& s, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void close_log(ModelState& s);

// The warning about bytes after the grid rows, to the log and the console.
void report_trailing_grid_data(ModelState& s);
// The 31 form factors of s.ff, as a block in the log.
void report_form_factors(ModelState& s);

// Folds the layer variables of the active window into the peak table.
void update_peaks(ModelState& s);

// Peaks over height (Height_Peaks on, output/height_peaks.cpp): the layers
// of the window at `time` (s) after a pass; the dump record just written;
// the file <result>.heights at the end (returns "" or what failed).
void update_height_peaks(ModelState& s, double time);
void fold_dump_heights(ModelState& s);
std::string write_run_heights(const ModelState& s);
// How many cells a pass folds side by side (hp.lanes): 2 (baseline x86-64)
// or 4 (AVX2), at most what the processor runs; 0 the most it runs (the
// default). Both give the same peaks. Returns the number chosen.
int use_height_lanes(HeightPeaks& hp, int lanes);

// Writes the run record (at path, or <result>.json) for a run that ended
// with status at the wall-clock time ended (s since the epoch). Returns ""
// or what failed.
std::string write_run_record(const ModelState& s, int status, double ended,
                             const std::string& path = "");

}  // namespace torla
