// The grid reader and the result file, at the level of bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "input/input.h"
#include "output/output.h"
#include "model/bytes.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

class GridAndResult : public testing::Test {
protected:
    void SetUp() override {
        old_ = test::fs::current_path();
        test::fs::current_path(dir_.path());
        s_.names.result_file = "run.res";
        s_.names.log_file = "run.plg";
        s_.files.log = std::fopen("run.plg", "w");
        derive_run_constants(s_);
    }
    void TearDown() override {
        if (s_.files.log) std::fclose(s_.files.log);
        test::fs::current_path(old_);
    }
    // The driver's sequence: the grid file taken, its trailing data
    // reported, the state filled, the result header written.
    void read_grid_as_the_driver_does() {
        const GridFile grid = take_grid_file(s_.n_cells);
        if (grid.trailing_data) report_trailing_grid_data(s_);
        write_result_header(s_, read_grid_file(s_, grid));
    }
    // Writes a grid of the given rows (plus junk bytes) and reads it.
    double read_grid(const FloatRows& rows, int junk = 0) {
        EXPECT_EQ(write_grid_file(kGridFile, rows), "");
        if (junk) {
            std::vector<unsigned char> extra(junk, 0xA5);
            EXPECT_EQ(write_file_bytes(kGridFile, extra, true), "");
        }
        s_.n_cells = static_cast<int16_t>(rows.rows);
        allocate_model_state(s_);
        testing::internal::CaptureStdout();
        read_grid_as_the_driver_does();
        out_ = testing::internal::GetCapturedStdout();
        return s_.grid.min_cell_length;
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

    TempDir dir_;
    test::fs::path old_;
    ModelState s_;
    std::string out_;
};

TEST_F(GridAndResult, InitialStateFromGridColumns) {
    FloatRows rows = straight(6, 5.0f);
    // Cell 2: a suspension layer with 917 kg/m^3 of snow and a dissipation of 0.
    float* g = rows[2];
    g[11] = 0.5f;  // h2
    g[12] = 4.0f;  // u2
    g[13] = 20.0f; // rho2
    g[14] = 2.0f;  // h3
    g[15] = 3.0f;  // u3
    g[16] = 917.0f;
    g[17] = 0.25f; // k3
    g[18] = 0.0f;  // eps3
    read_grid(rows);
    EXPECT_TRUE(out_.empty()) << out_;
    EXPECT_FALSE(test::fs::exists(kGridFile));
    EXPECT_DOUBLE_EQ(s_.layers.c3[2], 1.0);
    EXPECT_DOUBLE_EQ(s_.layers.rho3[2], 917.0);
    const double* u = s_.U[2];
    EXPECT_EQ(u[kCoverDepth], static_cast<double>(0.4f));
    EXPECT_DOUBLE_EQ(u[kCoverDensity], 150.0);  // the density itself, not times h1
    EXPECT_DOUBLE_EQ(u[kSaltLoad], 10.0);
    EXPECT_DOUBLE_EQ(u[kSaltMomentum], 21.0 * 4.0 * 0.5);
    EXPECT_DOUBLE_EQ(u[kSuspMomentum], 3.0 * 917.0 * 2.0);
    EXPECT_DOUBLE_EQ(u[kSuspVolume], 2.0);
    EXPECT_DOUBLE_EQ(u[kSuspEnergy], 0.25 * 917.0 * 2.0);
    // The dissipation is floored at Min_Susp_Dissip in U only.
    EXPECT_DOUBLE_EQ(u[kSuspDissipation], 1.0 * 917.0 * 2.0);
    EXPECT_EQ(s_.layers.eps3[2], 0.0);
    EXPECT_DOUBLE_EQ(s_.grid.cos_slope[0], std::cos(static_cast<double>(0.6435011f)));
}

TEST_F(GridAndResult, SmallestCellLengthIgnoresCellZero) {
    FloatRows rows = straight(7, 8.0f);
    rows[0][3] = 1.0f;
    rows[4][3] = 6.5f;
    rows[5][3] = 6.5f;
    EXPECT_EQ(read_grid(rows), 6.5);
    release_model_state(s_);
    EXPECT_EQ(read_grid(straight(6, 12000.0f)), 10000.0);
}

TEST_F(GridAndResult, TrailingBytesWarnOnceOnLogAndConsole) {
    read_grid(straight(6, 5.0f), 1);
    const std::string warning =
        "   read_grid_file:  WARNING:  Data lines beyond number of grid points ignored!\n";
    EXPECT_EQ(out_, warning);
    std::fflush(s_.files.log);
    EXPECT_EQ(test::read_text("run.plg"), warning);
}

TEST_F(GridAndResult, ShortGridFileStops) {
    FloatRows rows = straight(6, 5.0f);
    ASSERT_EQ(write_grid_file(kGridFile, rows), "");
    s_.n_cells = 7;
    allocate_model_state(s_);
    testing::internal::CaptureStdout();
    EXPECT_THROW(read_grid_as_the_driver_does(), RunStop);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "   read_grid_file:  FATAL ERROR:  torla_grid.tmp holds 6 complete grid rows of the 7 "
              "its count announces. STOP!\n\n");
    EXPECT_FALSE(test::fs::exists("run.res"));
}

