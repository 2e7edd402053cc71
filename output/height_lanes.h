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

// Some cells' saltation layer (depth and pressure) and the top of their
// suspension layer: h3 where h3 > 0, else -1, which no height reaches.
template <class V>
struct LaneLayers {
    V h2, p2, top3;
};

// Some cells' profiles (CellProfile, lane by lane).
template <class V>
struct LaneCells {
    V v0, v1, v2, d0, d1, d2, inverse_h3;
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

// inverse_depth, lane by lane.
template <class V>
[[gnu::always_inline]] inline V inverse_depth_lanes(V h3) {
    const V zero = splat_lanes<V>(0.0);
    return pick_lanes<V>(h3 > zero, 1.0 / h3, zero);
}

// cell_profile, lane by lane.
template <class V>
[[gnu::always_inline]] inline LaneCells<V> cell_profile_lanes(const LaneProfile<V>& p, V h3, V u3,
                                                              V c3) {
    const V r = p.rho_diff * c3;
    LaneCells<V> c;
    c.v0 = u3 * p.u0, c.v1 = u3 * p.u1, c.v2 = u3 * p.u2;
    c.d0 = (p.air_density + r * p.c0) * 0.0005, c.d1 = r * p.c1 * 0.0005, c.d2 = r * p.c2 * 0.0005;
    c.inverse_h3 = inverse_depth_lanes(h3);
    return c;
}

// The top of the suspension layer as LaneLayers keeps it.
template <class V>
[[gnu::always_inline]] inline V layer_top_lanes(V h3) {
    return pick_lanes<V>(h3 > splat_lanes<V>(0.0), h3, splat_lanes<V>(-1.0));
}

// pressure_at_height, lane by lane, at a height z of 0 or more. Salt false:
// at a height above the saltation layer of every lane (or where its depth
// is NaN), whose pressure there is 0.
template <class V, bool Salt>
[[gnu::always_inline]] inline V pressure_at_height_lanes(const LaneCells<V>& c,
                                                         const LaneLayers<V>& l, double z) {
    const V zero = splat_lanes<V>(0.0), height = splat_lanes<V>(z);
    const V salt = Salt ? pick_lanes<V>(height <= l.h2, l.p2, zero) : zero;
    const V zeta = height * c.inverse_h3;
    const V velocity = c.v0 + zeta * (c.v1 + zeta * c.v2);
    const V density = c.d0 + zeta * (c.d1 + zeta * c.d2);
    const V susp = pick_lanes<V>(height <= l.top3, density * velocity * velocity, zero);
    return pick_lanes<V>(salt > susp, salt, susp);
}

}  // namespace torla
