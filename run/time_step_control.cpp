// Time-step control: effective gravity, the largest wave speed over the
// active window and the Courant rule that turns it into a step.
#include <cmath>

#include "flow/lanes.h"
#include "run/run.h"

namespace torla {

void update_gravity(ModelState& s) {
    const double g = s.par.Gravity;
    for (int i = s.first_active; i < s.last_active; ++i) {
        // The centripetal term of the saltation layer adds to the normal
        // component where the track is concave.
        s.g_normal[i] = g * s.cos_slope[i] + s.u2[i] * s.u2[i] * s.curvature[i];
        s.g_tangent[i] = g * s.sin_slope[i];
    }
}

double max_wave_speed(const ModelState& s) {
    const double *u2 = s.u2.data(), *u3 = s.u3.data(), *h2 = s.h2.data(), *h3 = s.h3.data();
    const double* g_normal = s.g_normal.data();
    double result = 0.0;
    for (int i = s.first_active; i < s.last_active; ++i) {
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

double initial_time_step(const ModelState& s, double u_wave) {
    const double courant = s.par.Courant_Nr * s.min_cell_length / u_wave;
    return courant <= s.par.Max_Time_Step ? courant : s.par.Max_Time_Step;
}

double courant_time_step(const ModelState& s, double u_wave) {
    // A wave speed of zero gives an infinite Courant value, hence the cap.
    const double courant = s.par.Courant_Nr * s.min_cell_length / u_wave;
    return courant < s.par.Max_Time_Step ? courant : s.par.Max_Time_Step;
}

}  // namespace torla
