// The active window: the cells that carry flow, widened by three quiet cells
// on each side, searched anew after every step from the old bounds.
#include <cmath>

#include "flow/flow.h"

namespace torla {

namespace {

constexpr int kFirstScanned = 4;  // the forward scan never looks at cells 0 to 3
constexpr int kMargin = 3;        // quiet cells kept in front of the flow

}  // namespace

bool carries_flow(const RunParameters& par, const double* u) {
    return std::fabs(u[kSaltLoad]) >= par.Min_Salt_Mass_Flux ||
           std::fabs(u[kSaltMomentum]) >= par.Min_Salt_Mom_Flux ||
           std::fabs(u[kSuspVolume]) >= par.Min_Susp_Mass_Flux ||
           std::fabs(u[kSuspMomentum]) >= par.Min_Susp_Mom_Flux;
}

void find_active_window(ModelState& s) {
    const int n = s.n_cells;
    Window& w = s.window;

    // Forward from the old first cell to the first cell with flow.
    int i = w.first_active < kFirstScanned ? kFirstScanned : w.first_active;
    for (;;) {
        if ((w.has_flow = carries_flow(s.par, s.U[i]))) break;
        if (i >= n - 1) break;
        ++i;
    }
    w.first_active = i - kMargin > 1 ? i - kMargin : 1;

    // Backward from the old end, never beyond n - 3, to the last cell with flow.
    int j = w.last_active < n - 3 ? w.last_active : n - 3;
    for (;;) {
        if (carries_flow(s.par, s.U[j])) break;
        if (j <= w.first_active) break;
        --j;
    }
    w.last_active = j + kMargin + 1 < n - 1 ? j + kMargin + 1 : n - 1;
}

}  // namespace torla
