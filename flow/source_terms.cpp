// Source terms: erosion of the snow cover, exchange of snow between the
// layers, friction and gravity, as loss rates of the conserved components,
// under-relaxed against the rates of the previous call.
#include <type_traits>
#include <vector>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {

namespace {

constexpr double kKappaMax = 1.0;         // upper limit of the curvature ratio
constexpr double kKappaMin = -0.9;        // lower limit, keeps 1 + kappa >= 0.1
constexpr double kMinImpactMass = 1e-06;  // kg/m^2, floor of the erosion-cap divisor
constexpr double kLiftRate = 0.005;       // share of the load excess lifted per metre of lift
constexpr double kTopDrag = 0.01;         // quadratic drag coefficient at the layer top
constexpr double kEntrainment = 0.05;     // growth of the suspension depth per unit speed

// The source row of one cell (T = double) or of two neighbouring cells
// (T = Quad, four cells).
template <class T>
[[gnu::always_inline]] inline SourceRowOf<T> source_row_of(const RunParameters& par, double dt,
                                                           const SourceInputsOf<T>& in) {
    const auto& pc = par.profile;
    const double conc0 = pc.Conc_Prof_Coeff_0;
    const double conc1 = pc.Conc_Prof_Coeff_1;
    const double conc2 = pc.Conc_Prof_Coeff_2;
    const double velo1 = pc.Velo_Prof_Coeff_1;
    const double velo2 = pc.Velo_Prof_Coeff_2;
    const double air = par.Air_Density;
    const T u2 = in.u2, u3 = in.u3;
    SourceRowOf<T> r;

    // Centripetal share of the normal gravity on the saltating grains.
    const T G = u2 * u2 * in.curvature / in.g_normal;
    r.kappa = pick(G > kKappaMax, kKappaMax, G);
    r.kappa = pick(r.kappa < kKappaMin, kKappaMin, r.kappa);

    // Impact of saltating grains on the cover and the erosion it causes,
    // capped so that one step of length dt takes no more than the cover holds.
    // The square of the speed over the threshold speed serves the erosion
    // factor and the bed shear alike.
    const T speed_ratio =
        u2 * u2 / (par.Threshold_Factor * par.Threshold_Factor * (in.u_threshold * in.u_threshold));
    r.E = 0.25 * par.Beta_0 * in.rho2 * magnitude(u2) * root(1.0 + r.kappa);
    r.D = pick(r.E * dt > kMinImpactMass, r.E * dt, kMinImpactMass);
    r.X = in.h1 * in.rho1 / r.D;
    r.Y = par.Alpha * (speed_ratio - 1.0) / (1.0 + r.kappa);
    r.F = pick(r.Y <= r.X, r.Y, r.X);
    r.M_e = r.F * r.E;
    r.E_out = (1.0 + r.F) * r.E;

    // Settling out of and lifting into the suspension layer.
    r.rho_s0 = conc0 * in.c3 * par.Particle_Density;
    r.phi = smaller(in.h3 / par.Min_Susp_Height, 1.0);
    r.w_s = par.Settling_Velo * in.g_normal / par.Gravity;
    r.M_d = larger(r.w_s * r.phi, 0.0) * r.rho_s0;
    r.rho_x = larger(par.Beta_4 * in.rho2 - r.rho_s0, 0.0);
    r.w_l = larger(magnitude(par.Beta_3 * u2), magnitude(par.Gamma_1 * u3));
    r.M_s = kLiftRate * r.rho_x * r.w_l;
    r.M_n = r.M_s - r.M_d;

    // Shear at the bed of the saltation layer and at the top of the
    // suspension layer.
    const T e = pick(in.eps3 > par.Min_Susp_Dissip, in.eps3, par.Min_Susp_Dissip);
    r.nu_t = par.C_mu * (in.k3 * in.k3) / e;
    r.nu = par.Fluid_Viscosity + r.nu_t;
    r.rho_top = air + (in.rho3 - air) * (conc0 + conc1 + conc2);
    r.s = pick(magnitude(u2) >= par.Min_Salt_Velo, magnitude(u2), par.Min_Salt_Velo);
    const T ut2 = in.u_threshold * in.u_threshold;
    r.tau_b = air * ut2 * u2 / r.s * smaller(speed_ratio, 1.0);
    r.f_c = -0.25 * par.Beta_0 * (par.Beta_2 - par.Beta_1) * in.rho2 * par.Beta_3 * u2 *
            magnitude(par.Beta_3 * u2);
    r.H = pick(in.h3 > par.Min_Susp_Height, in.h3, par.Min_Susp_Height);
    r.tau_3 = root(r.rho_top * air) * r.nu * u3 * (2 * velo2 + velo1) / r.H -
              kTopDrag * in.rho3 * u3 * magnitude(u3);

    for (T& v : r.value) v = splat<T>(0.0);
    r.value[kCoverDepth] = r.M_e / in.rho1;
    r.value[kSaltMomentum] = -(par.Beta_1 * r.E_out - par.Beta_2 * r.E - par.Beta_3 * r.M_s) * u2 -
                             par.Gamma_1 * u3 * r.M_d - r.f_c + r.tau_b -
                             in.h2 * (in.rho2 - air) * in.g_tangent;
    r.value[kSaltLoad] = r.M_n - r.M_e;
    r.value[kSuspDepth] = -kEntrainment * magnitude(u3);
    r.value[kSuspMomentum] = -par.Beta_3 * u2 * r.M_s + par.Gamma_1 * u3 * r.M_d - r.tau_3 -
                             in.h3 * (in.rho3 - air) * in.g_tangent;
    r.value[kSuspVolume] = -r.M_n / par.Particle_Density;
    return r;
}

// The inputs of cell i, or of the cells from i on, one per lane.
template <class T>
[[gnu::always_inline]] inline SourceInputsOf<T> source_inputs(const ModelState& s, int i) {
    const Layers& l = s.layers;
    const Grid& g = s.grid;
    return {load<T>(&l.h1[i]),        load<T>(&l.rho1[i]),      load<T>(&l.h2[i]),
            load<T>(&l.u2[i]),        load<T>(&l.rho2[i]),      load<T>(&l.h3[i]),
            load<T>(&l.u3[i]),        load<T>(&l.c3[i]),        load<T>(&l.rho3[i]),
            load<T>(&l.k3[i]),        load<T>(&l.eps3[i]),      load<T>(&l.g_normal[i]),
            load<T>(&l.g_tangent[i]), load<T>(&g.curvature[i]), load<T>(&g.u_threshold[i])};
}

// The four sourced components from kSourced[1] on are consecutive: the
// four-lane writer relaxes them from one transposed block.
constexpr int kBlock = kSourced[1];
static_assert(kSourced[2] == kBlock + 1 && kSourced[3] == kBlock + 2 && kSourced[4] == kBlock + 3);

constexpr auto kUnsourced = unlisted(kSourced);

// Rows i + k (lane k) of sink: the sourced components relaxed against the
// previous rates, every other component 0.
template <class T>
[[gnu::always_inline]] inline void write_relaxed(ModelState& s, int i, const SourceRowOf<T>& r,
                                                 double beta) {
    [[maybe_unused]] QuadRows block;
    if constexpr (kWidth<T> == 4)
        block = transpose(r.value[kBlock], r.value[kBlock + 1], r.value[kBlock + 2],
                          r.value[kBlock + 3]);
    for (int k = 0; k < kWidth<T>; ++k) {
        double* row = s.sink[i + k];
        const double* prev = s.sink_prev[i + k];
        for_each_component<kSourced>([&](auto j) TORLA_INLINE_LAMBDA {
            if constexpr (kWidth<T> != 4 || j < kBlock || j > kBlock + 3)
                row[j] = (1 - beta) * prev[j] + beta * lane(r.value[j], k);
        });
        if constexpr (kWidth<T> == 4)
            store<Quad>(row + kBlock, (1 - beta) * load<Quad>(prev + kBlock) + beta * block.row[k]);
        for_each_component<kUnsourced>([&](auto j) TORLA_INLINE_LAMBDA { row[j] = 0.0; });
    }
}

// The relaxed rows of the interior, as many cells at a time as Cells has
// lanes, the remaining ones alone.
template <class Cells>
[[gnu::always_inline]] inline void interior_source_terms(ModelState& s, double dt, double beta) {
    const int end = s.window.last_active - 1;
    int i = s.window.first_active + 1;
    for (; i + kWidth<Cells> <= end; i += kWidth<Cells>)
        write_relaxed(s, i, source_row_of(s.par, dt, source_inputs<Cells>(s, i)), beta);
    for (; i < end; ++i)
        write_relaxed(s, i, source_row_of(s.par, dt, source_inputs<double>(s, i)), beta);
}

TORLA_WIDE void interior_source_terms_wide(ModelState& s, double dt, double beta) {
    interior_source_terms<Quad>(s, dt, beta);
}

void source_terms_weighted(ModelState& s, double dt, double beta) {
    if (s.window.wide_lanes)
        interior_source_terms_wide(s, dt, beta);
    else
        interior_source_terms<Pair>(s, dt, beta);
}

}  // namespace

SourceRow source_row(const RunParameters& par, double dt, const SourceInputs& in) {
    return source_row_of<double>(par, dt, in);
}

void compute_source_terms(ModelState& s, double dt) {
    source_terms_weighted(s, dt, s.par.Relaxation_Factor);
}

void compute_current_source_terms(ModelState& s, double dt) { source_terms_weighted(s, dt, 1.0); }

}  // namespace torla
