// The Courant rule: the step from the largest wave speed and the smallest
// cell, capped by Max_Time_Step.
#include "run/run.h"

namespace torla {

namespace {

constexpr double kMinStartWaveSpeed = 10.0;  // m/s, lower bound of the first wave speed

double courant_value(const ModelState& s, double u_wave) {
    return s.par.Courant_Nr * s.grid.min_cell_length / u_wave;
}

}  // namespace

double initial_time_step(const ModelState& s, double u_wave) {
    const double courant =
        courant_value(s, u_wave < kMinStartWaveSpeed ? kMinStartWaveSpeed : u_wave);
    return courant <= s.par.Max_Time_Step ? courant : s.par.Max_Time_Step;
}

double courant_time_step(const ModelState& s, double u_wave) {
    // A wave speed of zero gives an infinite Courant value, hence the cap.
    const double courant = courant_value(s, u_wave);
    return courant < s.par.Max_Time_Step ? courant : s.par.Max_Time_Step;
}

}  // namespace torla
