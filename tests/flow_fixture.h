// The driver's start-up state: default parameters, flat 10 m cells, 150 kg/m^3 cover, no flow.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "flow/flow.h"
#include "flow/lanes.h"
#include "run/run.h"
#include "test_support.h"

namespace torla::test {

inline void init_flow_state(ModelState& s, int n) {
    s.n_cells = static_cast<int16_t>(n);
    allocate_model_state(s);
    derive_run_constants(s);
    for (int i = 0; i < n; ++i) {
        s.grid.cell_length[i] = 10.0;
        s.grid.cos_slope[i] = 1.0;
        s.grid.u_threshold[i] = 0.5;
        s.layers.rho1[i] = 150.0;
        s.layers.rho3[i] = s.par.Air_Density;
        s.U[i][kCoverDensity] = s.U_prev[i][kCoverDensity] = 150.0;
    }
    s.grid.min_cell_length = 10.0;
    prepare_time_loop(s);  // the window 0 ... n, form factors, gravity, dt = 0.1 s
}

// Everything printed to standard output while f runs.
template <class F>
std::string stdout_of(F&& f) {
    testing::internal::CaptureStdout();
    f();
    return testing::internal::GetCapturedStdout();
}

// The same number bit for bit.
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Runs f(wide) for the baseline and, where the machine has it, the AVX2 flow loops.
class LaneVersions : public testing::Test {
protected:
    template <class F>
    void each_version(F f) {
        for (bool wide : {false, true}) {
            if (wide && !processor_runs_wide_lanes()) continue;  // no AVX2 here
            SCOPED_TRACE(wide ? "AVX2 version" : "baseline version");
            f(wide);
        }
    }
};

inline bool same_bits(const Matrix& a, const Matrix& b) {
    return a.data.size() == b.data.size() &&
           std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0;
}

// The one-cell formulas' inputs of cell i of a state.
inline FluxInputs inputs_of(const ModelState& s, int i) {
    const Layers& l = s.layers;
    return {l.h2[i],   l.u2[i], l.rho2[i], l.h3[i],       l.u3[i],       l.c3[i],
            l.rho3[i], l.k3[i], l.eps3[i], l.g_normal[i], l.g_tangent[i]};
}

// A state of n cells holding unrelated values, including the cases the
// formulas branch on: layers at rest, moving backwards, thinner than their
// minimum, dissipation below its floor, and (lift_off) negative normal gravity.
inline void scramble(ModelState& s, int n, unsigned seed, bool lift_off = true) {
    init_flow_state(s, n);
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto any = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    Layers& l = s.layers;
    for (int i = 0; i < n; ++i) {
        const int kind = static_cast<int>(rng() % 5);
        l.h1[i] = any(0, 1), l.rho1[i] = any(100, 200);
        l.h2[i] = kind == 0 ? 0.05 : any(0, 2);
        l.u2[i] = kind == 1 ? 0.0 : any(-15, 30);
        l.rho2[i] = any(0, 40);
        l.h3[i] = kind == 2 ? 0.01 : any(0, 20);
        l.u3[i] = kind == 3 ? 0.0 : any(-10, 30);
        l.c3[i] = any(0, 0.01);
        l.rho3[i] = s.par.Air_Density + s.constants.rho_diff * l.c3[i];
        l.k3[i] = any(0, 80);
        l.eps3[i] = kind == 4 ? 0.5 : any(0, 5);
        l.g_normal[i] = kind == 4 && lift_off ? -2.0 : any(5, 10);
        l.g_tangent[i] = any(-5, 5);
        s.grid.curvature[i] = any(-0.05, 0.05);
        s.grid.u_threshold[i] = any(0.3, 0.6);
        s.grid.cell_length[i] = any(5, 12);
        for (int j = 0; j < kNumComponents; ++j) {
            s.U[i][j] = any(-1, 30), s.U_prev[i][j] = any(0, 30);
            s.sink_prev[i][j] = any(-5, 5), s.sink[i][j] = any(-5, 5);
            s.flux_adv[i][j] = any(-50, 50), s.flux_diff[i][j] = any(-5, 5);
        }
    }
}

// A 30-degree incline of 10 m cells, a 25-degree counter-slope from cell 40, 0.5 m cover, a
// release over cells 5 ... 15 at 5 m/s, as the driver's start-up leaves it.
inline void release_on_incline(ModelState& s, int n, const std::string& result_file) {
    init_flow_state(s, n);
    const RunParameters& p = s.par;
    s.clock.next_dump_time = 1e30;  // no regular dumps
    s.par.Max_Time = 1e30;
    s.names.result_file = result_file;
    s.files.log = std::tmpfile();
    for (int i = 0; i < n; ++i) {
        const double a = (i < 40 ? 30.0 : -25.0) * 3.14159265358979323846 / 180;
        s.grid.cos_slope[i] = std::cos(a);
        s.grid.sin_slope[i] = std::sin(a);
        s.grid.u_threshold[i] = 0.4;
        const double r = i >= 5 && i <= 15 ? 1.0 : 0.0;  // 1 in the release
        const double c3 = r * 3.0 / p.Particle_Density,
                     rho3 = p.Air_Density + s.constants.rho_diff * c3;
        double* u = s.U[i];
        u[0] = 0.5, u[1] = 150.0, u[2] = r, u[3] = (p.Air_Density + 30 * r) * 5 * r, u[4] = 30 * r;
        u[5] = 8 * r, u[6] = 40 * r * rho3, u[7] = 8 * r * c3, u[8] = 16 * r * rho3;
        u[9] = 9.6 * r * rho3;
    }
    recover_layer_variables(s);
    prepare_time_loop(s);
}

// Runs one pass; false where the run ends, also by its own checks (RunStop).
inline bool pass_goes_on(ModelState& s) {
    try {
        return run_pass(s);
    } catch (const RunStop&) {
        return false;
    }
}

// Whole-matrix or changed-row copies; baseline or AVX2 flow loops.
struct PassMode {
    bool full_copies, wide;
};

// Two released states, each in its own mode, through the same passes (prepare changes both
// alike): every matrix, the window, the step, the console and the dumps agree bit for bit.
template <class Prepare>
int compare_passes(int passes, PassMode mode_a, PassMode mode_b, Prepare prepare) {
    TempDir dir;
    ModelState a, b;
    a.window.full_copies = mode_a.full_copies;
    b.window.full_copies = mode_b.full_copies;
    release_on_incline(a, 120, dir.file("a.res"));
    release_on_incline(b, 120, dir.file("b.res"));
    // Each state runs the version asked for, or the comparison says nothing.
    EXPECT_EQ(use_wide_lanes(a.window, mode_a.wide), mode_a.wide && processor_runs_wide_lanes());
    EXPECT_EQ(use_wide_lanes(b.window, mode_b.wide), mode_b.wide && processor_runs_wide_lanes());
    const auto pass = [](ModelState& s, bool& go) {
        return stdout_of([&] { go = pass_goes_on(s); });
    };
    int k = 0;
    for (bool go_a = true, go_b = true; k < passes && go_a; ++k) {
        prepare(a, k);
        prepare(b, k);
        const std::string said_a = pass(a, go_a), said_b = pass(b, go_b);
        EXPECT_EQ(go_a, go_b) << "pass " << k;
        EXPECT_EQ(said_a, said_b) << "pass " << k;
        const bool same = same_bits(a.U, b.U) && same_bits(a.U_prev, b.U_prev) &&
                          same_bits(a.sink_prev, b.sink_prev) && a.layers.u3 == b.layers.u3 &&
                          a.peak_table == b.peak_table && a.clock.dt == b.clock.dt &&
                          a.window.first_active == b.window.first_active &&
                          a.window.last_active == b.window.last_active;
        if (!same) {
            ADD_FAILURE() << "the states differ after pass " << k;
        }
        if (!same || go_a != go_b) break;
    }
    EXPECT_EQ(read_text(dir.file("a.res")), read_text(dir.file("b.res")));
    std::fclose(a.files.log);
    std::fclose(b.files.log);
    return k;
}

}  // namespace torla::test
