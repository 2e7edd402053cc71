// Storage of the model state: obtained once before the time loop, released
// at the end of the run; and the constants fixed once from the parameters.
#include "model/model_state.h"

#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <new>

namespace torla {

Matrix alloc_matrix(int rows) {
    Matrix m;
    m.rows = rows;
    m.data.assign(static_cast<std::size_t>(rows) * kNumComponents, 0.0);
    return m;
}

void free_matrix(Matrix& m) {
    m.data.clear();
    m.data.shrink_to_fit();
    m.rows = 0;
}

FloatRows alloc_float_rows(int rows, int cols) {
    FloatRows r;
    r.rows = rows;
    r.cols = cols;
    r.data.assign(static_cast<std::size_t>(rows) * cols, 0.0f);
    return r;
}

void free_float_rows(FloatRows& r) {
    r.data.clear();
    r.data.shrink_to_fit();
    r.rows = r.cols = 0;
}

void derive_run_constants(ModelState& s) {
    RunParameters& p = s.par;
    p.Gamma_1 = static_cast<double>(p.profile.Velo_Prof_Coeff_0);
    p.Gamma_2 = static_cast<double>(p.profile.Conc_Prof_Coeff_0);
    s.constants.rho_diff = p.Particle_Density - p.Air_Density;
    s.constants.min_susp_mass = p.Min_Susp_Height * (p.Air_Density + 1e-6 * p.Particle_Density);
    // The reader has refused every word but the schemes' names.
    s.constants.scheme = parse_scheme(p.Numerics).value_or(Scheme::kStandard);
}

namespace {

// The peaks over height of a run with Height_Peaks on, at 0 and never reached.
void allocate_height_peaks(ModelState& s, std::size_t n) {
    HeightPeaks& hp = s.heights;
    hp.on = s.par.Height_Peaks == "on";
    if (!hp.on) return;
    // The list was checked with the other parameters.
    parse_height_list(s.par.Peak_Heights, hp.heights);
    hp.peak.assign(n * hp.heights.size(), 0.0);
    hp.time.assign(n * hp.heights.size(), std::nan(""));
}

// The per-cell arrays in the order in which they are obtained and released.
std::array<std::vector<double>*, 22> per_cell_arrays(ModelState& s) {
    Grid& g = s.grid;
    Layers& l = s.layers;
    return {&g.x,         &g.y,    &g.aux2,        &g.cell_length, &g.cos_slope, &g.sin_slope,
            &g.curvature, &g.aux6, &g.u_threshold, &l.h1,          &l.rho1,      &l.h2,
            &l.rho2,      &l.u2,   &l.h3,          &l.c3,          &l.rho3,      &l.u3,
            &l.k3,        &l.eps3, &l.g_normal,    &l.g_tangent};
}

}  // namespace

void allocate_model_state(ModelState& s) {
    const std::size_t n = static_cast<std::size_t>(s.n_cells > 0 ? s.n_cells : 0);
    try {
        for (auto* a : per_cell_arrays(s)) a->assign(n, 0.0);
        s.U_prev = alloc_matrix(static_cast<int>(n));
        s.U = alloc_matrix(static_cast<int>(n));
        s.sink_prev = alloc_matrix(static_cast<int>(n));
        // Every peak entry starts at 0.0, so a maximum is never below 0.
        s.peak_table.assign(n * kResultQuantities * kPeakEntryFloats, 0.0f);
        s.flux_adv = alloc_matrix(static_cast<int>(n));
        s.flux_diff = alloc_matrix(static_cast<int>(n));
        s.sink = alloc_matrix(static_cast<int>(n));
        s.robust.cells.assign(n, RobustWork::Cell{});
        s.robust.eliminated.assign(n, RobustWork::Eliminated{});
        s.dump_record.assign((n + 1) * kResultQuantities, 0.0f);
        s.grid.path_length.assign(n, 0.0f);
        s.history.arrival_time.assign(n, std::nan(""));
        s.history.peaks_before_onset.assign(n * kResultQuantities, 0.0f);
        allocate_height_peaks(s, n);
    } catch (const std::bad_alloc&) {
        fatal(kStatusFailure,
              "   allocate_model_state:  FATAL ERROR:  Not enough memory for %zu cells. STOP!\n\n",
              n);
    }
}

void release_model_state(ModelState& s) {
    for (auto* a : per_cell_arrays(s)) {
        a->clear();
        a->shrink_to_fit();
    }
    for (auto* m : {&s.U_prev, &s.U, &s.sink_prev, &s.flux_adv, &s.flux_diff, &s.sink})
        free_matrix(*m);
    s.robust = RobustWork{};
    s.peak_table.clear();
    s.peak_table.shrink_to_fit();
    s.dump_record.clear();
    s.dump_record.shrink_to_fit();
}

void stop_run(int status) {
    std::fflush(stdout);
    throw RunStop{status, {}};
}

void fatal(int status, const char* fmt, ...) {
    std::va_list ap, again;
    va_start(ap, fmt);
    va_copy(again, ap);
    const int size = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string text(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(text.data(), text.size() + 1, fmt, again);
    va_end(again);
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
    throw RunStop{status, text};
}

}  // namespace torla
