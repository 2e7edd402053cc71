// Copies of the changed rows only and whole-matrix copies give the same run to the last bit.
#include <gtest/gtest.h>

#include "flow_fixture.h"
#include "output/output.h"

namespace torla {
namespace {

std::string source(const std::string& path) { return std::string(TORLA_SOURCE_DIR) + "/" + path; }

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Runs the command file with both kinds of copies; returns the (identical) console.
std::string same_both_ways(const std::string& command_text) {
    std::string said[2], result[2], log[2];
    int status[2];
    for (int full = 0; full < 2; ++full) {
        test::TempDir dir;
        status[full] = test::run_torla(dir, command_text, said[full], test::bin_dir() + "/",
                                       full ? "TORLA_FULL_COPIES=1 " : "TORLA_FULL_COPIES=0 ");
        EXPECT_EQ(status[full], kStatusComplete) << said[full];
        result[full] = test::read_text(dir.file("run.res"));
        log[full] = test::read_text(dir.file("run.plg"));
    }
    EXPECT_FALSE(result[0].empty());
    EXPECT_TRUE(result[0] == result[1]) << "result files differ";
    EXPECT_TRUE(log[0] == log[1]) << "log files differ";
    EXPECT_EQ(said[0], said[1]);
    return said[0];
}

TEST(CopiesOfChangedRows, BundledExampleIsIdenticalToWholeCopies) {
    const std::string said = same_both_ways(test::read_text(source("examples/avalanche.cmd")));
    // The avalanche runs down the whole path: many dumps, a moving window.
    EXPECT_EQ(count(said, "   Dump at t ="), 51u);
    EXPECT_EQ(count(said, "cells 0--204."), 1u);
}

// ---- passes driven in-process, compared after every pass ----

constexpr test::PassMode kFull{true, true}, kPartial{false, true};

void set_thresholds(ModelState& s, double v) {
    s.par.Min_Salt_Mass_Flux = s.par.Min_Salt_Mom_Flux = v;
    s.par.Min_Susp_Mass_Flux = s.par.Min_Susp_Mom_Flux = v;
}

TEST(CopiesOfChangedRows, PassesDownTheTrackOntoTheCounterSlopeMatchWholeCopies) {
    int redos = 0;
    const int passes = test::compare_passes(400, kFull, kPartial, [&](ModelState& s, int k) {
        if (k > 0 && s.clock.dt < 0.095) ++redos;  // a Courant redo shortened the last step
    });
    // Up the counter-slope until the small-step limit, with Courant redos on the way.
    EXPECT_GT(passes, 100);
    EXPECT_LT(passes, 400);
    EXPECT_GT(redos, 2);
}

TEST(CopiesOfChangedRows, RedoAfterTheWindowShrankMatchesWholeCopies) {
    // Every tenth pass a step the Courant check redoes; from pass 40 no flow counts (the redo
    // works on a window the avalanche left), from pass 45 every cell does (the window grows back).
    test::compare_passes(80, kFull, kPartial, [](ModelState& s, int k) {
        if (k % 10 == 0 && k > 0) s.clock.dt = 1.0;
        if (k == 40) set_thresholds(s, 1e30);
        if (k == 41) {
            EXPECT_EQ(s.window.first_active, s.n_cells - 4);
        }
        if (k == 45) set_thresholds(s, 0.0);
        if (k == 79) {
            EXPECT_LT(s.window.first_active, 20);
        }  // grown back over the avalanche
    });
}

}  // namespace
}  // namespace torla
