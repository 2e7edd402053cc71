// The flux row of a cell, over a number type T (flow/lanes.h): the one
// statement of the advective and diffusive fluxes, shared by the passes
// that fill the flux matrices. Internal to flow/.
#pragma once

#include <vector>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {
namespace flux_detail {

constexpr double kTwoThirds = 2.0 / 3.0;  // turbulent pressure 2/3 rho3 k3

// Values of a per-cell array at cell i (T = double) or the cells from i on.
template <class T>
[[gnu::always_inline]] inline T at(const std::vector<double>& a, int i) {
    return load<T>(&a[i]);
}

template <class T>
[[gnu::always_inline]] inline FluxRowOf<T> flux_row_of(const RunParameters& par,
                                                       const RunConstants& k, const FormFactors& ff,
                                                       const FluxInputsOf<T>& in,
                                                       const SuspensionGradientsOf<T>& g) {
    FluxRowOf<T> f;
    f.lambda = par.Air_Density / in.rho3;
    const T eps = pick(in.eps3 > par.Min_Susp_Dissip, in.eps3, par.Min_Susp_Dissip);
    f.nu_t = par.C_mu * in.k3 * in.k3 / eps;
    f.nu = par.Fluid_Viscosity + f.nu_t;
    f.P = k.rho_diff * in.c3 * in.h3 * in.g_normal;
    f.ws = par.Settling_Velo * in.g_tangent / par.Gravity;

    for (int j = 0; j < kNumComponents; ++j) f.adv[j] = f.diff[j] = splat<T>(0.0);
    const T lambda = f.lambda;
    // Saltation layer: momentum with hydrostatic and particle pressure, load, no diffusion.
    f.adv[kSaltMomentum] = in.h2 * (par.Air_Density + in.rho2) * (in.u2 * in.u2) +
                           in.h2 * (0.5 * in.rho2 * in.g_normal + f.P);
    f.adv[kSaltLoad] = in.h2 * in.rho2 * in.u2;
    // Suspension layer: the profile factors are weighted by the air and snow
    // shares of the bulk density.
    f.adv[kSuspDepth] = in.h3 * in.u3;
    f.adv[kSuspMomentum] =
        in.h3 * in.rho3 * (in.u3 * in.u3) * ((1.0 - lambda) * ff.S_CUU + lambda * ff.T_UU) +
        f.P * in.h3 * ff.S_CZ + kTwoThirds * in.rho3 * in.k3 * in.h3;
    f.diff[kSuspMomentum] =
        -2.0 * f.nu * g.Gm * ((1.0 - lambda) * ff.S_CUKK_E + lambda * ff.T_UKK_E);
    f.adv[kSuspVolume] = ff.S_CU * in.h3 * in.c3 * in.u3 + f.ws * lambda * in.c3;
    f.diff[kSuspVolume] = -(f.nu_t / par.Sigma_c) * lambda * g.Gc;
    return f;
}

template <class T>
[[gnu::always_inline]] inline FluxInputsOf<T> flux_inputs(const ModelState& s, int i) {
    const Layers& l = s.layers;
    return {at<T>(l.h2, i),   at<T>(l.u2, i),       at<T>(l.rho2, i),     at<T>(l.h3, i),
            at<T>(l.u3, i),   at<T>(l.c3, i),       at<T>(l.rho3, i),     at<T>(l.k3, i),
            at<T>(l.eps3, i), at<T>(l.g_normal, i), at<T>(l.g_tangent, i)};
}

}  // namespace flux_detail
}  // namespace torla
