// Two values side by side. The per-cell formulas of the flow model are
// written once over a number type T: double for one cell, Lanes for two
// neighbouring cells (or two components of one cell) at once. Every
// operation acts on each lane exactly as it acts on a double (the same
// IEEE operation, in the same order), so a cell's values never depend on
// whether it was computed alone or beside another; the pairs only let the
// processor divide and take roots two at a time.
#pragma once

#include <cmath>
#include <cstring>

namespace torla {

using Lanes = double __attribute__((vector_size(16)));
using LaneMask = decltype(Lanes{} < Lanes{});  // result of comparing Lanes, lane by lane

// The value x in every lane of T.
template <class T>
inline T splat(double x);
template <>
inline double splat<double>(double x) {
    return x;
}
template <>
inline Lanes splat<Lanes>(double x) {
    return Lanes{x, x};
}

// c ? a : b, lane by lane.
inline double pick(bool c, double a, double b) { return c ? a : b; }
inline Lanes pick(LaneMask c, Lanes a, Lanes b) { return c ? a : b; }
inline Lanes pick(LaneMask c, double a, Lanes b) { return c ? splat<Lanes>(a) : b; }
inline Lanes pick(LaneMask c, Lanes a, double b) { return c ? a : splat<Lanes>(b); }

// std::min and std::max: the first argument unless the other is strictly
// smaller (larger).
template <class T, class U>
inline T smaller(T a, U b) {
    return pick(b < a, b, a);
}
template <class T, class U>
inline T larger(T a, U b) {
    return pick(a < b, b, a);
}

// std::fabs: the sign bit cleared, -0.0 and NaN included.
inline double magnitude(double x) { return std::fabs(x); }
inline Lanes magnitude(Lanes x) {
    LaneMask bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits &= LaneMask{0x7fffffffffffffff, 0x7fffffffffffffff};
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// std::sqrt, correctly rounded in every lane.
inline double root(double x) { return std::sqrt(x); }
inline Lanes root(Lanes x) {
#if defined(__SSE2__)
    return __builtin_ia32_sqrtpd(x);
#else
    return Lanes{std::sqrt(x[0]), std::sqrt(x[1])};
#endif
}

// Two consecutive doubles from memory, and back.
inline Lanes load_lanes(const double* p) {
    Lanes v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_lanes(double* p, Lanes v) { std::memcpy(p, &v, sizeof v); }

// Lane k of a value (a double has one lane).
inline double lane(double x, int) { return x; }
inline double lane(Lanes x, int k) { return x[k]; }

}  // namespace torla
