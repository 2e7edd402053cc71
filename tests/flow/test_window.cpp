// The active window that follows the flow, and the cells outside it.
#include <gtest/gtest.h>

#include "flow_fixture.h"

namespace torla {
namespace {

TEST(TimeStep, CellsOutsideTheWindowCarryTheStartOfThePass) {
    ModelState s;
    test::init_flow_state(s, 12);
    for (int i = 0; i < 12; ++i)  // rows that all differ, U unlike U_prev
        for (int j = 0; j < kNumComponents; ++j) s.U_prev[i][j] = 1 + i + 0.1 * j, s.U[i][j] = -5.0;
    s.window.first_active = 3;
    s.window.last_active = 8;
    for (StepKind kind : {StepKind::kFull, StepKind::kRedo, StepKind::kRedo}) {
        const int first = s.window.first_active, last = s.window.last_active;
        test::stdout_of([&] { time_step(s, kind, 0.05, 0.05); });
        for (int i = 0; i < 12; ++i)
            for (int j = 0; j < kNumComponents && (i < first || i >= last); ++j) EXPECT_EQ(s.U[i][j], s.U_prev[i][j]) << i;
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

TEST_F(Window, ScansBetweenCell4AndCellNMinus3) {
    for (int i = 0; i <= 3; ++i) s.U[i][kSaltLoad] = 50.0;  // never inspected
    EXPECT_EQ(from(0, 100), std::make_pair(96, 99));
    s.U[50][kSaltLoad] = 50.0;
    s.U[97][kSaltLoad] = 50.0;  // cell n - 3: seen from an end at it or beyond, not from one before it
    EXPECT_EQ(from(0, 96), std::make_pair(47, 54));
    EXPECT_EQ(from(0, 97), std::make_pair(47, 99));
    s.U[4][kSaltLoad] = 50.0;
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
}

TEST_F(Window, TrackWithoutFlowPassesThroughAnInvertedWindow) {
    EXPECT_EQ(from(40, 50), std::make_pair(96, 54));  // no cells for a while
    EXPECT_EQ(from(96, 54), std::make_pair(96, 58));
    // The end bound rises by 4 per search until the backward scan starts
    // beyond the start bound, then settles.
    for (int k = 0; k < 20; ++k) from(s.window.first_active, s.window.last_active);
    EXPECT_EQ(std::make_pair(s.window.first_active, s.window.last_active), std::make_pair(96, 99));
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = 0;  // every cell carries flow
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = 0;
    EXPECT_EQ(from(50, 60), std::make_pair(47, 64));
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
}

}  // namespace
}  // namespace torla
