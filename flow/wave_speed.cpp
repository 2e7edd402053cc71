// The effective gravity of the current state and the largest wave speed
// over the active window, from which the Courant rule takes the step.
#include <cmath>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {

void update_gravity(ModelState& s) {
    const double g = s.par.Gravity;
    const Grid& grid = s.grid;
    Layers& l = s.layers;
    // Where the flow is faster over a convex edge than gravity can hold it,
    // the layers lift off: the robust scheme lets them fly free, with no
    // pressure normal to the ground (a negative effective gravity takes the
    // balance laws' waves away and the cells blow up); the standard scheme
    // keeps the negative value.
    const bool free_flight = s.constants.scheme == Scheme::kRobust;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        // The centripetal term of the saltation layer adds to the normal
        // component where the track is concave.
        l.g_normal[i] = g * grid.cos_slope[i] + l.u2[i] * l.u2[i] * grid.curvature[i];
        if (free_flight && l.g_normal[i] < 0.0) l.g_normal[i] = 0.0;
        l.g_tangent[i] = g * grid.sin_slope[i];
    }
}

WaveSpeed largest_wave_speed(const ModelState& s) {
    const Layers& l = s.layers;
    const double *u2 = l.u2.data(), *u3 = l.u3.data(), *h2 = l.h2.data(), *h3 = l.h3.data();
    const double* g_normal = l.g_normal.data();
    WaveSpeed result{0.0, -1};
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        // Both layers of the cell side by side: saltation, then suspension.
        // The absolute value keeps the root real where the centripetal term
        // turns the effective gravity negative.
        const Pair speed = magnitude(Pair{u2[i], u3[i]}) +
                           root(magnitude(Pair{g_normal[i] * h2[i], g_normal[i] * h3[i]}));
        const double faster = speed[1] < speed[0] ? speed[0] : speed[1];
        if (!(faster < result.m_s)) result = {faster, i};
    }
    return result;
}

double max_wave_speed(const ModelState& s) { return largest_wave_speed(s).m_s; }

double courant_wave_speed(const ModelState& s, const WaveSpeed& largest) {
    return s.constants.scheme == Scheme::kRobust ? robust_wave_speed(s) : largest.m_s;
}

double gravity_wave_speed(double u, double g_normal, double h) {
    const double gh = g_normal * h;
    return std::fabs(u) + (gh > 0.0 ? std::sqrt(gh) : 0.0);
}

WaveSpeed largest_gravity_wave_speed(const ModelState& s) {
    const Layers& l = s.layers;
    WaveSpeed result{0.0, -1};
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        const double salt = gravity_wave_speed(l.u2[i], l.g_normal[i], l.h2[i]);
        const double susp = gravity_wave_speed(l.u3[i], l.g_normal[i], l.h3[i]);
        const double faster = susp < salt ? salt : susp;
        if (!(faster < result.m_s)) result = {faster, i};
    }
    return result;
}

SnowMass cell_snow_mass(const ModelState& s, const double* u, int i) {
    const double length = s.grid.cell_length[i];
    return {u[kCoverDepth] * u[kCoverDensity] * length, u[kSaltLoad] * length,
            u[kSuspVolume] * s.par.Particle_Density * length};
}

SnowMass snow_mass(const ModelState& s, const Matrix& m) {
    SnowMass total{0.0, 0.0, 0.0};
    for (int i = 0; i < s.n_cells; ++i) {
        const SnowMass c = cell_snow_mass(s, m[i], i);
        total.cover += c.cover;
        total.saltation += c.saltation;
        total.suspension += c.suspension;
    }
    return total;
}

}  // namespace torla
