// The flow model: profile shape factors, recovery of the layer variables,
// fluxes, source terms and the explicit update.
#pragma once

#include "run/model_state.h"

namespace torla {

// A quadratic profile a0 + a1 z + a2 z^2 over the layer height fraction z.
struct Quadratic {
    double a0 = 1.0, a1 = 0.0, a2 = 0.0;
};

// Exact integral over [0, 1] of the product of four quadratics.
double profile_integral(const Quadratic& p1, const Quadratic& p2, const Quadratic& p3,
                        const Quadratic& p4);
// Trapezoidal integral over [0, 1] (1001 nodes) of p1 p2 p3 p4 p5 / q, q floored at 0.01.
double profile_ratio_integral(const Quadratic& p1, const Quadratic& p2, const Quadratic& p3,
                              const Quadratic& p4, const Quadratic& p5, const Quadratic& q);

// Fixes the 31 form factors from the profile coefficients and appends the
// report to the log stream.
void form_factor(ModelState& s);

// Derives the layer variables of the active window from U.
void recover_layer_variables(ModelState& s);

// Fills flux_adv and flux_diff for the window's interior, zeroes the edge
// rows and sets the ambient suspension layer at cells 0 and first_active.
void compute_fluxes(ModelState& s);

// Fills sink for the window's interior with the relaxed source terms.
void compute_source_terms(ModelState& s);

// Advances U_prev by step into U (flag 0) or rescales the increments in U
// from dt to step (flag != 0); moves the window. Returns the largest step
// that keeps the saltation load and snow volume non-negative (flag 0), or step.
double time_step(ModelState& s, int32_t step_count, double step, int16_t flag);

}  // namespace torla
