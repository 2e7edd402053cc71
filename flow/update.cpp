// The explicit update of the window's interior: one first-order
// finite-volume step of the conserved state, or the rescaling of the step
// just taken to a shorter one.
#include <cmath>
#include <cstdio>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {

namespace {

constexpr double kLoadTolerance = -0.0001;     // kg/m^2, smaller negative loads are set to 0
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

// The general update, for one component (T = double) or for neighbouring
// components of a cell side by side (Pair, Quad). This is the one statement
// of the formula; general_update() is its one-component form.
template <class T>
[[gnu::always_inline]] inline T general_update_of(T prev, T sink, T adv_l, T adv_r, T diff_dn,
                                                  T diff_up, double dx_up, double dx_c,
                                                  double step) {
    return prev - step * sink - step * (adv_r - adv_l) / dx_up - step * (diff_up - diff_dn) / dx_c;
}

// Where the layer moves apart around a cell, its own flux is carried away
// at the rate the velocity difference stretches the layer: the advective
// difference of the general update becomes this.
template <class T>
[[gnu::always_inline]] inline T diverging_advection(T adv_i, const UpwindChoice& c, const double* w,
                                                    double speed, double step) {
    return step * adv_i / c.dx_up * (w[c.r] - w[c.l]) / speed;
}

// The update of a component in the diverging form: the general update with
// the diverging advection and without the diffusive difference (which the
// suspension layer's components add).
template <class T>
[[gnu::always_inline]] inline T diverging_update_of(T prev, T sink, T adv_i, const UpwindChoice& c,
                                                    const double* w, double speed, double step) {
    return prev - step * sink - diverging_advection(adv_i, c, w, speed, step);
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
    return {s.U_prev[i],     s.sink[i],          s.flux_adv[i],     s.flux_adv[c.l],
            s.flux_adv[c.r], s.flux_diff[i - 1], s.flux_diff[i + 1]};
}

// The general update of component j of a cell, and of the components
// after it with Pair or Quad.
template <class T>
[[gnu::always_inline]] inline T updated(const CellRows& m, int j, const UpwindChoice& c,
                                        double step) {
    return general_update_of(load<T>(m.prev + j), load<T>(m.sink + j), load<T>(m.adv_l + j),
                             load<T>(m.adv_r + j), load<T>(m.diff_dn + j), load<T>(m.diff_up + j),
                             c.dx_up, c.dx_c, step);
}

// The general update of the four components from first on into out,
// kWidth<V> at a time.
template <class V>
[[gnu::always_inline]] inline void updated_four(const CellRows& m, int first, const UpwindChoice& c,
                                                double step, double* out) {
    for (int k = 0; k < 4; k += kWidth<V>) store<V>(out + k, updated<V>(m, first + k, c, step));
}

// Lowers dt_allowed to the step at which a mass going from before to after
// over step crosses zero.
void limit_step(double& dt_allowed, double step, double before, double after) {
    const double crossing = step * before / (before - after);
    if (crossing <= dt_allowed) dt_allowed = crossing;
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
    const double* u2 = s.layers.u2.data();
    const double* cell_length = s.grid.cell_length.data();
    const double* cos_slope = s.grid.cos_slope.data();
    const int end = s.window.last_active - 1;
    for (int i = s.window.first_active + 1; i < end; ++i) {
        const UpwindChoice c = choose_upwind(u2, cell_length, i);
        const CellRows m = cell_rows(s, i, c);
        const double cover_depth = updated<double>(m, kCoverDepth, c, step);
        double general[4];  // components 1 ... 4
        updated_four<V>(m, kCoverDensity, c, step, general);
        const double cover_density = general[0];
        const double momentum = general[kSaltMomentum - kCoverDensity];
        double load = general[kSaltLoad - kCoverDensity];
        if (c.diverging) {
            const double speed =
                std::fabs(u2[i]) > min_salt_velo ? std::fabs(u2[i]) : min_salt_velo;
            const int j = kSaltLoad;
            load = diverging_update_of(m.prev[j], m.sink[j], m.adv_i[j], c, u2, speed, step);
        }

        double* u = s.U[i];
        u[kSaltLoad] = load;
        u[kSaltMomentum] = momentum;
        u[kSaltDepth] = saltation_depth(load, u2[i], max_salt_density, cos_slope[i]);
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
        if (momentum < 0) std::printf("   time_step:  U_2[%d] = %f.\n", i, momentum / u[kSaltLoad]);
    }
}

template <class V>
[[gnu::always_inline]] inline void suspension_pass(ModelState& s, double step, double& dt_allowed) {
    const double min_susp_velo = s.par.Min_Susp_Velo;
    const double* u3 = s.layers.u3.data();
    const double* cell_length = s.grid.cell_length.data();
    const int end = s.window.last_active - 1;
    for (int i = s.window.first_active + 1; i < end; ++i) {
        const UpwindChoice c = choose_upwind(u3, cell_length, i);
        const CellRows m = cell_rows(s, i, c);
        double general[4];  // components 5 ... 8
        updated_four<V>(m, kSuspDepth, c, step, general);
        double dissipation = updated<double>(m, kSuspDissipation, c, step);
        if (c.diverging) {
            // Components 7 and 8 side by side, then 9.
            const double speed =
                std::fabs(u3[i]) > min_susp_velo ? std::fabs(u3[i]) : min_susp_velo;
            const int j = kSuspVolume, d = kSuspDissipation;
            const Pair volume_energy =
                diverging_update_of(load<Pair>(m.prev + j), load<Pair>(m.sink + j),
                                    load<Pair>(m.adv_i + j), c, u3, speed, step) -
                step * (load<Pair>(m.diff_up + j) - load<Pair>(m.diff_dn + j)) / c.dx_c;
            general[kSuspVolume - kSuspDepth] = volume_energy[0];
            general[kSuspEnergy - kSuspDepth] = volume_energy[1];
            dissipation =
                diverging_update_of(m.prev[d], m.sink[d], m.adv_i[d], c, u3, speed, step) -
                step * (m.diff_up[d] - m.diff_dn[d]) / c.dx_c;
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

// Components j (and j + 1) of a cell rescaled from the step taken to step.
template <class T>
inline T rescaled(const double* u, const double* p, int j, double step, double taken) {
    return load<T>(p + j) + (load<T>(u + j) - load<T>(p + j)) * step / taken;
}

template <class V>
[[gnu::always_inline]] inline double advance_with(ModelState& s, double step) {
    double dt_allowed = step;
    saltation_pass<V>(s, step, dt_allowed);
    suspension_pass<V>(s, step, dt_allowed);
    return dt_allowed;
}

TORLA_WIDE double advance_interior_wide(ModelState& s, double step) {
    return advance_with<Quad>(s, step);
}

}  // namespace

UpwindChoice upwind_choice(const double* w, const double* cell_length, int i) {
    return choose_upwind(w, cell_length, i);
}

double general_update(const UpdateInputs& in, const UpwindChoice& c, double step) {
    return general_update_of(in.prev, in.sink, in.adv_l, in.adv_r, in.diff_dn, in.diff_up, c.dx_up,
                             c.dx_c, step);
}

double advance_interior(ModelState& s, double step) {
    return s.window.wide_lanes ? advance_interior_wide(s, step) : advance_with<Pair>(s, step);
}

void rescale_interior(ModelState& s, double taken, double step) {
    const int end = s.window.last_active - 1;
    for (int i = s.window.first_active + 1; i < end; ++i) {
        double* u = s.U[i];
        const double* p = s.U_prev[i];
        // The cover density and the saltation depth keep what the full step
        // gave them; the others are rescaled in pairs.
        const double cover = rescaled<double>(u, p, kCoverDepth, step, taken);
        const Pair salt = rescaled<Pair>(u, p, kSaltMomentum, step, taken);
        const Pair susp = rescaled<Pair>(u, p, kSuspDepth, step, taken);
        const Pair volume_energy = rescaled<Pair>(u, p, kSuspVolume, step, taken);
        const double dissipation = rescaled<double>(u, p, kSuspDissipation, step, taken);
        u[kCoverDepth] = cover;
        store<Pair>(u + kSaltMomentum, salt);
        store<Pair>(u + kSuspDepth, susp);
        store<Pair>(u + kSuspVolume, volume_energy);
        u[kSuspDissipation] = dissipation;
    }
}

}  // namespace torla
