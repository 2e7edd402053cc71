// Agreement with runs of an independent implementation of the model, kept
// beside the project (shared/golden): console and log byte for byte, the
// result file within 1e-4 relative per value, measured against the larger
// of the value and 1e-3 of its row's largest magnitude in that dump.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

constexpr double kTolerance = 1e-4;

std::string golden_dir() { return std::string(TORLA_SOURCE_DIR) + "/../shared/golden"; }

// Largest relative difference of two equally long sequences, each value
// measured against max(|a|, |b|, 1e-3 * largest magnitude of either).
double max_relative(const float* a, const float* b, std::size_t n) {
    double scale = 1e-30;
    for (std::size_t k = 0; k < n; ++k)
        scale = std::max({scale, 1e-3 * std::fabs(a[k]), 1e-3 * std::fabs(b[k])});
    double worst = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isnan(a[k]) && std::isnan(b[k])) continue;
        const double d = std::fabs(static_cast<double>(a[k]) - b[k]);
        const double m = std::max({static_cast<double>(std::fabs(a[k])), static_cast<double>(std::fabs(b[k])), scale});
        worst = std::max(worst, std::isnan(d) ? INFINITY : d / m);
    }
    return worst;
}

class Golden : public testing::TestWithParam<const char*> {};

TEST_P(Golden, RunAgreesWithTheIndependentImplementation) {
    const std::string g = golden_dir() + "/" + GetParam();
    if (!test::fs::exists(g + "/scenario.cmd")) GTEST_SKIP() << "no golden runs beside the project";
    TempDir dir;
    test::fs::copy_file(g + "/scenario.cmd", dir.file("scenario.cmd"));
    test::write_text(dir.file("info.txt"),
                     "scenario.cmd\nrun.res\n" + test::fs::canonical(golden_dir()).string() + "/\n");
    std::string out;
    const int status = test::run_in(dir.path(), test::bin_dir() + "/torla info.txt", out);
    EXPECT_EQ(std::to_string(status) + "\n", test::read_text(g + "/status"));
    EXPECT_EQ(out, test::read_text(g + "/stdout.txt"));
    EXPECT_EQ(test::read_text(dir.file("run.plg")), test::read_text(g + "/run.plg"));

    ResultData mine, theirs;
    ASSERT_EQ(read_result_file(dir.file("run.res"), mine), "");
    ASSERT_EQ(read_result_file(g + "/run.res", theirs), "");
    EXPECT_EQ(mine.problem_name, theirs.problem_name);
    EXPECT_EQ(mine.run_name, theirs.run_name);
    ASSERT_EQ(mine.n_cells, theirs.n_cells);
    EXPECT_EQ(mine.dump_count, theirs.dump_count);
    for (int k = 0; k < 12; ++k) EXPECT_EQ(mine.coefficients[k], theirs.coefficients[k]);
    EXPECT_LT(max_relative(&mine.geometry[0].path_length, &theirs.geometry[0].path_length,
                           mine.geometry.size() * 6),
              1e-6);
    ASSERT_EQ(mine.dumps.size(), theirs.dumps.size());
    const std::size_t stride = mine.n_cells + 1;
    for (std::size_t d = 0; d < mine.dumps.size(); ++d)
        for (int row = 0; row < 12; ++row) {
            const double rel = max_relative(mine.dumps[d].data() + row * stride,
                                            theirs.dumps[d].data() + row * stride, stride);
            EXPECT_LE(rel, kTolerance) << "dump " << d << " row " << row;
        }
    // Peak values (float 0 of each entry), quantity by quantity.
    const std::size_t n = mine.n_cells;
    for (int q = 0; q < 12; ++q) {
        std::vector<float> a(n), b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = mine.peaks[4 * (q * n + i)];
            b[i] = theirs.peaks[4 * (q * n + i)];
        }
        EXPECT_LE(max_relative(a.data(), b.data(), n), kTolerance) << "peak quantity " << q;
    }
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, testing::Values("a_defaults", "d_negativity"));

}  // namespace
}  // namespace torla
