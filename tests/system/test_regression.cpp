// A small release on a flattening track reproduces the stored result to 1e-6 and its console and
// log byte for byte. After a deliberate model change: TORLA_RENEW_FIXTURE=1, then check the file.
#include <gtest/gtest.h>

#include "test_support.h"

namespace torla {
namespace {

std::string fixture(const std::string& name) {
    return std::string(TORLA_SOURCE_DIR) + "/tests/fixtures/" + name;
}

// 60 cells of 5 m flattening linearly from 35 to 5 degrees; a release in cells 3 to 10 on a
// 0.3 m cover.
FloatRows regression_grid() {
    constexpr int kCells = 60;
    FloatRows rows = alloc_float_rows(kCells, kGridColumns);
    const double deg = M_PI / 180.0, top = 35.0 * deg, dslope = 30.0 / (kCells - 1) * deg;
    double x = 0.0, y = 1000.0;
    for (int i = 0; i < kCells; ++i) {
        const double a = top - dslope * i;
        if (i > 0) x += 5.0 * std::cos(a), y -= 5.0 * std::sin(a);
        const bool release = i >= 3 && i <= 10;
        std::vector<float> local = {0, 0.5f, 0.3f, 150, 0, 0, 0, 0, 0, 0, 0, 0};
        if (release) local = {0, 0.5f, 0.3f, 150, 1.0f, 5.0f, 20.0f, 5.0f, 5.0f, 2.0f, 1.0f, 0.5f};
        const auto r =
            test::grid_row(static_cast<float>(x), static_cast<float>(y), 5.0f,
                           static_cast<float>(a), static_cast<float>(dslope / 5.0), local);
        std::copy(r.begin(), r.end(), rows[i]);
    }
    return rows;
}

TEST(Regression, SmallReleaseOnAFlatteningTrackReproducesTheStoredResult) {
    test::TempDir dir;
    ASSERT_EQ(write_grid_file(dir.file("grid.bin"), regression_grid()), "");
    std::string out;
    ASSERT_EQ(test::run_torla(dir, test::read_text(fixture("regression.cmd")), out,
                              test::stub_generator(dir, "cp grid.bin \"$1\"")),
              0)
        << out;
    if (std::getenv("TORLA_RENEW_FIXTURE")) {
        test::fs::copy_file(dir.file("run.res"), fixture("regression.res"),
                            test::fs::copy_options::overwrite_existing);
        test::fs::copy_file(dir.file("run.plg"), fixture("regression.plg"),
                            test::fs::copy_options::overwrite_existing);
        test::write_text(fixture("regression.out"), out);
        GTEST_SKIP() << "fixture renewed";
    }
    EXPECT_EQ(out, test::read_text(fixture("regression.out")));
    EXPECT_EQ(test::read_text(dir.file("run.plg")), test::read_text(fixture("regression.plg")));
    ResultData mine, stored;
    ASSERT_EQ(read_result_file(dir.file("run.res"), mine), "");
    ASSERT_EQ(read_result_file(fixture("regression.res"), stored), "");
    test::expect_same_result(mine, stored, 1e-6, true);
}

}  // namespace
}  // namespace torla
