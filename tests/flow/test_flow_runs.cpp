// Whole runs of the flow model on small tracks, without files: the physics
// must keep still snow still, move released snow downhill and turn it back
// on a counter-slope.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>

#include "flow_fixture.h"
#include "output/output.h"
#include "run/run.h"

namespace torla {
namespace {

constexpr double kPi = 3.14159265358979323846;

// A straight-segment track of n 10 m cells with slope angle angle(i) in
// degrees (positive downhill), a 0.3 m cover and, at cells 8 ... 12, a
// released saltation layer of the given load.
void make_track(ModelState& s, int n, const std::function<double(int)>& angle, double load) {
    test::init_flow_state(s, n);
    s.grid.min_cell_length = 10.0;
    for (int i = 0; i < n; ++i) {
        const double a = angle(i) * kPi / 180;
        s.grid.cos_slope[i] = std::cos(a);
        s.grid.sin_slope[i] = std::sin(a);
        double* u = s.U[i];
        u[kCoverDepth] = load > 0 ? 0.3 : 0.0;
        if (i >= 8 && i <= 12 && load > 0) {
            u[kSaltDepth] = 0.5;
            u[kSaltLoad] = load;
        }
    }
    recover_layer_variables(s);
    update_gravity(s);
    s.clock.dt = 0.1;
    s.clock.dtn = s.clock.dt;
}

// One pass of the time loop: full step, redo to the limited step, new
// layer variables, Courant check with its redo, peaks.
void pass(ModelState& s) {
    std::copy(s.U.data.begin(), s.U.data.end(), s.U_prev.data.begin());
    ++s.clock.step_count;
    s.clock.t += s.clock.dt;
    const double limited = time_step(s, StepKind::kFull, s.clock.dt, s.clock.dt);
    if (limited < s.clock.dt) time_step(s, StepKind::kRedo, limited, s.clock.dt);
    recover_layer_variables(s);
    update_gravity(s);
    s.clock.dtn = courant_time_step(s, max_wave_speed(s));
    if (0.95 * s.clock.dt > s.clock.dtn) {
        time_step(s, StepKind::kRedo, s.clock.dtn, s.clock.dt);
        recover_layer_variables(s);
    }
    update_peaks(s);
    s.clock.dt = s.clock.dtn;
}

double total(const ModelState& s, int j) {
    double sum = 0;
    for (int i = 0; i < s.n_cells; ++i) sum += s.U[i][j];
    return sum;
}

TEST(FlowRun, TrackWithoutSnowStaysStill) {
    ModelState s;
    make_track(s, 40, [](int) { return 30.0; }, 0.0);
    for (int k = 0; k < 50; ++k) pass(s);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(s.U[i][kCoverDensity], 150.0);
        for (int j : {0, 2, 3, 4, 5, 6, 7, 8, 9}) EXPECT_EQ(s.U[i][j], 0.0) << i << " " << j;
    }
    EXPECT_EQ(std::make_pair(s.window.first_active, s.window.last_active), std::make_pair(36, 39));
}

TEST(FlowRun, ReleaseOnAnInclineAcceleratesDownhill) {
    ModelState s;
    test::stdout_of([&] {
        make_track(s, 80, [](int) { return 30.0; }, 40.0);
        pass(s);
        const int first0 = s.window.first_active, last0 = s.window.last_active;
        for (int k = 0; k < 10; ++k) pass(s);
        const double momentum10 = total(s, kSaltMomentum);
        for (int k = 0; k < 20; ++k) pass(s);
        EXPECT_GT(momentum10, 0.0);
        EXPECT_GT(total(s, kSaltMomentum), momentum10);
        EXPECT_GT(s.window.last_active, last0);
        EXPECT_GE(s.window.first_active, first0);
        // The cover in front of the release has been eroded or lifted into suspension.
        EXPECT_GT(total(s, kSuspVolume), 0.0);
    });
}

TEST(FlowRun, CounterSlopeTurnsTheFlowBack) {
    ModelState s;
    bool turned = false;
    test::stdout_of([&] {
        make_track(s, 80, [](int i) { return i < 20 ? 30.0 : -30.0; }, 40.0);
        double most_forward = 0;
        for (int k = 0; k < 600 && !turned; ++k) {
            pass(s);
            const double m = total(s, kSaltMomentum);
            if (m > most_forward) most_forward = m;
            turned = most_forward > 0 && m < 0;
        }
    });
    EXPECT_TRUE(turned);
    EXPECT_LT(s.window.last_active, 79);
}

// Copying only the rows of sink that a call writes leaves exactly the
// same state as copying all rows.
TEST(FlowRun, PartialCopiesOfTheSourceTermsAreExact) {
    ModelState a, b;
    test::stdout_of([&] {
        make_track(a, 80, [](int i) { return i < 30 ? 35.0 : -20.0; }, 60.0);
        make_track(b, 80, [](int i) { return i < 30 ? 35.0 : -20.0; }, 60.0);
        a.window.full_copies = true;
        b.window.full_copies = false;
        for (int k = 0; k < 150; ++k) {
            pass(a);
            pass(b);
            ASSERT_EQ(std::memcmp(a.U.data.data(), b.U.data.data(), a.U.data.size() * sizeof(double)), 0) << k;
            ASSERT_EQ(std::memcmp(a.sink_prev.data.data(), b.sink_prev.data.data(),
                                  a.sink_prev.data.size() * sizeof(double)),
                      0)
                << k;
            ASSERT_EQ(a.window.first_active, b.window.first_active);
            ASSERT_EQ(a.window.last_active, b.window.last_active);
        }
    });
}

}  // namespace
}  // namespace torla
