// The track from its top, the hazard zones and the run-outs (runout.h).
#include "model/runout.h"

#include "model/model_state.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace torla {

namespace {

constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

std::string fixed1(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

std::string short_number(double v) {
    std::ostringstream o;
    o << v;
    return o.str();
}

// Presets: docs/runout.md gives their sources and says which values are
// practice rather than published rules.
bool preset(const std::string& name, std::vector<ZoneClass>& classes) {
    if (name == "swiss")
        classes = {{0.1, "yellow"}, {3.0, "blue"}, {30.0, "red"}};
    else if (name == "austria")
        classes = {{1.0, "yellow"}, {10.0, "red"}};
    else if (name == "damage")
        classes = {{1.0, "windows"}, {3.0, "light structures"}, {30.0, "buildings"}};
    else
        return false;
    return true;
}

std::string custom_classes(const std::string& text, std::vector<ZoneClass>& classes) {
    std::vector<double> bounds;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        char* end = nullptr;
        const double v = std::strtod(item.c_str(), &end);
        if (item.empty() || *end != '\0' || !std::isfinite(v) || v <= 0.0 ||
            (!bounds.empty() && v <= bounds.back()))
            return "--zones takes swiss, austria, damage or rising thresholds above 0 in kPa "
                   "(1,3,30), not `" +
                   text + "'";
        bounds.push_back(v);
    }
    if (bounds.empty()) return "--zones needs a preset or thresholds";
    for (std::size_t i = 0; i < bounds.size(); ++i)
        classes.push_back(
            {bounds[i], i + 1 < bounds.size()
                            ? short_number(bounds[i]) + "-" + short_number(bounds[i + 1]) + " kPa"
                            : ">=" + short_number(bounds[i]) + " kPa"});
    return "";
}

int furthest_above(const PeakColumn& c, float limit) {
    for (int i = c.n - 1; i >= 0; --i)
        if (c.at(i) > limit) return i;
    return -1;
}

// Why the run-out of limit k is not decided by the dumps: still moving in
// the last part of the run, or too few dumps to tell; empty when decided.
std::string advance_reason(const TrackAxis& axis, const RunoutHistory& h, std::size_t k) {
    if (h.dumps() < 2)
        return "fewer than two dumps, so whether it still advanced at the end cannot be told: "
               "set a Dump_Interval below Max_Time and run again";
    const double t_end = h.time(h.dumps() - 1);
    const double window =
        std::max(kLastPartShare * (t_end - h.time(0)), t_end - h.time(h.dumps() - 2));
    const int before = h.reach_until(k, t_end - window);
    const int after = h.reach_until(k, t_end);
    if (after <= before) return "";
    const std::string from = before < 0 ? "nowhere" : fixed1(axis.path_m[before]) + " m";
    return "still advancing at the end of the run (from " + from +
           " at t = " + fixed1(t_end - window) + " s to " + fixed1(axis.path_m[after]) +
           " m at t = " + fixed1(t_end) + " s): raise Max_Time and run again";
}

}  // namespace

TrackAxis track_axis(const std::vector<GeometryRow>& g) {
    TrackAxis a;
    a.path_m.assign(g.size(), 0.0);
    a.horizontal_m.assign(g.size(), 0.0);
    a.elevation_m.assign(g.size(), 0.0);
    for (std::size_t i = 0; i < g.size(); ++i) {
        a.path_m[i] = g[i].path_length;
        if (i == 0) continue;
        const double mean_slope = 0.5 * (static_cast<double>(g[i - 1].slope_deg) + g[i].slope_deg);
        const double step = static_cast<double>(g[i].path_length) - g[i - 1].path_length;
        a.horizontal_m[i] = a.horizontal_m[i - 1] + step * std::cos(mean_slope * kRadiansPerDegree);
        a.elevation_m[i] = a.elevation_m[i - 1] - step * std::sin(mean_slope * kRadiansPerDegree);
    }
    return a;
}

double runout_angle_deg(double drop_m, double horizontal_m) {
    if (horizontal_m <= 0.0) return 0.0;
    return std::atan2(drop_m, horizontal_m) / kRadiansPerDegree;
}

std::string parse_zone_set(const std::string& zones, const std::string& pressure, ZoneSet& out) {
    out = ZoneSet{};
    if (pressure == "p2")
        out.pressure = ZonePressure::kSaltation;
    else if (pressure == "max")
        out.pressure = ZonePressure::kLarger;
    else if (!pressure.empty() && pressure != "p3")
        return "--zone-pressure takes p3, p2 or max, not `" + pressure + "'";
    if (preset(zones, out.classes)) {
        out.name = zones;
        return "";
    }
    out.name = "custom";
    return custom_classes(zones, out.classes);
}

ZoneSet default_zone_set() {
    ZoneSet z;
    parse_zone_set("swiss", "p3", z);
    return z;
}

int zone_of(const ZoneSet& zones, double pressure_kpa) {
    int k = 0;
    for (std::size_t i = 0; i < zones.classes.size(); ++i)
        if (pressure_kpa >= zones.classes[i].lower_kpa) k = static_cast<int>(i) + 1;
    return k;
}

double judged_pressure(const ZoneSet& zones, double p2_kpa, double p3_kpa) {
    switch (zones.pressure) {
    case ZonePressure::kSaltation:
        return p2_kpa;
    case ZonePressure::kLarger:
        return std::max(p2_kpa, p3_kpa);
    case ZonePressure::kSuspension:
        break;
    }
    return p3_kpa;
}

