// The explicit update: upwind selection, the layer passes, the negativity
// limits, the redo of a step and the housekeeping of time_step.
#include <gtest/gtest.h>

#include <cmath>

#include "flow_fixture.h"

namespace torla {
namespace {

TEST(UpwindChoice, FourCasesWithZeroCountingAsForward) {
    const double len[] = {1, 1, 2, 3};
    struct Case {
        double wm, w, wp;
        int l, r;
        double dx_up;
        bool diverging;
    };
    const Case cases[] = {
        {2, 3, 4, 1, 2, 2, false},     // forward
        {-1, 0, 0, 1, 2, 2, true},     // forward, moving apart from the cell behind
        {1, 3, -4, 1, 3, 5, false},    // converging
        {-1, -3, -4, 2, 3, 3, false},  // backward
        {-1, -3, 0, 2, 3, 3, true},    // backward, moving apart from the cell ahead
        {0, -3, 4, 1, 3, 5, false},    // converging
    };
    for (const Case& c : cases) {
        const double w[] = {0, c.wm, c.w, c.wp};
        const UpwindChoice u = upwind_choice(w, len, 2);
        EXPECT_EQ(u.l, c.l) << c.wm << " " << c.w << " " << c.wp;
        EXPECT_EQ(u.r, c.r) << c.wm << " " << c.w << " " << c.wp;
        EXPECT_EQ(u.dx_up, c.dx_up) << c.wm << " " << c.w << " " << c.wp;
        EXPECT_EQ(u.dx_c, 5.0);
        EXPECT_EQ(u.diverging, c.diverging) << c.wm << " " << c.w << " " << c.wp;
    }
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

TEST_F(LayerPass, GeneralFormula) {
    s.layers.u2[2] = 2, s.layers.u2[3] = 3, s.layers.u2[4] = 4;
    s.U_prev[3][kSaltMomentum] = 10;
    s.sink[3][kSaltMomentum] = 1;
    s.flux_adv[2][kSaltMomentum] = 4, s.flux_adv[3][kSaltMomentum] = 6;
    s.flux_diff[2][kSaltMomentum] = 0.5, s.flux_diff[4][kSaltMomentum] = 1.5;
    EXPECT_EQ(advance(0.1), 0.1);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltMomentum], 9.78);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltDepth], 0.09);  // 0.03 |u2| / cos_slope with no load
    EXPECT_EQ(s.U[3][kCoverDensity], 150.0);
    EXPECT_EQ(out, "");
}

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
    advance(0.1);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltLoad], 4.35);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltDepth], 0.075);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltMomentum], 9.9);

    // Suspension layer moving apart: snow volume with the diffusive term.
    s.layers.u3[2] = -1, s.layers.u3[3] = 2, s.layers.u3[4] = 3;
    s.U_prev[3][kSuspVolume] = 1;
    s.flux_adv[3][kSuspVolume] = 0.5;
    s.flux_diff[2][kSuspVolume] = 0.1, s.flux_diff[4][kSuspVolume] = 0.2;
    advance(0.1);
    EXPECT_DOUBLE_EQ(s.U[3][kSuspVolume], 1 - 0.1 * 0.5 / 2 * 3 / 2 - 0.1 * 0.1 / 5);
}

TEST_F(LayerPass, ZeroCrossingAndTheRedoToZero) {
    s.U_prev[3][kSaltLoad] = 0.5;
    s.sink[3][kSaltLoad] = 10;  // new load -0.5
    s.U_prev[3][kSaltMomentum] = 2;
    s.sink[3][kSaltMomentum] = 4;
    EXPECT_DOUBLE_EQ(advance(0.1), 0.05);
    EXPECT_EQ(out, "   time_step:  neg. rho2 at i=3, r=3, l=2\n");
    EXPECT_DOUBLE_EQ(s.U[3][kSaltLoad], -0.5);

    s.clock.dt = 0.1;
    s.U_prev[3][kSaltDepth] = 0.7;
    s.U[3][kCoverDensity] = 160;
    const double depth = s.U[3][kSaltDepth];
    rescale_interior(s, 0.1, 0.05);
    EXPECT_EQ(s.U[3][kSaltLoad], 0.0);
    EXPECT_DOUBLE_EQ(s.U[3][kSaltMomentum], 2 - 0.2);
    EXPECT_EQ(s.U[3][kSaltDepth], depth);  // still that of the full step
    EXPECT_EQ(s.U[3][kCoverDensity], 160.0);
}

