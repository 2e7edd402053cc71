// The flow model where whole runs cannot tell (the lanes: test_lanes.cpp).
#include <gtest/gtest.h>

#include "flow_fixture.h"

namespace torla {
namespace {

TEST(FormFactors, ExactAndTrapezoidalIntegrals) {
    const Quadratic one, z{0, 1, 0}, z2{0, 0, 1}, lin{1, 1, 0};
    EXPECT_DOUBLE_EQ(profile_integral(one, one, one, z), 0.5);
    EXPECT_DOUBLE_EQ(profile_integral(z2, z2, z2, z2), 1.0 / 9.0);
    EXPECT_DOUBLE_EQ(profile_integral(lin, lin, lin, lin), 31.0 / 5.0);  // (1 + z)^4
    EXPECT_DOUBLE_EQ(profile_integral(Quadratic{2, -1, 3}, one, one, one), 2 - 0.5 + 1);
    // Trapezoidal rule of z^2 over 1000 intervals: 1/3 + h^2/6.
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, z2, one), 1.0 / 3 + 1e-6 / 6, 1e-14);
    // (1 + z)^4 (1 + z): every factor counts; the rule's error h^2 / 12 (5 * 16 - 5).
    EXPECT_NEAR(profile_ratio_integral(lin, lin, lin, lin, lin, one), 63.0 / 6 + 75e-6 / 12, 1e-12);
    // A vanishing or negative denominator is replaced by 0.01 at every node.
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, one, Quadratic{-1, 0, 0}), 100.0, 1e-10);
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, one, Quadratic{0, 0, 0}), 100.0, 1e-10);
    // z / max(z, 0.01): h (0 + 0.1 + ... + 0.9 + 1 + 989 + 0.5) = 0.995.
    EXPECT_NEAR(profile_ratio_integral(one, one, one, one, z, z), 0.995, 1e-12);

    // (The factors of the default profiles are those of the report, test_grid_result.cpp.)
    ProfileCoefficients c{};
    c.Conc_Prof_Coeff_0 = 1, c.Conc_Prof_Coeff_1 = 1, c.Conc_Prof_Coeff_2 = 1;
    EXPECT_DOUBLE_EQ(compute_form_factors(c).S_CZ, 0.5 + 1.0 / 3 + 0.25);  // the first moment of C
}

TEST(WaveSpeed, LargestOfBothLayersOverTheWindow) {
    ModelState s;
    test::init_flow_state(s, 4);
    s.window.first_active = 1;
    s.window.last_active = 3;
    Layers& l = s.layers;
    l.u3[1] = -2, l.h3[1] = 4, l.g_normal[1] = -9;  // suspension: 2 + sqrt(36)
    l.u2[2] = -10, l.h2[2] = 1, l.u3[2] = 1, l.h3[2] = 1, l.g_normal[2] = 9;  // 10 + 3 and 1 + 3
    l.u2[3] = 50, l.h2[3] = 50;                                               // outside the window
    EXPECT_DOUBLE_EQ(max_wave_speed(s), 13.0);
    s.window.last_active = 2;
    EXPECT_DOUBLE_EQ(max_wave_speed(s), 8.0);
    s.window.last_active = 1;
    EXPECT_EQ(max_wave_speed(s), 0.0);
    EXPECT_EQ(largest_gravity_wave_speed(s).cell, -1);  // an empty window names no cell
    const SnowMass none = snow_mass(s, s.U);            // no cover, no flow
    EXPECT_EQ(none.cover + none.saltation + none.suspension, 0.0);
    // The onset's physical speed: a layer lifting off (g_normal h < 0) has no gravity waves.
    EXPECT_EQ(
        gravity_wave_speed(-2, 9, 4) + gravity_wave_speed(-2, -9, 4) + gravity_wave_speed(3, 9, -1),
        8.0 + 2 + 3);
    s.window.last_active = 3;
    l.g_normal[2] = -9;  // both cells lift off: the flow's own speed
    EXPECT_EQ(std::make_pair(largest_gravity_wave_speed(s).m_s, largest_gravity_wave_speed(s).cell),
              std::make_pair(10.0, 2));
}

