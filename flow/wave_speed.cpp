// The effective gravity of the current state and the largest wave speed
// over the active window, from which the driver's Courant rule takes the step.
#include <cmath>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {

void update_gravity(ModelState& s) {
    const double g = s.par.Gravity;
    const Grid& grid = s.grid;
    Layers& l = s.layers;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        // The centripetal term of the saltation layer adds to the normal
        // component where the track is concave.
        l.g_normal[i] = g * grid.cos_slope[i] + l.u2[i] * l.u2[i] * grid.curvature[i];
        l.g_tangent[i] = g * grid.sin_slope[i];
    }
}

double max_wave_speed(const ModelState& s) {
    const Layers& l = s.layers;
    const double *u2 = l.u2.data(), *u3 = l.u3.data(), *h2 = l.h2.data(), *h3 = l.h3.data();
    const double* g_normal = l.g_normal.data();
    double result = 0.0;
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        // Both layers of the cell side by side: saltation, then suspension.
        // The absolute value keeps the root real where the centripetal term
        // turns the effective gravity negative.
        const Pair speed = magnitude(Pair{u2[i], u3[i]}) +
                           root(magnitude(Pair{g_normal[i] * h2[i], g_normal[i] * h3[i]}));
        if (!(speed[0] < result)) result = speed[0];
        if (!(speed[1] < result)) result = speed[1];
    }
    return result;
}

}  // namespace torla
