// The flow model: the physics of one pass of the time loop. Profile shape
// factors, recovery of the layer variables, effective gravity and wave
// speed, fluxes, source terms, the explicit update and the active window.
//
// Each per-cell formula is stated once, as a function of one cell
// (LayerVariables, FluxRow, SourceRow, general_update); the loops over the
// window compute the same formulas for several cells or components side by
// side (flow/lanes.h) and give every cell exactly the one-cell numbers.
#pragma once

#include <array>
#include <cmath>
#include <type_traits>
#include <utility>

#include "model/model_state.h"

namespace torla {

// ---- Profile shape factors.

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

// ---- Which components the work matrices carry. Every other component is
// 0 in every row the flow model writes.
inline constexpr std::array kAdvected = {kSaltMomentum, kSaltLoad, kSuspDepth, kSuspMomentum,
                                         kSuspVolume};
inline constexpr std::array kDiffused = {kSuspMomentum, kSuspVolume};
inline constexpr std::array kSourced = {kCoverDepth, kSaltMomentum, kSaltLoad,
                                        kSuspDepth,  kSuspMomentum, kSuspVolume};

template <std::size_t N>
constexpr bool listed(const std::array<Component, N>& list, int j) {
    for (Component c : list)
        if (c == j) return true;
    return false;
}
// The components a list leaves out, in order.
template <std::size_t N>
constexpr std::array<Component, kNumComponents - N> unlisted(const std::array<Component, N>& list) {
    std::array<Component, kNumComponents - N> out{};
    std::size_t k = 0;
    for (int j = 0; j < kNumComponents; ++j)
        if (!listed(list, j)) out[k++] = static_cast<Component>(j);
    return out;
}

// A lambda that GCC must inline into the loop that calls it (so that wide
// vectors never cross a call built for another instruction set); clang
// takes no attribute there and inlines such small lambdas anyway.
#if defined(__clang__)
#define TORLA_INLINE_LAMBDA
#else
#define TORLA_INLINE_LAMBDA [[gnu::always_inline]]
#endif

// Calls f(std::integral_constant<Component, c>{}) for every component c of
// the list, in order, so that each call sees its component as a constant.
template <const auto& List, class F>
[[gnu::always_inline]] inline void for_each_component(F&& f) {
    [&]<std::size_t... K>(std::index_sequence<K...>) TORLA_INLINE_LAMBDA {
        (f(std::integral_constant<Component, List[K]>{}), ...);
    }
    (std::make_index_sequence<List.size()>{});
}

// ---- Layer variables.

// The eleven layer variables of one cell (T = double), or of several cells
// side by side (T = Pair or Quad, flow/lanes.h).
template <class T>
struct LayerVariablesOf {
    T h1, rho1, h2, u2, rho2, h3, u3, c3, rho3, k3, eps3;
};
using LayerVariables = LayerVariablesOf<double>;

// Layer variables of one conserved row u (10 components); depths below
// their minimum are kept, the minima only guard the divisors.
LayerVariables recover_cell(const RunParameters& par, const RunConstants& k, const double* u);

// Derives the layer variables of the active window from U.
void recover_layer_variables(ModelState& s);

// Effective gravity normal and along the track over the active window
// (normal: never below 0 under the robust scheme, a layer lifting off flies free).
void update_gravity(ModelState& s);
// Largest wave speed over the active window and the cell where it is
// (0.0 and -1 for an empty window).
struct WaveSpeed {
    double m_s;
    int cell;
};
WaveSpeed largest_wave_speed(const ModelState& s);
// Its speed alone, m/s.
double max_wave_speed(const ModelState& s);
// The speed of a layer's flow and gravity waves, m/s: |u| + sqrt(g_normal h),
// where a layer whose effective gravity points away from the ground (lifting
// off a convex break) carries no gravity waves. Unlike the rule above (which
// takes the magnitude of g_normal h for the step), it is a physical speed:
// the sign of instability the run watches for.
double gravity_wave_speed(double u, double g_normal, double h);
// Its largest value over the active window and the cell where it is.
WaveSpeed largest_gravity_wave_speed(const ModelState& s);

// Snow mass of cell i in the conserved row u, per metre of track width
// (kg/m): cover, saltation layer, suspension layer.
struct SnowMass {
    double cover, saltation, suspension;
};
SnowMass cell_snow_mass(const ModelState& s, const double* u, int i);
// The same summed over every cell of the matrix m.
SnowMass snow_mass(const ModelState& s, const Matrix& m);

// ---- Fluxes.

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
    T lambda;  // -, air share of the suspension density
    T P;       // kg/s^2, excess weight of the suspended snow per unit area
    T nu_t;    // m^2/s, eddy viscosity
    T nu;      // m^2/s, total viscosity
    T ws;      // m/s, settling velocity along the track
    T adv[kNumComponents];
    T diff[kNumComponents];
};
using FluxRow = FluxRowOf<double>;
FluxRow flux_row(const RunParameters& par, const RunConstants& k, const FormFactors& ff,
                 const FluxInputs& in, const SuspensionGradients& g);

