// Front, front speed, run-out and maxima of a run, from its result file.
#include <cmath>

#include "inspect/inspect.h"

namespace torla::inspect {

namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

// Number of cells at the lower end that count as the end of the track: the
// last one is the outflow edge cell, which only copies its upstream
// neighbour, so a flow in the last interior cell has reached the end.
constexpr int kEndCells = 2;

}  // namespace

std::vector<double> relative_elevation(const ResultTables& r) {
    std::vector<double> z(r.geometry.size(), 0.0);
    for (std::size_t i = 1; i < z.size(); ++i) {
        const GeometryRow &a = r.geometry[i - 1], &b = r.geometry[i];
        const double mean_slope = 0.5 * (static_cast<double>(a.slope_deg) + b.slope_deg);
        const double step = static_cast<double>(b.path_length) - a.path_length;
        z[i] = z[i - 1] - step * std::sin(mean_slope * kRadiansPerDegree);
    }
    return z;
}

FrontSample front_at(const ResultTables& r, const std::vector<float>& record,
                     const Thresholds& th) {
    const std::size_t stride = static_cast<std::size_t>(r.n_cells) + 1;
    const float* p3 = record.data() + kRowSuspPressure * stride + 1;
    const float* h2 = record.data() + kRowSaltDepth * stride + 1;
    FrontSample f;
    f.time = record[0];
    for (int i = r.n_cells - 1; i >= 0; --i)
        if (flow_present(p3[i], h2[i], th.pressure_kpa, th.depth_m)) {
            f.cell = i;
            f.path_length = r.geometry[i].path_length;
            break;
        }
    return f;
}

std::vector<FrontSample> front_positions(const ResultData& r, const Thresholds& th) {
    std::vector<FrontSample> front;
    for (const std::vector<float>& record : r.dumps) front.push_back(front_at(r, record, th));
    return front;
}

std::vector<FrontSpeed> front_speeds(const std::vector<FrontSample>& front) {
    std::vector<FrontSpeed> speeds;
    for (std::size_t d = 1; d < front.size(); ++d) {
        const FrontSample &a = front[d - 1], &b = front[d];
        // The closing record of a run stopped on the small-step limit may
        // share the time of the regular dump before it.
        if (!a.present() || !b.present() || !(b.time > a.time)) continue;
        speeds.push_back({a.time, b.time, (b.path_length - a.path_length) / (b.time - a.time)});
    }
    return speeds;
}

PeakMaximum peak_maximum(const ResultTables& r, int quantity) {
    PeakMaximum m;
    for (int i = 0; i < r.n_cells; ++i) {
        const float v = r.peak(quantity, i, 0);
        if (!std::isfinite(v)) {
            ++m.non_finite_cells;
        } else if (m.cell < 0 || v > m.value) {
            m.cell = i;
            m.value = v;
        }
    }
    if (m.cell < 0) return m;
    m.path_length = r.geometry[m.cell].path_length;
    m.h1 = r.peak(quantity, m.cell, 1);
    m.h2 = r.peak(quantity, m.cell, 2);
    m.h3 = r.peak(quantity, m.cell, 3);
    return m;
}

std::optional<int> furthest_peak_above(const ResultTables& r, int quantity, double threshold) {
    const float limit = static_cast<float>(threshold);
    for (int i = r.n_cells - 1; i >= 0; --i)
        if (r.peak(quantity, i, 0) > limit) return i;
    return std::nullopt;
}

Summary summarize(const ResultTables& r, std::vector<FrontSample> front, const Thresholds& th) {
    Summary s;
    s.thresholds = th;
    s.track_length = r.geometry.back().path_length;
    s.drop = -relative_elevation(r).back();
    if (!front.empty()) {
        s.t_first = front.front().time;
        s.t_last = front.back().time;
    }
    const int end_cell = r.n_cells - kEndCells;

    s.front = std::move(front);
    s.speeds = front_speeds(s.front);
    for (const FrontSpeed& v : s.speeds)
        if (!s.fastest || v.speed > s.fastest->speed) s.fastest = v;
    for (const FrontSample& f : s.front)
        if (f.present() && f.cell >= end_cell) {
            s.front_reaches_end = f.time;
            break;
        }

    if (r.has_peak_table()) {
        s.runout_pressure_cell = furthest_peak_above(r, kRowSuspPressure, th.pressure_kpa);
        s.runout_depth_cell = furthest_peak_above(r, kRowSaltDepth, th.depth_m);
        s.runout_cell = s.runout_pressure_cell;
        if (s.runout_depth_cell && (!s.runout_cell || *s.runout_depth_cell > *s.runout_cell))
            s.runout_cell = s.runout_depth_cell;
        s.runout_at_track_end = s.runout_cell && *s.runout_cell >= end_cell;
        s.max_salt_pressure = peak_maximum(r, kRowSaltPressure);
        s.max_susp_pressure = peak_maximum(r, kRowSuspPressure);
    }
    return s;
}

Summary summarize(const ResultData& r, const Thresholds& th) {
    return summarize(r, front_positions(r, th), th);
}

}  // namespace torla::inspect
