// The covered stretch: lengths along the path the run gets right and wrong,
// and the skill scores of a 2x2 contingency table built from them
// (docs/observations.md gives the definitions and their sources).
#include <algorithm>

#include "inspect/score.h"
#include "model/quantities.h"

namespace torla::inspect {

namespace {

double overlap(double a0, double a1, double b0, double b1) {
    return std::max(0.0, std::min(a1, b1) - std::max(a0, b0));
}

std::optional<double> ratio(double num, double den) {
    if (!(den > 0.0)) return std::nullopt;
    return num / den;
}

}  // namespace

CoverScore cover_score(const std::vector<double>& h, const std::vector<bool>& covered,
                       double from_m, double to_m) {
    CoverScore c;
    const std::size_t n = h.size();
    if (n == 0) return c;
    double model = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!covered[i]) continue;
        const double lo = i == 0 ? h[0] : 0.5 * (h[i - 1] + h[i]);
        const double hi = i + 1 == n ? h[n - 1] : 0.5 * (h[i] + h[i + 1]);
        model += hi - lo;
        c.tp_m += overlap(lo, hi, from_m, to_m);
    }
    const double observed = overlap(h.front(), h.back(), from_m, to_m);
    c.fp_m = model - c.tp_m;
    c.fn_m = observed - c.tp_m;
    c.tn_m = (h.back() - h.front()) - c.tp_m - c.fp_m - c.fn_m;
    c.csi = ratio(c.tp_m, c.tp_m + c.fp_m + c.fn_m);
    c.hit_rate = ratio(c.tp_m, c.tp_m + c.fn_m);
    c.false_alarm_ratio = ratio(c.fp_m, c.tp_m + c.fp_m);
    c.bias = ratio(c.tp_m + c.fp_m, c.tp_m + c.fn_m);
    return c;
}

std::string score_cover(const ResultTables& r, const TrackAxis& axis, const Observations& obs,
                        Score& s) {
    const ObservedCover& o = *obs.covered;
    const double end = axis.horizontal_m.back();
    if (o.to_m > end)
        return plain_text(obs.path) + ":" + std::to_string(o.line) + ": [covered] ends at " +
               number_text(o.to_m, 9) + " m, beyond the end of the track (" + number_text(end, 9) +
               " m horizontally): extend the path";
    const float limit = static_cast<float>(o.threshold_kpa);
    std::vector<bool> covered(static_cast<std::size_t>(r.n_cells));
    for (int i = 0; i < r.n_cells; ++i) covered[i] = r.peak(o.quantity, i, 0) > limit;
    const CoverScore c = cover_score(axis.horizontal_m, covered, o.from_m, o.to_m);
    ScoreItem item("covered", o.quantity == kRowSaltPressure ? "p2" : "p3", "m");
    item.line = o.line;
    item.model = c.tp_m + c.fp_m;
    item.observed = c.tp_m + c.fn_m;
    item.sigma = o.sigma_m;
    // The mismatched length, not model - observed: a stretch of the right
    // length in the wrong place is wrong.
    item.difference = c.fp_m + c.fn_m;
    item.z = *item.difference / item.sigma;
    const double z = std::min(*item.z, kMisfitZCap);
    item.misfit_term = z * z;
    s.items.push_back(item);
    s.cover = c;
    return "";
}

}  // namespace torla::inspect
