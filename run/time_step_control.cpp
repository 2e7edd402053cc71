// Time-step control: effective gravity, the largest wave speed over the
// active window and the Courant rule that turns it into a step.
#include <cmath>

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
    double result = 0.0;
    for (int i = s.first_active; i < s.last_active; ++i) {
        // The absolute value keeps the root real where the centripetal term
        // turns the effective gravity negative.
        const double salt = std::fabs(s.u2[i]) + std::sqrt(std::fabs(s.g_normal[i] * s.h2[i]));
        if (!(salt < result)) result = salt;
        const double susp = std::fabs(s.u3[i]) + std::sqrt(std::fabs(s.g_normal[i] * s.h3[i]));
        if (!(susp < result)) result = susp;
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
