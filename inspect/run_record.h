// The run record `<result file>.json` that a run leaves beside its result
// (docs/run-record.md), as the summary reads it: how the run ended, the
// onset of instability and the peaks before it, the mass per dump and the
// warnings.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output/result_format.h"

namespace torla::inspect {

struct RunRecord {
    std::string path;
    std::string stop_reason;         // as the record writes it
    std::optional<int> exit_status;  // absent or null: unknown
    std::string message;             // the fatal message, or empty
    std::optional<double> simulated_time_s;
    struct Onset {
        std::optional<double> time_s;
        std::optional<int> cell;
        std::string sign;
    };
    std::optional<Onset> onset;
    std::vector<std::string> warnings;
    std::string numerics, version;  // the scheme and torla's version, or empty
    std::string crs_wkt;            // the map's CRS the run read from its command file, or empty
    // s per cell, the first time the flow was there; empty when the record
    // has none, a cell without an arrival empty.
    std::vector<std::optional<double>> arrival_time_s;
    // Snow mass per metre of track width at every dump; a value the record
    // gives as null (not finite) stays empty.
    struct DumpMass {
        std::optional<double> time_s, cover, saltation, suspension, outflow;
        std::optional<double> edges;  // changed by the window's edge cells so far, where given
        std::optional<double> moving_and_lying() const;  // cover + saltation + suspension
    };
    std::vector<DumpMass> dumps;
    // The peak maxima per cell of each quantity (name order of the result
    // quantities) as they stood just before the onset; empty without one.
    std::vector<std::vector<std::optional<double>>> peaks_before_onset;
};

// Reads the run record of the result file at result_path when there is one;
// dump_times are the times of the result file's records. Returns an empty
// string when the record was read (found set) or is not there (found
// cleared), or why it was left out: not a regular file, larger than 64 MB,
// not JSON, a field of the wrong type, or a record of another run (another
// cell count, fewer dumps or dumps at other times than the result file, or
// a complete run claimed beside an unfinished result file).
std::string read_run_record(const std::string& result_path, const ResultTables& r,
                            const std::vector<float>& dump_times, RunRecord& out, bool& found);

// The largest of the peaks before the onset for one quantity, and where.
struct RecordPeak {
    double value = 0.0;
    int cell = -1;
};
std::optional<RecordPeak> largest_before_onset(const RunRecord& rec, int quantity);

// The mass balance over the dumps: the snow on the track (cover, saltation
// and suspension layers) at the first and the last dump with a known mass,
// the outflow by then, and the largest change between two dumps that the
// outflow does not explain: (mass + outflow) at a dump less the same at the
// dump before.
struct MassBalance {
    double t_start = 0.0, start = 0.0;
    double t_end = 0.0, end = 0.0, outflow_end = 0.0;
    std::optional<double> largest_unexplained;  // kg/m, signed
    double unexplained_t0 = 0.0, unexplained_t1 = 0.0;
    // What the window's edge cells changed over the same two dumps, where
    // the record says.
    std::optional<double> edges_then;
};
std::optional<MassBalance> mass_balance(const RunRecord& rec);

}  // namespace torla::inspect
