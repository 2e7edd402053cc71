// Whole runs: help and version, a full disk, two runs in one directory.
#include <gtest/gtest.h>

#include "test_support.h"

namespace torla {
namespace {

TEST(EndToEnd, HelpAndVersion) {
    test::TempDir dir;
    std::string out;
    EXPECT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla --version", out), 0);
    EXPECT_EQ(out, "TORLA Version 0.5.11\n");
    EXPECT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla --help", out), 0);
    EXPECT_EQ(out.rfind("Usage: torla INFORMATION_FILE\n", 0), 0u) << out;
}

// A disk that fills: the shell's limit on the size of a file the run may
// write (the signal it would send ignored) makes the writes fail there.
TEST(EndToEnd, FullDiskIsFoundAtTheWriteThatFails) {
    test::TempDir dir;
    std::string out;
    EXPECT_EQ(test::run_torla(dir, test::release_track(8, "Max_Time 1\n", 2, 4), out,
                              test::bin_dir() + "/", "trap '' XFSZ; ulimit -f 2; "),
              1);
    EXPECT_CONTAINS(out,
                    "   main:  FATAL ERROR:  Could not write to log file `run.plg' (File too "
                    "large). STOP!");
    // A result file that cannot be created.
    test::write_text(dir.file("run.info"), "run.cmd\nnowhere/run.res\n" + test::bin_dir() + "/\n");
    EXPECT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla run.info", out), 1);
    EXPECT_CONTAINS(out,
                    "   open_log:  FATAL ERROR:  Could not create log file `nowhere/run.plg' (No "
                    "such file or directory). STOP!");
}

TEST(EndToEnd, RunsStartedTogetherInOneDirectoryGetTheirOwnGrids) {
    // Two different tracks; each run alone first, then both at once, several times.
    test::TempDir dir;
    const std::string t = test::bin_dir() + "/torla", prefix = test::bin_dir() + "/";
    for (const char* name : {"a", "b"}) {
        const std::string n = name;
        test::write_text(dir.file(n + ".cmd"),
                         test::release_track(n == "a" ? 30 : 45, "Max_Time 3\n", 2, 4, 10.0,
                                             n == "a" ? 6.0 : 3.0));
        test::write_text(dir.file(n + ".info"), n + ".cmd\n" + n + ".res\n" + prefix + "\n");
    }
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), "(" + t + " a.info && " + t + " b.info)", out), 0) << out;
    const std::string a = test::read_text(dir.file("a.res")),
                      b = test::read_text(dir.file("b.res"));
    ASSERT_NE(a, b);
    for (int round = 0; round < 5; ++round) {
        ASSERT_EQ(test::run_in(dir.path(),
                               "(" + t + " a.info > a.out & " + t + " b.info > b.out & wait)", out),
                  0);
        EXPECT_EQ(test::read_text(dir.file("a.res")), a) << "round " << round;
        EXPECT_EQ(test::read_text(dir.file("b.res")), b) << "round " << round;
    }
}

}  // namespace
}  // namespace torla