// A layer lifting off a convex edge (g_normal < 0) flies free under the robust scheme only.
TEST(Gravity, ALayerLiftingOffFliesFreeUnderTheRobustScheme) {
    for (const std::string numerics : {"standard", "robust"}) {
        ModelState s;
        test::init_flow_state(s, 4);
        s.par.Numerics = numerics;
        derive_run_constants(s);
        s.grid.curvature[1] = -0.1, s.grid.curvature[2] = 0.1, s.layers.u2[1] = s.layers.u2[2] = 20;
        update_gravity(s);  // 9.81 -/+ 40
        EXPECT_EQ(
            std::make_pair(s.layers.g_normal[1], s.layers.g_normal[2]),
            std::make_pair(numerics == "robust" ? 0.0 : s.par.Gravity - 40, s.par.Gravity + 40));
    }
}

// A fast saltation layer eroding a fresh cover under a thin cloud.
SourceInputs eroding_cell() {
    return {0.5, 150, 0.5, 8, 20, 10, 15, 0.005, 5.58, 2, 4, 8.5, 4.9, 0.01, 0.5};
}

TEST(SourceRow, LimitsOfTheErosionAndTheExchange) {
    ModelState s;
    test::init_flow_state(s, 4);
    SourceInputs in = eroding_cell();
    in.u2 = 2.0;  // below the threshold speed: deposition onto the cover
    EXPECT_LT(source_row(s.par, 0.05, in).M_e, 0.0);
    in = eroding_cell();
    in.h1 = 1e-6;  // the erosion cap binds: exactly the cover of one step
    const SourceRow capped = source_row(s.par, 0.05, in);
    EXPECT_GT(capped.Y, capped.X);
    EXPECT_NEAR(capped.value[kCoverDepth], in.h1 / 0.05, 1e-12 * in.h1 / 0.05);
    in.h1 = 0.0;
    EXPECT_LE(source_row(s.par, 0.05, in).F, 0.0);
    in = eroding_cell();
    in.u2 = 10, in.curvature = 0.05, in.g_normal = 1;  // u2^2 curvature / g_normal = 5
    EXPECT_EQ(source_row(s.par, 0.05, in).kappa, 1.0);
    in.curvature = -0.03;  // -3
    EXPECT_EQ(source_row(s.par, 0.05, in).kappa, -0.9);
    in = eroding_cell();
    in.h3 = 0, in.eps3 = 0;
    const SourceRow thin = source_row(s.par, 0.05, in);
    EXPECT_EQ(thin.M_d, 0.0);
    EXPECT_EQ(thin.H, s.par.Min_Susp_Height);
    EXPECT_DOUBLE_EQ(thin.nu_t, s.par.C_mu * 4 / s.par.Min_Susp_Dissip);
}

TEST(UpwindChoice, FourCasesWithZeroCountingAsForward) {
    const double len[] = {1, 1, 2, 3};
    const struct {
        double wm, w, wp;
        int l, r;
        double dx_up;
        bool diverging;
    } cases[] = {
        {2, 3, 4, 1, 2, 2, false},     // forward
        {-1, 0, 0, 1, 2, 2, true},     // forward, moving apart from the cell behind
        {1, 3, -4, 1, 3, 5, false},    // converging
        {-1, -3, -4, 2, 3, 3, false},  // backward
        {-1, -3, 0, 2, 3, 3, true},    // backward, moving apart from the cell ahead
        {0, -3, 4, 1, 3, 5, false},    // converging
    };
    for (const auto& c : cases) {
        const double w[] = {0, c.wm, c.w, c.wp};
        const UpwindChoice u = upwind_choice(w, len, 2);
        EXPECT_EQ(std::make_tuple(u.l, u.r, u.dx_up, u.dx_c, u.diverging),
                  std::make_tuple(c.l, c.r, c.dx_up, 5.0, c.diverging))
            << c.wm << " " << c.w << " " << c.wp;
    }
    EXPECT_DOUBLE_EQ(general_update({10, 1, 4, 6, 0.5, 1.5}, upwind_choice(len, len, 2), 0.1),
                     10 - 0.1 - 0.1 - 0.02);
}

