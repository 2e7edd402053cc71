// The robust scheme of the update (Numerics robust): HLL face fluxes for
// the advective part, source terms that never
// drive a value through zero, implicit eddy diffusion. Why each piece is
// there: docs/numerics.md.
#include <array>
#include <cmath>
#include <vector>

#include "flow/flow.h"
#include "flow/flux_row.h"
#include "flow/lanes.h"

namespace torla {

namespace {

using flux_detail::flux_inputs;
using flux_detail::flux_row_of;

// The advected components by the layer they move with.
constexpr std::array kSaltMoved = {kSaltMomentum, kSaltLoad};
constexpr std::array kSuspMoved = {kSuspDepth, kSuspMomentum, kSuspVolume};
static_assert(kSaltMoved.size() + kSuspMoved.size() == kAdvected.size());

// Depth below which the snow content of the suspension layer is not
// divided by its depth when Min_Susp_Height does not floor it.
constexpr double kLeastDivisorDepth = 1e-12;  // m

template <class T>
[[gnu::always_inline]] inline RobustCellOf<T> robust_cell_of(const RunParameters& par,
                                                             const RunConstants& k,
                                                             const FormFactors& ff,
                                                             const FluxInputsOf<T>& in) {
    RobustCellOf<T> r;
    r.flux = flux_row_of<T>(par, k, ff, in, SuspensionGradientsOf<T>{splat<T>(1.0), splat<T>(1.0)});
    const FluxRowOf<T>& f = r.flux;
    // Saltation layer: the load moves with u2. With the depth following the
    // load, the pressure h2 (0.5 rho2 g_normal + P) grows with the load at
    // 0.5 g_normal + P / Max_Salt_Density; g_normal h2 is added as in the
    // wave speed of the standard Courant rule.
    const T pressure_rate = magnitude(0.5 * in.g_normal + f.P / par.Max_Salt_Density);
    const T salt_celerity = root(pressure_rate + magnitude(in.g_normal * in.h2));
    r.salt_slowest = in.u2 - salt_celerity;
    r.salt_fastest = in.u2 + salt_celerity;
    // Suspension layer: the depth moves at u3, the momentum at u3 times its
    // profile factor, the snow volume c3 h3 (c3 being the volume over the
    // floored depth) at S_CU u3 h3 and the settling along the track, over
    // that depth; the gravity wave runs at most at sqrt(g_normal h3) (the
    // excess weight of the snow is a fraction of the full weight).
    const T momentum_speed = in.u3 * ((1.0 - f.lambda) * ff.S_CUU + f.lambda * ff.T_UU);
    T depth = pick(in.h3 > par.Min_Susp_Height, in.h3, par.Min_Susp_Height);
    depth = larger(depth, kLeastDivisorDepth);
    const T volume_speed = (ff.S_CU * in.u3 * in.h3 + f.ws * f.lambda) / depth;
    const T susp_celerity = root(magnitude(in.g_normal * in.h3));
    r.susp_slowest = smaller(smaller(in.u3, momentum_speed), volume_speed) - susp_celerity;
    r.susp_fastest = larger(larger(in.u3, momentum_speed), volume_speed) + susp_celerity;
    return r;
}

// Rows i + k (lane k): flux_adv the advective fluxes, every other column
// 0; the robust work arrays the cells' coefficients.
template <class T>
[[gnu::always_inline]] inline void write_robust_rows(ModelState& s, int i,
                                                     const RobustCellOf<T>& r) {
    for (int k = 0; k < kWidth<T>; ++k) {
        double* adv = s.flux_adv[i + k];
        for (int j = 0; j < kNumComponents; ++j) adv[j] = 0.0;
        for_each_component<kAdvected>([&](auto j)
                                          TORLA_INLINE_LAMBDA { adv[j] = lane(r.flux.adv[j], k); });
        RobustWork::Cell& c = s.robust.cells[i + k];
        c.salt_slowest = lane(r.salt_slowest, k);
        c.salt_fastest = lane(r.salt_fastest, k);
        c.susp_slowest = lane(r.susp_slowest, k);
        c.susp_fastest = lane(r.susp_fastest, k);
        c.momentum_diffusivity = -lane(r.flux.diff[kSuspMomentum], k);
        c.volume_diffusivity = -lane(r.flux.diff[kSuspVolume], k);
    }
}

template <class Cells>
[[gnu::always_inline]] inline void interior_robust_rows(ModelState& s) {
    const int end = s.window.last_active - 1;
    int i = s.window.first_active + 1;
    for (; i + kWidth<Cells> <= end; i += kWidth<Cells>)
        write_robust_rows(s, i, robust_cell_of(s.par, s.constants, s.ff, flux_inputs<Cells>(s, i)));
    for (; i < end; ++i)
        write_robust_rows(s, i,
                          robust_cell_of(s.par, s.constants, s.ff, flux_inputs<double>(s, i)));
}

TORLA_WIDE void interior_robust_rows_wide(ModelState& s) { interior_robust_rows<Quad>(s); }

// The largest magnitude of the four signal speeds of cells i ... (lanes of T).
template <class T>
[[gnu::always_inline]] inline T largest_speed(const ModelState& s, int i) {
    const RobustCellOf<T> r = robust_cell_of(s.par, s.constants, s.ff, flux_inputs<T>(s, i));
    return larger(larger(magnitude(r.salt_slowest), magnitude(r.salt_fastest)),
                  larger(magnitude(r.susp_slowest), magnitude(r.susp_fastest)));
}

template <class Cells>
[[gnu::always_inline]] inline double window_wave_speed(const ModelState& s) {
    double result = 0.0;
    const int end = s.window.last_active;
    int i = s.window.first_active;
    for (; i + kWidth<Cells> <= end; i += kWidth<Cells>) {
        const Cells speed = largest_speed<Cells>(s, i);
        for (int k = 0; k < kWidth<Cells>; ++k)
            if (!(speed[k] < result)) result = speed[k];
    }
    for (; i < end; ++i) {
        const double speed = largest_speed<double>(s, i);
        if (!(speed < result)) result = speed;
    }
    return result;
}

TORLA_WIDE double window_wave_speed_wide(const ModelState& s) { return window_wave_speed<Quad>(s); }

// The face fluxes of the advected components between cells l and r into
// out; each layer's signal speeds span both cells'. Returns the largest
// magnitude of the signal speeds at the face.
double face_fluxes(const ModelState& s, int l, int r, double* out) {
    const double *fl = s.flux_adv[l], *fr = s.flux_adv[r];
    const double *ul = s.U_prev[l], *ur = s.U_prev[r];
    const RobustWork::Cell &cl = s.robust.cells[l], &cr = s.robust.cells[r];
    const double salt_slowest = smaller(cl.salt_slowest, cr.salt_slowest);
    const double salt_fastest = larger(cl.salt_fastest, cr.salt_fastest);
    const double susp_slowest = smaller(cl.susp_slowest, cr.susp_slowest);
    const double susp_fastest = larger(cl.susp_fastest, cr.susp_fastest);
    const HllWeights salt = hll_weights(salt_slowest, salt_fastest);
    const HllWeights susp = hll_weights(susp_slowest, susp_fastest);
    for (int j : kSaltMoved) out[j] = hll_flux(salt, fl[j], fr[j], ul[j], ur[j]);
    for (int j : kSuspMoved) out[j] = hll_flux(susp, fl[j], fr[j], ul[j], ur[j]);
    return larger(larger(magnitude(salt_slowest), magnitude(salt_fastest)),
                  larger(magnitude(susp_slowest), magnitude(susp_fastest)));
}

// Control volume of interior cell i, m.
inline double control_volume(const Grid& g, int i) {
    return 0.5 * (g.cell_length[i] + g.cell_length[i + 1]);
}

// The explicit part: face fluxes and source terms from U_prev into U for
// the interior. The edge cells have no flux and no signal speed: the
// upstream one is still air; the downstream one holds a copy of its
// neighbour, so that its face lets the flow leave where it runs forward
// and lets nothing in where it runs back. Returns the largest step the
// face speeds allow.
double advance_explicit(ModelState& s, double step) {
    const int first = s.window.first_active, last = s.window.last_active;
    const double* u2 = s.layers.u2.data();
    double allowed = step;
    double dn[kNumComponents] = {}, up[kNumComponents] = {};
    double speed_dn = face_fluxes(s, first, first + 1, dn);
    for (int i = first + 1; i < last - 1; ++i) {
        const double speed_up = face_fluxes(s, i, i + 1, up);
        const double volume = control_volume(s.grid, i);
        const double step_per_volume = step / volume;
        const double* prev = s.U_prev[i];
        const double* sink = s.sink[i];
        double* u = s.U[i];
        for (int j = 0; j < kNumComponents; ++j)
            u[j] = robust_update(prev[j], sink[j], dn[j], up[j], step_per_volume, step);
        u[kSaltDepth] =
            saltation_depth(u[kSaltLoad], u2[i], s.par.Max_Salt_Density, s.grid.cos_slope[i]);
        // Each depth and snow content stays a weighted mean of its own and
        // its neighbours' while no signal crosses the cell within the step.
        const double bound = volume / larger(speed_dn, speed_up);
        if (bound < allowed) allowed = bound;
        for (int j = 0; j < kNumComponents; ++j) dn[j] = up[j];
        speed_dn = speed_up;
    }
    return allowed;
}

// The implicit eddy diffusion of the suspension momentum (of itself) and
// snow volume (of c3 into c3 h3) over the interior, no diffusion through
// the window's edges. Each face takes the smaller of its two cells'
// diffusivities. Both tridiagonal systems are solved together by forward
// elimination and back substitution.
void diffuse_implicitly(ModelState& s, double step) {
    const int first = s.window.first_active + 1, last = s.window.last_active - 2;
    if (last < first) return;
    const double min_depth = s.par.Min_Susp_Height;
    const std::vector<double>& length = s.grid.cell_length;
    const auto depth_divisor = [min_depth](double h3) {
        return larger(larger(h3, min_depth), kLeastDivisorDepth);
    };
    const std::vector<RobustWork::Cell>& cells = s.robust.cells;
    const auto face_diffusivity = [&](int i, double RobustWork::Cell::*of) {
        return larger(smaller(cells[i].*of, cells[i + 1].*of), 0.0);
    };
    constexpr auto m = &RobustWork::Cell::momentum_diffusivity;
    constexpr auto c = &RobustWork::Cell::volume_diffusivity;
    double super_m = 0.0, right_m = 0.0, super_c = 0.0, right_c = 0.0;
    // Conductances (diffusivity over distance, m/s) of the face below the cell.
    double below_m = 0.0, below_c = 0.0;
    for (int i = first; i <= last; ++i) {
        const double above_m = i < last ? face_diffusivity(i, m) / length[i + 1] : 0.0;
        const double above_c = i < last ? face_diffusivity(i, c) / length[i + 1] : 0.0;
        const double w = step / control_volume(s.grid, i);
        const double dn_m = w * below_m, up_m = w * above_m;
        const double dn_c = w * below_c, up_c = w * above_c;
        double* u = s.U[i];
        const double pivot_m = 1.0 / (1.0 + dn_m + up_m + dn_m * super_m);
        const double pivot_c = 1.0 / (depth_divisor(u[kSuspDepth]) + dn_c + up_c + dn_c * super_c);
        super_m = -up_m * pivot_m;
        right_m = (u[kSuspMomentum] + dn_m * right_m) * pivot_m;
        super_c = -up_c * pivot_c;
        right_c = (u[kSuspVolume] + dn_c * right_c) * pivot_c;
        s.robust.eliminated[i] = {super_m, right_m, super_c, right_c};
        below_m = above_m;
        below_c = above_c;
    }
    double momentum = 0.0, concentration = 0.0;
    for (int i = last; i >= first; --i) {
        const RobustWork::Eliminated& e = s.robust.eliminated[i];
        momentum = e.right_m - e.super_m * momentum;
        concentration = e.right_c - e.super_c * concentration;
        double* u = s.U[i];
        u[kSuspMomentum] = momentum;
        u[kSuspVolume] = depth_divisor(u[kSuspDepth]) * concentration;
    }
}

}  // namespace

RobustCell robust_cell(const RunParameters& par, const RunConstants& k, const FormFactors& ff,
                       const FluxInputs& in) {
    return robust_cell_of<double>(par, k, ff, in);
}

void compute_robust_fluxes(ModelState& s) {
    // The window's edge cells have no signal speed and no diffusivity.
    for (int i : {s.window.first_active, 0, s.window.last_active - 1}) s.robust.cells[i] = {};
    if (s.window.wide_lanes)
        interior_robust_rows_wide(s);
    else
        interior_robust_rows<Pair>(s);
}

double robust_wave_speed(const ModelState& s) {
    return s.window.wide_lanes ? window_wave_speed_wide(s) : window_wave_speed<Pair>(s);
}

HllWeights hll_weights(double slowest, double fastest) {
    if (slowest >= 0.0) return {1.0, 0.0, 0.0};
    if (fastest <= 0.0) return {0.0, 1.0, 0.0};
    const double spread = 1.0 / (fastest - slowest);
    return {fastest * spread, -slowest * spread, slowest * fastest * spread};
}

double robust_update(double prev, double sink, double face_dn, double face_up,
                     double step_per_volume, double step) {
    const double moved = prev - step_per_volume * (face_up - face_dn);
    // The value the loss rate is taken relative to: the start value, or what
    // the faces left where that is larger and of the same sign.
    const double base = std::fabs(moved) > std::fabs(prev) && moved * prev >= 0.0 ? moved : prev;
    if (sink * base > 0.0) return moved / (1.0 + step * sink / base);
    return moved - step * sink;
}

double robust_outflow_rate(const ModelState& s) {
    const int last = s.window.last_active - 1;
    if (s.window.last_active != s.n_cells - 1 || last - 1 <= s.window.first_active) return 0.0;
    double face[kNumComponents] = {};
    face_fluxes(s, last - 1, last, face);
    return face[kSaltLoad] + face[kSuspVolume] * s.par.Particle_Density;
}

double advance_interior_robust(ModelState& s, double step) {
    const double allowed = advance_explicit(s, step);
    diffuse_implicitly(s, step);
    return allowed;
}

}  // namespace torla
