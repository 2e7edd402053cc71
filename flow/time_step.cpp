// time_step: one call of the explicit update, as its steps.
#include <algorithm>
#include <cstring>

#include "flow/flow.h"

namespace torla {

namespace {

void copy_rows(Matrix& to, const Matrix& from, int begin, int end) {
    if (end <= begin) return;
    std::memcpy(to[begin], from[begin],
                static_cast<std::size_t>(end - begin) * kNumComponents * sizeof(double));
}

// Cells outside the window carry the state of the start of the pass. Only
// rows an earlier call of the pass wrote can differ from it: those are
// restored, unless whole copies are asked for. Afterwards U differs from
// U_prev at most in the rows this call writes: the window, edge cells
// included (an inverted window writes just its two edge cells; the span
// between them is included).
void restore_outside_window(ModelState& s) {
    Window& w = s.window;
    const int n = s.n_cells;
    const int fa = w.first_active, la = w.last_active;
    if (w.full_copies) {
        copy_rows(s.U, s.U_prev, 0, std::min(fa, n));
        copy_rows(s.U, s.U_prev, std::max(la, 0), n);
    } else {
        const int lo = std::max(w.changed_begin, 0), hi = std::min(w.changed_end, n);
        copy_rows(s.U, s.U_prev, lo, std::min(fa, hi));
        copy_rows(s.U, s.U_prev, std::max(la, lo), hi);
    }
    w.changed_begin = std::min(fa, la - 1);
    w.changed_end = std::max(fa, la - 1) + 1;
}

// The relaxation of the next call starts from these rates. Every call
// leaves sink_prev equal to sink, and sink starts out equal to the cleared
// sink_prev (both zero), so the rows this call did not write already equal
// their copy; unless whole copies are asked for, only the written rows (0,
// the window's edges and interior) are copied.
void keep_source_terms(ModelState& s) {
    const int fa = s.window.first_active, la = s.window.last_active;
    if (s.window.full_copies) {
        copy_rows(s.sink_prev, s.sink, 0, s.n_cells);
    } else {
        copy_rows(s.sink_prev, s.sink, 0, 1);
        copy_rows(s.sink_prev, s.sink, fa, fa + 1);
        copy_rows(s.sink_prev, s.sink, la - 1, la);
        copy_rows(s.sink_prev, s.sink, fa + 1, la - 1);
    }
}

// Snow mass per metre of width and second that leaves the track through
// its end: the flux of the last interior cell where the window reaches the
// last cells and both layers there move downhill.
double outflow_rate(const ModelState& s) {
    const int i = s.window.last_active - 2;
    if (s.window.last_active != s.n_cells - 1 || i <= s.window.first_active) return 0.0;
    const Layers& l = s.layers;
    double rate = 0.0;
    if (l.u2[i] >= 0 && l.u2[i + 1] >= 0) rate += s.flux_adv[i][kSaltLoad];
    if (l.u3[i] >= 0 && l.u3[i + 1] >= 0)
        rate += s.flux_adv[i][kSuspVolume] * s.par.Particle_Density;
    return rate;
}

}  // namespace

double time_step(ModelState& s, StepKind kind, double step, double pass_step) {
    const bool robust = s.constants.scheme == Scheme::kRobust;
    const bool full = kind == StepKind::kFull;
    set_boundary_rows(s);
    if (full && robust)
        compute_robust_fluxes(s);
    else if (full)
        compute_fluxes(s);
    if (robust)
        compute_current_source_terms(s, pass_step);
    else
        compute_source_terms(s, pass_step);
    restore_outside_window(s);
    double allowed = step;
    if (full) {
        allowed = robust ? advance_interior_robust(s, step) : advance_interior(s, step);
        s.window.outflow_rate = robust ? robust_outflow_rate(s) : outflow_rate(s);
    } else {
        rescale_interior(s, pass_step, step);
    }
    keep_source_terms(s);
    set_edge_cells(s);
    s.window.updated_first = s.window.first_active;
    s.window.updated_last = s.window.last_active;
    find_active_window(s);
    return allowed;
}

}  // namespace torla
