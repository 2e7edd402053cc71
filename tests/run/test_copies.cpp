// The copies of a pass cover only the rows that can differ (U to U_prev at
// the start of a pass, the restore of the cells outside the window, sink to
// sink_prev); the whole-matrix copies stay selectable. Both must give the
// same run to the last bit: whole runs of the program are compared byte for
// byte, and passes driven in-process are compared matrix by matrix in the
// situations where rows leave the window.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "flow_fixture.h"
#include "output/output.h"
#include "run/run.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

constexpr double kPi = 3.14159265358979323846;

// ---- whole runs of torla, with knotline as the grid generator ----

struct RunOutput {
    int status = -1;
    std::string console, result, log;
    ResultData data;  // the result file as read back
};

// Runs torla on the command file text in a fresh directory; with
// full_copies the run is asked for the whole-matrix copies.
RunOutput run_torla_on(const std::string& command_text, bool full_copies) {
    TempDir dir;
    test::write_text(dir.file("run.cmd"), command_text);
    test::write_text(dir.file("run.info"), "run.cmd\nrun.res\n" + test::bin_dir() + "/\n");
    RunOutput r;
    const std::string env = full_copies ? "TORLA_FULL_COPIES=1 " : "TORLA_FULL_COPIES=0 ";
    r.status = test::run_in(dir.path(), env + test::bin_dir() + "/torla run.info", r.console);
    r.result = test::read_text(dir.file("run.res"));
    r.log = test::read_text(dir.file("run.plg"));
    EXPECT_EQ(read_result_file(dir.file("run.res"), r.data), "");
    return r;
}

// Runs the command file both ways and expects identical bytes everywhere.
RunOutput expect_same_both_ways(const std::string& command_text) {
    const RunOutput partial = run_torla_on(command_text, false);
    const RunOutput full = run_torla_on(command_text, true);
    EXPECT_TRUE(partial.status == kStatusComplete || partial.status == kStatusSmallStep) << partial.console;
    EXPECT_EQ(full.status, partial.status);
    EXPECT_FALSE(partial.result.empty());
    EXPECT_TRUE(partial.result == full.result) << "result files differ";
    EXPECT_TRUE(partial.log == full.log) << "log files differ";
    EXPECT_TRUE(partial.console == full.console) << "console output differs";
    return partial;
}

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// A path of 41 points 20 m apart: 20 segments down at 25 degrees, then a
// counter-slope rising at 20 degrees. Saltating and suspended snow are
// released on the first four points; the rest carries a quiet cover.
std::string counter_slope_command() {
    std::ostringstream o;
    o << "Track_Name Counter-slope\nRun_Name Release against a counter-slope\n"
         "| POWDER SNOW GLOBAL PARAMETERS\nGrid_Method Polygon\nElem_Size 10.0\nMax_Dev 1.0\n"
         "Max_Time 40.0\nDump_Interval 1.0\n| COORDINATES\nNumber_of_Points 41\n";
    double y = 1000.0;
    for (int i = 0; i <= 40; ++i) {
        char line[96];
        std::snprintf(line, sizeof line, "%d %d %.2f 0 0\n", i, 20 * i, y);
        o << line;
        const double angle = i < 20 ? 25.0 : -20.0;
        y -= std::tan(angle * kPi / 180) * 20;
    }
    o << "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i <= 40; ++i)
        o << i << (i < 4 ? " 0 0.4 0.5 150 1.0 2 20 5 2 2 1 1\n" : " 0 0.4 0.5 150 0 0 0 0 0 0 0 0\n");
    o << "| END OF FILE\n";
    return o.str();
}

TEST(CopiesOfChangedRows, BundledExampleIsIdenticalToWholeCopies) {
    const RunOutput r =
        expect_same_both_ways(test::read_text(std::string(TORLA_SOURCE_DIR) + "/examples/avalanche.cmd"));
    // The avalanche runs down the whole path: many dumps, a moving window.
    EXPECT_EQ(count(r.console, "   Dump at t ="), 51u);
    EXPECT_EQ(count(r.console, "cells 0--204."), 1u);
}

