// Values side by side. The per-cell formulas of the flow model are written
// once over a number type T: double for one cell, Pair or Quad for two or
// four neighbouring cells at once (or neighbouring components of a cell).
// Every operation acts on each lane exactly as it acts on a double (the
// same IEEE operation, in the same order), so a cell's values never depend
// on whether it was computed alone or beside others; the lanes only let the
// processor divide and take roots several at a time.
#pragma once

#include <cmath>
#include <cstring>
#include <type_traits>

#include "model/processor.h"

namespace torla {

// Pairs fill the registers of the baseline x86-64 instruction set (SSE2);
// Quads those of AVX2. The loops that gain from Quads are built twice, for
// the baseline with Pairs and, marked TORLA_WIDE, for AVX2 with Quads, and
// the state's window.wide_lanes says which to run. Both give the same numbers: the same
// IEEE operations on every lane (no fused multiply-add: AVX2 alone does
// not enable it, and -ffp-contract=off rules it out anyway). Quads never
// cross a translation unit, so the ABI warning about passing them between
// differently built units does not concern us.
#pragma GCC diagnostic ignored "-Wpsabi"
using Pair = double __attribute__((vector_size(2 * sizeof(double))));
using Quad = double __attribute__((vector_size(4 * sizeof(double))));

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TORLA_WIDE __attribute__((target("avx2")))
#else
#define TORLA_WIDE
#endif

struct Window;
// Chooses the versions a state's passes run: wide only where the processor
// runs them (for comparing the two); returns the choice taken.
bool use_wide_lanes(Window& w, bool wide);

// Number of lanes of T (1 for double).
template <class T>
inline constexpr int kWidth = static_cast<int>(sizeof(T) / sizeof(double));

// The value x in every lane of T.
template <class T>
[[gnu::always_inline]] inline T splat(double x) {
    if constexpr (std::is_same_v<T, double>) {
        return x;
    } else {
        T v = {};
        for (int k = 0; k < kWidth<T>; ++k) v[k] = x;
        return v;
    }
}

// x as a value of T: itself, or a double in every lane.
template <class T, class X>
[[gnu::always_inline]] inline T as(X x) {
    if constexpr (std::is_same_v<X, double>)
        return splat<T>(x);
    else
        return x;
}

// c ? a : b, lane by lane. c is a bool for doubles, the result of a
// comparison for lanes (then a or b may be a double, taken in every lane).
template <class C, class A, class B>
[[gnu::always_inline]] inline auto pick(C c, A a, B b) {
    if constexpr (std::is_same_v<C, bool>) {
        return c ? a : b;
    } else {
        using T = std::conditional_t<std::is_same_v<A, double>, B, A>;
        return c ? as<T>(a) : as<T>(b);
    }
}

// std::min and std::max: the first argument unless the other is strictly
// smaller (larger).
template <class T, class U>
[[gnu::always_inline]] inline T smaller(T a, U b) {
    return pick(b < a, b, a);
}
template <class T, class U>
[[gnu::always_inline]] inline T larger(T a, U b) {
    return pick(a < b, b, a);
}

// std::fabs: the sign bit cleared, -0.0 and NaN included.
template <class T>
[[gnu::always_inline]] inline T magnitude(T x) {
    if constexpr (std::is_same_v<T, double>) {
        return std::fabs(x);
    } else {
        using Bits = decltype(x < x);
        Bits bits;
        std::memcpy(&bits, &x, sizeof bits);
        Bits keep = {};
        for (int k = 0; k < kWidth<T>; ++k) keep[k] = 0x7fffffffffffffff;
        bits &= keep;
        std::memcpy(&x, &bits, sizeof x);
        return x;
    }
}

// std::sqrt, correctly rounded in every lane.
template <class T>
[[gnu::always_inline]] inline T root(T x) {
    if constexpr (std::is_same_v<T, double>) {
        return std::sqrt(x);
    } else {
#if defined(__SSE2__)
        if constexpr (kWidth<T> == 2) return __builtin_ia32_sqrtpd(x);
        if constexpr (kWidth<T> == 4) {
            const Pair lo = __builtin_ia32_sqrtpd(Pair{x[0], x[1]});
            const Pair hi = __builtin_ia32_sqrtpd(Pair{x[2], x[3]});
            return T{lo[0], lo[1], hi[0], hi[1]};
        }
#endif
        for (int k = 0; k < kWidth<T>; ++k) x[k] = std::sqrt(x[k]);
        return x;
    }
}

// Consecutive doubles from memory, and back.
template <class T>
[[gnu::always_inline]] inline T load(const double* p) {
    if constexpr (std::is_same_v<T, double>) {
        return *p;
    } else {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
}
template <class T>
[[gnu::always_inline]] inline void store(double* p, T v) {
    if constexpr (std::is_same_v<T, double>)
        *p = v;
    else
        std::memcpy(p, &v, sizeof v);
}

// Four Quads as the columns of a 4 x 4 block, returned as its rows:
// row k holds lane k of a, b, c and d.
struct QuadRows {
    Quad row[4];
};
[[gnu::always_inline]] inline QuadRows transpose(Quad a, Quad b, Quad c, Quad d) {
    using Index = decltype(a < a);
    const Quad ab_lo = __builtin_shuffle(a, b, Index{0, 4, 1, 5});
    const Quad ab_hi = __builtin_shuffle(a, b, Index{2, 6, 3, 7});
    const Quad cd_lo = __builtin_shuffle(c, d, Index{0, 4, 1, 5});
    const Quad cd_hi = __builtin_shuffle(c, d, Index{2, 6, 3, 7});
    return {{__builtin_shuffle(ab_lo, cd_lo, Index{0, 1, 4, 5}),
             __builtin_shuffle(ab_lo, cd_lo, Index{2, 3, 6, 7}),
             __builtin_shuffle(ab_hi, cd_hi, Index{0, 1, 4, 5}),
             __builtin_shuffle(ab_hi, cd_hi, Index{2, 3, 6, 7})}};
}

// Lane k of a value (a double has one lane).
template <class T>
[[gnu::always_inline]] inline double lane(T x, int k) {
    if constexpr (std::is_same_v<T, double>) {
        (void)k;
        return x;
    } else {
        return x[k];
    }
}

}  // namespace torla
