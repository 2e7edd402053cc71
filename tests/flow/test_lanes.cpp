// The flow loops' lanes (baseline and AVX2) give every cell the one-cell formulas' numbers.
#include <gtest/gtest.h>

#include "flow_fixture.h"

namespace torla {
namespace {

constexpr int kCells = 24;

using Versions = test::LaneVersions;
using test::same_bits;

void scramble(ModelState& s, unsigned seed) { test::scramble(s, kCells, seed); }

// Rows 0, 1 and last - 1 of a work matrix zero, the rows beyond the window as they were.
void expect_edge_rows(const Matrix& m, const Matrix& before, int last) {
    for (int i = 0; i < kCells; ++i)
        for (int j = 0; j < kNumComponents && (i <= 1 || i >= last - 1); ++j)
            EXPECT_TRUE(same_bits(m[i][j], i >= last ? before[i][j] : 0.0))
                << "window end " << last << " row " << i;
}

// The upwind gradients of the suspension layer, as written: the neighbour
// behind when u3 > 0, the one ahead otherwise.
SuspensionGradients gradients_as_written(const ModelState& s, int i) {
    const Layers& l = s.layers;
    const bool behind = l.u3[i] > 0;
    const int a = behind ? i - 1 : i, b = behind ? i : i + 1;
    const double L = s.grid.cell_length[b];
    return {(l.c3[b] - l.c3[a]) / L,
            (l.rho3[b] * l.u3[b] * l.h3[b] - l.rho3[a] * l.u3[a] * l.h3[a]) / L};
}

// Source terms, fluxes, the update and the recovery, for every window width.
TEST_F(Versions, EveryCellAsTheOneCellFormulas) {
    each_version([&](bool wide) {
        int updated = 0;
        for (int last = 5; last <= kCells; ++last) {  // interiors of 2 to 21 cells
            ModelState s;
            scramble(s, 100 + last);
            use_wide_lanes(s.window, wide);
            s.window.first_active = 1;
            s.window.last_active = last;
            const Matrix prev = s.sink_prev, sink = s.sink, adv = s.flux_adv, diff = s.flux_diff;
            set_boundary_rows(s);  // the ambient cell the gradients read
            compute_source_terms(s, s.clock.dt);
            compute_fluxes(s);
            expect_edge_rows(s.sink, sink, last);
            expect_edge_rows(s.flux_adv, adv, last);
            expect_edge_rows(s.flux_diff, diff, last);
            const Layers& l = s.layers;
            for (int i : {0, 1})  // the suspension layer enters from still air
                EXPECT_EQ(std::make_tuple(l.c3[i], l.u3[i], l.k3[i], l.eps3[i], l.rho3[i]),
                          std::make_tuple(0.0, 0.0, 0.0, 0.0, s.par.Air_Density));
            for (int i = 2; i < last - 1; ++i) {
                const SourceRow r =
                    source_row(s.par, s.clock.dt,
                               {l.h1[i], l.rho1[i], l.h2[i], l.u2[i], l.rho2[i], l.h3[i], l.u3[i],
                                l.c3[i], l.rho3[i], l.k3[i], l.eps3[i], l.g_normal[i],
                                l.g_tangent[i], s.grid.curvature[i], s.grid.u_threshold[i]});
                const SuspensionGradients g = suspension_gradients(s, i),
                                          w = gradients_as_written(s, i);
                ASSERT_TRUE(same_bits(g.Gc, w.Gc) && same_bits(g.Gm, w.Gm)) << "cell " << i;
                const FluxRow f = flux_row(s.par, s.constants, s.ff, test::inputs_of(s, i), w);
                const double beta = s.par.Relaxation_Factor;
                for (int j = 0; j < kNumComponents; ++j) {
                    const bool relaxed = j == 0 || (j >= 3 && j <= 7);
                    ASSERT_TRUE(
                        same_bits(s.sink[i][j],
                                  relaxed ? (1 - beta) * prev[i][j] + beta * r.value[j] : 0.0) &&
                        same_bits(s.flux_adv[i][j], f.adv[j]) &&
                        same_bits(s.flux_diff[i][j], f.diff[j]))
                        << "window end " << last << " cell " << i << " component " << j;
                }
            }
            // The general update (not the diverging form); small negative masses set to 0.
            const double step = 0.07;
            test::stdout_of([&] { advance_interior(s, step); });
            for (int i = 2; i < last - 1; ++i) {
                const UpwindChoice salt = upwind_choice(l.u2.data(), s.grid.cell_length.data(), i),
                                   susp = upwind_choice(l.u3.data(), s.grid.cell_length.data(), i);
                for (int j : {0, 1, 3, 4, 5, 6, 7, 8, 9}) {
                    const UpwindChoice& c = j < kSuspDepth ? salt : susp;
                    if (c.diverging && (j == kSaltLoad || j >= kSuspVolume)) continue;
                    double want = general_update(
                        {s.U_prev[i][j], s.sink[i][j], s.flux_adv[c.l][j], s.flux_adv[c.r][j],
                         s.flux_diff[i - 1][j], s.flux_diff[i + 1][j]},
                        c, step);
                    if ((j == kSaltLoad && want < 0 && want > -0.0001) ||
                        (j == kSuspVolume && want < 0 && want > -0.00001))
                        want = 0.0;
                    ASSERT_TRUE(same_bits(s.U[i][j], want)) << "cell " << i << " component " << j;
                    ++updated;
                }
            }
            // The layer variables recovered from the new state, edge cells included.
            recover_layer_variables(s);
            for (int i = 1; i < last; ++i) {
                const LayerVariables v = recover_cell(s.par, s.constants, s.U[i]);
                const double got[] = {l.h1[i], l.rho1[i], l.h2[i],   l.u2[i], l.rho2[i], l.h3[i],
                                      l.u3[i], l.c3[i],   l.rho3[i], l.k3[i], l.eps3[i]};
                const double want[] = {v.h1, v.rho1, v.h2,   v.u2, v.rho2, v.h3,
                                       v.u3, v.c3,   v.rho3, v.k3, v.eps3};
                for (int k = 0; k < 11; ++k)
                    ASSERT_TRUE(same_bits(got[k], want[k]))
                        << "window end " << last << " cell " << i << " variable " << k;
            }
        }
        EXPECT_GT(updated, 1000);
    });
}

// Whole passes with the baseline and the AVX2 versions agree bit for bit.
TEST_F(Versions, PassesAgreeBetweenTheVersions) {
    if (!processor_runs_wide_lanes()) GTEST_SKIP() << "the processor has no AVX2";
    EXPECT_GT(test::compare_passes(150, {false, false}, {false, true}, [](ModelState&, int) {}),
              100);
}

}  // namespace
}  // namespace torla
