// Numerics robust: face fluxes, per-cell rows, whole steps. Whole runs: test_robust_runs.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "flow/lanes.h"
#include "flow_fixture.h"

namespace torla {
namespace {

using test::same_bits;

// ---- One face, one component.

TEST(RobustFaceFlux, HllTakesTheUpwindFluxOrTheMeanStateBetweenTheWavesAndKeepsDepthsNonNegative) {
    struct Case {
        const char* what;
        double slowest, fastest;
        double want;  // flux of flux_l = 6, flux_r = 2, value_l = 3, value_r = 1
    };
    const Case cases[] = {
        {"every signal forward: the left cell's flux", 0.0, 9.0, 6.0},
        {"every signal backward: the right cell's flux", -9.0, 0.0, 2.0},
        {"symmetric fan: mean flux less half the speed times the jump", -4.0, 4.0,
         0.5 * (6.0 + 2.0) - 0.5 * 4.0 * (1.0 - 3.0)},
        {"lopsided fan", -1.0, 3.0, (3.0 * 6.0 + 1.0 * 2.0 + (-1.0) * 3.0 * (1.0 - 3.0)) / 4.0},
    };
    for (const Case& c : cases) {
        const HllWeights w = hll_weights(c.slowest, c.fastest);
        EXPECT_DOUBLE_EQ(hll_flux(w, 6.0, 2.0, 3.0, 1.0), c.want) << c.what;
        EXPECT_DOUBLE_EQ(hll_flux(w, 5.0, 5.0, 2.0, 2.0), 5.0)
            << c.what << ": equal states keep their flux";
    }
    // Monotone in the depths on either side: no face can make a depth negative.
    const double velocities[][2] = {{3.0, 5.0}, {-2.0, 4.0}, {-6.0, -1.0}, {0.0, 0.0}, {8.0, -8.0}};
    for (const auto& v : velocities) {
        const HllWeights w = hll_weights(std::min(v[0], v[1]) - 2.0, std::max(v[0], v[1]) + 2.0);
        const auto face = [&](double hl, double hr) {
            return hll_flux(w, hl * v[0], hr * v[1], hl, hr);
        };
        EXPECT_GE(face(2.0, 1.0), face(1.0, 1.0)) << v[0] << " " << v[1];
        EXPECT_LE(face(1.0, 2.0), face(1.0, 1.0)) << v[0] << " " << v[1];
    }
}

// ---- Lanes: every cell as the one-cell formula.

using RobustVersions = test::LaneVersions;

// No layer lifting off: the signal speeds take square roots of g_normal.
void scramble(ModelState& s, int n, unsigned seed) { test::scramble(s, n, seed, false); }

TEST_F(RobustVersions, CellRowsAndWaveSpeedAsTheOneCellFormula) {
    each_version([&](bool wide) {
        for (int last = 5; last <= 24; ++last) {  // interiors of 2 to 21 cells
            ModelState s;
            scramble(s, 24, 500 + last);
            use_wide_lanes(s.window, wide);
            s.window.first_active = 1;
            s.window.last_active = last;
            std::fill(s.robust.cells.begin(), s.robust.cells.end(),
                      RobustWork::Cell{9, 9, 9, 9, 9, 9});
            const Matrix before = s.flux_adv;
            compute_robust_fluxes(s);
            double fastest = 0.0;
            for (int i = 1; i < last; ++i) {
                const RobustCell r = robust_cell(s.par, s.constants, s.ff, test::inputs_of(s, i));
                for (double v : {r.salt_slowest, r.salt_fastest, r.susp_slowest, r.susp_fastest})
                    fastest = std::max(fastest, std::fabs(v));
                const RobustWork::Cell& d = s.robust.cells[i];
                // Edge rows: fluxes left as they were, no coefficients.
                if (i == 1 || i == last - 1) {
                    for (int j = 0; j < kNumComponents; ++j)
                        ASSERT_TRUE(same_bits(s.flux_adv[i][j], before[i][j])) << "edge " << i;
                    for (double v : {d.salt_slowest, d.salt_fastest, d.susp_slowest, d.susp_fastest,
                                     d.momentum_diffusivity, d.volume_diffusivity})
                        ASSERT_EQ(v, 0.0) << "edge " << i;
                    continue;
                }
                for (int j : kAdvected)
                    ASSERT_TRUE(same_bits(s.flux_adv[i][j], r.flux.adv[j])) << i << " " << j;
                ASSERT_TRUE(same_bits(d.salt_slowest, r.salt_slowest) &&
                            same_bits(d.salt_fastest, r.salt_fastest) &&
                            same_bits(d.susp_slowest, r.susp_slowest) &&
                            same_bits(d.susp_fastest, r.susp_fastest) &&
                            same_bits(d.momentum_diffusivity, -r.flux.diff[kSuspMomentum]) &&
                            same_bits(d.volume_diffusivity, -r.flux.diff[kSuspVolume]))
                    << i;
            }
            ASSERT_TRUE(same_bits(robust_wave_speed(s), fastest)) << "window end " << last;
        }
    });
}

// ---- Whole steps.

// A flat track with a cloud and a saltation layer in cells from..to; the window from cell 2
// (cell 1 holds junk that takes no part); robust rows computed, no source terms.
void cloud(ModelState& s, int n, int from, int to, double u) {
    test::init_flow_state(s, n);
    s.constants.scheme = Scheme::kRobust;
    s.window.first_active = 2;
    for (int i = 0; i < n; ++i) {
        double* row = s.U[i];
        row[kCoverDepth] = 0.5;
        if (i >= from && i <= to) {
            const double h3 = 10.0 + (i - from), h2 = 0.4;
            const double rho3 = s.par.Air_Density + s.constants.rho_diff * 0.004;
            row[kSuspDepth] = h3, row[kSuspVolume] = 0.004 * h3, row[kSuspMomentum] = rho3 * u * h3;
            row[kSuspEnergy] = rho3 * 2.0 * h3, row[kSuspDissipation] = rho3 * 1.2 * h3;
            row[kSaltDepth] = h2, row[kSaltLoad] = 30.0 * h2;
            row[kSaltMomentum] = (s.par.Air_Density + 30.0) * u * h2;
        }
    }
    std::copy(s.U.data.begin(), s.U.data.end(), s.U_prev.data.begin());
    recover_layer_variables(s);
    update_gravity(s);
    set_boundary_rows(s);
    compute_robust_fluxes(s);
    for (int j = 0; j < kNumComponents; ++j) s.U_prev[1][j] = s.flux_adv[1][j] = -7.0;
    s.robust.cells[1] = {-7, -7, -7, -7, -7, -7};
}

// Sum over the interior of control volume times component j.
double interior_total(const ModelState& s, const Matrix& m, int j) {
    double total = 0.0;
    for (int i = s.window.first_active + 1; i < s.window.last_active - 1; ++i)
        total += 0.5 * (s.grid.cell_length[i] + s.grid.cell_length[i + 1]) * m[i][j];
    return total;
}

// Flow clear of the window's edges: the moved quantities keep their totals.
TEST(RobustStep, ClosedWindowConservesTheMovedQuantities) {
    for (double u : {-25.0, -3.0, 0.0, 4.0, 30.0}) {
        ModelState s;
        cloud(s, 40, 15, 24, u);
        const double step = courant_time_step(s, robust_wave_speed(s));
        ASSERT_GT(step, 0.0);
        EXPECT_LT(advance_interior_robust(s, 100.0), 1.0)
            << "a step beyond the Courant rule is cut";
        ASSERT_EQ(advance_interior_robust(s, step), step) << "the Courant step is allowed";
        for (int j : {kSaltMomentum, kSaltLoad, kSuspDepth, kSuspMomentum, kSuspVolume}) {
            const double before = interior_total(s, s.U_prev, j), after = interior_total(s, s.U, j);
            EXPECT_NEAR(after, before, 1e-12 * std::fabs(before) + 1e-9)
                << "u " << u << " component " << j;
        }
        bool moved = false;
        for (int i = 0; i < 40; ++i) moved |= s.U[i][kSuspDepth] != s.U_prev[i][kSuspDepth];
        EXPECT_TRUE(moved) << "u " << u;
    }
}

// The implicit diffusion alone, eddy viscosities up to 1,800 m^2/s: a small step is the explicit
// difference of the face fluxes (the smaller diffusivity, central gradients); a huge one keeps
// the snow content within its bounds and smooths the momentum; both keep the totals.
TEST(RobustStep, ImplicitDiffusionMatchesTheFaceFluxesKeepsBoundsAndTotals) {
    for (double step : {1e-6, 1.0}) {
        ModelState s;
        test::init_flow_state(s, 14);
        s.window.first_active = 1;
        s.window.last_active = 13;
        for (int i = 0; i < 14; ++i) {
            s.U_prev[i][kSuspDepth] = 4.0;
            s.U_prev[i][kSuspMomentum] = 10.0 * i * i * (i % 2 ? -1 : 1);
            s.U_prev[i][kSuspVolume] = 4.0 * 0.001 * (1 + i % 3);
            s.layers.h3[i] = 4.0, s.layers.rho3[i] = 1.0;
            s.layers.k3[i] = 20.0 + 10.0 * i, s.layers.eps3[i] = 1.0;
            s.grid.cell_length[i] = 8.0 + i;
        }
        set_boundary_rows(s);
        compute_robust_fluxes(s);
        for (int i = 0; i < 14; ++i) {
            for (int j = 0; j < kNumComponents; ++j) s.flux_adv[i][j] = 0.0;
            RobustWork::Cell& c = s.robust.cells[i];
            c.salt_slowest = c.salt_fastest = c.susp_slowest = c.susp_fastest = 0.0;
        }
        advance_interior_robust(s, step);
        for (int j : {kSuspMomentum, kSuspVolume}) {
            const double before = interior_total(s, s.U_prev, j);
            EXPECT_NEAR(interior_total(s, s.U, j), before, 1e-12 * 1e4)
                << "step " << step << " component " << j;
        }
        const auto D = [&](int i, double RobustWork::Cell::*of) {
            return std::min(s.robust.cells[i].*of, s.robust.cells[i + 1].*of);
        };
        for (int i = 2; i < 12; ++i) {
            if (step > 1e-3) {
                const double c = s.U[i][kSuspVolume] / 4.0;
                EXPECT_GE(c, 0.001 - 1e-15) << i;
                EXPECT_LE(c, 0.003 + 1e-15) << i;
                EXPECT_LT(std::fabs(s.U[i][kSuspMomentum] - s.U[i + 1][kSuspMomentum]),
                          0.5 * 10 * 12 * 12)
                    << i;
                continue;
            }
            if (i < 3 || i > 9) continue;  // away from the closed edges
            const double V = 0.5 * (s.grid.cell_length[i] + s.grid.cell_length[i + 1]);
            for (int j : {kSuspMomentum, kSuspVolume}) {
                const auto col = j == kSuspMomentum ? &RobustWork::Cell::momentum_diffusivity
                                                    : &RobustWork::Cell::volume_diffusivity;
                const double scale = j == kSuspMomentum ? 1.0 : 1.0 / 4.0;  // of rho3 u3 h3, of c3
                const auto g = [&](int a) { return s.U_prev[a][j] * scale; };
                const double rate = (D(i, col) * (g(i + 1) - g(i)) / s.grid.cell_length[i + 1] -
                                     D(i - 1, col) * (g(i) - g(i - 1)) / s.grid.cell_length[i]) /
                                    V;
                EXPECT_NEAR(s.U[i][j], s.U_prev[i][j] + step * rate,
                            1e-4 * std::fabs(step * rate) + 1e-13)
                    << i << " " << j;
            }
        }
    }
}

// Outflow only once the window reaches the end, and not from a window of its two edge cells alone.
TEST(RobustStep, OutflowOnlyFromAnInteriorCellAtTheTracksEnd) {
    const struct {
        int first, last;
        bool flows;
    } cases[] = {{20, 23, true}, {21, 23, false}, {18, 22, false}};
    for (const auto& c : cases) {
        ModelState s;
        scramble(s, 24, 7);
        s.window.first_active = c.first;
        s.window.last_active = c.last;
        EXPECT_EQ(robust_outflow_rate(s) != 0.0, c.flows) << c.first << " to " << c.last;
    }
}

// The Courant rule takes the scheme's own speed: the robust signal speed also counts the
// saltation load's pressure, so it is faster.
TEST(RobustStep, EachSchemeTakesItsOwnCourantWaveSpeed) {
    ModelState s;
    cloud(s, 40, 15, 24, 6.0);
    const WaveSpeed largest = largest_wave_speed(s);
    const double signal = robust_wave_speed(s);
    ASSERT_GT(signal, largest.m_s);
    for (const auto& [scheme, want] :
         {std::pair{Scheme::kStandard, largest.m_s}, std::pair{Scheme::kRobust, signal}}) {
        s.constants.scheme = scheme;
        EXPECT_EQ(courant_wave_speed(s, largest), want) << scheme_name(scheme);
    }
}

}  // namespace
}  // namespace torla