TEST_F(GridAndResult, HeaderLayoutWithDefaultNamesAndGeometry) {
    read_grid(straight(6, 5.0f));
    std::vector<unsigned char> b;
    ASSERT_EQ(read_file_bytes("run.res", b), "");
    ASSERT_EQ(b.size(), 56u + 19 + 15 + 24 * 6);
    int16_t v;
    std::memcpy(&v, &b[0], 2);
    EXPECT_EQ(v, 19);
    std::memcpy(&v, &b[2], 2);
    EXPECT_EQ(v, 15);
    EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 38), "Unspecified problemUnspecified run");
    std::memcpy(&v, &b[38], 2);
    EXPECT_EQ(v, 6);
    EXPECT_EQ(s_.files.dump_count_position, 40);
    std::memcpy(&v, &b[40], 2);
    EXPECT_EQ(v, 6);  // placeholder until the count is patched
    float f[6];
    std::memcpy(f, &b[42], 4);
    EXPECT_EQ(f[0], 1.4f);
    std::memcpy(f, &b[42 + 44], 4);
    EXPECT_EQ(f[0], 0.0f);  // Diss_Prof_Coeff_2
    // Geometry row 3: path length 3 * 5 m, slope in degrees.
    std::memcpy(f, &b[90 + 3 * 24], 24);
    EXPECT_EQ(f[0], 15.0f);
    EXPECT_EQ(f[2], 5.0f);
    EXPECT_EQ(f[3], static_cast<float>(static_cast<double>(0.6435011f) * 57.29577951));
}

