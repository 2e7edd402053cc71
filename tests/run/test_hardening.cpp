// Runs that must not end in success over garbage: values the model cannot
// use, a state that turns non-finite, an overflowing dump count, a full
// disk, and two runs sharing one working directory.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "input/input.h"
#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

const std::string kQuiet = "0 0.5 0.5 150 0 0 0 0 0 0 0 0";
const std::string kRelease = "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5";

// A command file of n points whose points 2 to 4 carry a release.
std::string release_file(int n, const std::string& globals, double drop = 6.0) {
    std::string text = test::command_file(n, globals, kQuiet, 10.0, drop);
    for (int i = 2; i <= 4; ++i) {
        std::ostringstream quiet, release;
        quiet << '\n' << i << ' ' << kQuiet << '\n';
        release << '\n' << i << ' ' << kRelease << '\n';
        text.replace(text.find(quiet.str()), quiet.str().size(), release.str());
    }
    return text;
}

class Hardening : public testing::Test {
protected:
    void info(const std::string& cmd, const std::string& res, const std::string& prefix) {
        test::write_text(dir_.file(cmd + ".info"), cmd + "\n" + res + "\n" + prefix + "\n");
    }
    int torla(const std::string& info_file) {
        return test::run_in(dir_.path(), test::bin_dir() + "/torla " + info_file, out_);
    }
    TempDir dir_;
    std::string out_;
};

TEST_F(Hardening, ParametersTheModelCannotUseStopBeforeAnyFileIsWritten) {
    struct Case {
        std::string globals, message;
    } cases[] = {
        {"Gravity 0\n", "Parameter Gravity is 0; it must be positive."},
        {"Particle_Density -917\n", "Parameter Particle_Density is -917; it must be positive."},
        {"Courant_Nr nan\n", "Parameter Courant_Nr is not a finite number."},
        {"Max_Time_Step 1e999\n", "Parameter Max_Time_Step is not a finite number."},
        {"Threshold_Factor 0\n", "Parameter Threshold_Factor is 0; it must be positive."},
        {"Max_Salt_Density -1\n", "Parameter Max_Salt_Density is -1; it must be positive."},
        {"Alpha inf\n", "Parameter Alpha is not a finite number."},
        {"Velo_Prof_Coeff_1 1e40\n", "Parameter Velo_Prof_Coeff_1 is not a finite number."},
        {"Conc_Prof_Coeff_1 -2\n",
         "Conc_Prof_Coeff_0 + Conc_Prof_Coeff_1 + Conc_Prof_Coeff_2 is -0.6667; the density at "
         "the top of the suspension layer would be negative."},
    };
    // An earlier result of the same name must survive a run that could never work.
    test::write_text(dir_.file("run.res"), "earlier result");
    for (const auto& c : cases) {
        test::write_text(dir_.file("run.cmd"), release_file(8, c.globals));
        info("run.cmd", "run.res", test::bin_dir() + "/");
        EXPECT_EQ(torla("run.cmd.info"), 4) << c.globals;
        EXPECT_NE(out_.find("   read_command_file:  FATAL ERROR:  " + c.message + " STOP!\n"),
                  std::string::npos)
            << out_;
        EXPECT_FALSE(test::fs::exists(dir_.file(kGridFile)));
        EXPECT_EQ(test::read_text(dir_.file("run.res")), "earlier result");
    }
}

TEST_F(Hardening, GridValuesTheModelCannotUseAreNamedByPointAndColumn) {
    struct Case {
        int point, column;
        float value;
        std::string message;
    } cases[] = {
        {3, 3, 0.0f, "Grid point 3, column 3 (cell length) is 0; cell lengths must be positive."},
        {5, 4, 1.5707964f, "Grid point 5, column 4 (slope angle) is 1.5708; the track must be less steep than vertical."},
        {2, 8, 0.0f, "Grid point 2, column 8 (threshold velocity) is 0; it must be positive."},
        {4, 10, -5.0f, "Grid point 4, column 10 (rho1) is -5; it must be positive."},
        {1, 14, std::numeric_limits<float>::quiet_NaN(), "Grid point 1, column 14 (h3) is nan; every grid value must be finite."},
        {0, 0, std::numeric_limits<float>::infinity(), "Grid point 0, column 0 (x) is inf; every grid value must be finite."},
    };
    test::write_text(dir_.file("run.cmd"), release_file(8, ""));
    test::write_text(dir_.file("stub-knotline"), "#!/bin/sh\ncp grid.bin \"$1\"\n");
    chmod(dir_.file("stub-knotline").c_str(), 0755);
    info("run.cmd", "run.res", dir_.path().string() + "/stub-");
    for (const auto& c : cases) {
        FloatRows rows = alloc_float_rows(8, kGridColumns);
        for (int i = 0; i < 8; ++i) {
            auto r = test::grid_row(10.0f * i, -5.0f * i, 10.0f, 0.4f, 0.0f,
                                    {0, 0.5f, 0.5f, 150, 0, 0, 0, 0, 0, 0, 0, 0});
            std::copy(r.begin(), r.end(), rows[i]);
        }
        rows[c.point][c.column] = c.value;
        ASSERT_EQ(write_grid_file(dir_.file("grid.bin"), rows), "");
        EXPECT_EQ(torla("run.cmd.info"), 1) << c.message;
        EXPECT_NE(out_.find("   read_grid_file:  FATAL ERROR:  " + c.message + " STOP!\n"), std::string::npos)
            << out_;
        EXPECT_FALSE(test::fs::exists(dir_.file("run.res")));
        EXPECT_FALSE(test::fs::exists(dir_.file(kGridFile)));
    }
}

