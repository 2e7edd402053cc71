// Arrival times and front speeds at positions (score.h), from the front
// between cells of every dump.
#include <algorithm>
#include <cmath>

#include "inspect/score.h"

namespace torla::inspect {

namespace {

// values (one per cell) at a position between cells, cell + fraction.
double between(const std::vector<double>& values, double c) {
    const auto i = static_cast<std::size_t>(c);
    if (i + 1 >= values.size()) return values[std::min(i, values.size() - 1)];
    return values[i] + (c - static_cast<double>(i)) * (values[i + 1] - values[i]);
}

// The front's path length at time t within the track, linear between dumps.
double path_at(const FrontTrack& f, double t) {
    const auto hi = std::upper_bound(f.time_s.begin(), f.time_s.end(), t);
    if (hi == f.time_s.begin()) return f.path_m.front();
    if (hi == f.time_s.end()) return f.path_m.back();
    const std::size_t k = static_cast<std::size_t>(hi - f.time_s.begin());
    const double w = (t - f.time_s[k - 1]) / (f.time_s[k] - f.time_s[k - 1]);
    return f.path_m[k - 1] + w * (f.path_m[k] - f.path_m[k - 1]);
}

double median_interval(const FrontTrack& f) {
    std::vector<double> dt;
    for (std::size_t k = 1; k < f.time_s.size(); ++k) dt.push_back(f.time_s[k] - f.time_s[k - 1]);
    std::nth_element(dt.begin(), dt.begin() + dt.size() / 2, dt.end());
    return dt[dt.size() / 2];
}

}  // namespace

FrontTrack front_track(const RunView& v) {
    FrontTrack f;
    for (std::size_t d = 0; d < v.front.size() && d < v.front_between.size(); ++d) {
        if (!v.front_between[d]) continue;
        if (!f.time_s.empty() && !(v.front[d].time > f.time_s.back())) continue;
        f.time_s.push_back(v.front[d].time);
        f.horizontal_m.push_back(between(v.axis.horizontal_m, *v.front_between[d]));
        f.path_m.push_back(between(v.axis.path_m, *v.front_between[d]));
    }
    return f;
}

std::optional<double> front_arrival_s(const FrontTrack& f, double s) {
    for (std::size_t k = 0; k < f.time_s.size(); ++k) {
        if (!(f.horizontal_m[k] >= s)) continue;
        if (k == 0) return f.time_s[0];
        const double x0 = f.horizontal_m[k - 1], x1 = f.horizontal_m[k];
        const double t0 = f.time_s[k - 1], t1 = f.time_s[k];
        return x1 > x0 ? t0 + (s - x0) / (x1 - x0) * (t1 - t0) : t1;
    }
    return std::nullopt;
}

std::optional<double> front_speed_m_s(const FrontTrack& f, double s) {
    const std::optional<double> t = front_arrival_s(f, s);
    if (!t || f.time_s.size() < 2) return std::nullopt;
    const double first = f.time_s.front(), last = f.time_s.back();
    const double width = std::min(kSpeedWindowDumps * median_interval(f), last - first);
    const double lo = std::clamp(*t - 0.5 * width, first, last - width);
    return (path_at(f, lo + width) - path_at(f, lo)) / width;
}

}  // namespace torla::inspect
