// Scores of a run against observations (score.h): where on the path each
// observation lies, the model's value there, and the misfit.
#include <algorithm>
#include <cmath>
#include <limits>

#include "inspect/exports.h"
#include "inspect/score.h"
#include "model/quantities.h"

namespace torla::inspect {

namespace {

const char* quantity_name(int q) { return q == kRowSaltPressure ? "p2" : "p3"; }

// Linear interpolation of values (one per cell) at horizontal distance s
// within [axis front, axis back].
double at_position(const std::vector<double>& h, const std::vector<double>& values, double s) {
    const auto hi = std::upper_bound(h.begin(), h.end(), s);
    if (hi == h.begin()) return values.front();
    if (hi == h.end()) return values.back();
    const std::size_t i = static_cast<std::size_t>(hi - h.begin()) - 1;
    const double span = h[i + 1] - h[i];
    const double w = span > 0.0 ? (s - h[i]) / span : 0.0;
    return values[i] + w * (values[i + 1] - values[i]);
}

// A map point projected onto the polyline of the cells' map coordinates
// (easting aux2, northing aux6): the horizontal distance of its foot and
// its distance from the path.
std::string project_point(const ResultTables& r, const TrackAxis& axis,
                          const std::array<double, 2>& p, double& s, double& offset) {
    double best = std::numeric_limits<double>::infinity(), longest = 0.0;
    for (int i = 0; i + 1 < r.n_cells; ++i) {
        const double ax = r.geometry[i].aux2, ay = r.geometry[i].aux6;
        const double dx = r.geometry[i + 1].aux2 - ax, dy = r.geometry[i + 1].aux6 - ay;
        const double len2 = dx * dx + dy * dy;
        longest = std::max(longest, std::sqrt(len2));
        const double t =
            len2 > 0.0 ? std::clamp(((p[0] - ax) * dx + (p[1] - ay) * dy) / len2, 0.0, 1.0) : 0.0;
        const double d = std::hypot(p[0] - ax - t * dx, p[1] - ay - t * dy);
        if (d < best) {
            best = d;
            s = axis.horizontal_m[i] + t * (axis.horizontal_m[i + 1] - axis.horizontal_m[i]);
        }
    }
    if (!(longest > 0.0))
        return "the result file's cells carry no map coordinates (easting, northing): give "
               "s_horizontal_m instead of a point";
    offset = best;
    const double allowed = std::max(kMaxPointOffsetM, 2.0 * longest);
    if (!(best <= allowed))
        return "lies " + number_text(best, 6) + " m from the path, more than the " +
               number_text(allowed, 6) + " m allowed: is it on this path?";
    return "";
}

// The horizontal distance of an observed position, checked to lie on the track.
std::string locate(const ResultTables& r, const TrackAxis& axis, const Observations& obs,
                   const ObservedPosition& p, const std::string& what, ScoreItem& item) {
    item.line = p.line;
    double s = p.s_horizontal_m.value_or(0.0), offset = 0.0;
    const std::string where = plain_text(obs.path) + ":" + std::to_string(p.line) + ": " + what;
    if (p.point) {
        if (std::string err = project_point(r, axis, *p.point, s, offset); !err.empty())
            return where + ": the point (" + number_text((*p.point)[0], 12) + ", " +
                   number_text((*p.point)[1], 12) + ") " + err;
        item.offset_m = offset;
    }
    const double end = axis.horizontal_m.back();
    if (s > end)
        return where + " at " + number_text(s, 9) + " m lies beyond the end of the track (" +
               number_text(end, 9) + " m horizontally): extend the path";
    item.s_horizontal_m = s;
    return "";
}

void set_difference(ScoreItem& item) {
    if (!item.model) {
        item.misfit_term = kMisfitZCap * kMisfitZCap;
        return;
    }
    item.difference = *item.model - item.observed;
    item.z = *item.difference / item.sigma;
    const double z = std::min(std::fabs(*item.z), kMisfitZCap);
    item.misfit_term = z * z;
}

std::vector<double> peak_values(const ResultTables& r, int q) {
    std::vector<double> p(static_cast<std::size_t>(r.n_cells));
    for (int i = 0; i < r.n_cells; ++i) p[i] = r.peak(q, i, 0);
    return p;
}

std::string score_runout(const ResultTables& r, const RunView& v, const Observations& obs,
                         Score& s) {
    const ObservedRunout& o = *obs.runout;
    ScoreItem item("runout", quantity_name(o.quantity), "m");
    if (std::string err = locate(r, v.axis, obs, o.at, "[runout]", item); !err.empty()) return err;
    item.line = obs.runout_line;
    item.observed = *item.s_horizontal_m;
    item.sigma = o.sigma_m;
    const double drop = -at_position(v.axis.horizontal_m, v.axis.elevation_m, item.observed);
    item.angle_observed_deg = runout_angle_deg(drop, item.observed);
    for (const Runout& ro : v.runouts) {
        if (ro.limit.quantity != o.quantity || ro.limit.threshold != o.threshold_kpa) continue;
        item.determined = ro.determined;
        item.note = ro.reason;
        if (ro.cell < 0) {
            item.model = 0.0;  // never exceeded: the run-out is the top of the track
            item.angle_model_deg = 0.0;
            item.note = "the pressure never exceeds the threshold: model run-out taken as the top";
        } else {
            item.model = ro.horizontal_m;
            item.angle_model_deg = ro.angle_deg;
        }
    }
    set_difference(item);
    s.items.push_back(item);
    return "";
}

template <typename Observed>
std::string score_front(const ResultTables& r, const RunView& v, const Observations& obs,
                        const std::vector<Observed>& list, const char* kind, const char* unit,
                        double Observed::*value, double Observed::*sigma,
                        std::optional<double> (*model)(const FrontTrack&, double), Score& s) {
    const FrontTrack track = front_track(v);
    for (std::size_t k = 0; k < list.size(); ++k) {
        ScoreItem item(kind, "", unit);
        const std::string what = "[[" + std::string(kind) + "]] " + std::to_string(k + 1);
        if (std::string err = locate(r, v.axis, obs, list[k].at, what, item); !err.empty())
            return err;
        item.observed = list[k].*value;
        item.sigma = list[k].*sigma;
        item.model = model(track, *item.s_horizontal_m);
        if (!item.model) item.note = "the front of the run does not reach this position";
        set_difference(item);
        s.items.push_back(item);
    }
    return "";
}

// A damage class's range: inside it the difference is 0, outside it the
// distance to the nearer bound, in units of half the range's width.
void range_difference(ScoreItem& item, double lo, double hi) {
    item.observed_min = lo;
    item.observed_max = hi;
    item.observed = 0.5 * (lo + hi);
    item.sigma = 0.5 * (hi - lo);
    if (!item.model) return set_difference(item);
    const double m = *item.model;
    item.difference = m < lo ? m - lo : m > hi ? m - hi : 0.0;
    item.z = *item.difference / item.sigma;
    const double z = std::min(std::fabs(*item.z), kMisfitZCap);
    item.misfit_term = z * z;
}

// The cell nearest horizontal distance s (the first of two as near), as
// `torla-inspect RESULT at --s` takes it.
int nearest_cell(const std::vector<double>& h, double s) {
    int best = 0;
    for (int i = 1; i < static_cast<int>(h.size()); ++i)
        if (std::fabs(h[i] - s) < std::fabs(h[best] - s)) best = i;
    return best;
}

// The model's pressure at an observed height: the peak pressure over height
// at the nearest cell, as `at` gives it (both layers; over every pass where
// the run kept that height, else over the dumps). The whole result is read
// once, for the first such observation.
std::string pressure_at_observed_height(const std::string& path, const RunView& v, double z,
                                        std::optional<ResultData>& data, ScoreItem& item) {
    if (!data) {
        data.emplace();
        if (std::string err = read_result_file(path, *data); !err.empty()) return err;
    }
    double p = 0.0;
    std::string source;
    const int cell = nearest_cell(v.axis.horizontal_m, *item.s_horizontal_m);
    if (std::string err = peak_pressure_at_height(path, *data, cell, z, p, source); !err.empty())
        return err;
    item.model = p;
    item.note = "the pressure at " + number_text(z) + " m in cell " + std::to_string(cell) +
                ", its peak over " + (source == "passes" ? "every pass" : "the dumps");
    return "";
}

std::string score_pressures(const ResultTables& r, const RunView& v, const Observations& obs,
                            const std::string& result_path, Score& s) {
    std::optional<ResultData> data;
    for (std::size_t k = 0; k < obs.pressures.size(); ++k) {
        const ObservedPressure& o = obs.pressures[k];
        // At an observed height the pressure of both layers ("p", as `at`).
        const bool at_height = o.height_m && !result_path.empty();
        ScoreItem item("pressure", at_height ? "p" : quantity_name(o.quantity), "kPa");
        const std::string what = "[[pressure]] " + std::to_string(k + 1);
        if (std::string err = locate(r, v.axis, obs, o.at, what, item); !err.empty()) return err;
        item.height_m = o.height_m;
        if (at_height) {
            if (std::string err =
                    pressure_at_observed_height(result_path, v, *o.height_m, data, item);
                !err.empty())
                return err;
        } else if (const double p = at_position(v.axis.horizontal_m, peak_values(r, o.quantity),
                                                *item.s_horizontal_m);
                   std::isfinite(p)) {
            item.model = p;
        } else {
            item.note = "the peak table holds no value here";
        }
        if (o.height_m && result_path.empty()) {
            if (!item.note.empty()) item.note += "; ";
            item.note += "compared with the layer's peak pressure, not the pressure at that height";
        }
        if (o.min_kpa) {
            range_difference(item, *o.min_kpa, *o.max_kpa);
        } else {
            item.observed = *o.p_kpa;
            item.sigma = *o.sigma_kpa;
            set_difference(item);
        }
        s.items.push_back(item);
    }
    return "";
}

}  // namespace

ZoneSet score_zones(const Observations& obs) {
    if (!obs.runout) return default_zone_set();
    ZoneSet z;
    z.name = "custom";
    z.pressure = obs.runout->quantity == kRowSaltPressure ? ZonePressure::kSaltation
                                                          : ZonePressure::kSuspension;
    z.classes = {{obs.runout->threshold_kpa, "observed run-out limit"}};
    return z;
}

std::string score_run(const ResultTables& r, const RunView& v, const Observations& obs, Score& out,
                      const std::string& result_path) {
    out = Score{};
    if (!r.has_peak_table() && (obs.runout || obs.covered || !obs.pressures.empty()))
        return plain_text(obs.path) +
               ": run-outs, pressures and the covered stretch need the result's "
               "peak table, and this result has none";
    std::string err;
    if (obs.runout) err = score_runout(r, v, obs, out);
    if (err.empty())
        err = score_front(r, v, obs, obs.arrivals, "arrival", "s", &ObservedArrival::t_s,
                          &ObservedArrival::sigma_s, front_arrival_s, out);
    if (err.empty())
        err = score_front(r, v, obs, obs.speeds, "speed", "m/s", &ObservedSpeed::speed_m_s,
                          &ObservedSpeed::sigma_m_s, front_speed_m_s, out);
    if (err.empty()) err = score_pressures(r, v, obs, result_path, out);
    if (err.empty() && obs.covered) err = score_cover(r, v.axis, obs, out);
    if (!err.empty()) return err;
    double sum = 0.0;
    for (const ScoreItem& item : out.items) sum += item.misfit_term;
    out.misfit = out.items.empty() ? 0.0 : sum / static_cast<double>(out.items.size());
    return "";
}

}  // namespace torla::inspect
