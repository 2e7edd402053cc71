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

// The 31 form factors of the given profile coefficients (widened to double).
FormFactors compute_form_factors(const ProfileCoefficients& c);

// Fixes the 31 form factors from the profile coefficients and appends the
// report to the log stream.
void form_factor(ModelState& s);

// The eleven layer variables of one cell (T = double), or of two cells
// side by side (T = Pair or Quad, flow/lanes.h).
template <class T>
struct LayerVariablesOf {
    T h1, rho1, h2, u2, rho2, h3, u3, c3, rho3, k3, eps3;
};
using LayerVariables = LayerVariablesOf<double>;

// Layer variables of one conserved row u (10 components); depths below
// their minimum are kept, the minima only guard the divisors.
LayerVariables recover_cell(const RunParameters& par, double rho_diff, double min_susp_mass,
                            const double* u);

// Sets row i of a work matrix to zero.
void zero_row(Matrix& m, int i);
// The suspension layer enters the track from still air: no suspended snow,
// no motion and no turbulence at cell i (the upstream end of the window).
void set_ambient_suspension(ModelState& s, int i);

// Derives the layer variables of the active window from U.
void recover_layer_variables(ModelState& s);

// Upwind gradients of the suspension layer at cell i, taken towards the
// cell the layer comes from (the forward pair when u3[i] <= 0).
template <class T>
struct SuspensionGradientsOf {
    T Gc;  // 1/m, gradient of c3
    T Gm;  // kg/(m^2 s), gradient of rho3 u3 h3
};
using SuspensionGradients = SuspensionGradientsOf<double>;
SuspensionGradients suspension_gradients(const ModelState& s, int i);

// Layer values of one cell that its flux row depends on.
template <class T>
struct FluxInputsOf {
    T h2, u2, rho2, h3, u3, c3, rho3, k3, eps3, g_normal, g_tangent;
};
using FluxInputs = FluxInputsOf<double>;

// Flux row of one cell with the intermediates it is built from.
template <class T>
struct FluxRowOf {
    T lambda;  // air share of the suspension density
    T P;       // excess weight of the suspended snow per unit area
    T nu_t;    // eddy viscosity
    T nu;      // total viscosity
    T ws;      // settling velocity along the track
    T adv[kNumComponents];
    T diff[kNumComponents];
};
using FluxRow = FluxRowOf<double>;
FluxRow flux_row(const RunParameters& par, double rho_diff, const FormFactors& ff,
                 const FluxInputs& in, const SuspensionGradients& g);

// Fills flux_adv and flux_diff for the window's interior, zeroes the edge
// rows and sets the ambient suspension layer at cells 0 and first_active.
void compute_fluxes(ModelState& s);

// Layer values and geometry of one cell that its source row depends on.
template <class T>
struct SourceInputsOf {
    T h1, rho1, h2, u2, rho2, h3, u3, c3, rho3, k3, eps3;
    T g_normal, g_tangent, curvature, u_threshold;
};
using SourceInputs = SourceInputsOf<double>;

// Source row of one cell before relaxation, with every intermediate.
template <class T>
struct SourceRowOf {
    T kappa;    // curvature ratio, -0.9 ... 1
    T E;        // impact rate, kg/(m^2 s)
    T D;        // impact mass of one step, floored, kg/m^2
    T X;        // erosion cap
    T Y;        // erosion factor of the excess speed
    T F;        // erosion factor, min(Y, X)
    T M_e;      // erosion rate, kg/(m^2 s)
    T E_out;    // take-off rate, kg/(m^2 s)
    T rho_s0;   // snow mass per volume at the base of the suspension layer
    T phi;      // height factor of the deposition
    T w_s;      // settling speed normal to the track
    T M_d;      // deposition rate out of suspension
    T rho_x;    // saltation load in excess of the suspension base density
    T w_l;      // lift speed
    T M_s;      // suspension rate
    T M_n;      // net transfer from saltation to suspension
    T nu_t;     // eddy viscosity
    T nu;       // total viscosity
    T rho_top;  // bulk density at the top of the suspension layer
    T s;        // floored saltation speed
    T tau_b;    // bed shear
    T f_c;      // collision drag
    T H;        // floored suspension depth
    T tau_3;    // shear on the suspension layer
    T value[kNumComponents];  // loss rates; columns 1, 2, 8, 9 are 0
};
using SourceRow = SourceRowOf<double>;
// dt is the step over which the erosion cap limits the cover's loss.
SourceRow source_row(const RunParameters& par, double dt, const SourceInputs& in);

// Fills sink for the window's interior with the relaxed source terms.
void compute_source_terms(ModelState& s);

// The pair of cells whose advective fluxes the update of cell i differences.
struct UpwindChoice {
    int l, r;
    double dx_up;    // divisor of the advective difference
    double dx_c;     // cell_length[i] + cell_length[i + 1]
    bool diverging;  // the layer moves apart between l and r
};
// w is the layer velocity (u2 or u3); a velocity of exactly 0 counts as
// moving forward.
UpwindChoice upwind_choice(const double* w, const double* cell_length, int i);

// The layer passes of a full step over the window's interior, from U_prev
// and the work matrices as they stand into U. Returns the largest step up
// to step that keeps the saltation load and the snow volume non-negative.
double advance_interior(ModelState& s, double step);
// Rescales the increments U - U_prev of the window's interior from the
// step dt to step (components 1 and 2 excepted).
void rescale_interior(ModelState& s, double step);

// Advances U_prev by step into U (flag 0) or rescales the increments in U
// from dt to step (flag != 0); moves the window. Returns the largest step
// that keeps the saltation load and snow volume non-negative (flag 0), or step.
double time_step(ModelState& s, int32_t step_count, double step, int16_t flag);

}  // namespace torla