// Cell 3 is the only interior cell of the window 2 ... 4.
class LayerPass : public testing::Test {
protected:
    void SetUp() override {
        test::init_flow_state(s, 8);
        s.window.first_active = 2;
        s.window.last_active = 5;
        s.grid.cell_length[3] = 2;
        s.grid.cell_length[4] = 3;
    }
    double advance(double step) {
        double result = 0;
        out = test::stdout_of([&] { result = advance_interior(s, step); });
        return result;
    }
    ModelState s;
    std::string out;
};

TEST_F(LayerPass, DivergingFormWithTheDepthFloor) {
    s.layers.u2[2] = -1, s.layers.u2[3] = 2, s.layers.u2[4] = 3;
    s.grid.cos_slope[3] = 0.8;
    s.U_prev[3][kSaltLoad] = 5;
    s.sink[3][kSaltLoad] = 0.5;
    s.flux_adv[3][kSaltLoad] = 8;
    s.flux_adv[2][kSaltLoad] = 100;  // the cell's own flux replaces the difference
    s.flux_diff[4][kSaltLoad] = 50;  // and the saltation load has no diffusion
    // The momentum in the same cell still takes the general formula.
    s.U_prev[3][kSaltMomentum] = 10;
    s.flux_adv[2][kSaltMomentum] = 4, s.flux_adv[3][kSaltMomentum] = 6;
    EXPECT_EQ(advance(0.1), 0.1);
    EXPECT_EQ(out, "");
    EXPECT_DOUBLE_EQ(s.U[3][kSaltLoad], 4.35);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltDepth], 0.075);  // 0.03 |u2| / cos_slope, deeper than the load's
    EXPECT_DOUBLE_EQ(s.U[3][kSaltMomentum], 9.9);

    // Suspension layer moving apart: snow volume with the diffusive term.
    s.layers.u3[2] = -1, s.layers.u3[3] = 2, s.layers.u3[4] = 3;
    s.U_prev[3][kSuspVolume] = 1;
    s.flux_adv[3][kSuspVolume] = 0.5;
    s.flux_diff[2][kSuspVolume] = 0.1, s.flux_diff[4][kSuspVolume] = 0.2;
    advance(0.1);
    EXPECT_DOUBLE_EQ(s.U[3][kSuspVolume], 1 - 0.1 * 0.5 / 2 * 3 / 2 - 0.1 * 0.1 / 5);
}

TEST_F(LayerPass, SmallNegativeMassesAreZeroedStrictlyAboveTheirLimits) {
    s.sink[3][kSaltLoad] = 0.00005;
    s.sink[3][kSuspVolume] = 0.000005;
    s.sink[3][kSaltMomentum] = 1;
    EXPECT_EQ(advance(1.0), 1.0);
    EXPECT_EQ(s.U[3][kSaltLoad], 0.0);
    EXPECT_EQ(s.U[3][kSuspVolume], 0.0);
    EXPECT_EQ(out, "   time_step:  U_2[3] = -inf.\n");  // momentum over a load set to 0

    s.sink[3][kSaltLoad] = 0.0001;
    s.sink[3][kSuspVolume] = 0.00001;
    s.sink[3][kSaltMomentum] = 0;
    EXPECT_EQ(advance(1.0), 0.0);  // an empty cell crossing zero allows no step
    EXPECT_EQ(s.U[3][kSaltLoad], -0.0001);
    EXPECT_EQ(
        out,
        "   time_step:  neg. rho2 at i=3, r=3, l=2\n   time_step:  neg. c3 at i=3, r=3, l=2\n");
}

