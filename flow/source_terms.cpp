// Source terms: erosion of the snow cover, exchange of snow between the
// layers, friction and gravity, as loss rates of the conserved components,
// under-relaxed against the rates of the previous call.
#include <algorithm>
#include <cmath>

#include "flow/flow.h"

namespace torla {

namespace {

constexpr double kKappaMax = 1.0;         // upper limit of the curvature ratio
constexpr double kKappaMin = -0.9;        // lower limit, keeps 1 + kappa >= 0.1
constexpr double kMinImpactMass = 1e-06;  // kg/m^2, floor of the erosion-cap divisor
constexpr double kLiftRate = 0.005;       // share of the load excess lifted per metre of lift
constexpr double kTopDrag = 0.01;         // quadratic drag coefficient at the layer top
constexpr double kEntrainment = 0.05;     // growth of the suspension depth per unit speed

void zero_row(Matrix& m, int i) {
    double* row = m[i];
    for (int j = 0; j < kNumComponents; ++j) row[j] = 0.0;
}

void set_ambient_suspension(ModelState& s, int i) {
    s.c3[i] = 0.0;
    s.rho3[i] = s.par.Air_Density;
    s.u3[i] = 0.0;
    s.k3[i] = 0.0;
    s.eps3[i] = 0.0;
}

}  // namespace

SourceRow source_row(const RunParameters& par, double dt, const SourceInputs& in) {
    const auto& pc = par.profile;
    const double conc0 = pc.Conc_Prof_Coeff_0;
    const double conc1 = pc.Conc_Prof_Coeff_1;
    const double conc2 = pc.Conc_Prof_Coeff_2;
    const double velo1 = pc.Velo_Prof_Coeff_1;
    const double velo2 = pc.Velo_Prof_Coeff_2;
    const double air = par.Air_Density;
    const double u2 = in.u2, u3 = in.u3;
    SourceRow r;

    // Centripetal share of the normal gravity on the saltating grains.
    const double G = u2 * u2 * in.curvature / in.g_normal;
    r.kappa = G > kKappaMax ? kKappaMax : G;
    if (r.kappa < kKappaMin) r.kappa = kKappaMin;

    // Impact of saltating grains on the cover and the erosion it causes,
    // capped so that one step of length dt takes no more than the cover holds.
    r.E = 0.25 * par.Beta_0 * in.rho2 * std::fabs(u2) * std::sqrt(1 + r.kappa);
    r.D = r.E * dt > kMinImpactMass ? r.E * dt : kMinImpactMass;
    r.X = in.h1 * in.rho1 / r.D;
    r.Y = par.Alpha *
          (u2 * u2 / (par.Threshold_Factor * par.Threshold_Factor * (in.u_threshold * in.u_threshold)) -
           1) /
          (1 + r.kappa);
    r.F = r.Y <= r.X ? r.Y : r.X;
    r.M_e = r.F * r.E;
    r.E_out = (1 + r.F) * r.E;

    // Settling out of and lifting into the suspension layer.
    r.rho_s0 = conc0 * in.c3 * par.Particle_Density;
    r.phi = std::min(in.h3 / par.Min_Susp_Height, 1.0);
    r.w_s = par.Settling_Velo * in.g_normal / par.Gravity;
    r.M_d = std::max(r.w_s * r.phi, 0.0) * r.rho_s0;
    r.rho_x = std::max(par.Beta_4 * in.rho2 - r.rho_s0, 0.0);
    r.w_l = std::max(std::fabs(par.Beta_3 * u2), std::fabs(par.Gamma_1 * u3));
    r.M_s = kLiftRate * r.rho_x * r.w_l;
    r.M_n = r.M_s - r.M_d;

    // Shear at the bed of the saltation layer and at the top of the
    // suspension layer.
    const double e = in.eps3 > par.Min_Susp_Dissip ? in.eps3 : par.Min_Susp_Dissip;
    r.nu_t = par.C_mu * (in.k3 * in.k3) / e;
    r.nu = par.Fluid_Viscosity + r.nu_t;
    r.rho_top = air + (in.rho3 - air) * (conc0 + conc1 + conc2);
    r.s = std::fabs(u2) >= par.Min_Salt_Velo ? std::fabs(u2) : par.Min_Salt_Velo;
    const double ut2 = in.u_threshold * in.u_threshold;
    r.tau_b = air * ut2 * u2 / r.s *
              std::min(u2 * u2 / (ut2 * (par.Threshold_Factor * par.Threshold_Factor)), 1.0);
    r.f_c = -0.25 * par.Beta_0 * (par.Beta_2 - par.Beta_1) * in.rho2 * par.Beta_3 * u2 *
            std::fabs(par.Beta_3 * u2);
    r.H = in.h3 > par.Min_Susp_Height ? in.h3 : par.Min_Susp_Height;
    r.tau_3 = std::sqrt(r.rho_top * air) * r.nu * u3 * (2 * velo2 + velo1) / r.H -
              kTopDrag * in.rho3 * u3 * std::fabs(u3);

    for (double& v : r.value) v = 0.0;
    r.value[kCoverDepth] = r.M_e / in.rho1;
    r.value[kSaltMomentum] = -(par.Beta_1 * r.E_out - par.Beta_2 * r.E - par.Beta_3 * r.M_s) * u2 -
                             par.Gamma_1 * u3 * r.M_d - r.f_c + r.tau_b -
                             in.h2 * (in.rho2 - air) * in.g_tangent;
    r.value[kSaltLoad] = r.M_n - r.M_e;
    r.value[kSuspDepth] = -kEntrainment * std::fabs(u3);
    r.value[kSuspMomentum] = -par.Beta_3 * u2 * r.M_s + par.Gamma_1 * u3 * r.M_d - r.tau_3 -
                             in.h3 * (in.rho3 - air) * in.g_tangent;
    r.value[kSuspVolume] = -r.M_n / par.Particle_Density;
    return r;
}

void compute_source_terms(ModelState& s) {
    zero_row(s.sink, s.last_active - 1);
    zero_row(s.sink, s.first_active);
    zero_row(s.sink, 0);
    set_ambient_suspension(s, 0);
    set_ambient_suspension(s, s.first_active);

    const double beta = s.par.Relaxation_Factor;
    for (int i = s.first_active + 1; i < s.last_active - 1; ++i) {
        const SourceInputs in{s.h1[i],   s.rho1[i],     s.h2[i],        s.u2[i],       s.rho2[i],
                              s.h3[i],   s.u3[i],       s.c3[i],        s.rho3[i],     s.k3[i],
                              s.eps3[i], s.g_normal[i], s.g_tangent[i], s.curvature[i],
                              s.u_threshold[i]};
        const SourceRow r = source_row(s.par, s.dt, in);
        double* row = s.sink[i];
        const double* prev = s.sink_prev[i];
        for (int j : {kCoverDepth, kSaltMomentum, kSaltLoad, kSuspDepth, kSuspMomentum, kSuspVolume})
            row[j] = (1 - beta) * prev[j] + beta * r.value[j];
        row[kCoverDensity] = row[kSaltDepth] = row[kSuspEnergy] = row[kSuspDissipation] = 0.0;
    }
}

}  // namespace torla
