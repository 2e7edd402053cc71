// Regression: a small release on a flattening track, run end to end, must
// reproduce the stored result file (checked for plausibility when it was
// made). A change that alters the numbers shows here. To renew the fixture
// after a deliberate change of the model, run this test with
// TORLA_RENEW_FIXTURE=1 and look at the new file before committing it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>

#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

constexpr int kCells = 60;
constexpr float kCellLength = 5.0f;          // m
constexpr double kTopSlope = 35.0, kFootSlope = 5.0;  // degrees
constexpr double kTolerance = 1e-6;          // relative, per value

std::string fixture(const std::string& name) {
    return std::string(TORLA_SOURCE_DIR) + "/tests/fixtures/" + name;
}

// The grid: the slope flattens linearly from 35 to 5 degrees, so the
// profile is concave everywhere (positive curvature). A release of
// saltating and suspended snow sits in cells 3 to 10 on a 0.3 m cover.
FloatRows regression_grid() {
    FloatRows rows = alloc_float_rows(kCells, kGridColumns);
    const double deg = M_PI / 180.0;
    const double dslope = (kTopSlope - kFootSlope) / (kCells - 1) * deg;
    double x = 0.0, y = 1000.0;
    for (int i = 0; i < kCells; ++i) {
        const double a = kTopSlope * deg - dslope * i;
        if (i > 0) {
            x += kCellLength * std::cos(a);
            y -= kCellLength * std::sin(a);
        }
        const bool release = i >= 3 && i <= 10;
        std::vector<float> local = {0, 0.5f, 0.3f, 150, 0, 0, 0, 0, 0, 0, 0, 0};
        if (release) local = {0, 0.5f, 0.3f, 150, 1.0f, 5.0f, 20.0f, 5.0f, 5.0f, 2.0f, 1.0f, 0.5f};
        auto r = test::grid_row(static_cast<float>(x), static_cast<float>(y), kCellLength,
                                static_cast<float>(a), static_cast<float>(dslope / kCellLength),
                                local);
        std::copy(r.begin(), r.end(), rows[i]);
    }
    return rows;
}

double relative(float a, float b, double scale) {
    const double d = std::fabs(static_cast<double>(a) - b);
    return d / std::max({static_cast<double>(std::fabs(a)), static_cast<double>(std::fabs(b)), scale});
}

TEST(Regression, SmallReleaseOnAFlatteningTrackReproducesTheStoredResult) {
    TempDir dir;
    ASSERT_EQ(write_grid_file(dir.file("grid.bin"), regression_grid()), "");
    test::write_text(dir.file("stub-knotline"), "#!/bin/sh\ncp grid.bin \"$1\"\n");
    chmod(dir.file("stub-knotline").c_str(), 0755);
    test::fs::copy_file(fixture("regression.cmd"), dir.file("regression.cmd"));
    test::write_text(dir.file("run.info"),
                     "regression.cmd\nregression.res\n" + dir.path().string() + "/stub-\n");
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla run.info", out), 0) << out;

    if (std::getenv("TORLA_RENEW_FIXTURE")) {
        test::fs::copy_file(dir.file("regression.res"), fixture("regression.res"),
                            test::fs::copy_options::overwrite_existing);
        GTEST_SKIP() << "fixture renewed";
    }
    ResultData mine, stored;
    ASSERT_EQ(read_result_file(dir.file("regression.res"), mine), "");
    ASSERT_EQ(read_result_file(fixture("regression.res"), stored), "");
    ASSERT_EQ(mine.n_cells, stored.n_cells);
    ASSERT_EQ(mine.dumps.size(), stored.dumps.size());
    EXPECT_EQ(mine.dump_count, stored.dump_count);
    const std::size_t stride = kCells + 1;
    for (std::size_t d = 0; d < mine.dumps.size(); ++d)
        for (int row = 0; row < 12; ++row) {
            double scale = 1e-30;
            for (std::size_t k = 0; k < stride; ++k)
                scale = std::max(scale, 1e-3 * std::fabs(stored.dumps[d][row * stride + k]));
            for (std::size_t k = 0; k < stride; ++k)
                ASSERT_LE(relative(mine.dumps[d][row * stride + k], stored.dumps[d][row * stride + k], scale),
                          kTolerance)
                    << "dump " << d << " row " << row << " cell " << static_cast<int>(k) - 1;
        }
    for (std::size_t k = 0; k < mine.peaks.size(); ++k)
        ASSERT_LE(relative(mine.peaks[k], stored.peaks[k], 1e-30), kTolerance) << "peak float " << k;
}

}  // namespace
}  // namespace torla
