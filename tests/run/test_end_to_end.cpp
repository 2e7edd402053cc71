// Whole runs of the built program in a temporary directory, with stand-in
// generators that hand over a prepared grid (or fail in a chosen way).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "input/input.h"
#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

constexpr const char* kLocals = "0 0.5 0.5 150 0 0 0 0 0 0 0 0";

class EndToEnd : public testing::Test {
protected:
    // A stand-in generator named <prefix>knotline in the run directory: a
    // shell script with the given body; $1 is the grid file name.
    void generator(const std::string& body) {
        const std::string path = dir_.file("stub-knotline");
        test::write_text(path, "#!/bin/sh\n" + body + "\n");
        chmod(path.c_str(), 0755);
    }
    // A stand-in that replaces the generator input by a grid of n cells
    // of length dx on a 30-degree slope, every cell with the local numbers.
    void grid_generator(int n, const std::vector<float>& locals, float dx = 10.0f) {
        FloatRows rows = alloc_float_rows(n, kGridColumns);
        for (int i = 0; i < n; ++i) {
            auto r = test::grid_row(dx * 0.8660254f * i, -dx * 0.5f * i, dx, 0.5235988f, 0.0f,
                                    locals);
            std::copy(r.begin(), r.end(), rows[i]);
        }
        ASSERT_EQ(write_grid_file(dir_.file("grid.bin"), rows), "");
        generator("cp grid.bin \"$1\"");
    }
    void info(const std::string& command, const std::string& result = "run.res") {
        test::write_text(dir_.file("run.info"),
                         command + "\n" + result + "\n" + dir_.path().string() + "/stub-\n");
    }
    int torla(const std::string& args = "run.info") {
        return test::run_in(dir_.path(), test::bin_dir() + "/torla " + args, out_);
    }
    std::vector<float> quiet_cells() { return {0, 0.5f, 0.5f, 150, 0, 0, 0, 0, 0, 0, 0, 0}; }

    TempDir dir_;
    std::string out_;
};

const std::string kBanner = "\nTORLA Version 0.5.11\t\t(Vandrel, 2002)\n\n";

TEST_F(EndToEnd, ArgumentsHelpAndVersion) {
    EXPECT_EQ(torla(""), 255);
    EXPECT_EQ(out_, kBanner + "   main:  0 instead of a single file name. STOP!\n\n");
    EXPECT_EQ(torla("a b"), 255);
    EXPECT_EQ(out_, kBanner + "   main:  2 instead of a single file name. STOP!\n\n");
    EXPECT_EQ(torla("--version"), 0);
    EXPECT_EQ(out_, "TORLA Version 0.5.11\n");
    EXPECT_EQ(torla("--help"), 0);
    EXPECT_NE(out_.find("Usage: torla INFORMATION_FILE"), std::string::npos);
}