TEST(CopiesOfChangedRows, CounterSlopeRunIsIdenticalToWholeCopies) {
    const RunOutput r = expect_same_both_ways(counter_slope_command());
    // The run must take the paths where rows leave the window in a redo:
    // a step limited by a negative snow volume, Courant redos, snow turned
    // back by the counter-slope, and the window's upper end moving down.
    EXPECT_GE(count(r.console, "neg. c3"), 1u);
    EXPECT_GE(count(r.console, "main:  dtn ="), 5u);
    EXPECT_GE(count(r.console, "time_step:  U_2["), 1u);
    const ResultData& data = r.data;
    bool backward = false;
    for (std::size_t d = 0; d < data.dumps.size(); ++d)
        for (int i = 0; i < data.n_cells; ++i) backward = backward || data.dump_value(d, 3, i) < 0;
    EXPECT_TRUE(backward) << "no saltation moving back up the track";
}

// ---- passes driven in-process, compared after every pass ----

// A 30-degree incline of n 10 m cells turning into a 25-degree
// counter-slope at cell 40, under a 0.5 m cover, with saltating and
// suspended snow released over cells 5 ... 15 at 5 m/s; prepared as the
// driver's start-up leaves it. Dumps go to a result file in dir.
void incline_state(ModelState& s, int n, const TempDir& dir) {
    test::init_flow_state(s, n);
    const RunParameters& p = s.par;
    s.grid.min_cell_length = 10.0;
    s.clock.next_dump_time = 1e30;  // no regular dumps
    s.par.Max_Time = 1e30;
    s.names.result_file = dir.file(s.window.full_copies ? "full.res" : "partial.res");
    s.files.log = std::tmpfile();
    for (int i = 0; i < n; ++i) {
        const double a = (i < 40 ? 30.0 : -25.0) * kPi / 180;
        s.grid.cos_slope[i] = std::cos(a);
        s.grid.sin_slope[i] = std::sin(a);
        s.grid.u_threshold[i] = 0.4;
        const bool release = i >= 5 && i <= 15;
        const double h2 = release ? 1.0 : 0.0, u2 = release ? 5.0 : 0.0, rho2 = release ? 30.0 : 0.0;
        const double h3 = release ? 8.0 : 0.0, u3 = release ? 5.0 : 0.0;
        const double c3 = release ? 3.0 / p.Particle_Density : 0.0;
        const double rho3 = p.Air_Density + s.constants.rho_diff * c3;
        double* u = s.U[i];
        u[kCoverDepth] = 0.5;
        u[kSaltDepth] = h2;
        u[kSaltLoad] = rho2 * h2;
        u[kSaltMomentum] = (p.Air_Density + rho2) * u2 * h2;
        u[kSuspDepth] = h3;
        u[kSuspMomentum] = u3 * rho3 * h3;
        u[kSuspVolume] = c3 * h3;
        u[kSuspEnergy] = (release ? 2.0 : 0.0) * rho3 * h3;
        u[kSuspDissipation] = (release ? 1.2 : p.Min_Susp_Dissip) * rho3 * h3;
    }
    recover_layer_variables(s);
    update_gravity(s);
    s.clock.dt = s.clock.dtn = 0.1;
    s.clock.t = -s.clock.dt;
}

// One pass; a run stopped by its own checks counts as ended.
bool pass_of(ModelState& s) {
    try {
        return run_pass(s);
    } catch (const RunStop&) {
        return false;
    }
}

bool same_bits(const Matrix& a, const Matrix& b) {
    return a.data.size() == b.data.size() &&
           std::memcmp(a.data.data(), b.data.data(), a.data.size() * sizeof(double)) == 0;
}

