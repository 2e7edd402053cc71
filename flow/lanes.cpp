// Which versions of the flow loops run: the AVX2 ones where the processor
// has AVX2, unless the baseline ones are asked for.
#include "flow/lanes.h"

namespace torla {

namespace {

bool processor_has_avx2() {
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool& wide_choice() {
    static bool wide = kWideBuilt && processor_has_avx2();
    return wide;
}

}  // namespace

bool wide_lanes() { return wide_choice(); }

void use_wide_lanes(bool wide) { wide_choice() = wide && kWideBuilt && processor_has_avx2(); }

}  // namespace torla