// Fills flux_adv and flux_diff for the window's interior.
void compute_fluxes(ModelState& s);

// ---- Source terms.

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
    T kappa;                  // -, curvature ratio, -0.9 ... 1
    T E;                      // kg/(m^2 s), impact rate
    T D;                      // kg/m^2, impact mass of one step, floored
    T X;                      // -, erosion cap
    T Y;                      // -, erosion factor of the excess speed
    T F;                      // -, erosion factor, min(Y, X)
    T M_e;                    // kg/(m^2 s), erosion rate
    T E_out;                  // kg/(m^2 s), take-off rate
    T rho_s0;                 // kg/m^3, snow mass per volume at the base of the suspension layer
    T phi;                    // -, height factor of the deposition
    T w_s;                    // m/s, settling speed normal to the track
    T M_d;                    // kg/(m^2 s), deposition rate out of suspension
    T rho_x;                  // kg/m^3, saltation load in excess of the suspension base density
    T w_l;                    // m/s, lift speed
    T M_s;                    // kg/(m^2 s), suspension rate
    T M_n;                    // kg/(m^2 s), net transfer from saltation to suspension
    T nu_t;                   // m^2/s, eddy viscosity
    T nu;                     // m^2/s, total viscosity
    T rho_top;                // kg/m^3, bulk density at the top of the suspension layer
    T s;                      // m/s, floored saltation speed
    T tau_b;                  // kg/(m s^2), bed shear
    T f_c;                    // kg/(m s^2), collision drag
    T H;                      // m, floored suspension depth
    T tau_3;                  // kg/(m s^2), shear on the suspension layer
    T value[kNumComponents];  // loss rates; only the kSourced columns are non-zero
};
using SourceRow = SourceRowOf<double>;
// dt is the step over which the erosion cap limits the cover's loss.
SourceRow source_row(const RunParameters& par, double dt, const SourceInputs& in);

// Fills sink for the window's interior with the source terms relaxed
// against sink_prev; dt is the step of the pass (the erosion cap's step).
void compute_source_terms(ModelState& s, double dt);
// Fills sink for the window's interior with the source terms of the
// current state, not relaxed (the robust scheme's sources).
void compute_current_source_terms(ModelState& s, double dt);

// ---- The explicit update.

// The pair of cells whose advective fluxes the update of cell i differences.
struct UpwindChoice {
    int l, r;
    double dx_up;    // m, divisor of the advective difference
    double dx_c;     // m, cell_length[i] + cell_length[i + 1]
    bool diverging;  // the layer moves apart between l and r
};
// w is the layer velocity (u2 or u3); a velocity of exactly 0 counts as
// moving forward.
UpwindChoice upwind_choice(const double* w, const double* cell_length, int i);

// What the update of one component of cell i reads: its start value and
// source term, the advective fluxes of the upwind pair, the diffusive
// fluxes of the two neighbours.
struct UpdateInputs {
    double prev, sink, adv_l, adv_r, diff_dn, diff_up;
};
// The general update: sources as loss rates, the advective difference over
// the upwind pair, the diffusive difference centrally.
double general_update(const UpdateInputs& in, const UpwindChoice& c, double step);

// The saltation depth that follows the load of a cell: the load spread at
// the greatest saltation density, but at least as deep as the grains jump
// at the layer's speed.
inline constexpr double kSaltDepthPerSpeed = 0.03;  // s, least saltation depth per unit speed
inline double saltation_depth(double load, double u2, double max_salt_density, double cos_slope) {
    const double from_load = load / max_salt_density;
    const double from_speed = kSaltDepthPerSpeed * std::fabs(u2) / cos_slope;
    return from_load > from_speed ? from_load : from_speed;
}

// The interior of the window, first_active + 1 ... last_active - 2: the
// layer passes of a full step from U_prev and the work matrices into U.
// Returns the largest step up to step that keeps the saltation load and the
// snow volume non-negative.
double advance_interior(ModelState& s, double step);
// Rescales the increments U - U_prev of the window's interior from the
// step taken to step (components 1 and 2 keep what the full step gave).
void rescale_interior(ModelState& s, double taken, double step);

// The rows at the window's edges: the work matrices' rows 0, first_active
// and last_active - 1 are zero, and the suspension layer enters the track
// from still air at cells 0 and first_active.
void set_boundary_rows(ModelState& s);
// The window's edge cells after an update: the upstream edge empty of
// moving snow, the downstream edge a copy of its upstream neighbour.
void set_edge_cells(ModelState& s);

// A cell carries flow when its saltation load or momentum, or its suspended
// snow volume or momentum, reaches its threshold in magnitude.
bool carries_flow(const RunParameters& par, const double* u);
// Moves the active window to follow the cells that carry flow in U.
void find_active_window(ModelState& s);