TEST_F(EndToEnd, CompleteRunWritesLogAndResult) {
    const std::string cmd = test::command_file(8, "Max_Time 0.25\nDump_Interval 0.1\n", kLocals);
    test::write_text(dir_.file("run.cmd"), cmd);
    info("run.cmd");
    grid_generator(8, quiet_cells());
    ASSERT_EQ(torla(), 0) << out_;
    // Quiet snow cover: initial wave speed 10 m/s, dt = 0.85 * 10 / 10 capped at 0.1 s.
    EXPECT_EQ(out_, kBanner +
                        "   Track_Name Test track\n   Run_Name Test run\n"
                        "   read_command_file:  8 input points.\n"
                        "   main:  8 grid points.\n"
                        "   main:  read_grid_file finished.\n\n"
                        "   Dump at t =   0.000 s,  dt = 0.1000 s,  cells 0--8.\n"
                        "   Dump at t =   0.100 s,  dt = 0.1000 s,  cells 4--7.\n"
                        "   Dump at t =   0.200 s,  dt = 0.1000 s,  cells 4--7.\n"
                        "   Dump at t =   0.300 s,  dt = 0.1000 s,  cells 4--7.\n"
                        "\nTORLA Version 0.5.11:  Run `Test run' of problem `Test track' finished.\n\n");
    const std::string log = test::read_text(dir_.file("run.plg"));
    const std::string head = "TORLA Version 0.5.11 log file\n~~~~~~~~~~~~~~~~~~~~~~~~~~~~\n\n"
                             "Problem name:               Test track\n"
                             "Run name:                   Test run\n"
                             "Command file:               run.cmd\n\n\n";
    ASSERT_EQ(log.substr(0, head.size()), head);
    EXPECT_EQ(log.substr(head.size(), cmd.size()), cmd);
    EXPECT_EQ(log.substr(head.size() + cmd.size(), 3), "\n\n\n");  // then the form-factor report
    EXPECT_NE(log.find("   form_factor:         S_CZ =  0.444\n"), std::string::npos);
    const std::string tail = "Dump at t =   0.000 s,  dt = 0.1000 s,  cells 0--8.\n"
                             "Dump at t =   0.100 s,  dt = 0.1000 s,  cells 4--7.\n"
                             "Dump at t =   0.200 s,  dt = 0.1000 s,  cells 4--7.\n"
                             "Dump at t =   0.300 s,  dt = 0.1000 s,  cells 4--7.\n"
                             "TORLA 0.5.11:  Run `Test run' of problem `Test track' finished.\n\n";
    ASSERT_GE(log.size(), tail.size());
    EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
    EXPECT_FALSE(test::fs::exists(dir_.file(kGridFile)));

    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_EQ(r.problem_name, "Test track");
    EXPECT_EQ(r.n_cells, 8);
    EXPECT_EQ(r.dump_count, 4);
    ASSERT_EQ(r.dumps.size(), 4u);
    // Snow that does not move stays as it was: cover depth and density.
    for (std::size_t d = 0; d < r.dumps.size(); ++d)
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(r.dump_value(d, 0, i), 0.5f);
            EXPECT_EQ(r.dump_value(d, 1, i), 150.0f);
        }
}

TEST_F(EndToEnd, DumpIntervalZeroDumpsEveryPassAndCrlfReadsTheSame) {
    std::string cmd = test::command_file(8, "Max_Time 0.35\nDump_Interval 0\n", kLocals);
    test::write_text(dir_.file("run.cmd"), cmd);
    info("run.cmd");
    grid_generator(8, quiet_cells());
    ASSERT_EQ(torla(), 0) << out_;
    const std::string plain_out = out_;
    const std::string plain_res = test::read_text(dir_.file("run.res"));
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_EQ(r.dump_count, 5);  // t = 0, 0.1, 0.2, 0.3, 0.4
    EXPECT_EQ(r.dumps.size(), 5u);
    EXPECT_EQ(r.dumps[4][0], 0.4f);

    std::string crlf;
    for (char c : cmd) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    test::write_text(dir_.file("run.cmd"), crlf);
    test::write_text(dir_.file("run.info"), "run.cmd\r\nrun.res\r\n" + dir_.path().string() + "/stub-\r\n");
    ASSERT_EQ(torla(), 0) << out_;
    EXPECT_EQ(out_, plain_out);
    EXPECT_EQ(test::read_text(dir_.file("run.res")), plain_res);
}

TEST_F(EndToEnd, GridMethodChoosesTheGenerator) {
    test::write_text(dir_.file("b.cmd"), test::command_file(8, "Max_Time 0.1\nSpline_Type Bspline\n", kLocals));
    info("b.cmd");
    grid_generator(8, quiet_cells());
    ASSERT_EQ(torla(), 0) << out_;
    EXPECT_NE(out_.find("   main:  8 grid points.\n"
                        "   main:  B- and C-spline grid generators no longer available.\n"
                        "          Calling polygon-based grid generator instead. Reference radius will\n"
                        "          be interpreted as maximum allowed deviation from input points.\n"),
              std::string::npos);

    test::write_text(dir_.file("x.cmd"), test::command_file(8, "Grid_Method xyz\n", kLocals));
    info("x.cmd", "x.res");
    EXPECT_EQ(torla(), 1);
    EXPECT_NE(out_.find("   main:  `xyz'is not allowed grid generation method. STOP!\n"), std::string::npos);
    EXPECT_FALSE(test::fs::exists(dir_.file("x.res")));
    EXPECT_FALSE(test::fs::exists(dir_.file(kGridFile)));
}

