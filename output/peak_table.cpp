// The peak-value table: per cell the largest value of twelve flow
// quantities over the run, with the three layer depths at that moment.
#include "output/output.h"

namespace torla {

void update_peaks(ModelState& s) {
    const std::size_t n = static_cast<std::size_t>(s.n_cells);
    const double air = s.par.Air_Density;
    const Layers& l = s.layers;
    const double *h1 = l.h1.data(), *rho1 = l.rho1.data(), *h2 = l.h2.data(), *u2 = l.u2.data();
    const double *rho2 = l.rho2.data(), *h3 = l.h3.data(), *u3 = l.u3.data(), *c3 = l.c3.data();
    const double *rho3 = l.rho3.data(), *k3 = l.k3.data(), *eps3 = l.eps3.data();
    float* table = s.peak_table.data();
    for (int i = s.window.first_active; i < s.window.last_active; ++i) {
        const double salt_density = air + rho2[i];
        const double value[kResultQuantities] = {
            h1[i],
            rho1[i],
            h2[i],
            u2[i],
            salt_density,
            u2[i] * u2[i] * salt_density / 1000,  // kPa
            h3[i],
            u3[i],
            c3[i],
            k3[i],
            eps3[i],
            u3[i] * u3[i] * rho3[i] / 2000,  // kPa, half the dynamic pressure
        };
        // The depths that go with a new maximum, rounded once for all twelve.
        const float depth1 = static_cast<float>(h1[i]);
        const float depth2 = static_cast<float>(h2[i]);
        const float depth3 = static_cast<float>(h3[i]);
        float* entry = table + static_cast<std::size_t>(i) * kPeakEntryFloats;
        for (int q = 0; q < kResultQuantities; ++q, entry += n * kPeakEntryFloats) {
            // Compared against the stored single-precision value, so a value
            // that rounds to it but exceeds it still refreshes the depths.
            if (static_cast<double>(entry[0]) < value[q]) {
                entry[0] = static_cast<float>(value[q]);
                entry[1] = depth1;
                entry[2] = depth2;
                entry[3] = depth3;
            }
        }
    }
}

}  // namespace torla
