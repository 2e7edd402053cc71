// Flux evaluation: advective and diffusive fluxes of the saltation and
// suspension layers, evaluated at each interior cell of the active window.
#include <type_traits>
#include <vector>

#include "flow/flow.h"
#include "flow/flux_row.h"
#include "flow/lanes.h"

namespace torla {

namespace {

using flux_detail::at;
using flux_detail::flux_inputs;
using flux_detail::flux_row_of;

// Suspension-layer momentum rho3 u3 h3 at cell k (and those after it). A
// function of its own, always inlined, so that the wide vectors never cross
// a call between code built for different instruction sets.
template <class T>
[[gnu::always_inline]] inline T momentum_at(const Layers& l, int k) {
    return at<T>(l.rho3, k) * at<T>(l.u3, k) * at<T>(l.h3, k);
}

// Upwind gradients of the suspension layer at cell i (and those after it). The
// neighbour on the side the layer comes from; a layer at rest looks
// forward. Both candidate pairs are read and the upwind one picked before
// the differences are formed.
template <class T>
[[gnu::always_inline]] inline SuspensionGradientsOf<T> gradients_of(const ModelState& s, int i) {
    const Layers& l = s.layers;
    const std::vector<double>& length = s.grid.cell_length;
    const auto from_behind = at<T>(l.u3, i) > 0.0;
    const T L = pick(from_behind, at<T>(length, i), at<T>(length, i + 1));
    const T c_a = pick(from_behind, at<T>(l.c3, i - 1), at<T>(l.c3, i));
    const T c_b = pick(from_behind, at<T>(l.c3, i), at<T>(l.c3, i + 1));
    const T m_a = pick(from_behind, momentum_at<T>(l, i - 1), momentum_at<T>(l, i));
    const T m_b = pick(from_behind, momentum_at<T>(l, i), momentum_at<T>(l, i + 1));
    SuspensionGradientsOf<T> g;
    g.Gc = (c_b - c_a) / L;
    g.Gm = (m_b - m_a) / L;
    return g;
}

// The first four advected components are consecutive: the four-lane writer
// takes them from one transposed block.
constexpr int kBlock = kAdvected[0];
static_assert(kAdvected[1] == kBlock + 1 && kAdvected[2] == kBlock + 2 &&
              kAdvected[3] == kBlock + 3);

constexpr auto kStill = unlisted(kAdvected);
constexpr auto kUndiffused = unlisted(kDiffused);

// Rows i + k (lane k) of both flux matrices; the components outside the
// lists of advected and diffused ones are written as 0.
template <class T>
[[gnu::always_inline]] inline void write_flux_rows(ModelState& s, int i, const FluxRowOf<T>& f) {
    [[maybe_unused]] QuadRows block;
    if constexpr (kWidth<T> == 4)
        block = transpose(f.adv[kBlock], f.adv[kBlock + 1], f.adv[kBlock + 2], f.adv[kBlock + 3]);
    for (int k = 0; k < kWidth<T>; ++k) {
        double* adv = s.flux_adv[i + k];
        double* diff = s.flux_diff[i + k];
        for_each_component<kAdvected>([&](auto j) TORLA_INLINE_LAMBDA {
            if constexpr (kWidth<T> != 4 || j < kBlock || j > kBlock + 3)
                adv[j] = lane(f.adv[j], k);
        });
        if constexpr (kWidth<T> == 4) store<Quad>(adv + kBlock, block.row[k]);
        for_each_component<kStill>([&](auto j) TORLA_INLINE_LAMBDA { adv[j] = 0.0; });
        for_each_component<kDiffused>([&](auto j)
                                          TORLA_INLINE_LAMBDA { diff[j] = lane(f.diff[j], k); });
        for_each_component<kUndiffused>([&](auto j) TORLA_INLINE_LAMBDA { diff[j] = 0.0; });
    }
}

// The flux rows of the interior, as many cells at a time as Cells has
// lanes, the remaining ones alone.
template <class Cells>
[[gnu::always_inline]] inline void interior_fluxes(ModelState& s) {
    const int end = s.window.last_active - 1;
    int i = s.window.first_active + 1;
    for (; i + kWidth<Cells> <= end; i += kWidth<Cells>)
        write_flux_rows(s, i,
                        flux_row_of(s.par, s.constants, s.ff, flux_inputs<Cells>(s, i),
                                    gradients_of<Cells>(s, i)));
    for (; i < end; ++i)
        write_flux_rows(s, i,
                        flux_row_of(s.par, s.constants, s.ff, flux_inputs<double>(s, i),
                                    gradients_of<double>(s, i)));
}

TORLA_WIDE void interior_fluxes_wide(ModelState& s) { interior_fluxes<Quad>(s); }

}  // namespace

SuspensionGradients suspension_gradients(const ModelState& s, int i) {
    return gradients_of<double>(s, i);
}

FluxRow flux_row(const RunParameters& par, const RunConstants& k, const FormFactors& ff,
                 const FluxInputs& in, const SuspensionGradients& g) {
    return flux_row_of<double>(par, k, ff, in, g);
}

void compute_fluxes(ModelState& s) {
    if (s.window.wide_lanes)
        interior_fluxes_wide(s);
    else
        interior_fluxes<Pair>(s);
}

}  // namespace torla