// Drives both states through the same passes; before each pass, prepare
// may change both alike. Every matrix must agree bit for bit afterwards.
template <class Prepare>
void compare_passes(int passes, Prepare prepare) {
    TempDir dir;
    ModelState full, partial;
    full.window.full_copies = true;
    incline_state(full, 120, dir);
    incline_state(partial, 120, dir);
    [&] {
        for (int k = 0; k < passes; ++k) {
            prepare(full, k);
            prepare(partial, k);
            bool go_full = false, go_partial = false;
            const std::string said_full = test::stdout_of([&] { go_full = pass_of(full); });
            const std::string said_partial = test::stdout_of([&] { go_partial = pass_of(partial); });
            ASSERT_EQ(go_full, go_partial) << "pass " << k;
            ASSERT_EQ(said_full, said_partial) << "pass " << k;
            ASSERT_TRUE(same_bits(full.U, partial.U)) << "U after pass " << k;
            ASSERT_TRUE(same_bits(full.U_prev, partial.U_prev)) << "U_prev after pass " << k;
            ASSERT_TRUE(same_bits(full.sink_prev, partial.sink_prev)) << "sink_prev after pass " << k;
            ASSERT_EQ(full.window.first_active, partial.window.first_active) << "pass " << k;
            ASSERT_EQ(full.window.last_active, partial.window.last_active) << "pass " << k;
            ASSERT_EQ(full.clock.dt, partial.clock.dt) << "pass " << k;
            if (!go_full) break;
        }
    }();
    // Closing dumps of U_prev, if the step became too small.
    EXPECT_EQ(test::read_text(dir.file("full.res")), test::read_text(dir.file("partial.res")));
    std::fclose(full.files.log);
    std::fclose(partial.files.log);
}

TEST(CopiesOfChangedRows, PassesDownTheTrackOntoTheCounterSlopeMatchWholeCopies) {
    int last_pass = 0, redos = 0;
    compare_passes(400, [&](ModelState& s, int k) {
        last_pass = k;
        if (k > 0 && s.clock.dt < 0.095) ++redos;  // a Courant redo shortened the last step
    });
    // The avalanche climbs the counter-slope until its steps shrink below
    // the smallest step, with Courant redos on the way.
    EXPECT_GT(last_pass, 100);
    EXPECT_LT(last_pass, 399);
    EXPECT_GT(redos, 2);
}

void set_thresholds(ModelState& s, double v) {
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = v;
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = v;
}

TEST(CopiesOfChangedRows, WindowThatLosesTheFlowMatchesWholeCopies) {
    // From pass 30 on no cell counts as carrying flow: the window leaves
    // the avalanche at once, whose rows keep what the last step gave them.
    compare_passes(60, [](ModelState& s, int k) {
        if (k == 30) {
            EXPECT_LT(s.window.first_active, 20);
            set_thresholds(s, 1e30);
        }
        if (k == 31) {
            EXPECT_EQ(s.window.first_active, s.n_cells - 4);
        }
    });
}

TEST(CopiesOfChangedRows, RedoAfterTheWindowShrankMatchesWholeCopies) {
    // Every tenth pass takes a step ten times the cap, so the Courant check
    // redoes it; in pass 40 the flow also vanishes from the window search,
    // so the redo works on a window the avalanche has just left, and from
    // pass 45 every cell counts as carrying flow, so the window grows back
    // over the avalanche.
    compare_passes(80, [](ModelState& s, int k) {
        if (k % 10 == 0 && k > 0) s.clock.dt = 1.0;
        if (k == 40) set_thresholds(s, 1e30);
        if (k == 41) {
            EXPECT_EQ(s.window.first_active, s.n_cells - 4);
        }
        if (k == 45) set_thresholds(s, 0.0);
        if (k == 79) {
            EXPECT_LT(s.window.first_active, 20);  // grown back over the avalanche
        }
    });
}

}  // namespace
}  // namespace torla
