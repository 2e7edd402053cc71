// The explicit update: one first-order finite-volume step of the conserved
// state over the interior of the active window, or the rescaling of the
// step just taken to a shorter one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "flow/flow.h"
#include "run/run.h"

namespace torla {

namespace {

constexpr double kSaltDepthPerSpeed = 0.03;  // s, least saltation depth per unit speed
constexpr double kLoadTolerance = -0.0001;   // kg/m^2, smaller negative loads are set to 0
constexpr double kVolumeTolerance = -0.00001;  // m, likewise for the snow volume

// Upwind update of component j of cell i: sources as loss rates, advective
// difference over the upwind pair, diffusive difference centrally.
double general_update(const ModelState& s, int i, int j, const UpwindChoice& c, double step) {
    return s.U_prev[i][j] - step * s.sink[i][j] -
           step * (s.flux_adv[c.r][j] - s.flux_adv[c.l][j]) / c.dx_up -
           step * (s.flux_diff[i + 1][j] - s.flux_diff[i - 1][j]) / c.dx_c;
}

// Where the layer moves apart around cell i, its own flux is carried away
// at the rate the velocity difference stretches the layer.
double diverging_advection(const ModelState& s, int i, int j, const UpwindChoice& c,
                           const double* w, double speed, double step) {
    return step * s.flux_adv[i][j] / c.dx_up * (w[c.r] - w[c.l]) / speed;
}

// Lowers dt_allowed to the step at which a mass going from before to after
// over step crosses zero.
void limit_step(double& dt_allowed, double step, double before, double after) {
    const double crossing = step * before / (before - after);
    if (crossing <= dt_allowed) dt_allowed = crossing;
}

void copy_rows(Matrix& to, const Matrix& from, int begin, int end) {
    if (end <= begin) return;
    std::memcpy(to[begin], from[begin],
                static_cast<std::size_t>(end - begin) * kNumComponents * sizeof(double));
}

void saltation_pass(ModelState& s, double step, double& dt_allowed) {
    const RunParameters& par = s.par;
    const double* u2 = s.u2.data();
    for (int i = s.first_active + 1; i < s.last_active - 1; ++i) {
        const UpwindChoice c = upwind_choice(u2, s.cell_length.data(), i);
        double* u = s.U[i];
        if (c.diverging) {
            const double speed = std::fabs(u2[i]) > par.Min_Salt_Velo ? std::fabs(u2[i]) : par.Min_Salt_Velo;
            u[kSaltLoad] = s.U_prev[i][kSaltLoad] - step * s.sink[i][kSaltLoad] -
                           diverging_advection(s, i, kSaltLoad, c, u2, speed, step);
        } else {
            u[kSaltLoad] = general_update(s, i, kSaltLoad, c, step);
        }
        u[kSaltMomentum] = general_update(s, i, kSaltMomentum, c, step);
        // The layer is at least as deep as the grains jump at its speed.
        const double from_load = u[kSaltLoad] / par.Max_Salt_Density;
        const double from_speed = kSaltDepthPerSpeed * std::fabs(u2[i]) / s.cos_slope[i];
        u[kSaltDepth] = from_load > from_speed ? from_load : from_speed;
        u[kCoverDensity] = general_update(s, i, kCoverDensity, c, step);
        u[kCoverDepth] = general_update(s, i, kCoverDepth, c, step);

        const double m = u[kSaltLoad];
        if (m < 0) {
            if (m > kLoadTolerance) {
                u[kSaltLoad] = 0.0;
            } else {
                limit_step(dt_allowed, step, s.U_prev[i][kSaltLoad], m);
                std::printf("   time_step:  neg. rho2 at i=%d, r=%d, l=%d\n", i, c.r, c.l);
            }
        }
        if (u[kSaltMomentum] < 0)
            std::printf("   time_step:  U_2[%d] = %f.\n", i, u[kSaltMomentum] / u[kSaltLoad]);
    }
}

void suspension_pass(ModelState& s, double step, double& dt_allowed) {
    const RunParameters& par = s.par;
    const double* u3 = s.u3.data();
    for (int i = s.first_active + 1; i < s.last_active - 1; ++i) {
        const UpwindChoice c = upwind_choice(u3, s.cell_length.data(), i);
        double* u = s.U[i];
        u[kSuspDepth] = general_update(s, i, kSuspDepth, c, step);
        u[kSuspMomentum] = general_update(s, i, kSuspMomentum, c, step);
        const double speed = std::fabs(u3[i]) > par.Min_Susp_Velo ? std::fabs(u3[i]) : par.Min_Susp_Velo;
        for (int j = kSuspVolume; j <= kSuspDissipation; ++j) {
            if (c.diverging)
                u[j] = s.U_prev[i][j] - step * s.sink[i][j] -
                       diverging_advection(s, i, j, c, u3, speed, step) -
                       step * (s.flux_diff[i + 1][j] - s.flux_diff[i - 1][j]) / c.dx_c;
            else
                u[j] = general_update(s, i, j, c, step);
        }

        const double m = u[kSuspVolume];
        if (m < 0) {
            if (m > kVolumeTolerance) {
                u[kSuspVolume] = 0.0;
            } else {
                limit_step(dt_allowed, step, s.U_prev[i][kSuspVolume], m);
                std::printf("   time_step:  neg. c3 at i=%d, r=%d, l=%d\n", i, c.r, c.l);
            }
        }
    }
}

}  // namespace

UpwindChoice upwind_choice(const double* w, const double* cell_length, int i) {
    UpwindChoice c;
    c.dx_c = cell_length[i] + cell_length[i + 1];
    if (w[i] >= 0) {
        if (w[i + 1] >= 0) {  // moving forward: difference from behind
            c.l = i - 1;
            c.r = i;
            c.dx_up = cell_length[i];
            c.diverging = w[i - 1] < 0;
        } else {  // converging from both sides
            c.l = i - 1;
            c.r = i + 1;
            c.dx_up = c.dx_c;
            c.diverging = false;
        }
    } else {
        if (w[i - 1] < 0) {  // moving backward: difference from ahead
            c.l = i;
            c.r = i + 1;
            c.dx_up = cell_length[i + 1];
            c.diverging = w[i + 1] >= 0;
        } else {  // converging from both sides
            c.l = i - 1;
            c.r = i + 1;
            c.dx_up = c.dx_c;
            c.diverging = false;
        }
    }
    return c;
}

double advance_interior(ModelState& s, double step) {
    double dt_allowed = step;
    saltation_pass(s, step, dt_allowed);
    suspension_pass(s, step, dt_allowed);
    return dt_allowed;
}

void rescale_interior(ModelState& s, double step) {
    for (int i = s.first_active + 1; i < s.last_active - 1; ++i) {
        double* u = s.U[i];
        const double* p = s.U_prev[i];
        // The cover density and the saltation depth keep what the full step gave them.
        for (int j = 0; j < kNumComponents; ++j) {
            if (j == kCoverDensity || j == kSaltDepth) continue;
            u[j] = p[j] + (u[j] - p[j]) * step / s.dt;
        }
    }
}

double time_step(ModelState& s, int32_t /*step_count*/, double step, int16_t flag) {
    compute_fluxes(s);
    compute_source_terms(s);

    // Cells outside the window carry the state of the start of the pass.
    // Only rows an earlier call of the pass wrote can differ from it: those
    // are restored, unless whole copies are asked for.
    const int n = s.n_cells;
    const int fa = s.first_active, la = s.last_active;
    if (s.full_copies) {
        copy_rows(s.U, s.U_prev, 0, std::min(fa, n));
        copy_rows(s.U, s.U_prev, std::max(la, 0), n);
    } else {
        const int lo = std::max(s.changed_begin, 0), hi = std::min(s.changed_end, n);
        copy_rows(s.U, s.U_prev, lo, std::min(fa, hi));
        copy_rows(s.U, s.U_prev, std::max(la, lo), hi);
    }
    // From here on U differs from U_prev at most in the rows this call
    // writes: the window (interior and both edge cells). An inverted window
    // writes just its two edge cells; the span between them is included.
    s.changed_begin = std::min(fa, la - 1);
    s.changed_end = std::max(fa, la - 1) + 1;

    double result = step;
    if (flag != 0)
        rescale_interior(s, step);
    else
        result = advance_interior(s, step);

    // The relaxation of the next call starts from these rates. Every call
    // leaves sink_prev equal to sink, and sink starts out equal to the
    // cleared sink_prev (both zero), so the rows compute_source_terms did not
    // write already equal their copy; unless whole copies are asked for,
    // only the written rows (0, the window edges, the interior) are copied.
    if (s.full_copies) {
        copy_rows(s.sink_prev, s.sink, 0, n);
    } else {
        copy_rows(s.sink_prev, s.sink, 0, 1);
        copy_rows(s.sink_prev, s.sink, s.first_active, s.first_active + 1);
        copy_rows(s.sink_prev, s.sink, s.last_active - 1, s.last_active);
        copy_rows(s.sink_prev, s.sink, s.first_active + 1, s.last_active - 1);
    }

    // The upstream edge is empty of moving snow; the downstream edge lets
    // the flow leave unchanged.
    double* first = s.U[s.first_active];
    double* last = s.U[s.last_active - 1];
    const double* before_last = s.U[s.last_active - 2];
    for (int j = kSaltDepth; j < kNumComponents; ++j) {
        first[j] = 0.0;
        last[j] = before_last[j];
    }

    find_active_window(s);
    return result;
}

}  // namespace torla
