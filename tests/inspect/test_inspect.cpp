// torla-inspect on a hand-made result: front, run-out, maxima, sub-commands.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include <nlohmann/json.hpp>

#include "inspect/inspect.h"
#include "result_bytes.h"

namespace torla {
namespace {

using test::TempDir;

using HandMade = test::ResultBytes;

// Eight cells on a 30 degree slope; dumps at 0, 2, 4, 6, 7 s and a closing
// record at 7 s (count 5). Fronts: cell 1 (p3), 4 (h2 0.15; p3 0.1 in cell
// 3 is not above), none (h2 0.1 everywhere), 6 (the end), 5, 5; speeds
// 15 m/s from 0 to 2 s and -10 m/s from 6 to 7 s. Peaks: p3 furthest above
// 0.1 in cell 3, h2 in cell 4: run-out cell 4, 40 m, set by the saltation layer.
HandMade summary_file() {
    HandMade f(8, 0);
    f.count = 5;
    for (float t : {0.0f, 2.0f, 4.0f, 6.0f, 7.0f, 7.0f}) f.add_record(t);
    using namespace inspect;
    const float p3[][8] = {
        {0.5f, 0.2f, 0.05f},      {0.3f, 0.3f, 0.3f, 0.1f}, {},
        {0, 0, 0, 0, 0, 0, 0.2f}, {0, 0, 0, 0, 0, 0.2f},    {0, 0, 0, 0, 0, 0.2f}};
    for (int d = 0; d < 6; ++d)
        for (int i = 0; i < 8; ++i) f.value(d, kRowSuspPressure, i) = p3[d][i];
    f.value(1, kRowSaltDepth, 4) = 0.15f;
    for (int i = 0; i < 8; ++i) f.value(2, kRowSaltDepth, i) = 0.1f;
    const float peaks[3][8] = {
        {2.0f, 1.0f, 3.0f, 0.5f, 0.1f, 0.05f}, {0.5f, 0.5f, 0.4f, 0.3f, 0.3f, 0.1f}, {9, 4, 2, 1}};
    for (int i = 0; i < 8; ++i) {
        f.peak(kRowSuspPressure, i) = peaks[0][i];
        f.peak(kRowSaltDepth, i) = peaks[1][i];
        f.peak(kRowSaltPressure, i) = peaks[2][i];
    }
    f.peak(kRowSuspPressure, 2, 1) = 0.7f;  // h1, h2, h3 when p3 peaked in cell 2
    f.peak(kRowSuspPressure, 2, 2) = 0.2f;
    f.peak(kRowSuspPressure, 2, 3) = 12.0f;
    f.peak(kRowSaltPressure, 0, 2) = 0.45f;
    return f;
}

class InspectSummary : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(summary_file().read_back(r_, dir_), ""); }
    std::vector<int> front_cells(const inspect::Thresholds& th) {
        std::vector<int> cells;
        for (const auto& f : inspect::front_positions(r_, th)) cells.push_back(f.cell);
        return cells;
    }
    TempDir dir_;
    ResultData r_;
};

