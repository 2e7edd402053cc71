// The flow loops compute several cells (or components) side by side, with
// a baseline and an AVX2 version. Every cell must come out exactly as the
// one-cell formulas give it, whichever lane and version computed it, and
// for every window width (full groups and the cells left over).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "flow/lanes.h"
#include "flow_fixture.h"
#include "output/output.h"
#include "run/run.h"

namespace torla {
namespace {

constexpr int kCells = 24;

// Restores the default choice of versions when a test ends.
class Versions : public testing::Test {
protected:
    void TearDown() override { use_wide_lanes(true); }
    // Runs f once per available version, baseline first.
    template <class F>
    void each_version(F f) {
        for (bool wide : {false, true}) {
            use_wide_lanes(wide);
            if (wide && !wide_lanes()) continue;  // no AVX2 here
            SCOPED_TRACE(wide ? "AVX2 version" : "baseline version");
            f();
        }
    }
};

// A state whose cells hold unrelated values, including the cases the
// formulas branch on: layers at rest, moving backwards, thinner than their
// minimum, dissipation below its floor, negative normal gravity.
void scramble(ModelState& s, unsigned seed) {
    test::init_flow_state(s, kCells);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto any = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    for (int i = 0; i < kCells; ++i) {
        const int kind = static_cast<int>(rng() % 5);
        s.layers.h1[i] = any(0, 1), s.layers.rho1[i] = any(100, 200);
        s.layers.h2[i] = kind == 0 ? 0.05 : any(0, 2);
        s.layers.u2[i] = kind == 1 ? 0.0 : any(-15, 30);
        s.layers.rho2[i] = any(0, 40);
        s.layers.h3[i] = kind == 2 ? 0.01 : any(0, 20);
        s.layers.u3[i] = kind == 3 ? 0.0 : any(-10, 30);
        s.layers.c3[i] = any(0, 0.01);
        s.layers.rho3[i] = s.par.Air_Density + s.constants.rho_diff * s.layers.c3[i];
        s.layers.k3[i] = any(0, 3);
        s.layers.eps3[i] = kind == 4 ? 0.5 : any(0, 5);
        s.layers.g_normal[i] = kind == 4 ? -2.0 : any(5, 10);
        s.layers.g_tangent[i] = any(-5, 5);
        s.grid.curvature[i] = any(-0.05, 0.05);
        s.grid.u_threshold[i] = any(0.3, 0.6);
        s.grid.cell_length[i] = any(5, 12);
        for (int j = 0; j < kNumComponents; ++j) {
            s.U[i][j] = any(-1, 30);
            s.U_prev[i][j] = any(0, 30);
            s.sink_prev[i][j] = any(-5, 5);
            s.sink[i][j] = any(-5, 5);
            s.flux_adv[i][j] = any(-50, 50);
            s.flux_diff[i][j] = any(-5, 5);
        }
    }
}

bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

SourceInputs source_inputs_of(const ModelState& s, int i) {
    return {s.layers.h1[i],   s.layers.rho1[i],     s.layers.h2[i],        s.layers.u2[i],        s.layers.rho2[i],
            s.layers.h3[i],   s.layers.u3[i],       s.layers.c3[i],        s.layers.rho3[i],      s.layers.k3[i],
            s.layers.eps3[i], s.layers.g_normal[i], s.layers.g_tangent[i], s.grid.curvature[i], s.grid.u_threshold[i]};
}

TEST_F(Versions, SourceTermsOfEveryCellAsTheOneCellFormulas) {
    each_version([&] {
        for (int last = 5; last <= kCells; ++last) {  // interiors of 2 to 21 cells
            ModelState s;
            scramble(s, 100 + last);
            s.window.first_active = 1;
            s.window.last_active = last;
            ModelState alone = s;
            set_boundary_rows(s);
            compute_source_terms(s, s.clock.dt);
            for (int i = 2; i < last - 1; ++i) {
                const SourceRow r = source_row(alone.par, alone.clock.dt, source_inputs_of(s, i));
                const double beta = s.par.Relaxation_Factor;
                for (int j = 0; j < kNumComponents; ++j) {
                    const bool relaxed = j == 0 || (j >= 3 && j <= 7);
                    const double expected =
                        relaxed ? (1 - beta) * alone.sink_prev[i][j] + beta * r.value[j] : 0.0;
                    ASSERT_TRUE(same(s.sink[i][j], expected))
                        << "window end " << last << " cell " << i << " component " << j;
                }
            }
        }
    });
}

// The upwind gradients of the suspension layer, as written: the neighbour
// behind when u3 > 0, the one ahead otherwise.
SuspensionGradients gradients_as_written(const ModelState& s, int i) {
    const bool behind = s.layers.u3[i] > 0;
    const int a = behind ? i - 1 : i, b = behind ? i : i + 1;
    const double L = behind ? s.grid.cell_length[i] : s.grid.cell_length[i + 1];
    return {(s.layers.c3[b] - s.layers.c3[a]) / L,
            (s.layers.rho3[b] * s.layers.u3[b] * s.layers.h3[b] - s.layers.rho3[a] * s.layers.u3[a] * s.layers.h3[a]) / L};
}

TEST_F(Versions, FluxesOfEveryCellAsTheOneCellFormulas) {
    each_version([&] {
        for (int last = 5; last <= kCells; ++last) {
            ModelState s;
            scramble(s, 200 + last);
            s.window.first_active = 1;
            s.window.last_active = last;
            set_boundary_rows(s);  // the ambient cell the gradients read
            compute_fluxes(s);
            for (int i = 2; i < last - 1; ++i) {
                const FluxRow f = flux_row(
                    s.par, s.constants, s.ff,
                    {s.layers.h2[i], s.layers.u2[i], s.layers.rho2[i], s.layers.h3[i], s.layers.u3[i], s.layers.c3[i], s.layers.rho3[i], s.layers.k3[i],
                     s.layers.eps3[i], s.layers.g_normal[i], s.layers.g_tangent[i]},
                    gradients_as_written(s, i));
                const SuspensionGradients g = suspension_gradients(s, i);
                const SuspensionGradients w = gradients_as_written(s, i);
                ASSERT_TRUE(same(g.Gc, w.Gc) && same(g.Gm, w.Gm)) << "cell " << i;
                for (int j = 0; j < kNumComponents; ++j) {
                    ASSERT_TRUE(same(s.flux_adv[i][j], f.adv[j])) << "cell " << i << " component " << j;
                    ASSERT_TRUE(same(s.flux_diff[i][j], f.diff[j])) << "cell " << i << " component " << j;
                }
            }
        }
    });
}

TEST_F(Versions, RecoveryOfEveryCellAsTheOneCellFormula) {
    each_version([&] {
        for (int width = 0; width <= 13; ++width) {
            ModelState s;
            scramble(s, 300 + width);
            s.window.first_active = 3;
            s.window.last_active = 3 + width;
            recover_layer_variables(s);
            for (int i = 3; i < 3 + width; ++i) {
                const LayerVariables v = recover_cell(s.par, s.constants, s.U[i]);
                const double got[] = {s.layers.h1[i], s.layers.rho1[i], s.layers.h2[i], s.layers.u2[i], s.layers.rho2[i], s.layers.h3[i],
                                      s.layers.u3[i], s.layers.c3[i],   s.layers.rho3[i], s.layers.k3[i], s.layers.eps3[i]};
                const double want[] = {v.h1, v.rho1, v.h2, v.u2, v.rho2, v.h3,
                                       v.u3, v.c3,   v.rho3, v.k3, v.eps3};
                for (int k = 0; k < 11; ++k)
                    ASSERT_TRUE(same(got[k], want[k])) << "width " << width << " cell " << i << " variable " << k;
            }
        }
    });
}

// The update of one component by its general formula, as written.
double general_formula(const ModelState& s, int i, int j, const UpwindChoice& c, double step) {
    return s.U_prev[i][j] - step * s.sink[i][j] -
           step * (s.flux_adv[c.r][j] - s.flux_adv[c.l][j]) / c.dx_up -
           step * (s.flux_diff[i + 1][j] - s.flux_diff[i - 1][j]) / c.dx_c;
}

TEST_F(Versions, UpdateOfEveryComponentAsTheGeneralFormula) {
    each_version([&] {
        ModelState s;
        scramble(s, 400);
        s.window.first_active = 1;
        s.window.last_active = kCells - 1;
        const double step = 0.07;
        test::stdout_of([&] { advance_interior(s, step); });
        int checked = 0;
        for (int i = 2; i < kCells - 2; ++i) {
            const UpwindChoice salt = upwind_choice(s.layers.u2.data(), s.grid.cell_length.data(), i);
            const UpwindChoice susp = upwind_choice(s.layers.u3.data(), s.grid.cell_length.data(), i);
            std::vector<int> general = {kCoverDepth, kCoverDensity, kSaltMomentum, kSuspDepth, kSuspMomentum};
            if (!salt.diverging) general.push_back(kSaltLoad);
            if (!susp.diverging)
                for (int j : {kSuspVolume, kSuspEnergy, kSuspDissipation}) general.push_back(j);
            for (int j : general) {
                double want = general_formula(s, i, j, j < kSuspDepth ? salt : susp, step);
                // The checks on the masses zero small negative values.
                if (j == kSaltLoad && want < 0 && want > -0.0001) want = 0.0;
                if (j == kSuspVolume && want < 0 && want > -0.00001) want = 0.0;
                ASSERT_TRUE(same(s.U[i][j], want)) << "cell " << i << " component " << j;
                ++checked;
            }
        }
        EXPECT_GT(checked, 100);
    });
}

// Whole passes with the baseline and the AVX2 versions: every matrix, the
// layer variables and the peak table agree bit for bit.
TEST_F(Versions, PassesAgreeBetweenTheVersions) {
    use_wide_lanes(true);
    if (!wide_lanes()) GTEST_SKIP() << "the processor has no AVX2";
    ModelState a, b;
    for (ModelState* s : {&a, &b}) {
        test::init_flow_state(*s, 61);
        s->grid.min_cell_length = 10.0;
        s->clock.next_dump_time = 1e30;
        s->par.Max_Time = 1e30;
        s->files.log = std::tmpfile();
        for (int i = 0; i < 61; ++i) {
            const double angle = (i < 35 ? 32.0 : -15.0) * 3.14159265358979 / 180;
            s->grid.cos_slope[i] = std::cos(angle);
            s->grid.sin_slope[i] = std::sin(angle);
            s->grid.u_threshold[i] = 0.4;
            double* u = s->U[i];
            u[kCoverDepth] = 0.6;
            if (i >= 3 && i <= 12) {
                u[kSaltDepth] = 1.0, u[kSaltLoad] = 30.0, u[kSaltMomentum] = 155.0;
                u[kSuspDepth] = 6.0, u[kSuspVolume] = 0.02, u[kSuspMomentum] = 40.0;
                u[kSuspEnergy] = 10.0, u[kSuspDissipation] = 8.0;
            }
        }
        recover_layer_variables(*s);
        update_gravity(*s);
        s->clock.dt = s->clock.dtn = 0.1;
        s->clock.t = -s->clock.dt;
    }
    test::stdout_of([&] {
        for (int k = 0; k < 150; ++k) {
            use_wide_lanes(false);
            const bool go_a = run_pass(a);
            use_wide_lanes(true);
            const bool go_b = run_pass(b);
            ASSERT_EQ(go_a, go_b);
            ASSERT_EQ(std::memcmp(a.U.data.data(), b.U.data.data(), a.U.data.size() * sizeof(double)), 0) << k;
            ASSERT_EQ(std::memcmp(a.sink_prev.data.data(), b.sink_prev.data.data(),
                                  a.sink_prev.data.size() * sizeof(double)),
                      0)
                << k;
            ASSERT_EQ(std::memcmp(a.layers.u3.data(), b.layers.u3.data(), a.layers.u3.size() * sizeof(double)), 0) << k;
            ASSERT_EQ(std::memcmp(a.peak_table.data(), b.peak_table.data(), a.peak_table.size() * sizeof(float)), 0)
                << k;
            if (!go_a) break;
        }
    });
    EXPECT_GT(a.window.last_active - a.window.first_active, 20);  // the avalanche spread over many groups
    std::fclose(a.files.log);
    std::fclose(b.files.log);
}

}  // namespace
}  // namespace torla
