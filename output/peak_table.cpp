// The peak-value table: per cell the largest value of twelve flow
// quantities over the run, with the three layer depths at that moment.
#include "output/output.h"

namespace torla {

void update_peaks(ModelState& s) {
    const int n = s.n_cells;
    const double air = s.par.Air_Density;
    for (int i = s.first_active; i < s.last_active; ++i) {
        const double salt_density = air + s.rho2[i];
        const double value[kPeakQuantities] = {
            s.h1[i],
            s.rho1[i],
            s.h2[i],
            s.u2[i],
            salt_density,
            s.u2[i] * s.u2[i] * salt_density / 1000,  // kPa
            s.h3[i],
            s.u3[i],
            s.c3[i],
            s.k3[i],
            s.eps3[i],
            s.u3[i] * s.u3[i] * s.rho3[i] / 2000,  // kPa, half the dynamic pressure
        };
        for (int q = 0; q < kPeakQuantities; ++q) {
            float* entry = &s.peak_table[static_cast<std::size_t>(q * n + i) * kPeakEntryFloats];
            // Compared against the stored single-precision value, so a value
            // that rounds to it but exceeds it still refreshes the depths.
            if (static_cast<double>(entry[0]) < value[q]) {
                entry[0] = static_cast<float>(value[q]);
                entry[1] = static_cast<float>(s.h1[i]);
                entry[2] = static_cast<float>(s.h2[i]);
                entry[3] = static_cast<float>(s.h3[i]);
            }
        }
    }
}

}  // namespace torla
