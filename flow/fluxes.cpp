// Flux evaluation: advective and diffusive fluxes of the saltation and
// suspension layers, evaluated at each interior cell of the active window.
#include <cmath>

#include "flow/flow.h"

namespace torla {

namespace {

constexpr double kTwoThirds = 2.0 / 3.0;  // turbulent pressure 2/3 rho3 k3

// The suspension layer enters the track from still air: no suspended snow,
// no motion and no turbulence at the upstream end of the window.
void set_ambient_suspension(ModelState& s, int i) {
    s.c3[i] = 0.0;
    s.rho3[i] = s.par.Air_Density;
    s.u3[i] = 0.0;
    s.k3[i] = 0.0;
    s.eps3[i] = 0.0;
}

void zero_row(Matrix& m, int i) {
    double* row = m[i];
    for (int j = 0; j < kNumComponents; ++j) row[j] = 0.0;
}

}  // namespace

SuspensionGradients suspension_gradients(const ModelState& s, int i) {
    // The neighbour on the side the layer comes from; a layer at rest looks
    // forward.
    int a, b;
    double L;
    if (s.u3[i] > 0) {
        a = i - 1;
        b = i;
        L = s.cell_length[i];
    } else {
        a = i;
        b = i + 1;
        L = s.cell_length[i + 1];
    }
    SuspensionGradients g;
    g.Gc = (s.c3[b] - s.c3[a]) / L;
    g.Gm = (s.rho3[b] * s.u3[b] * s.h3[b] - s.rho3[a] * s.u3[a] * s.h3[a]) / L;
    return g;
}

FluxRow flux_row(const RunParameters& par, double rho_diff, const FormFactors& ff,
                 const FluxInputs& in, const SuspensionGradients& g) {
    FluxRow f;
    f.lambda = par.Air_Density / in.rho3;
    const double eps = in.eps3 > par.Min_Susp_Dissip ? in.eps3 : par.Min_Susp_Dissip;
    f.nu_t = par.C_mu * in.k3 * in.k3 / eps;
    f.nu = par.Fluid_Viscosity + f.nu_t;
    f.P = rho_diff * in.c3 * in.h3 * in.g_normal;
    f.ws = par.Settling_Velo * in.g_tangent / par.Gravity;

    for (int j = 0; j < kNumComponents; ++j) f.adv[j] = f.diff[j] = 0.0;
    const double lambda = f.lambda;
    // Saltation layer: momentum with hydrostatic and particle pressure, load, no diffusion.
    f.adv[kSaltMomentum] = in.h2 * (par.Air_Density + in.rho2) * (in.u2 * in.u2) +
                           in.h2 * (0.5 * in.rho2 * in.g_normal + f.P);
    f.adv[kSaltLoad] = in.h2 * in.rho2 * in.u2;
    // Suspension layer: the profile factors are weighted by the air and snow
    // shares of the bulk density.
    f.adv[kSuspDepth] = in.h3 * in.u3;
    f.adv[kSuspMomentum] =
        in.h3 * in.rho3 * (in.u3 * in.u3) * ((1 - lambda) * ff.S_CUU + lambda * ff.T_UU) +
        f.P * in.h3 * ff.S_CZ + kTwoThirds * in.rho3 * in.k3 * in.h3;
    f.diff[kSuspMomentum] =
        -2 * f.nu * g.Gm * ((1 - lambda) * ff.S_CUKK_E + lambda * ff.T_UKK_E);
    f.adv[kSuspVolume] = ff.S_CU * in.h3 * in.c3 * in.u3 + f.ws * lambda * in.c3;
    f.diff[kSuspVolume] = -(f.nu_t / par.Sigma_c) * lambda * g.Gc;
    return f;
}

void compute_fluxes(ModelState& s) {
    zero_row(s.flux_adv, s.first_active);
    zero_row(s.flux_adv, 0);
    zero_row(s.flux_diff, s.first_active);
    zero_row(s.flux_diff, 0);
    zero_row(s.flux_adv, s.last_active - 1);
    zero_row(s.flux_diff, s.last_active - 1);
    set_ambient_suspension(s, s.first_active);
    set_ambient_suspension(s, 0);

    for (int i = s.first_active + 1; i < s.last_active - 1; ++i) {
        const FluxInputs in{s.h2[i],  s.u2[i], s.rho2[i], s.h3[i],       s.u3[i],       s.c3[i],
                            s.rho3[i], s.k3[i], s.eps3[i], s.g_normal[i], s.g_tangent[i]};
        const FluxRow f = flux_row(s.par, s.rho_diff, s.ff, in, suspension_gradients(s, i));
        double* adv = s.flux_adv[i];
        double* diff = s.flux_diff[i];
        for (int j = 0; j < kNumComponents; ++j) {
            adv[j] = f.adv[j];
            diff[j] = f.diff[j];
        }
    }
}

}  // namespace torla
