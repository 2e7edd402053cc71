// Peaks over height during a run (Height_Peaks on): every pass folds the
// pressure at each height of every cell of the window into the peaks, every
// dump folds in the values its record holds (so the peaks are never below
// what the dumps show), and the end of the run writes <result>.heights.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "output/heights_format.h"
#include "output/output.h"

namespace torla {

namespace {

// Folds one cell's layers at `time` into its peaks. The heights rise, so
// the first height above both layers ends the cell.
void fold_cell(HeightPeaks& hp, const HeightProfile& prof, int cell, const CellLayers& l,
               double time) {
    const std::size_t m = hp.heights.size();
    const double* z = hp.heights.data();
    const double top = l.h2 > l.h3 ? l.h2 : l.h3;
    if (!(z[0] <= top)) return;  // below the lowest height: nothing to fold
    double* peak = hp.peak.data() + static_cast<std::size_t>(cell) * m;
    double* when = hp.time.data() + static_cast<std::size_t>(cell) * m;
    // Behind the front most pressures fall: the heights whose peak the
    // cell's bound cannot beat are passed over, and a cell with none left
    // costs no division.
    const double bound = pressure_bound(prof, l.p2, l.u3, l.c3);
    std::size_t reached = 0, open = 0;
    for (; reached < m && z[reached] <= top; ++reached) open += bound > peak[reached];
    if (open == 0) return;
    const double inverse = inverse_depth(l.h3);
    for (std::size_t k = 0; k < reached; ++k) {
        if (bound <= peak[k]) continue;
        const double p = pressure_at_height(prof, l, z[k], inverse);
        const bool higher = p > peak[k];
        peak[k] = higher ? p : peak[k];
        when[k] = higher ? time : when[k];
    }
}

HeightProfile run_profile(const ModelState& s) {
    return height_profile(s.par.profile, s.par.Air_Density, s.constants.rho_diff);
}

}  // namespace

void update_height_peaks(ModelState& s, double time) {
    const HeightProfile prof = run_profile(s);
    const Layers& ly = s.layers;
    const double air = s.par.Air_Density;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        const CellLayers l{ly.h2[i], saltation_pressure(ly.u2[i], air + ly.rho2[i]), ly.h3[i], ly.u3[i],
                           ly.c3[i]};
        fold_cell(s.heights, prof, i, l, time);
    }
    ++s.heights.passes;
    s.heights.last_time = std::max(s.heights.last_time, time);
}

void fold_dump_heights(ModelState& s) {
    const HeightProfile prof = run_profile(s);
    const std::size_t stride = static_cast<std::size_t>(s.n_cells) + 1;
    const float* rec = s.dump_record.data();
    const double time = rec[0];
    for (int i = 0; i < s.n_cells; ++i) {
        auto row = [&](int q) { return static_cast<double>(rec[q * stride + i + 1]); };
        const CellLayers l{row(kRowSaltDepth), row(kRowSaltPressure), row(kRowSuspDepth),
                           row(kRowSuspVelocity), row(kRowSuspConcentration)};
        fold_cell(s.heights, prof, i, l, time);
    }
    ++s.heights.dumps;
    s.heights.last_time = std::max(s.heights.last_time, time);
}

std::string write_run_heights(const ModelState& s) {
    HeightsData d;
    d.n_cells = s.n_cells;
    d.air_density = s.par.Air_Density;
    d.rho_diff = s.constants.rho_diff;
    std::memcpy(d.coefficients, &s.par.profile, sizeof d.coefficients);
    d.end_time = s.heights.last_time;
    d.passes = s.heights.passes;
    d.dumps = s.heights.dumps;
    d.heights = s.heights.heights;
    d.peak = s.heights.peak;
    d.time = s.heights.time;
    return write_heights_file(s.names.result_file + kHeightsSuffix, d);
}

}  // namespace torla