TEST_F(InspectSummary, FrontRunOutAndMaxima) {
    const inspect::Summary s = inspect::summarize(r_, {});
    EXPECT_EQ(front_cells({}), (std::vector<int>{1, 4, -1, 6, 5, 5}));
    ASSERT_EQ(s.speeds.size(), 2u);
    EXPECT_EQ(std::make_tuple(s.front[3].path_length, s.front[2].time, s.speeds[0].t0,
                              s.speeds[0].t1, s.speeds[0].speed, s.speeds[1].speed,
                              s.fastest->speed, s.front_reaches_end, s.t_first, s.t_last),
              std::make_tuple(60.0, 4.0, 0.0, 2.0, 15.0, -10.0, 15.0, 6.0, 0.0, 7.0));
    EXPECT_NEAR(s.track_length, 70.0, 1e-6);
    EXPECT_NEAR(s.drop, 35.0, 1e-5);
    EXPECT_EQ(std::make_tuple(s.runout_cell, s.runout_pressure_cell, s.runout_depth_cell,
                              s.runout_at_track_end),
              std::make_tuple(std::optional(4), std::optional(3), std::optional(4), false));
    const inspect::PeakMaximum& p3 = *s.max_susp_pressure;
    EXPECT_EQ(std::make_tuple(p3.value, p3.cell, p3.path_length, p3.h1, p3.h2, p3.h3),
              std::make_tuple(3.0f, 2, 20.0, 0.7f, 0.2f, 12.0f));
    EXPECT_EQ(std::make_pair(s.max_salt_pressure->cell, s.max_salt_pressure->h2),
              std::make_pair(0, 0.45f));

    // Above 0.3 kPa only the saltation layer at t = 2 s and 0.5 kPa at t = 0 remain.
    EXPECT_EQ(front_cells({0.4, 0.1}), (std::vector<int>{0, 4, -1, -1, -1, -1}));
    EXPECT_FALSE(inspect::summarize(r_, {5.0, 1.0}).runout_cell);  // above every peak
    // Into the cells before the outflow edge: the end of the track.
    HandMade f = summary_file();
    f.peak(kRowSuspPressure, 6) = 0.2f;
    ASSERT_EQ(f.read_back(r_, dir_), "");
    EXPECT_EQ(inspect::summarize(r_, {}).runout_cell, 6);
    EXPECT_TRUE(inspect::summarize(r_, {}).runout_at_track_end);
}

TEST_F(InspectSummary, ProgramSubCommandsAndTheirStatuses) {
    HandMade f = summary_file();
    f.count = 8;  // the placeholder n of a run killed before its end
    f.peaks.clear();
    test::write_text(dir_.file("killed.res"), f.bytes());
    test::write_text(dir_.file("cut.res"), f.bytes().substr(0, f.bytes().size() - 5));
    const struct {
        std::string args;
        int status;
        std::vector<std::string> said;  // pieces of standard output and error
    } runs[] = {
        {"run.res summary",
         0,
         {"Run-out:      40.0 m (cell 4)\n",
          "Front:        10.0 m at t = 0.000 s, 50.0 m at t = 7.000 s; at the end of the track "
          "from t = 6.000 s\n"}},
        {"run.res summary --threshold 0.04", 0, {"Run-out:      50.0 m (cell 5)\n"}},
        {"run.res csv --peaks", 0, {"p3_h3[m]"}},
        {"killed.res summary",
         0,
         {"the count is not patched and there is no peak table", "Run-out:      unknown",
          "Front speed:  largest 15.0 m/s, between t = 0.000 s and 2.000 s\n"}},
        {"killed.res csv --peaks", 1, {"no peak table"}},
        {"cut.res summary", 0, {"cut short"}},
        {"missing.res summary", 1, {"missing.res"}},
        {"run.res csv -o no/such/dir/x.csv", 1, {"cannot create"}},
        {"run.res summary --threshold abc", 2, {"--threshold: `abc' is not a number of 0 or more"}},
        {"run.res plot", 2, {"unknown sub-command"}},
    };
    const std::string inspect = test::bin_dir() + "/torla-inspect ";
    for (const auto& run : runs) {
        SCOPED_TRACE(run.args);
        std::string out;
        EXPECT_EQ(test::run_in(dir_.path(), inspect + run.args, out), run.status);
        for (const std::string& said : run.said) EXPECT_CONTAINS(out, said);
    }
    // The JSON for scripts, read back.
    const struct {
        std::string options, pointer;
        nlohmann::json value;
    } json_runs[] = {
        {"--depth-threshold 0.35", "/runout/saltation_depth/cell", 2},
        {"", "/front_max_speed", {{"m_s", 15}, {"from_s", 0}, {"to_s", 2}}},
        {"", "/front/1", {{"time_s", 2}, {"cell", 4}, {"path_length_m", 40}}},
    };
    for (const auto& run : json_runs) {
        std::string out;
        ASSERT_EQ(test::run_in(dir_.path(), inspect + "run.res summary --json " + run.options, out),
                  0)
            << out;
        EXPECT_EQ(nlohmann::json::parse(out).at(nlohmann::json::json_pointer(run.pointer)),
                  run.value)
            << run.options << "\n"
            << out;
    }
}

}  // namespace
}  // namespace torla
