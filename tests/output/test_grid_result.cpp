// The grid reader's state and the peak table (refused grids: the bad-input corpus).
#include <gtest/gtest.h>

#include "flow_fixture.h"
#include "input/input.h"
#include "output/output.h"

namespace torla {
namespace {

class GridAndResult : public testing::Test {
protected:
    void SetUp() override {
        old_ = test::fs::current_path();
        test::fs::current_path(dir_.path());
        s_.names.result_file = "run.res";
        s_.files.log = std::fopen("run.plg", "w");
        derive_run_constants(s_);
    }
    void TearDown() override {
        if (s_.files.log) std::fclose(s_.files.log);
        test::fs::current_path(old_);
    }
    // Writes the grid (and a trailing byte), reads it as the driver does; what was printed.
    std::string read_grid(const FloatRows& rows, bool trailing = false) {
        EXPECT_EQ(write_grid_file(kGridFile, rows), "");
        if (trailing) std::ofstream(kGridFile, std::ios::app) << 'x';
        s_.n_cells = static_cast<int16_t>(rows.rows);
        allocate_model_state(s_);
        return test::stdout_of([&] {
            const GridFile grid = take_grid_file(s_.n_cells);
            if (grid.trailing_data) report_trailing_grid_data(s_);
            write_result_header(s_, read_grid_file(s_, grid));
        });
    }
    // n grid rows on a straight slope with cell length `length`.
    static FloatRows straight(int n, float length) {
        FloatRows rows = alloc_float_rows(n, kGridColumns);
        for (int i = 0; i < n; ++i) {
            auto r = test::grid_row(3.0f * i, -4.0f * i, length, 0.6435011f, 0.0f,
                                    {0, 0.5f, 0.4f, 150, 0, 0, 0, 0, 0, 0, 0, 0});
            std::copy(r.begin(), r.end(), rows[i]);
        }
        return rows;
    }

    test::TempDir dir_;
    test::fs::path old_;
    ModelState s_;
};

// (The state and header themselves: the golden and regression runs.)
TEST_F(GridAndResult, SmallestCellLengthAndTheDissipationFloor) {
    FloatRows rows = straight(7, 8.0f);
    rows[0][3] = 1.0f;  // cell 0 does not count for the smallest cell
    rows[4][3] = rows[5][3] = 6.5f;
    rows[2][14] = 2.0f;    // h3
    rows[2][16] = 917.0f;  // snow mass per volume: c3 = 1
    rows[2][18] = 0.0f;    // eps3, floored at Min_Susp_Dissip in U only
    EXPECT_EQ(read_grid(rows), "");
    EXPECT_FALSE(test::fs::exists(kGridFile));
    EXPECT_EQ(s_.grid.min_cell_length, 6.5);
    EXPECT_EQ(s_.layers.eps3[2], 0.0);
    EXPECT_DOUBLE_EQ(s_.U[2][kSuspDissipation], 1.0 * 917.0 * 2.0);
    release_model_state(s_);
    read_grid(straight(6, 12000.0f));  // no cell shorter than 10 km: 10 km
    EXPECT_EQ(s_.grid.min_cell_length, 10000.0);
}

TEST_F(GridAndResult, TrailingBytesWarnOnceOnLogAndConsole) {
    const std::string warning =
        "   read_grid_file:  WARNING:  Data lines beyond number of grid points ignored!\n";
    EXPECT_EQ(read_grid(straight(6, 5.0f), true), warning);
    std::fflush(s_.files.log);
    EXPECT_EQ(test::read_text("run.plg"), warning);
}

// (Dump records beyond the float range are a case of the bad-input corpus.)
TEST_F(GridAndResult, PeakTableBeyondTheFloatRangeIsFound) {
    read_grid(straight(6, 5.0f));
    EXPECT_FALSE(first_unfit_peak(s_).found());
    s_.peak_table[4 * (7 * 6 + 2) + 3] = -INFINITY;  // a depth slot counts as much as the maximum
    const UnfitValue peak = first_unfit_peak(s_);
    EXPECT_EQ(std::make_tuple(peak.quantity, peak.cell, peak.value),
              std::make_tuple(7, 2, -INFINITY));
}

// Only a strictly larger value, compared before rounding, refreshes a peak and its depths.
TEST(Peaks, OnlyAStrictlyLargerValueRefreshesTheDepths) {
    ModelState s;
    test::init_flow_state(s, 4);
    s.window.first_active = 1;
    s.window.last_active = 3;
    Layers& l = s.layers;
    const auto entry = [&](int q, int i) {
        const float* e = &s.peak_table[(q * 4 + i) * 4];
        return std::vector<float>(e, e + 4);
    };
    l.h1[1] = 0.4, l.h2[1] = 2, l.h3[1] = 7, l.u3[1] = 20, l.rho3[1] = 5;
    l.h1[0] = l.h1[3] = 9;
    update_peaks(s);
    EXPECT_EQ(entry(11, 1), (std::vector<float>{1, 0.4f, 2, 7}));  // 20 * 20 * 5 / 2000 kPa
    l.h2[1] = 1.5, l.h3[1] = 4.0;  // the same h1 as stored: depths kept
    update_peaks(s);
    EXPECT_EQ(entry(0, 1), (std::vector<float>{0.4f, 0.4f, 2, 7}));
    // Larger than the stored float, yet rounding to it.
    l.h1[1] = static_cast<double>(0.4f) + 1e-12;
    update_peaks(s);
    EXPECT_EQ(entry(0, 1), (std::vector<float>{0.4f, 0.4f, 1.5f, 4}));
    EXPECT_EQ(entry(0, 0)[0] + entry(0, 3)[0], 0.0f);
}

}  // namespace
}  // namespace torla
