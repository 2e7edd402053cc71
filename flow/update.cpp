// The explicit update: one first-order finite-volume step of the conserved
// state over the interior of the active window, or the rescaling of the
// step just taken to a shorter one.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "flow/flow.h"
#include "flow/lanes.h"
#include "run/run.h"

namespace torla {

namespace {

constexpr double kSaltDepthPerSpeed = 0.03;  // s, least saltation depth per unit speed
constexpr double kLoadTolerance = -0.0001;   // kg/m^2, smaller negative loads are set to 0
constexpr double kVolumeTolerance = -0.00001;  // m, likewise for the snow volume

// The upwind pair of cell i for the layer velocity w (see upwind_choice).
[[gnu::always_inline]] inline UpwindChoice choose_upwind(const double* w, const double* cell_length,
                                                        int i) {
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

// The rows of the work matrices that the update of cell i reads, with
// the upwind pair (l, r) of its layer.
struct CellRows {
    const double* prev;     // U_prev[i]
    const double* sink;     // sink[i]
    const double* adv_i;    // flux_adv[i]
    const double* adv_l;    // flux_adv[l]
    const double* adv_r;    // flux_adv[r]
    const double* diff_dn;  // flux_diff[i - 1]
    const double* diff_up;  // flux_diff[i + 1]
};

CellRows cell_rows(const ModelState& s, int i, const UpwindChoice& c) {
    return {s.U_prev[i], s.sink[i], s.flux_adv[i], s.flux_adv[c.l], s.flux_adv[c.r],
            s.flux_diff[i - 1], s.flux_diff[i + 1]};
}

// Component j of a row (T = double), or the components from j on, one per lane.
template <class T>
[[gnu::always_inline]] inline T component(const double* row, int j) {
    return load<T>(row + j);
}

// Upwind update of component j of a cell (and those after it with Pair or Quad):
// sources as loss rates, advective difference over the upwind pair,
// diffusive difference centrally.
template <class T>
[[gnu::always_inline]] inline T general_update(const CellRows& m, int j, const UpwindChoice& c, double step) {
    return component<T>(m.prev, j) - step * component<T>(m.sink, j) -
           step * (component<T>(m.adv_r, j) - component<T>(m.adv_l, j)) / c.dx_up -
           step * (component<T>(m.diff_up, j) - component<T>(m.diff_dn, j)) / c.dx_c;
}

// Where the layer moves apart around a cell, its own flux is carried away
// at the rate the velocity difference stretches the layer.
template <class T>
[[gnu::always_inline]] inline T diverging_advection(const CellRows& m, int j, const UpwindChoice& c, const double* w,
                             double speed, double step) {
    return step * component<T>(m.adv_i, j) / c.dx_up * (w[c.r] - w[c.l]) / speed;
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

// The general update of component j alone, its advective and diffusive
// quotients divided side by side.
inline double general_update_alone(const CellRows& m, int j, const UpwindChoice& c, double step) {
    const Pair quotients =
        Pair{step * (m.adv_r[j] - m.adv_l[j]), step * (m.diff_up[j] - m.diff_dn[j])} /
        Pair{c.dx_up, c.dx_c};
    return m.prev[j] - step * m.sink[j] - quotients[0] - quotients[1];
}

// The general update of the four components from first on into out,
// kWidth<V> at a time.
template <class V>
[[gnu::always_inline]] inline void general_update_four(const CellRows& m, int first, const UpwindChoice& c,
                                                       double step, double* out) {
    for (int k = 0; k < 4; k += kWidth<V>) store<V>(out + k, general_update<V>(m, first + k, c, step));
}

// Each cell's new values are formed from U_prev and the work matrices
// before any of them is stored, neighbouring components side by side
// (V = Pair or Quad): components 1 to 4 in the saltation pass (the general
// formula is formed for the saltation depth as well and not used, since
// the depth follows the load), 5 to 8 in the suspension pass; components 0
// and 9 alone. A component that takes the diverging form is formed both
// ways and the diverging value kept.
template <class V>
[[gnu::always_inline]] inline void saltation_pass(ModelState& s, double step, double& dt_allowed) {
    const double max_salt_density = s.par.Max_Salt_Density;
    const double min_salt_velo = s.par.Min_Salt_Velo;
    const double* u2 = s.u2.data();
    const double* cell_length = s.cell_length.data();
    const double* cos_slope = s.cos_slope.data();
    const int end = s.last_active - 1;
    for (int i = s.first_active + 1; i < end; ++i) {
        const UpwindChoice c = choose_upwind(u2, cell_length, i);
        const CellRows m = cell_rows(s, i, c);
        const double cover_depth = general_update_alone(m, kCoverDepth, c, step);
        double general[4];  // components 1 ... 4
        general_update_four<V>(m, kCoverDensity, c, step, general);
        const double cover_density = general[0];
        const double momentum = general[kSaltMomentum - kCoverDensity];
        double load = general[kSaltLoad - kCoverDensity];
        if (c.diverging) {
            const double speed = std::fabs(u2[i]) > min_salt_velo ? std::fabs(u2[i]) : min_salt_velo;
            load = m.prev[kSaltLoad] - step * m.sink[kSaltLoad] -
                   diverging_advection<double>(m, kSaltLoad, c, u2, speed, step);
        }
        // The layer is at least as deep as the grains jump at its speed:
        // the depths from the load and from the speed, side by side.
        const Pair depths = Pair{load, kSaltDepthPerSpeed * std::fabs(u2[i])} /
                            Pair{max_salt_density, cos_slope[i]};
        const double from_load = depths[0], from_speed = depths[1];

        double* u = s.U[i];
        u[kSaltLoad] = load;
        u[kSaltMomentum] = momentum;
        u[kSaltDepth] = from_load > from_speed ? from_load : from_speed;
        u[kCoverDensity] = cover_density;
        u[kCoverDepth] = cover_depth;

        if (load < 0) {
            if (load > kLoadTolerance) {
                u[kSaltLoad] = 0.0;
            } else {
                limit_step(dt_allowed, step, m.prev[kSaltLoad], load);
                std::printf("   time_step:  neg. rho2 at i=%d, r=%d, l=%d\n", i, c.r, c.l);
            }
        }
        if (momentum < 0)
            std::printf("   time_step:  U_2[%d] = %f.\n", i, momentum / u[kSaltLoad]);
    }
}

template <class V>
[[gnu::always_inline]] inline void suspension_pass(ModelState& s, double step, double& dt_allowed) {
    const double min_susp_velo = s.par.Min_Susp_Velo;
    const double* u3 = s.u3.data();
    const double* cell_length = s.cell_length.data();
    const int end = s.last_active - 1;
    for (int i = s.first_active + 1; i < end; ++i) {
        const UpwindChoice c = choose_upwind(u3, cell_length, i);
        const CellRows m = cell_rows(s, i, c);
        double general[4];  // components 5 ... 8
        general_update_four<V>(m, kSuspDepth, c, step, general);
        double dissipation = general_update_alone(m, kSuspDissipation, c, step);
        if (c.diverging) {
            const double speed = std::fabs(u3[i]) > min_susp_velo ? std::fabs(u3[i]) : min_susp_velo;
            const Pair volume_energy =
                component<Pair>(m.prev, kSuspVolume) - step * component<Pair>(m.sink, kSuspVolume) -
                diverging_advection<Pair>(m, kSuspVolume, c, u3, speed, step) -
                step * (component<Pair>(m.diff_up, kSuspVolume) - component<Pair>(m.diff_dn, kSuspVolume)) /
                    c.dx_c;
            general[kSuspVolume - kSuspDepth] = volume_energy[0];
            general[kSuspEnergy - kSuspDepth] = volume_energy[1];
            dissipation = m.prev[kSuspDissipation] - step * m.sink[kSuspDissipation] -
                          diverging_advection<double>(m, kSuspDissipation, c, u3, speed, step) -
                          step * (m.diff_up[kSuspDissipation] - m.diff_dn[kSuspDissipation]) / c.dx_c;
        }
        double* u = s.U[i];
        for (int k = 0; k < 4; k += kWidth<V>) store<V>(u + kSuspDepth + k, load<V>(general + k));
        u[kSuspDissipation] = dissipation;

        const double volume = general[kSuspVolume - kSuspDepth];
        if (volume < 0) {
            if (volume > kVolumeTolerance) {
                u[kSuspVolume] = 0.0;
            } else {
                limit_step(dt_allowed, step, m.prev[kSuspVolume], volume);
                std::printf("   time_step:  neg. c3 at i=%d, r=%d, l=%d\n", i, c.r, c.l);
            }
        }
    }
}

// Components j (and j + 1) of a cell rescaled from the step dt to step.
template <class T>
inline T rescaled(const double* u, const double* p, int j, double step, double dt) {
    return component<T>(p, j) + (component<T>(u, j) - component<T>(p, j)) * step / dt;
}

template <class V>
[[gnu::always_inline]] inline double advance_with(ModelState& s, double step) {
    double dt_allowed = step;
    saltation_pass<V>(s, step, dt_allowed);
    suspension_pass<V>(s, step, dt_allowed);
    return dt_allowed;
}

TORLA_WIDE double advance_interior_wide(ModelState& s, double step) { return advance_with<Quad>(s, step); }

}  // namespace

UpwindChoice upwind_choice(const double* w, const double* cell_length, int i) {
    return choose_upwind(w, cell_length, i);
}

double advance_interior(ModelState& s, double step) {
    return wide_lanes() ? advance_interior_wide(s, step) : advance_with<Pair>(s, step);
}

void rescale_interior(ModelState& s, double step) {
    const double dt = s.dt;
    const int end = s.last_active - 1;
    for (int i = s.first_active + 1; i < end; ++i) {
        double* u = s.U[i];
        const double* p = s.U_prev[i];
        // The cover density and the saltation depth keep what the full step
        // gave them; the others are rescaled in pairs.
        const double cover = rescaled<double>(u, p, kCoverDepth, step, dt);
        const Pair salt = rescaled<Pair>(u, p, kSaltMomentum, step, dt);
        const Pair susp = rescaled<Pair>(u, p, kSuspDepth, step, dt);
        const Pair volume_energy = rescaled<Pair>(u, p, kSuspVolume, step, dt);
        const double dissipation = rescaled<double>(u, p, kSuspDissipation, step, dt);
        u[kCoverDepth] = cover;
        store<Pair>(u + kSaltMomentum, salt);
        store<Pair>(u + kSuspDepth, susp);
        store<Pair>(u + kSuspVolume, volume_energy);
        u[kSuspDissipation] = dissipation;
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