// ---- The active window that follows the flow, and the cells outside it.

TEST(TimeStep, CellsOutsideTheWindowCarryTheStartOfThePass) {
    ModelState s;
    test::init_flow_state(s, 12);
    for (int i = 0; i < 12; ++i)  // rows that all differ, U unlike U_prev
        for (int j = 0; j < kNumComponents; ++j) s.U_prev[i][j] = 1 + i + 0.1 * j, s.U[i][j] = -5.0;
    s.window.first_active = 3;
    s.window.last_active = 8;
    for (StepKind kind : {StepKind::kFull, StepKind::kRescale, StepKind::kRescale}) {
        const int first = s.window.first_active, last = s.window.last_active;
        test::stdout_of([&] { time_step(s, kind, 0.05, 0.05); });
        for (int i = 0; i < 12; ++i)
            for (int j = 0; j < kNumComponents && (i < first || i >= last); ++j)
                EXPECT_EQ(s.U[i][j], s.U_prev[i][j]) << i;
    }
}

class Window : public testing::Test {
protected:
    void SetUp() override { test::init_flow_state(s, 100); }
    // Moves the window from the given bounds; returns the new ones.
    std::pair<int, int> from(int first, int last) {
        s.window.first_active = first;
        s.window.last_active = last;
        find_active_window(s);
        return {s.window.first_active, s.window.last_active};
    }
    ModelState s;
};

TEST_F(Window, ThreeQuietCellsOnEachSideOfTheFlow) {
    for (int i = 10; i <= 20; ++i) s.U[i][kSaltLoad] = 10.0;  // exactly the threshold
    EXPECT_EQ(from(0, 100), std::make_pair(7, 24));
    // Growth is limited per search: 3 cells upstream, 4 downstream.
    EXPECT_EQ(from(13, 15), std::make_pair(10, 19));
    for (int j : {kSaltLoad, kSaltMomentum, kSuspVolume, kSuspMomentum}) {
        SetUp();
        s.U[50][j] = -20.0;  // each component counts by its magnitude
        EXPECT_EQ(from(0, 100), std::make_pair(47, 54)) << j;
    }
    SetUp();
    s.U[50][kSuspEnergy] = s.U[50][kCoverDepth] = 1e6;  // not flow
    s.U[50][kSaltLoad] = 9.99;
    EXPECT_EQ(from(0, 100), std::make_pair(96, 99));
}

// The scan runs from cell 4 to n - 3; without flow the window inverts.
TEST_F(Window, ScansBetweenCell4AndCellNMinus3AndInvertsWithoutFlow) {
    for (int i = 0; i <= 3; ++i) s.U[i][kSaltLoad] = 50.0;  // never inspected
    EXPECT_EQ(from(0, 100), std::make_pair(96, 99));
    s.U[50][kSaltLoad] = 50.0;
    // Cell n - 3: seen from an end at it or beyond, not from one before it.
    s.U[97][kSaltLoad] = 50.0;
    EXPECT_EQ(from(0, 96), std::make_pair(47, 54));
    EXPECT_EQ(from(0, 97), std::make_pair(47, 99));
    s.U[4][kSaltLoad] = 50.0;
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
    SetUp();
    EXPECT_EQ(from(40, 50), std::make_pair(96, 54));  // no cells for a while
    EXPECT_EQ(from(96, 54), std::make_pair(96, 58));
    // The end bound rises by 4 per search, then settles.
    for (int k = 0; k < 20; ++k) from(s.window.first_active, s.window.last_active);
    EXPECT_EQ(std::make_pair(s.window.first_active, s.window.last_active), std::make_pair(96, 99));
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = 0;  // every cell carries flow
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = 0;
    EXPECT_EQ(from(50, 60), std::make_pair(47, 64));
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
}

}  // namespace
}  // namespace torla
