// Recovery of the layer variables from the conserved state of each cell.
#include "flow/flow.h"

namespace torla {

LayerVariables recover_cell(const RunParameters& par, double rho_diff, double min_susp_mass,
                            const double* u) {
    // Thin layers divide by their minimum depth; the depths themselves are
    // stored as they stand, even when zero or negative.
    const double g2 = u[kSaltDepth] > par.Min_Salt_Height ? u[kSaltDepth] : par.Min_Salt_Height;
    const double g3 = u[kSuspDepth] > par.Min_Susp_Height ? u[kSuspDepth] : par.Min_Susp_Height;
    LayerVariables v;
    v.c3 = u[kSuspVolume] / g3;
    const double rho = par.Air_Density + rho_diff * v.c3;
    const double mass = u[kSuspDepth] * rho;
    const double m = mass > min_susp_mass ? mass : min_susp_mass;
    v.h1 = u[kCoverDepth];
    v.rho1 = u[kCoverDensity];
    v.h2 = u[kSaltDepth];
    v.rho2 = u[kSaltLoad] / g2;
    v.u2 = u[kSaltMomentum] / (par.Air_Density * g2 + u[kSaltLoad]);
    v.h3 = u[kSuspDepth];
    v.u3 = u[kSuspMomentum] / m;
    v.rho3 = rho;
    v.k3 = u[kSuspEnergy] / m;
    v.eps3 = u[kSuspDissipation] / m;
    return v;
}

void recover_layer_variables(ModelState& s) {
    for (int i = s.first_active; i < s.last_active; ++i) {
        const LayerVariables v = recover_cell(s.par, s.rho_diff, s.min_susp_mass, s.U[i]);
        s.h1[i] = v.h1;
        s.rho1[i] = v.rho1;
        s.h2[i] = v.h2;
        s.u2[i] = v.u2;
        s.rho2[i] = v.rho2;
        s.h3[i] = v.h3;
        s.u3[i] = v.u3;
        s.c3[i] = v.c3;
        s.rho3[i] = v.rho3;
        s.k3[i] = v.k3;
        s.eps3[i] = v.eps3;
    }
}

}  // namespace torla
