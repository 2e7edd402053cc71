// The pressure over height of neighbouring cells at once, for the peaks
// over height of every pass: two cells in the registers of the baseline
// x86-64 instruction set (HeightPair), four in those of AVX2 (HeightQuad).
// Every lane is the one-cell formula of model/height_pressure.h
// (pressure_at_height) with the same IEEE operations in the same order, so
// a cell's pressure does not depend on whether it was computed alone or
// beside others (tests/output checks it lane by lane over a table of
// profiles and layers).
#pragma once

#include <cstring>

#include "model/height_pressure.h"

namespace torla {

#pragma GCC diagnostic ignored "-Wpsabi"
using HeightPair = double __attribute__((vector_size(2 * sizeof(double))));
using HeightQuad = double __attribute__((vector_size(4 * sizeof(double))));

template <class V>
using LaneMask = decltype(V{} < V{});
template <class V>
inline constexpr int kLanes = static_cast<int>(sizeof(V) / sizeof(double));

template <class V>
[[gnu::always_inline]] inline V load_lanes(const double* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
[[gnu::always_inline]] inline void store_lanes(double* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
template <class V>
[[gnu::always_inline]] inline V splat_lanes(double x) {
    V v = {};
    for (int k = 0; k < kLanes<V>; ++k) v[k] = x;
    return v;
}
template <class V>
[[gnu::always_inline]] inline V pick_lanes(LaneMask<V> c, V a, V b) {
    return c ? a : b;
}

// Some cells' depth-averaged values (units as CellLayers), and whether
// their suspension layer has a depth (h3 > 0).
template <class V>
struct LaneLayers {
    V h2, p2, h3, u3, c3;
    LaneMask<V> deep;
};

// A HeightProfile's coefficients in every lane, taken once for many cells.
template <class V>
struct LaneProfile {
    V u0, u1, u2, c0, c1, c2, air_density, rho_diff;
};
template <class V>
[[gnu::always_inline]] inline LaneProfile<V> lane_profile(const HeightProfile& p) {
    return {splat_lanes<V>(p.u0),          splat_lanes<V>(p.u1),      splat_lanes<V>(p.u2),
            splat_lanes<V>(p.c0),          splat_lanes<V>(p.c1),      splat_lanes<V>(p.c2),
            splat_lanes<V>(p.air_density), splat_lanes<V>(p.rho_diff)};
}

// pressure_at_height, lane by lane, at a height z of 0 or more;
// inverse_h3 as inverse_depth gives it.
template <class V>
[[gnu::always_inline]] inline V pressure_at_height_lanes(const LaneProfile<V>& p,
                                                         const LaneLayers<V>& l, double z,
                                                         V inverse_h3) {
    const V zero = splat_lanes<V>(0.0), height = splat_lanes<V>(z);
    const V salt = pick_lanes<V>(height <= l.h2, l.p2, zero);
    const V zeta = height * inverse_h3;
    const V U = p.u0 + zeta * (p.u1 + zeta * p.u2);
    const V C = p.c0 + zeta * (p.c1 + zeta * p.c2);
    const V velocity = l.u3 * U;
    const V profile = (p.air_density + p.rho_diff * l.c3 * C) * velocity * velocity * 0.0005;
    const V susp = pick_lanes<V>((height <= l.h3) & l.deep, profile, zero);
    return pick_lanes<V>(salt > susp, salt, susp);
}

// inverse_depth, lane by lane.
template <class V>
[[gnu::always_inline]] inline V inverse_depth_lanes(V h3) {
    const V zero = splat_lanes<V>(0.0);
    return pick_lanes<V>(h3 > zero, 1.0 / h3, zero);
}

}  // namespace torla