// ---- The robust scheme (Scheme::kRobust, Numerics robust).
//
// The same balance laws, fluxes and source terms, advanced so that slow
// deep flow and thin fast flow stay stable and depths and snow contents
// stay non-negative (docs/numerics.md):
//  - the advective part by finite volumes with an HLL flux at each face
//    between neighbouring cells, from the slowest and fastest signal
//    speeds of the layer on either side: the upwind flux where both run
//    the same way (fast flow), a dissipative mean where waves run both
//    ways (slow, deep flow);
//  - the source terms of the current state (not relaxed against the last
//    step's: a stiff drag relaxed that way acts a step late, as a force
//    that reverses the flow) as loss rates after the fluxes; a loss, a rate
//    of the sign of the value it was computed for, is taken as that value
//    decaying at rate sink / value, implicitly: it shrinks what the faces
//    left, never reverses it, however stiff;
//  - the eddy diffusion of the suspension momentum and snow content
//    implicitly, with the smaller diffusivity of the two cells at a face.
// The control volume of interior cell i is half its two cell lengths; the
// face between cells i and i + 1 is cell_length[i + 1] from i.

// Per-cell coefficients of the robust scheme: the flux row for unit
// gradients (its diff entries are minus the diffusivities) and bounds of
// the signal speeds of the two moving layers (their advection speeds
// widened by the celerity of their pressure waves).
template <class T>
struct RobustCellOf {
    FluxRowOf<T> flux;
    T salt_slowest, salt_fastest;  // m/s, saltation layer
    T susp_slowest, susp_fastest;  // m/s, suspension layer
};
using RobustCell = RobustCellOf<double>;
RobustCell robust_cell(const RunParameters& par, const RunConstants& k, const FormFactors& ff,
                       const FluxInputs& in);

// The HLL flux at a face as weights of the two cells' fluxes and of the
// jump of the component between them: the left cell's flux when every
// signal runs forward (slowest >= 0), the right cell's when every signal
// runs backward (fastest <= 0), else the flux of the mean state between
// the slowest and the fastest wave.
struct HllWeights {
    double left, right;  // -, weights of the two cells' fluxes
    double jump;         // m/s, weight of value_r - value_l
};
HllWeights hll_weights(double slowest, double fastest);
inline double hll_flux(const HllWeights& w, double flux_l, double flux_r, double value_l,
                       double value_r) {
    return w.left * flux_l + w.right * flux_r + w.jump * (value_r - value_l);
}

// Fills, for the window's interior, flux_adv with the cells' advective
// fluxes and the robust work arrays with their coefficients (those of the
// window's edge cells 0).
void compute_robust_fluxes(ModelState& s);

// Largest signal speed of either layer over the active window (0.0 for an
// empty window), m/s: the wave speed of the robust scheme's Courant rule.
double robust_wave_speed(const ModelState& s);

// The robust update of one component of one cell: the difference of its
// face fluxes times step_per_volume (the step over the cell's control
// volume, s/m), then the source as a loss rate (see above). The decay rate
// of a loss is sink / prev, or sink / (what the faces left) where that is
// larger and of the same sign (an inflow is not consumed by the loss rate
// of a nearly empty cell).
double robust_update(double prev, double sink, double face_dn, double face_up,
                     double step_per_volume, double step);

// Snow mass per metre of width and second that leaves the track through
// the downstream face of the window when the window reaches the last
// cells (the robust scheme's face flux; 0 otherwise).
double robust_outflow_rate(const ModelState& s);

// The interior of the window by the robust scheme from U_prev, flux_adv
// and the work arrays of compute_robust_fluxes and the source terms into U. Returns
// the largest step up to step that its Courant bound allows (step itself
// whenever the step came from robust_wave_speed with Courant_Nr <= 1).
double advance_interior_robust(ModelState& s, double step);

// What a time_step call does with the window's interior.
enum class StepKind {
    kFull,     // advance U_prev by the step into U
    kRescale,  // rescale the increments of the full step in U to the step
};

// One call of the explicit update: boundary rows, fluxes, source terms,
// the interior advanced, the edge cells, the window moved. pass_step is the
// step of the pass (the full step whose increments a rescale shortens).
// The fluxes, the source terms and the advance are those of the run's
// scheme (s.constants.scheme; the robust one above). A rescale computes no
// fluxes (it differences none); its source terms are computed as in a full
// step and kept, so that the relaxation of the next call starts from them.
// Returns, for a full step, the largest step up to step that keeps the
// saltation load and the snow volume non-negative (the robust scheme: that
// its Courant bound allows); for a rescale, step.
double time_step(ModelState& s, StepKind kind, double step, double pass_step);

// The wave speed from which the Courant rule takes the step after a pass:
// the largest wave speed over the window (largest, as largest_wave_speed
// found it) under the standard scheme, the largest signal speed of either
// layer (robust_wave_speed) under the robust one. m/s.
double courant_wave_speed(const ModelState& s, const WaveSpeed& largest);

}  // namespace torla