TEST_F(Hardening, NonFiniteStateEndsTheRunWithACompleteResultFile) {
    // An absurd lift factor drives the saltation momentum beyond any number.
    test::write_text(dir_.file("run.cmd"), release_file(8, "Beta_3 1e200\n"));
    info("run.cmd", "run.res", test::bin_dir() + "/");
    EXPECT_EQ(torla("run.cmd.info"), 2);
    const std::string message = "   main:  FATAL ERROR:  Non-finite saltation-layer momentum "
                                "(component 3) in cell 2 in the pass from t = 0.000 s. STOP!\n\n";
    EXPECT_NE(out_.find(message), std::string::npos) << out_;
    const std::string log = test::read_text(dir_.file("run.plg"));
    EXPECT_EQ(log.substr(log.size() - message.size()), message);
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_EQ(r.dump_count, 1);
    EXPECT_EQ(r.dumps.size(), 1u);
}

TEST_F(Hardening, DumpCountNeverWraps) {
    test::write_text(dir_.file("run.cmd"), test::command_file(6, "Dump_Interval 0\nMax_Time 1e6\n", kQuiet));
    info("run.cmd", "run.res", test::bin_dir() + "/");
    EXPECT_EQ(torla("run.cmd.info"), 3);
    EXPECT_NE(out_.find("   main:  FATAL ERROR:  The dump at t = 3276.700 s would be the 32768th; "
                        "the dump count holds at most 32767 (raise Dump_Interval). STOP!\n"),
              std::string::npos)
        << out_.substr(out_.size() > 400 ? out_.size() - 400 : 0);
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_EQ(r.dump_count, 32767);
    EXPECT_EQ(r.dumps.size(), 32767u);
}

// A disk that fills: the shell's limit on the size of a file the run may
// write (the signal it would send ignored) makes the writes fail there.
TEST_F(Hardening, FullDiskIsFoundAtTheWriteThatFails) {
    test::write_text(dir_.file("run.cmd"), release_file(8, "Max_Time 1\n"));
    info("run.cmd", "run.res", test::bin_dir() + "/");
    const std::string limited = "trap '' XFSZ; ulimit -f 2; " + test::bin_dir() + "/torla run.cmd.info";
    EXPECT_EQ(test::run_in(dir_.path(), "sh -c \"" + limited + "\"", out_), 1);
    EXPECT_NE(out_.find("   main:  FATAL ERROR:  Could not write to log file `run.plg' (File too large). STOP!"),
              std::string::npos)
        << out_;
    // A result file that cannot be created.
    info("run.cmd", "nowhere/run.res", test::bin_dir() + "/");
    EXPECT_EQ(torla("run.cmd.info"), 1);
    EXPECT_NE(out_.find("   open_log:  FATAL ERROR:  Could not create log file `nowhere/run.plg' (No "
                        "such file or directory). STOP!"),
              std::string::npos)
        << out_;
}

TEST_F(Hardening, RunsStartedTogetherInOneDirectoryGetTheirOwnGrids) {
    // Two different tracks; each run alone first, then both at once, several times.
    test::write_text(dir_.file("a.cmd"), release_file(30, "Max_Time 3\n", 6.0));
    test::write_text(dir_.file("b.cmd"), release_file(45, "Max_Time 3\n", 3.0));
    info("a.cmd", "a.res", test::bin_dir() + "/");
    info("b.cmd", "b.res", test::bin_dir() + "/");
    ASSERT_EQ(torla("a.cmd.info"), 0) << out_;
    ASSERT_EQ(torla("b.cmd.info"), 0) << out_;
    const std::string a = test::read_text(dir_.file("a.res")), b = test::read_text(dir_.file("b.res"));
    ASSERT_NE(a, b);
    for (int round = 0; round < 5; ++round) {
        const std::string t = test::bin_dir() + "/torla";
        ASSERT_EQ(test::run_in(dir_.path(),
                               "(" + t + " a.cmd.info > a.out & " + t + " b.cmd.info > b.out & wait)", out_),
                  0);
        EXPECT_EQ(test::read_text(dir_.file("a.res")), a) << "round " << round;
        EXPECT_EQ(test::read_text(dir_.file("b.res")), b) << "round " << round;
    }
}

}  // namespace
}  // namespace torla
