// Runs of an independent implementation (shared/golden): console and log byte for byte, the
// result within 1e-4 relative (see max_relative).
#include <gtest/gtest.h>

#include "test_support.h"

namespace torla {
namespace {

class Golden : public testing::TestWithParam<const char*> {};

TEST_P(Golden, RunAgreesWithTheIndependentImplementation) {
    const std::string golden = std::string(TORLA_SOURCE_DIR) + "/../shared/golden",
                      g = golden + "/" + GetParam();
    if (!test::fs::exists(g + "/scenario.cmd")) GTEST_SKIP() << "no golden runs beside the project";
    test::TempDir dir;
    std::string out;
    test::fs::copy_file(g + "/scenario.cmd", dir.file("scenario.cmd"));
    test::write_text(dir.file("info.txt"),
                     "scenario.cmd\nrun.res\n" + test::fs::canonical(golden).string() + "/\n");
    const int status = test::run_in(dir.path(), test::bin_dir() + "/torla info.txt", out);
    EXPECT_EQ(std::to_string(status) + "\n", test::read_text(g + "/status"));
    EXPECT_EQ(out, test::read_text(g + "/stdout.txt"));
    EXPECT_EQ(test::read_text(dir.file("run.plg")), test::read_text(g + "/run.plg"));
    ResultData mine, theirs;
    ASSERT_EQ(read_result_file(dir.file("run.res"), mine), "");
    ASSERT_EQ(read_result_file(g + "/run.res", theirs), "");
    test::expect_same_result(mine, theirs, 1e-4, false);
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, testing::Values("a_defaults", "d_negativity"));

}  // namespace
}  // namespace torla