// Runs that cannot work: the information file, the names, the generator
// and the grid. Each must stop with its message and status and leave no
// result file.
TEST_F(EndToEnd, FailuresStopWithMessageAndStatus) {
    const std::string cmd = test::command_file(8, "", kLocals);
    struct Case {
        std::string info;         // information file text ("" = none)
        std::string generator;    // body of the stand-in generator script
        std::string message;
        int status;
    } cases[] = {
        {"", "", "   main:  FATAL ERROR:  Could not open information file. STOP!\n\n", 1},
        {"run.cmd\nrun.res\n", "",
         "   main:  FATAL ERROR:  Information file `run.info' has 2 of its 3 lines (command file, result file, generator prefix). STOP!\n\n", 1},
        {"run.cmd\nab\nPREFIX\n", "",
         "   main:  FATAL ERROR:  Result file name `ab' is shorter than 3 characters; the log file cannot be named after it. STOP!\n\n", 1},
        {"run.cmd\nout.plg\nPREFIX\n", "",
         "   main:  FATAL ERROR:  Result file name `out.plg' ends in \"plg\"; the log file would overwrite it. STOP!\n\n", 1},
        {"missing.cmd\nrun.res\nPREFIX\n", "",
         "   read_command_file:  FATAL ERROR:  Could not open command file `missing.cmd'. STOP!\n", 4},
        {"run.cmd\nrun.res\nPREFIX\n", "exit 3",
         "   main:  FATAL ERROR:  Grid generator `PREFIXknotline' failed with exit status 3. STOP!\n\n", 1},
        {"run.cmd\nrun.res\nPREFIX\n", "kill -9 $$",
         "   main:  FATAL ERROR:  Grid generator `PREFIXknotline' was ended by signal 9. STOP!\n\n", 1},
        {"run.cmd\nrun.res\nPREFIX\n", "rm \"$1\"",
         "   main:  FATAL ERROR:  The grid generator left no readable grid file: cannot open torla_grid.tmp: No such file or directory. STOP!\n\n", 1},
        {"run.cmd\nrun.res\nPREFIX\n", "printf '\\005\\000' > \"$1\"",
         "   main:  FATAL ERROR:  The grid file torla_grid.tmp announces 5 grid points; at least 6 are needed. STOP!\n\n", 1},
        {"run.cmd\nrun.res\nPREFIX\n", "printf '\\010\\000abc' > \"$1\"",
         "   read_grid_file:  FATAL ERROR:  torla_grid.tmp holds 0 complete grid rows of the 8 its count announces. STOP!\n\n", 1},
        {"run.cmd\nrun.res\n" + std::string("/nonexistent/dir/") + "\n", "",
         "   main:  FATAL ERROR:  Could not start grid generator `/nonexistent/dir/knotline': No such file or directory. STOP!\n\n", 1},
    };
    const std::string prefix = dir_.path().string() + "/stub-";
    for (auto c : cases) {
        test::fs::remove(dir_.file("run.info"));
        test::fs::remove(dir_.file("run.res"));
        test::write_text(dir_.file("run.cmd"), cmd);
        auto replace_all = [&](std::string& s) {
            for (auto p = s.find("PREFIX"); p != std::string::npos; p = s.find("PREFIX"))
                s.replace(p, 6, prefix);
        };
        replace_all(c.info);
        replace_all(c.message);
        if (!c.info.empty()) test::write_text(dir_.file("run.info"), c.info);
        generator(c.generator.empty() ? "exit 0" : c.generator);
        EXPECT_EQ(torla(), c.status) << c.message;
        EXPECT_NE(out_.find(c.message), std::string::npos) << out_;
        EXPECT_FALSE(test::fs::exists(dir_.file("run.res"))) << c.message;
    }
}

}  // namespace
}  // namespace torla
