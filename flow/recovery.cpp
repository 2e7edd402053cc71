// Recovery of the layer variables from the conserved state of each cell.
#include <type_traits>

#include "flow/flow.h"
#include "flow/lanes.h"

namespace torla {

namespace {

// The layer variables of one cell (T = double) or of two neighbouring
// cells (T = Pair or Quad) from their conserved rows u[0 ... 9].
template <class T>
[[gnu::always_inline]] inline LayerVariablesOf<T> recover_of(const RunParameters& par,
                                                             const RunConstants& k, const T* u) {
    // Thin layers divide by their minimum depth; the depths themselves are
    // stored as they stand, even when zero or negative.
    const T g2 = pick(u[kSaltDepth] > par.Min_Salt_Height, u[kSaltDepth], par.Min_Salt_Height);
    const T g3 = pick(u[kSuspDepth] > par.Min_Susp_Height, u[kSuspDepth], par.Min_Susp_Height);
    LayerVariablesOf<T> v;
    v.c3 = u[kSuspVolume] / g3;
    const T rho = par.Air_Density + k.rho_diff * v.c3;
    const T mass = u[kSuspDepth] * rho;
    const T m = pick(mass > k.min_susp_mass, mass, k.min_susp_mass);
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

// Stores the variables of cell i (and the cells after it) into the layer arrays.
template <class T>
[[gnu::always_inline]] inline void store_layers(ModelState& s, int i,
                                                const LayerVariablesOf<T>& v) {
    const auto put = [i](std::vector<double>& a, const T& x) { store<T>(&a[i], x); };
    Layers& l = s.layers;
    put(l.h1, v.h1);
    put(l.rho1, v.rho1);
    put(l.h2, v.h2);
    put(l.u2, v.u2);
    put(l.rho2, v.rho2);
    put(l.h3, v.h3);
    put(l.u3, v.u3);
    put(l.c3, v.c3);
    put(l.rho3, v.rho3);
    put(l.k3, v.k3);
    put(l.eps3, v.eps3);
}

// The window, as many cells at a time as Cells has lanes (component j of
// the cells side by side), the remaining ones alone.
template <class Cells>
[[gnu::always_inline]] inline void recover_window(ModelState& s) {
    constexpr int kCells = kWidth<Cells>;
    const int end = s.window.last_active;
    int i = s.window.first_active;
    for (; i + kCells <= end; i += kCells) {
        Cells u[kNumComponents];
        for (int j = 0; j < kNumComponents; ++j) {
            double column[kCells];
            for (int k = 0; k < kCells; ++k) column[k] = s.U[i + k][j];
            u[j] = load<Cells>(column);
        }
        store_layers(s, i, recover_of<Cells>(s.par, s.constants, u));
    }
    for (; i < end; ++i) store_layers(s, i, recover_of<double>(s.par, s.constants, s.U[i]));
}

TORLA_WIDE void recover_window_wide(ModelState& s) { recover_window<Quad>(s); }

}  // namespace

LayerVariables recover_cell(const RunParameters& par, const RunConstants& k, const double* u) {
    return recover_of<double>(par, k, u);
}

void recover_layer_variables(ModelState& s) {
    if (s.window.wide_lanes)
        recover_window_wide(s);
    else
        recover_window<Pair>(s);
}

}  // namespace torla