const char* zone_pressure_name(ZonePressure p) {
    return p == ZonePressure::kSaltation ? "p2" : p == ZonePressure::kLarger ? "max" : "p3";
}

std::string describe_zone_set(const ZoneSet& zones) {
    std::string text = zones.name + " on " + zone_pressure_name(zones.pressure);
    text += zones.pressure == ZonePressure::kSaltation ? " (saltation layer, rho u^2)"
            : zones.pressure == ZonePressure::kLarger
                ? " (the larger of the saltation layer's rho u^2 and the suspension layer's 1/2 "
                  "rho u^2)"
                : " (suspension layer, 1/2 rho u^2)";
    for (std::size_t i = 0; i < zones.classes.size(); ++i)
        text += (i ? ", " : ": ") + zones.classes[i].name + " from " +
                short_number(zones.classes[i].lower_kpa) + " kPa";
    return text;
}

std::vector<RunoutLimit> runout_limits(const std::vector<double>& thresholds_kpa) {
    std::vector<double> t = thresholds_kpa;
    t.push_back(kFlowPressure);
    std::sort(t.begin(), t.end());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    std::vector<RunoutLimit> limits;
    for (int q : {static_cast<int>(kRowSaltPressure), static_cast<int>(kRowSuspPressure)})
        for (double v : t) limits.push_back({q, v});
    limits.push_back({kRowSaltDepth, kFlowDepth});
    return limits;
}

std::vector<RunoutLimit> runout_limits(const ZoneSet& zones) {
    std::vector<double> t;
    for (const ZoneClass& c : zones.classes) t.push_back(c.lower_kpa);
    return runout_limits(t);
}

std::vector<RunoutLimit> record_runout_limits() {
    std::vector<double> t;
    for (const char* name : {"swiss", "austria", "damage"}) {
        std::vector<ZoneClass> classes;
        preset(name, classes);
        for (const ZoneClass& c : classes) t.push_back(c.lower_kpa);
    }
    return runout_limits(t);
}

void RunoutHistory::add_dump(const float* record, int n_cells) {
    const std::size_t stride = static_cast<std::size_t>(n_cells) + 1;
    times_.push_back(record[0]);
    std::vector<int>& row = furthest_.emplace_back(limits_.size(), -1);
    for (std::size_t k = 0; k < limits_.size(); ++k) {
        const PeakColumn c{record + limits_[k].quantity * stride + 1, n_cells};
        row[k] = furthest_above(c, static_cast<float>(limits_[k].threshold));
    }
}

int RunoutHistory::reach_until(std::size_t k, double t) const {
    int reach = -1;
    for (std::size_t d = 0; d < times_.size() && times_[d] <= t; ++d)
        reach = std::max(reach, furthest_[d][k]);
    return reach;
}

void RunoutHistory::cut_after(double t) {
    std::size_t keep = 0;
    while (keep < times_.size() && times_[keep] <= t) ++keep;
    times_.resize(keep);
    furthest_.resize(keep);
}

std::vector<Runout> compute_runouts(const TrackAxis& axis, const PeakTable& peaks,
                                    const RunoutHistory& history, const RunoutContext& context) {
    std::vector<Runout> out;
    const int n = static_cast<int>(axis.path_m.size());
    for (std::size_t k = 0; k < history.limits().size(); ++k) {
        Runout r;
        r.limit = history.limits()[k];
        r.cell =
            furthest_above(peaks.column(r.limit.quantity), static_cast<float>(r.limit.threshold));
        std::vector<std::string> reasons;
        if (context.unstable_from_s)
            reasons.push_back("the run blew up at t = " + fixed1(*context.unstable_from_s) +
                              " s and its peaks end there: this run-out is at most a lower bound");
        if (r.cell >= 0) {
            r.path_m = axis.path_m[r.cell];
            r.horizontal_m = axis.horizontal_m[r.cell];
            r.drop_m = -axis.elevation_m[r.cell];
            r.angle_deg = runout_angle_deg(r.drop_m, r.horizontal_m);
            if (r.cell >= n - kEndCells)
                reasons.push_back("the flow leaves the mapped path at its end (" +
                                  fixed1(axis.path_m[n - 1]) +
                                  " m): extend the path downhill and run again");
            if (const std::string a = advance_reason(axis, history, k); !a.empty())
                reasons.push_back(a);
        }
        for (std::size_t i = 0; i < reasons.size(); ++i) r.reason += (i ? "; " : "") + reasons[i];
        r.determined = reasons.empty();
        out.push_back(r);
    }
    return out;
}

std::optional<Runout> flow_runout(const std::vector<Runout>& runouts) {
    const Runout* pressure = nullptr;
    const Runout* depth = nullptr;
    for (const Runout& r : runouts) {
        if (r.limit.quantity == kRowSuspPressure && r.limit.threshold == kFlowPressure)
            pressure = &r;
        if (r.limit.quantity == kRowSaltDepth && r.limit.threshold == kFlowDepth) depth = &r;
    }
    if (!pressure || !depth) return std::nullopt;
    return depth->cell > pressure->cell ? *depth : *pressure;
}

const char* runout_quantity_name(int quantity) {
    return quantity == kRowSaltPressure ? "p2" : quantity == kRowSaltDepth ? "h2" : "p3";
}

}  // namespace torla
