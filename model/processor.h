// What the processor runs: the loops that have versions for four cells side
// by side (flow/lanes.h, output/height_lanes.h) build them, marked for AVX2,
// only with GCC on x86-64; they run where the processor has AVX2.
#pragma once

namespace torla {

// True when the AVX2 versions were built and this processor runs them.
inline bool processor_runs_wide_lanes() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

}  // namespace torla
