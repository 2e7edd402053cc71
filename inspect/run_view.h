// A run as torla-inspect judges it, read once: the front and the run-outs'
// view of every dump, the run record, whether the run blew up (and then the
// peaks it trusts), the zones in force, the run-outs at their limits and the
// alpha-beta run-out beside them. The summary, the run-out table, the CSV,
// map and NetCDF exports and the plots all start from this.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "inspect/alpha_beta.h"
#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "inspect/run_record.h"
#include "model/runout.h"

namespace torla::inspect {

struct RunView {
    std::vector<FrontSample> front;  // per dump record (up to the onset of a run that blew up)
    std::vector<float> times;        // s, of every dump record of the file
    RunoutHistory history;           // the run-out limits' view of the dumps
    int release_end_cell = -1;       // furthest cell with a layer in the first record
    // Per entry of front, the front between cells (front_between_cells):
    // cell + fraction, none without a front.
    std::vector<std::optional<double>> front_between;
    RunRecord record;
    bool has_record = false;
    std::string record_note;  // why the record was left out, or empty
    // The run blew up: its record says it stopped with status 2 or 5. The
    // peak table then holds the record's peaks before the onset (the depths
    // when they were set unknown), and the dumps after the onset are left out.
    bool unstable = false;
    std::optional<double> onset_s;
    std::string peaks_source;  // "the peak table" or what replaced it
    ZoneSet zones;
    std::vector<Runout> runouts;
    // From the log's copy of the command file: the elevation of the top and
    // the split point torla-profile recorded (horizontal m) and whence.
    std::optional<double> top_elevation_m;
    std::vector<ProfilePoint> command_profile;
    std::optional<double> recorded_split_m;
    std::string recorded_split_source;
    TrackAxis axis;
    AlphaBeta alpha_beta;
    std::string split_source;  // what the split point is
};

struct RunViewOptions {
    Thresholds thresholds;
    ZoneSet zones = default_zone_set();
    std::optional<double> split_at_m;  // --split-at, horizontal m from the top
};

// Reads every record of the opened result (r as the reader opened it; its
// peak table is replaced by the trusted one when the run blew up), the run
// record and the log beside result_path, and works out the rest. Returns an
// empty string or what is wrong with the result file.
std::string read_run_view(ResultReader& reader, ResultTables& r, const std::string& result_path,
                          const RunViewOptions& options, RunView& view);

// The record of a run that blew up: its exit status (2 bad numbers, 5 too
// small a step) says so.
bool record_says_unstable(const RunRecord& record);
// Puts the record's peaks before the onset in place of the peak table's
// maxima; the depths when they were set are not known and become NaN. A
// record without them leaves no peak table at all.
void trust_record_peaks(ResultTables& r, const RunRecord& record);

// The run-out table and the alpha-beta table for people, and both as a
// JSON object's members (nlohmann), shared by `runout` and `summary`.
void write_runouts_text(std::ostream& o, const RunView& v);
nlohmann::ordered_json runouts_json(const RunView& v);

// torla-inspect RESULT runout [--json] [--split-at S] [--zones Z] [--zone-pressure P]
int runout_main(int argc, char** argv);

}  // namespace torla::inspect
