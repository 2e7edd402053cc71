// The active window: the cells that carry flow, widened by three quiet cells
// on each side, searched anew after every step from the old bounds.
#include <cmath>

#include "run/run.h"

namespace torla {

namespace {

constexpr int kFirstScanned = 4;  // the forward scan never looks at cells 0 to 3
constexpr int kMargin = 3;        // quiet cells kept in front of the flow

// A cell carries flow when its saltation load or momentum, or its suspended
// snow volume or momentum, reaches its threshold in magnitude.
bool carries_flow(const RunParameters& par, const double* u) {
    return std::fabs(u[kSaltLoad]) >= par.Min_Salt_Mass_Flux ||
           std::fabs(u[kSaltMomentum]) >= par.Min_Salt_Mom_Flux ||
           std::fabs(u[kSuspVolume]) >= par.Min_Susp_Mass_Flux ||
           std::fabs(u[kSuspMomentum]) >= par.Min_Susp_Mom_Flux;
}

}  // namespace

void find_active_window(ModelState& s) {
    const int n = s.n_cells;

    int i = s.first_active < kFirstScanned ? kFirstScanned : s.first_active;
    for (;;) {
        if (carries_flow(s.par, s.U[i])) break;
        if (i >= n - 1) break;
        ++i;
    }
    s.first_active = i - kMargin > 1 ? i - kMargin : 1;

    int j = s.last_active < n - 3 ? s.last_active : n - 3;
    for (;;) {
        if (carries_flow(s.par, s.U[j])) break;
        if (j <= s.first_active) break;
        --j;
    }
    s.last_active = j + kMargin + 1 < n - 1 ? j + kMargin + 1 : n - 1;
}

}  // namespace torla
