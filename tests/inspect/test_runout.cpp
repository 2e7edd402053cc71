// Run-outs at the zone limits, the alpha-beta run-out, and a run that blew up.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <sstream>

#include "inspect/alpha_beta.h"
#include "model/json.h"
#include "model/model_state.h"
#include "model/runout.h"
#include "test_support.h"

namespace torla::test {
namespace {

constexpr double kDeg = M_PI / 180.0;

// A track of n cells 10 m apart along the path at a constant slope.
std::vector<GeometryRow> straight_track(int n, float slope_deg) {
    std::vector<GeometryRow> g(n);
    for (int i = 0; i < n; ++i) g[i] = {10.0f * i, 0.0f, 10.0f, slope_deg, 0.0f, 0.0f};
    return g;
}

// A dump record at t with p2 and p3 of p up to cell `reach'.
std::vector<float> dump_reaching(int n, float t, int reach, float p) {
    std::vector<float> rec(static_cast<std::size_t>(kResultQuantities) * (n + 1), 0.0f);
    for (int q = 0; q < kResultQuantities; ++q) rec[q * (n + 1)] = t;
    for (int i = 0; i <= reach; ++i) {
        rec[kRowSaltPressure * (n + 1) + 1 + i] = p;
        rec[kRowSuspPressure * (n + 1) + 1 + i] = p;
    }
    return rec;
}

TEST(Runouts, DeterminedOnlyWhenInsideThePathAndNoLongerAdvancing) {
    constexpr int n = 20;
    const TrackAxis axis = track_axis(straight_track(n, 20.0f));
    struct Case {
        const char* what;
        const char* reach;  // furthest cell above 1 kPa at dumps 0, 10, 20, ... s
        int peak_reach;     // furthest cell of the peak table above 1 kPa
        float peak_value;   // kPa there
        std::optional<double> unstable;
        int cell;  // expected; -1 none
        bool determined;
        const char* reason;  // a piece of it
    };
    const std::vector<Case> cases = {
        {"stops inside the path", "2 6 9 9 9 9 9 9 9 9 9", 10, 3.0f, std::nullopt, 10, true, ""},
        {"leaves through the end", "2 8 18 18 18 18 18 18 18 18 18", 18, 3.0f, std::nullopt, 18,
         false, "leaves the mapped path at its end (190.0 m): extend the path"},
        {"still moving at the end", "1 2 3 4 5 6 7 8 9 10 11", 11, 3.0f, std::nullopt, 11, false,
         "still advancing at the end of the run (from 100.0 m at t = 90.0 s to 110.0 m at t = "
         "100.0 s): raise Max_Time"},
        {"a stored 1 kPa is not above 1 kPa", "2 2 2 2 2 2 2 2 2 2 2", 7, 1.0f, std::nullopt, -1,
         true, ""},
        {"blew up", "2 6 9 9 9 9 9 9 9 9 9", 10, 3.0f, 55.0, 10, false,
         "the run blew up at t = 55.0 s"},
        {"one dump only", "4", 4, 3.0f, std::nullopt, 4, false, "fewer than two dumps"},
    };
    for (const Case& c : cases) {
        RunoutHistory h({{kRowSuspPressure, 1.0}, {kRowSaltPressure, 1.0}});
        std::istringstream reach(c.reach);
        float t = 0.0f;
        for (int cell; reach >> cell; t += 10.0f) {
            const std::vector<float> rec = dump_reaching(n, t, cell, 2.0f);
            h.add_dump(rec.data(), n);
        }
        if (c.unstable) h.cut_after(*c.unstable);
        std::vector<float> peaks(static_cast<std::size_t>(kResultQuantities) * n, 0.0f);
        for (int i = 0; i <= c.peak_reach; ++i)
            peaks[kRowSuspPressure * n + i] = i == c.peak_reach ? c.peak_value : 5.0f;
        const std::vector<Runout> r = compute_runouts(axis, {peaks.data(), n, 1}, h, {c.unstable});
        ASSERT_EQ(r.size(), 2u);
        const int expected = c.peak_value > 1.0f ? c.cell : c.peak_reach - 1;
        EXPECT_EQ(r[0].cell, expected) << c.what;
        EXPECT_EQ(r[0].determined, c.determined) << c.what << ": " << r[0].reason;
        EXPECT_CONTAINS(r[0].reason, c.reason) << c.what;
        EXPECT_EQ(r[0].reason.empty(), c.determined) << c.what;
        if (expected >= 0) {
            EXPECT_NEAR(r[0].horizontal_m, axis.horizontal_m[expected], 1e-12) << c.what;
            EXPECT_NEAR(r[0].angle_deg, 20.0, 1e-3) << c.what;
        }
        // p2 is 0 everywhere: never exceeded, nothing to decide but an unstable run.
        EXPECT_EQ(r[1].cell, -1) << c.what;
        EXPECT_EQ(r[1].limit.quantity, kRowSaltPressure);
        EXPECT_EQ(r[1].determined, !c.unstable) << c.what;
    }
}

TEST(Runouts, TheFlowRunsOutWhereTheFurtherOfPressureAndDepthEnds) {
    constexpr int n = 12;
    const TrackAxis axis = track_axis(straight_track(n, 25.0f));
    RunoutHistory h(runout_limits(std::vector<double>{}));
    for (int d = 0; d < 3; ++d) {
        const std::vector<float> rec = dump_reaching(n, 10.0f * d, 3, 2.0f);
        h.add_dump(rec.data(), n);
    }
    std::vector<float> peaks(static_cast<std::size_t>(kResultQuantities) * n, 0.0f);
    for (const auto& [row, reach] : {std::pair{kRowSuspPressure, 4}, std::pair{kRowSaltDepth, 6}})
        for (int i = 0; i <= reach; ++i) peaks[row * n + i] = 0.5f;
    const std::vector<Runout> r = compute_runouts(axis, {peaks.data(), n, 1}, h);
    const std::optional<Runout> flow = flow_runout(r);
    ASSERT_TRUE(flow);
    EXPECT_EQ(flow->cell, 6);
    EXPECT_EQ(flow->limit.quantity, kRowSaltDepth);
    EXPECT_FALSE(flow_runout({}).has_value());
}

// A dump time read back from the record rounds to the result file's float.
TEST(RunRecordTimes, ReadBackAsTheResultFilesFloats) {
    for (int k = 1; k < 20000; ++k) {
        // Just beyond the midpoint between two floats: the double rounds up.
        const float f = 0.0137f * static_cast<float>(k);
        const double mid = 0.5 * (static_cast<double>(f) + std::nextafter(f, 1e30f));
        const double t = mid + mid * 1e-14;
        const float stored = static_cast<float>(t);
        EXPECT_EQ(static_cast<float>(std::strtod(json_float(stored).c_str(), nullptr)), stored)
            << t;
    }
    EXPECT_EQ(json_float(2.0f), "2");
    EXPECT_EQ(json_float(std::nanf("")), "null");
}

std::vector<inspect::ProfilePoint> two_slopes(double top_deg, double break_s, double low_deg,
                                              double end_s) {
    const double drop = break_s * std::tan(top_deg * kDeg);
    return {{0.0, 1000.0},
            {break_s, 1000.0 - drop},
            {end_s, 1000.0 - drop - (end_s - break_s) * std::tan(low_deg * kDeg)}};
}

TEST(AlphaBeta, ParabolaOfAParabolicProfile) {
    std::vector<inspect::ProfilePoint> p;
    for (int k = 0; k <= 300; ++k)
        p.push_back({5.0 * k, 2000.0 - 0.9 * 5.0 * k + 2.5e-4 * 25.0 * k * k});
    const inspect::AlphaBeta ab = inspect::alpha_beta(p, 0.0);
    EXPECT_NEAR(ab.z2_per_m, 5e-4, 1e-12);
    EXPECT_NEAR(ab.h0_m, 0.9 * 1500.0 - 2.5e-4 * 1500.0 * 1500.0, 1e-6);
}

TEST(AlphaBeta, BetaPointAnglesAndRunoutsOnTwoSlopes) {
    struct Case {
        double split_s, end_s;
        double beta_point_s;  // expected
    };
    const Case cases[] = {{0.0, 2500.0, 1000.0},
                          {1000.0, 2500.0, 1000.0},
                          {1234.0, 2500.0, 1240.0},
                          {0.0, 1300.0, 1000.0}};
    int out_of_profile = 0;
    for (const Case c : cases) {
        const inspect::AlphaBeta ab =
            inspect::alpha_beta(two_slopes(35.0, 1000.0, 8.0, c.end_s), c.split_s);
        ASSERT_EQ(ab.problem, "");
        ASSERT_TRUE(ab.beta_point_s_m);
        EXPECT_EQ(*ab.beta_point_s_m, c.beta_point_s);
        const double drop_beta =
            1000.0 * std::tan(35.0 * kDeg) + (c.beta_point_s - 1000.0) * std::tan(8.0 * kDeg);
        EXPECT_NEAR(ab.beta_deg, std::atan(drop_beta / c.beta_point_s) / kDeg, 1e-9);
        ASSERT_EQ(ab.sets.size(), 3u);
        for (const inspect::AlphaBetaRunouts& s : ab.sets) {
            EXPECT_NEAR(s.alpha_deg,
                        s.set->k1 * ab.beta_deg + s.set->k2 * ab.z2_per_m + s.set->k3 * ab.h0_m +
                            s.set->k4_deg,
                        1e-12);
            for (std::size_t k = 0; k < inspect::kAlphaOffsets.size(); ++k) {
                const double a = s.alpha_deg + inspect::kAlphaOffsets[k] * s.set->sd_deg;
                EXPECT_EQ(s.angle_deg[k], a);
                // Where the line from the top at angle a meets the lower slope;
                // steeper than the upper slope it is under the ground at once.
                const double t = std::tan(a * kDeg), t8 = std::tan(8.0 * kDeg);
                const double meet =
                    a >= 35.0 ? 0.0 : (1000.0 * std::tan(35.0 * kDeg) - 1000.0 * t8) / (t - t8);
                const bool meets = t > t8 && meet <= c.end_s;
                out_of_profile += !meets;
                ASSERT_EQ(s.runout_s_m[k].has_value(), meets) << s.set->name << " " << a;
                // A line that met the profile before the split point (or at
                // the top): the first resampled point beyond both.
                const double first_beyond = std::max(10.0, std::ceil(c.split_s / 10.0) * 10.0);
                if (meets) {
                    EXPECT_NEAR(*s.runout_s_m[k], std::max(meet, first_beyond), 1e-6)
                        << s.set->name << " " << a;
                }
            }
        }
    }
    EXPECT_GT(out_of_profile, 0);
}

TEST(AlphaBeta, NoBetaPointOnAPathThatStaysSteep) {
    const inspect::AlphaBeta steep =
        inspect::alpha_beta(two_slopes(35.0, 1000.0, 12.0, 1500.0), 0.0);
    EXPECT_CONTAINS(steep.problem, "no beta point");
    // 10 degrees for 20 m only, then steep again: not a beta point either.
    std::vector<inspect::ProfilePoint> p = two_slopes(35.0, 1000.0, 10.0, 1020.0);
    p.push_back({1500.0, p.back().z_m - 480.0 * std::tan(30.0 * kDeg)});
    EXPECT_CONTAINS(inspect::alpha_beta(p, 0.0).problem, "no beta point");
    EXPECT_EQ(inspect::alpha_beta({{0.0, 0.0}, {20.0, -5.0}}, 0.0).problem,
              "the profile is shorter than 30 m");
}

// The example run on to 150 s blows up and stops on the small-step limit.
TEST(BlownUpRun, ExportsUseThePeaksBeforeTheOnsetAndSaySo) {
    TempDir dir;
    const std::string text = example_until("150.0");
    ASSERT_NE(text.find("Max_Time 150.0\n"), std::string::npos);
    std::string out;
    ASSERT_EQ(run_torla(dir, text, out), 5) << out;
    const auto record = nlohmann::json::parse(read_text(dir.file("run.res.json")));
    ASSERT_TRUE(record.at("onset").is_object());
    const double onset = record.at("onset").at("time_s").get<double>();
    for (const auto& r : record.at("runouts")) {
        EXPECT_FALSE(r.at("determined").get<bool>());
        EXPECT_CONTAINS(r.at("reason").get<std::string>(), "blew up");
    }

    const std::string inspect = bin_dir() + "/torla-inspect run.res ";
    ASSERT_EQ(run_in(dir.path(),
                     "(" + inspect + "summary --json > s.json && " + inspect +
                         "csv --peaks -o p.csv && " + inspect + "csv -o d.csv && " + inspect +
                         "netcdf -o r.nc)",
                     out),
              0)
        << out;
    const auto s = nlohmann::json::parse(read_text(dir.file("s.json")));
    EXPECT_TRUE(s.at("unstable").get<bool>());
    const auto& before = record.at("peaks_before_onset").at("p3");
    double largest = 0.0;
    for (const auto& v : before) largest = std::max(largest, v.get<double>());
    // The peaks before the onset are never below the dumps before it.
    ResultData r;
    ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
    for (std::size_t d = 1; d < r.dumps.size() && r.dump_time(d) < onset; ++d)
        for (int i = 0; i < r.n_cells; ++i)
            EXPECT_GE(before[i].get<double>() * (1 + 1e-6), r.dump_value(d, kRowSuspPressure, i))
                << d << " " << i;
    EXPECT_NEAR(s.at("max_suspension_pressure").at("kPa").get<double>(), largest, 1e-6 * largest);
    EXPECT_GT(s.at("front").size(), 10u);  // the dumps before the onset keep their front
    for (const auto& f : s.at("front")) EXPECT_LE(f.at("time_s").get<double>(), onset);

    const std::string peaks = read_text(dir.file("p.csv"));
    EXPECT_CONTAINS(peaks, "# unstable: the run blew up at t = ");
    const std::string dumps = read_text(dir.file("d.csv"));
    const std::size_t last = dumps.rfind('\n', dumps.size() - 2);
    EXPECT_LE(std::strtod(dumps.c_str() + last + 1, nullptr), onset);
    // The NetCDF says so too, with the onset.
    int nc = -1;
    ASSERT_EQ(nc_open(dir.file("r.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    EXPECT_EQ(nc_text(nc, NC_GLOBAL, "unstable"), "yes");
    double onset_nc = 0.0;
    EXPECT_EQ(nc_get_att_double(nc, NC_GLOBAL, "onset_time_s", &onset_nc), NC_NOERR);
    EXPECT_EQ(onset_nc, onset);
    nc_close(nc);
}

}  // namespace
}  // namespace torla::test