TEST_F(LayerPass, SmallNegativeMassesAreZeroedStrictlyAboveTheirLimits) {
    s.U_prev[3][kSaltLoad] = 0;
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
    EXPECT_EQ(out,
              "   time_step:  neg. rho2 at i=3, r=3, l=2\n"
              "   time_step:  neg. c3 at i=3, r=3, l=2\n");
}

TEST(TimeStep, SmallestZeroCrossingStepOfAllCells) {
    ModelState s;
    test::init_flow_state(s, 8);
    s.window.first_active = 1;
    s.window.last_active = 6;  // interior 2 ... 4
    for (int i = 0; i < 8; ++i) s.layers.u2[i] = s.layers.u3[i] = -1.0;  // backward: r = i + 1, l = i
    s.U_prev[2][kSaltLoad] = 0.5;
    s.U_prev[2][kSaltMomentum] = 0.5 * -1.0;
    s.U_prev[3][kSuspVolume] = 0.2;
    s.U_prev[4][kSaltLoad] = 0.3;
    s.sink[2][kSaltLoad] = 10;   // crossing at 0.05
    s.sink[3][kSuspVolume] = 10; // crossing at 0.02
    s.sink[4][kSaltLoad] = 10;   // crossing at 0.03
    std::string out = test::stdout_of([&] { EXPECT_DOUBLE_EQ(advance_interior(s, 0.1), 0.02); });
    EXPECT_EQ(out,
              "   time_step:  neg. rho2 at i=2, r=3, l=2\n"
              "   time_step:  U_2[2] = 1.000000.\n"
              "   time_step:  neg. rho2 at i=4, r=5, l=4\n"
              "   time_step:  neg. c3 at i=3, r=4, l=3\n");
}

// A state whose rows all differ, with U unlike U_prev outside the window.
void fill_distinct(ModelState& s) {
    for (int i = 0; i < s.n_cells; ++i)
        for (int j = 0; j < kNumComponents; ++j) {
            s.U_prev[i][j] = 1 + i + 0.1 * j;
            s.U[i][j] = -5.0;
        }
}

// Runs a full step over a window of the given bounds on 8 distinct cells.
void step_window(ModelState& s, int first, int last) {
    test::init_flow_state(s, 8);
    fill_distinct(s);
    s.window.first_active = first;
    s.window.last_active = last;
    double result = 0;
    EXPECT_EQ(test::stdout_of([&] { result = time_step(s, StepKind::kFull, 0.1, 0.1); }), "");
    EXPECT_EQ(result, 0.1);
}

TEST(TimeStep, WindowsWithoutInterior) {
    {  // two cells: both end empty, the copy takes the row just zeroed
        ModelState s;
        step_window(s, 3, 5);
        for (int j = kSaltDepth; j < kNumComponents; ++j) {
            EXPECT_EQ(s.U[3][j], 0.0);
            EXPECT_EQ(s.U[4][j], 0.0);
        }
        for (int j = 0; j < kSaltDepth; ++j) EXPECT_EQ(s.U[3][j], -5.0);
    }
    {  // one cell: zeroed, then overwritten by the restored cell before it
        ModelState s;
        step_window(s, 3, 4);
        for (int j = kSaltDepth; j < kNumComponents; ++j) EXPECT_EQ(s.U[3][j], s.U_prev[2][j]);
        for (int j = 0; j < kSaltDepth; ++j) EXPECT_EQ(s.U[3][j], -5.0);  // left as U held them
    }
    {  // inverted: everything restored, then the two edge rules
        ModelState s;
        step_window(s, 5, 3);
        for (int j = kSaltDepth; j < kNumComponents; ++j) {
            EXPECT_EQ(s.U[5][j], 0.0);
            EXPECT_EQ(s.U[2][j], s.U_prev[1][j]);
        }
        for (int i : {0, 1, 3, 4, 6, 7})
            for (int j = 0; j < kNumComponents; ++j) EXPECT_EQ(s.U[i][j], s.U_prev[i][j]);
    }
}

