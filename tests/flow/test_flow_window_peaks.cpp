// The active window following the flow, and the per-cell peak table.
#include <gtest/gtest.h>

#include "flow_fixture.h"
#include "output/output.h"
#include "run/run.h"

namespace torla {
namespace {

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
}

TEST_F(Window, EachComponentCountsByMagnitude) {
    for (int j : {kSaltLoad, kSaltMomentum, kSuspVolume, kSuspMomentum}) {
        SetUp();
        s.U[50][j] = -20.0;
        EXPECT_EQ(from(0, 100), std::make_pair(47, 54)) << j;
    }
    SetUp();
    s.U[50][kSuspEnergy] = s.U[50][kCoverDepth] = 1e6;  // not flow
    s.U[50][kSaltLoad] = 9.99;
    EXPECT_EQ(from(0, 100), std::make_pair(96, 99));
}

TEST_F(Window, ClampsAtBothEndsOfTheTrack) {
    for (int i = 0; i <= 3; ++i) s.U[i][kSaltLoad] = 50.0;  // never inspected
    EXPECT_EQ(from(0, 100), std::make_pair(96, 99));
    s.U[4][kSaltLoad] = 50.0;
    s.U[97][kSaltLoad] = 50.0;  // cell n - 3
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
}

TEST_F(Window, TrackWithoutFlowPassesThroughAnInvertedWindow) {
    EXPECT_EQ(from(40, 50), std::make_pair(96, 54));  // no cells for a while
    EXPECT_EQ(from(96, 54), std::make_pair(96, 58));
    // The end bound rises by 4 per search until the backward scan starts
    // beyond the start bound, then settles.
    for (int k = 0; k < 20; ++k) from(s.window.first_active, s.window.last_active);
    EXPECT_EQ(std::make_pair(s.window.first_active, s.window.last_active), std::make_pair(96, 99));
}

TEST_F(Window, ZeroThresholdsGrowFromNarrowBounds) {
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = 0;
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = 0;
    EXPECT_EQ(from(50, 60), std::make_pair(47, 64));
    EXPECT_EQ(from(0, 100), std::make_pair(1, 99));
}

class Peaks : public testing::Test {
protected:
    void SetUp() override {
        test::init_flow_state(s, 4);
        s.window.first_active = 1;
        s.window.last_active = 3;
    }
    const float* entry(int q, int i) const { return &s.peak_table[(q * 4 + i) * 4]; }
    ModelState s;
};

TEST_F(Peaks, PressuresAndDepthsOfTheFirstVisit) {
    s.layers.h1[1] = 0.4, s.layers.h2[1] = 2, s.layers.u2[1] = 10, s.layers.rho2[1] = 50, s.layers.h3[1] = 7;
    s.layers.u3[1] = 20, s.layers.rho3[1] = 5;
    s.layers.u2[2] = -3;  // a negative velocity stays below the start value
    s.layers.h1[0] = s.layers.h1[3] = 9;  // outside the window
    update_peaks(s);
    EXPECT_EQ(entry(4, 1)[0], 51.0f);
    EXPECT_EQ(entry(5, 1)[0], 5.1f);
    EXPECT_EQ(entry(11, 1)[0], 1.0f);  // 20 * 20 * 5 / 2000
    EXPECT_EQ(entry(3, 1)[0], 10.0f);
    for (int q : {4, 5, 11}) {
        EXPECT_EQ(entry(q, 1)[1], 0.4f);
        EXPECT_EQ(entry(q, 1)[2], 2.0f);
        EXPECT_EQ(entry(q, 1)[3], 7.0f);
    }
    EXPECT_EQ(entry(3, 2)[0], 0.0f);
    EXPECT_EQ(entry(0, 0)[0], 0.0f);
    EXPECT_EQ(entry(0, 3)[0], 0.0f);
}

TEST_F(Peaks, OnlyAStrictlyLargerValueRefreshesTheDepths) {
    s.layers.h1[1] = 0.5, s.layers.h2[1] = 1.0, s.layers.h3[1] = 3.0;
    update_peaks(s);
    s.layers.h2[1] = 1.5;  // same depth h1 as stored: equal value, depths kept
    s.layers.h3[1] = 4.0;
    update_peaks(s);
    EXPECT_EQ(entry(0, 1)[0], 0.5f);
    EXPECT_EQ(entry(0, 1)[2], 1.0f);
    EXPECT_EQ(entry(0, 1)[3], 3.0f);
    // Larger than the stored float, yet rounding to it.
    s.layers.h1[1] = static_cast<double>(0.5f) + 1e-12;
    ASSERT_EQ(static_cast<float>(s.layers.h1[1]), 0.5f);
    update_peaks(s);
    EXPECT_EQ(entry(0, 1)[0], 0.5f);
    EXPECT_EQ(entry(0, 1)[2], 1.5f);
    EXPECT_EQ(entry(0, 1)[3], 4.0f);
}

}  // namespace
}  // namespace torla
