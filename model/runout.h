// Where the avalanche stops: the track measured from its top, the hazard
// zones (which pressure they judge, from which lower bounds), and the
// run-out of each moving layer's pressure at a limit with the judgement
// whether the run decides it. The run writes these into its record and the
// tools into their summaries, tables and maps, all from this one place.
//
// Index conventions: cell i is row i of the geometry table (cell 0 the top
// of the track); a dump record is 12 rows of n + 1 floats, the time in
// slot 0 of every row, then cell i in slot i + 1 (the result file's layout).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/quantities.h"

namespace torla {

struct GeometryRow;  // model_state.h

// ---- The track measured from its top.

// Every cell's distance from cell 0 along the path, horizontally, and its
// elevation relative to cell 0 (negative downhill). Each step along the path
// covers its length times the cosine of the mean slope of its two end points
// horizontally and drops by the length times the sine (exact on a circular
// arc between them).
struct TrackAxis {
    std::vector<double> path_m;        // m, along the path (the geometry's path length)
    std::vector<double> horizontal_m;  // m, horizontal distance from cell 0
    std::vector<double> elevation_m;   // m, relative to cell 0
};
TrackAxis track_axis(const std::vector<GeometryRow>& geometry);

// The angle (degrees) under which a point `drop_m` below the top and
// `horizontal_m` away from it is seen from the top; 0 at the top itself.
double runout_angle_deg(double drop_m, double horizontal_m);

// ---- Hazard zones.

// The pressure a zone set judges. The result file holds two conventions:
// the saltation layer's p2 = rho2 u2^2 and the suspension layer's
// p3 = 1/2 rho3 u3^2 (docs/runout.md says why and which preset wants which).
enum class ZonePressure { kSuspension, kSaltation, kLarger };

struct ZoneClass {
    double lower_kpa;  // kPa, the class starts where the pressure reaches it
    std::string name;
};
struct ZoneSet {
    std::string name;  // the preset's name, or "custom"
    ZonePressure pressure = ZonePressure::kSuspension;
    std::vector<ZoneClass> classes;  // rising lower bounds
};

// The zone presets (swiss, austria, damage) or rising thresholds in kPa
// ("1,3,30"), judged on `pressure` ("p3", "p2" or "max"; empty: the preset's
// own, p3). Returns an empty string or what is wrong.
std::string parse_zone_set(const std::string& zones, const std::string& pressure, ZoneSet& out);
// The default everywhere: the swiss preset on p3.
ZoneSet default_zone_set();
// The class index (0 = none, k = classes[k - 1]) of a pressure.
int zone_of(const ZoneSet& zones, double pressure_kpa);
// The pressure the set judges, from a cell's p2 and p3 (kPa).
double judged_pressure(const ZoneSet& zones, double p2_kpa, double p3_kpa);
// "p3", "p2" or "max".
const char* zone_pressure_name(ZonePressure p);
// One line for people: "swiss on p3 (suspension layer, 1/2 rho u^2): yellow from 0.1 kPa, ...".
std::string describe_zone_set(const ZoneSet& zones);

// ---- Run-outs.

// A moving layer's pressure (kRowSaltPressure or kRowSuspPressure) above a
// threshold in kPa, or the saltation layer's depth (kRowSaltDepth) above one
// in m; compared as the 32-bit value the result file holds.
struct RunoutLimit {
    int quantity = kRowSuspPressure;
    double threshold = 0.0;  // kPa, or m for the depth
};
// Both layers' pressures at every threshold, rising, with the flow
// threshold kFlowPressure among them: p2 first, then p3; last the
// saltation layer's depth at kFlowDepth, the other half of where the flow
// counts as present.
std::vector<RunoutLimit> runout_limits(const std::vector<double>& thresholds_kpa);
// The limits of a zone set: its lower bounds (and the flow threshold).
std::vector<RunoutLimit> runout_limits(const ZoneSet& zones);
// The limits the run's record holds: the lower bounds of every preset.
std::vector<RunoutLimit> record_runout_limits();

// The cells within this many of the track's end count as its end.
inline constexpr int kEndCells = 2;
// The last part of a run in which a run-out that still moves is not
// decided: this share of the time the dumps span (and at least one dump
// interval).
inline constexpr double kLastPartShare = 0.1;

// The dumps as the run-out sees them: per dump the furthest cell where each
// limit's quantity is above it (-1: none). Fed dump by dump, by the run as
// it writes them and by the tools as they read them.
class RunoutHistory {
public:
    RunoutHistory() = default;
    explicit RunoutHistory(std::vector<RunoutLimit> limits) : limits_(std::move(limits)) {}
    const std::vector<RunoutLimit>& limits() const { return limits_; }
    // One dump record of n_cells cells (layout above).
    void add_dump(const float* record, int n_cells);
    std::size_t dumps() const { return times_.size(); }
    double time(std::size_t d) const { return times_[d]; }
    // The furthest cell of limit k over the dumps up to time t (-1: none).
    int reach_until(std::size_t k, double t) const;
    // Keeps only the dumps up to time t (a run that blew up after t).
    void cut_after(double t);

private:
    std::vector<RunoutLimit> limits_;
    std::vector<double> times_;               // s
    std::vector<std::vector<int>> furthest_;  // [dump][limit]
};

// The peak maxima of one quantity, cell i at values[i * stride].
struct PeakColumn {
    const float* values = nullptr;
    int n = 0;
    int stride = 1;
    float at(int i) const { return values[static_cast<std::size_t>(i) * stride]; }
};
// The peak maxima the run-outs are judged from, quantity by quantity: the
// peak table (stride kPeakEntryFloats, the maximum first in each entry) or
// the record's trustworthy ones before an onset (stride 1).
struct PeakTable {
    const float* values = nullptr;
    int n = 0;
    int stride = 1;
    PeakColumn column(int quantity) const {
        return {values + static_cast<std::size_t>(quantity) * n * stride, n, stride};
    }
};

struct Runout {
    RunoutLimit limit;
    int cell = -1;  // the furthest cell above the limit; -1: the limit is never exceeded
    double path_m = 0.0, horizontal_m = 0.0;  // m from the top of the track
    double drop_m = 0.0;                      // m below the top of the track
    double angle_deg = 0.0;                   // arctan(drop / horizontal)
    bool determined = true;
    std::string reason;  // why not determined and what to do; empty when determined
};

// What a run-out may be undecided by, besides the track and the dumps.
struct RunoutContext {
    std::optional<double> unstable_from_s;  // the onset of a run that blew up, s
};

// The run-out of every limit of `history`, from the peaks. Not determined:
// the limit lies within the last kEndCells cells (the flow leaves the mapped
// path: extend the path), or the dumps show it still moving down the path in
// the last part of the run (raise Max_Time), or the run blew up (its peaks
// end at the onset), or fewer than two dumps.
std::vector<Runout> compute_runouts(const TrackAxis& axis, const PeakTable& peaks,
                                    const RunoutHistory& history,
                                    const RunoutContext& context = {});

// The run-out of the flow, where it counts as present (suspension-layer
// pressure above kFlowPressure or saltation-layer depth above kFlowDepth):
// the further of those two run-outs, with its judgement; none when either
// is not among the run-outs.
std::optional<Runout> flow_runout(const std::vector<Runout>& runouts);
// Whether a run-out is of a pressure (p2, p3), as the zone tables list them.
inline bool pressure_runout(const Runout& r) { return r.limit.quantity != kRowSaltDepth; }

// The quantity's name for tables: "p2", "p3" or "h2".
const char* runout_quantity_name(int quantity);

}  // namespace torla
