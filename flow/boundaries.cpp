// The rows at the edges of the active window, set around every update:
// the work matrices' edge rows, the still air the suspension layer enters
// from, and the edge cells of the new state.
#include "flow/flow.h"

namespace torla {

namespace {

void zero_row(Matrix& m, int i) {
    double* row = m[i];
    for (int j = 0; j < kNumComponents; ++j) row[j] = 0.0;
}

// No suspended snow, no motion and no turbulence at cell i.
void set_ambient_suspension(ModelState& s, int i) {
    Layers& l = s.layers;
    l.c3[i] = 0.0;
    l.rho3[i] = s.par.Air_Density;
    l.u3[i] = 0.0;
    l.k3[i] = 0.0;
    l.eps3[i] = 0.0;
}

}  // namespace

void set_boundary_rows(ModelState& s) {
    const int first = s.window.first_active, last = s.window.last_active - 1;
    for (Matrix* m : {&s.flux_adv, &s.flux_diff, &s.sink}) {
        zero_row(*m, first);
        zero_row(*m, 0);
        zero_row(*m, last);
    }
    set_ambient_suspension(s, first);
    set_ambient_suspension(s, 0);
}

void set_edge_cells(ModelState& s) {
    // The upstream edge is empty of moving snow; the downstream edge lets
    // the flow leave unchanged. The cover (components 0 and 1) keeps what
    // U held.
    double* first = s.U[s.window.first_active];
    double* last = s.U[s.window.last_active - 1];
    const double* before_last = s.U[s.window.last_active - 2];
    for (int j = kSaltDepth; j < kNumComponents; ++j) {
        first[j] = 0.0;
        last[j] = before_last[j];
    }
}

}  // namespace torla
