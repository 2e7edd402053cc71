// Forced into every source of the fuzz build (clang): the one GCC vector
// builtin the flow model uses that clang lacks, __builtin_shuffle with two
// source vectors and a mask vector, written out lane by lane. The result
// is the same data movement, so the flow arithmetic is unchanged.
#pragma once

#if defined(__clang__) && defined(__cplusplus)
template <class V, class M>
inline V __builtin_shuffle(V a, V b, M mask) {
    constexpr int n = static_cast<int>(sizeof(V) / sizeof(a[0]));
    V r = a;
    for (int k = 0; k < n; ++k) {
        const int i = static_cast<int>(mask[k]);
        r[k] = i < n ? a[i] : b[i - n];
    }
    return r;
}
#endif