TEST(TimeStep, CellsOutsideTheWindowCarryTheStartOfThePass) {
    ModelState s;
    test::init_flow_state(s, 12);
    fill_distinct(s);
    s.window.first_active = 3;
    s.window.last_active = 8;
    for (StepKind kind : {StepKind::kFull, StepKind::kRedo, StepKind::kRedo}) {
        const int first = s.window.first_active, last = s.window.last_active;
        test::stdout_of([&] { time_step(s, kind, 0.05, 0.05); });
        for (int i = 0; i < 12; ++i)
            if (i < first || i >= last) {
                for (int j = 0; j < kNumComponents; ++j) EXPECT_EQ(s.U[i][j], s.U_prev[i][j]) << i;
            }
    }
}

TEST(TimeStep, UpdateSeesTheAmbientCellAtTheWindowStart) {
    ModelState s;
    test::init_flow_state(s, 10);
    s.window.first_active = 2;
    s.window.last_active = 7;
    for (int i = 0; i < 10; ++i) {
        s.layers.h3[i] = 1.0;
        s.layers.u3[i] = -1.0;
    }
    s.layers.u3[2] = -5.0;  // would make cell 3 take the backward pair (3, 4)
    test::stdout_of([&] { time_step(s, StepKind::kFull, 0.1, 0.1); });
    // Cell 2 moves no more: the flow converges on cell 3, pair (2, 4).
    const double dx_c = s.grid.cell_length[3] + s.grid.cell_length[4];
    const double expected = s.U_prev[3][kSuspDepth] - 0.1 * s.sink[3][kSuspDepth] -
                            0.1 * (s.flux_adv[4][kSuspDepth] - s.flux_adv[2][kSuspDepth]) / dx_c;
    EXPECT_EQ(s.layers.u3[2], 0.0);
    EXPECT_NE(s.flux_adv[4][kSuspDepth], s.flux_adv[2][kSuspDepth]);
    EXPECT_DOUBLE_EQ(s.U[3][kSuspDepth], expected);
}

TEST(TimeStep, TwoRescalingsScaleTheIncrementByBothRatios) {
    ModelState s;
    test::init_flow_state(s, 10);
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = 0;
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = 0;  // the window stays 1 ... 9
    s.window.first_active = 1;
    s.window.last_active = 9;
    for (int i = 0; i < 10; ++i) {
        const double rho3 = 1 + s.constants.rho_diff * 0.004;
        const double u[kNumComponents] = {0.5, 150, 0.5, 21 * 0.5 * (6 + i), 10, 5, rho3 * 5 * (8 + i),
                                          0.02, rho3 * 5 * 2, rho3 * 5 * 4};
        std::copy(u, u + kNumComponents, s.U[i]);
        s.layers.g_tangent[i] = 4.0;
    }
    recover_layer_variables(s);
    s.U_prev = s.U;
    s.clock.dt = 0.1;
    Matrix full = s.U;
    test::stdout_of([&] {
        time_step(s, StepKind::kFull, 0.1, 0.1);
        full = s.U;
        time_step(s, StepKind::kRedo, 0.06, 0.1);
        time_step(s, StepKind::kRedo, 0.03, 0.1);
    });
    for (int i = 2; i <= 7; ++i)
        for (int j : {0, 3, 4, 5, 6, 7, 8, 9}) {
            const double increment = full[i][j] - s.U_prev[i][j];
            EXPECT_NEAR(s.U[i][j] - s.U_prev[i][j], increment * 0.06 * 0.03 / (0.1 * 0.1),
                        1e-12 * (std::fabs(s.U_prev[i][j]) + std::fabs(increment)))
                << i << " " << j;
        }
    EXPECT_NE(full[4][kSaltMomentum], s.U_prev[4][kSaltMomentum]);
}

}  // namespace
}  // namespace torla