TEST_F(GridAndResult, DumpRecordPeakTableCountPatchAndFileSize) {
    read_grid(straight(6, 5.0f));
    Matrix m = alloc_matrix(6);
    // Cell 1: a thin saltation layer (divided by Min_Salt_Height) and a
    // suspension layer of 2 m.
    double* u = m[1];
    u[kCoverDepth] = 0.3;
    u[kCoverDensity] = 200.0;
    u[kSaltDepth] = 0.05;
    u[kSaltMomentum] = 2.1;
    u[kSaltLoad] = 1.0;
    u[kSuspDepth] = 2.0;
    u[kSuspVolume] = 0.02;
    const double r3 = 1.0 + 916.0 * 0.01;
    u[kSuspMomentum] = r3 * 2.0 * 10.0;
    u[kSuspEnergy] = r3 * 2.0 * 0.5;
    u[kSuspDissipation] = r3 * 2.0 * 3.0;
    write_dump(s_, 1.25, m);
    write_dump(s_, 2.5, m);
    s_.clock.dump_count = 2;
    s_.peak_table[4 * (11 * 6 + 5)] = 7.5f;  // quantity 11 at cell 5
    append_peak_table(s_);
    patch_dump_count(s_);

    ResultData r;
    ASSERT_EQ(read_result_file("run.res", r), "");
    EXPECT_EQ(test::fs::file_size("run.res"), 56u + 19 + 15 + 24 * 6 + 2 * 48 * 7 + 192 * 6);
    EXPECT_EQ(r.dump_count, 2);
    ASSERT_EQ(r.dumps.size(), 2u);
    for (int row = 0; row < 12; ++row) EXPECT_EQ(r.dumps[1][row * 7], 2.5f);
    const float R2 = static_cast<float>(1.0 + 1.0 / 0.1);
    const float U2 = static_cast<float>(2.1 / static_cast<double>(R2) / 0.1);
    const float expected[12] = {0.3f, 200.0f, 0.05f, U2, R2,
                                static_cast<float>(static_cast<double>(U2) * U2 * R2 / 1000.0),
                                2.0f, 10.0f, 0.01f, 0.5f, 3.0f,
                                static_cast<float>(r3 * 10.0 * 10.0 / 2000.0)};
    for (int row = 0; row < 12; ++row)
        EXPECT_FLOAT_EQ(r.dump_value(0, row, 1), expected[row]) << "row " << row;
    EXPECT_EQ(r.dump_value(0, 3, 1), U2);
    // An empty cell: rows 3 to 5 are 0, Air_Density and 0.
    EXPECT_EQ(r.dump_value(0, 3, 0), 0.0f);
    EXPECT_EQ(r.dump_value(0, 4, 0), 1.0f);
    EXPECT_EQ(r.dump_value(0, 5, 0), 0.0f);
    EXPECT_EQ(r.peaks[4 * (11 * 6 + 5)], 7.5f);
}

TEST_F(GridAndResult, NumbersBeyondTheFloatRangeAreFound) {
    read_grid(straight(6, 5.0f));
    Matrix m = alloc_matrix(6);
    write_dump(s_, 0.0, m);
    EXPECT_FALSE(first_unfit_dump_value(s_).found());
    EXPECT_FALSE(first_unfit_peak(s_).found());

    // A finite cover depth beyond the float range, and with a clamp of 0 an
    // empty saltation layer divides 0 by 0 in cell 2.
    m[4][kCoverDepth] = 1e39;
    s_.par.Min_Salt_Height = 0.0;
    write_dump(s_, 0.5, m);
    const UnfitValue bad = first_unfit_dump_value(s_);
    EXPECT_EQ(bad.quantity, 0);
    EXPECT_EQ(bad.cell, 4);
    EXPECT_EQ(bad.value, INFINITY);
    m[4][kCoverDepth] = 0.0;
    write_dump(s_, 1.0, m);
    EXPECT_EQ(first_unfit_dump_value(s_).quantity, 3);  // u2, first row with a NaN
    EXPECT_EQ(first_unfit_dump_value(s_).cell, 0);

    // A depth slot of a peak entry counts as much as the maximum.
    s_.peak_table[4 * (7 * 6 + 2) + 3] = -INFINITY;
    const UnfitValue peak = first_unfit_peak(s_);
    EXPECT_EQ(peak.quantity, 7);
    EXPECT_EQ(peak.cell, 2);
}

TEST_F(GridAndResult, ReaderKeepsTheRecordsBeforeACut) {
    read_grid(straight(6, 5.0f));
    write_dump(s_, 0.0, s_.U);
    append_peak_table(s_);
    const auto size = test::fs::file_size("run.res");
    test::fs::resize_file("run.res", size - 1);
    ResultData r;
    ASSERT_EQ(read_result_file("run.res", r), "");
    EXPECT_EQ(r.dumps.size(), 1u);  // the zeros of the peak table are no record at t = 0
    EXPECT_EQ(r.cut_bytes, 6u * 48 * 4 - 1);
    test::fs::resize_file("run.res", 30);
    EXPECT_NE(read_result_file("run.res", r), "");
}

}  // namespace
}  // namespace torla
