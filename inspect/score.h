// A run held against what was observed (observations.h): per observation
// the model's value, the observed one, their difference and that difference
// in units of the observation's uncertainty (z); for the covered stretch the
// lengths the run gets right and wrong and the skill scores built from
// them; one combined misfit for calibration. docs/observations.md defines
// every number.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "inspect/exports.h"
#include "inspect/observations.h"
#include "inspect/run_view.h"

namespace torla::inspect {

// |z| counts at most this much in the misfit, and an observation the run
// has no value for (a position the front never reaches, a pressure never
// exceeded) counts as this much.
inline constexpr double kMisfitZCap = 10.0;

// A map point farther than this from the path's cells (and farther than two
// cell lengths) is refused as not on this path.
inline constexpr double kMaxPointOffsetM = 100.0;

struct ScoreItem {
    ScoreItem() = default;
    ScoreItem(std::string k, std::string q, std::string u)
        : kind(std::move(k)), quantity(std::move(q)), unit(std::move(u)) {}
    std::string kind;                      // runout, arrival, speed, pressure, covered
    std::string quantity;                  // p2 or p3 where the kind has one
    std::string unit;                      // of model, observed, difference and sigma
    int line = 0;                          // of the observation in its file
    std::optional<double> s_horizontal_m;  // m from the top, where observed (none: covered)
    std::optional<double> offset_m;        // m, a map point's distance from the path
    std::optional<double> height_m;        // m above the ground, a pressure observed there
    std::optional<double> model;           // none: the run gives no value (note says why)
    double observed = 0.0, sigma = 0.0;
    std::optional<double> difference, z;               // model - observed, and over sigma
    double misfit_term = 0.0;                          // min(z, cap)^2, cap^2 without a model value
    std::optional<double> observed_min, observed_max;  // a pressure range
    std::optional<double> angle_model_deg, angle_observed_deg;  // a run-out's, from the top
    std::optional<bool> determined;                             // a run-out: does the run decide it
    std::string note;
};

// Lengths (m, horizontal) of the path the run covers and the observation
// says was covered (true positive), the run covers and it does not (false
// positive), the observation does and the run not (false negative), and
// neither (true negative); the skill scores are empty where they divide 0.
struct CoverScore {
    double tp_m = 0.0, fp_m = 0.0, fn_m = 0.0, tn_m = 0.0;
    std::optional<double> csi, hit_rate, false_alarm_ratio, bias;
};

// The lengths and skill scores of cells flagged covered (one flag per cell
// of the horizontal axis h; each cell stands for the stretch between the
// midpoints to its neighbours, clipped to the track) against the observed
// stretch [from_m, to_m].
CoverScore cover_score(const std::vector<double>& h, const std::vector<bool>& covered,
                       double from_m, double to_m);

// The front as the score follows it: per dump record with a front (times
// strictly increasing; a closing record at the time of the one before is
// left out), its time and its position between cells (front_between_cells)
// as horizontal distance from the top and as path length.
struct FrontTrack {
    std::vector<double> time_s;
    std::vector<double> horizontal_m, path_m;  // m
};
FrontTrack front_track(const RunView& v);

// The dumps a front speed is taken over: a window of this many dump
// intervals (the median interval of the track) centred on the arrival.
inline constexpr double kSpeedWindowDumps = 4.0;

// When the front reaches s (horizontal m): at the first dump whose front
// lies at or beyond s, interpolated linearly in position from the dump
// before; the first dump's time when its front is already there. None when
// no dump's front reaches s (front_timing.cpp).
std::optional<double> front_arrival_s(const FrontTrack& f, double s);
// The front speed along the path at s (m/s): the path the front covers over
// kSpeedWindowDumps dump intervals centred on its arrival at s, over that
// time, the front's position linear in time between dumps. The window is
// shifted to lie within the track's dumps, and is the whole track when that
// is shorter. None without an arrival or with fewer than two dumps.
std::optional<double> front_speed_m_s(const FrontTrack& f, double s);

struct Score {
    std::vector<ScoreItem> items;
    std::optional<CoverScore> cover;
    double misfit = 0.0;  // mean of the items' misfit terms
};

// The zone set the run view needs so that its run-outs include the observed
// run-out's limit (the default zones when there is none).
ZoneSet score_zones(const Observations& obs);

// Scores the run (tables r as read, view v read with score_zones(obs)).
// Returns an empty string or why the observations do not fit this run (a
// map point off the path, a position beyond its end, no peak table).
// result_path: the result r was read from, for the pressures at observed
// heights (read from it again, with RESULT.heights where the run kept
// them); without it those are compared with the layer's peak pressure.
std::string score_run(const ResultTables& r, const RunView& v, const Observations& obs, Score& out,
                      const std::string& result_path = "");

// The covered stretch's item and lengths (cover_score.cpp).
std::string score_cover(const ResultTables& r, const TrackAxis& axis, const Observations& obs,
                        Score& s);

void write_score_text(std::ostream& o, const Observations& obs, const Score& s);
nlohmann::ordered_json score_json(const Observations& obs, const Score& s);

}  // namespace torla::inspect
