// torla-ensemble calibrate: rounds and boxes, the surrogate's minimum, and the synthetic case end
// to end (best.cmd reproduced, misfits recomputed, resume, refusals).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "ensemble/calibrate.h"
#include "ensemble_fixture.h"

namespace torla::ensemble {
namespace {

using test::csv_rows;
using test::read_text;
using test::TempDir;
using test::write_text;
namespace fs = std::filesystem;

using Points = std::vector<std::vector<double>>;

TEST(Calibration, RoundsSpendTheBudgetAndTheirBoxesHalveInsideTheRanges) {
    const std::pair<std::pair<int, int>, std::vector<int>> rounds[] = {
        {{200, 2}, {80, 24, 24, 24, 24, 24}},
        {{12, 2}, {5, 1, 1, 1, 1, 3}},
        {{5, 4}, {5}},     // the first round takes at least d + 2 ...
        {{7, 4}, {6, 1}},  // ... and the rest what is left
    };
    for (const auto& [budget_d, want] : rounds)
        EXPECT_EQ(calibration_rounds(budget_d.first, budget_d.second), want) << budget_d.first;
    EnsembleFile ens;
    ens.vary = {{.name = "x", .min = 0.0, .max = 10.0}, {.name = "y", .min = 1.0, .max = 2.0}};
    const struct {
        std::vector<double> centre;
        int k;
        Points box;  // min, max: all exact in binary
    } boxes[] = {
        {{5.0, 1.5}, 1, {{2.5, 1.25}, {7.5, 1.75}}},
        {{5.0, 1.5}, 2, {{3.75, 1.375}, {6.25, 1.625}}},
        {{0.5, 1.99}, 1, {{0.0, 1.5}, {5.0, 2.0}}},  // shifted inside at both ends
        {{9.9, 1.0}, 3, {{8.75, 1.0}, {10.0, 1.125}}},
    };
    for (const auto& c : boxes) {
        const Box b = round_box(ens, c.centre, c.k);
        EXPECT_EQ(Points({b.min, b.max}), c.box) << c.k << " " << c.centre[0];
    }
}

// Quadratics in one and three parameters on grids over the unit box: the fit's minimum is theirs.
TEST(Calibration, TheSurrogateIsExactOnQuadratics) {
    // misfit = 1 + sum w_i (x_i - c_i)^2 + 0.3 (x_0 - c_0)(x_last - c_last)
    const struct {
        std::vector<double> centre, weight;
        int per_axis;
    } cases[] = {{{0.62}, {4.0}, 9},
                 {{0.4, 0.5, 0.45}, {1.0, 3.0, 2.0}, 5},
                 {{0.55, 0.35, 0.7}, {0.5, 0.7, 1.5}, 4}};
    for (const auto& c : cases) {
        const std::size_t d = c.centre.size(), n = std::pow(c.per_axis, d);
        Points points;
        std::vector<double> misfits;
        for (std::size_t k = 0; k < n; ++k) {
            std::vector<double> x(d);
            double m = 1.0;
            for (std::size_t i = 0, rest = k; i < d; ++i, rest /= c.per_axis) {
                x[i] = static_cast<double>(rest % c.per_axis) / (c.per_axis - 1);
                m += c.weight[i] * (x[i] - c.centre[i]) * (x[i] - c.centre[i]);
            }
            points.push_back(x);
            misfits.push_back(m + 0.3 * (x[0] - c.centre[0]) * (x[d - 1] - c.centre[d - 1]));
        }
        const auto m = surrogate_minimum(
            points, misfits, Box{std::vector<double>(d, 0.0), std::vector<double>(d, 1.0)});
        ASSERT_TRUE(m) << d;
        for (std::size_t i = 0; i < d; ++i) EXPECT_NEAR((*m)[i], c.centre[i], 1e-5) << d << i;
    }
}

// Residuals linear in the parameters give their least-squares minimum exactly, whatever ripple the
// misfits carry; without usable residuals the misfits' own quadratic is fitted.
TEST(Calibration, SurrogateFromTheResidualsIsTheirLeastSquaresMinimum) {
    // residual o = offset_o + b_o (x - 0.35) + c_o (y - 0.6); B^T B = [[6, -1], [-1, 11]] and
    // B^T offset = (0.1, 0.2) put their least squares at (0.35, 0.6) - (0.02, 0.02), and on
    // y = 0.7 at x = 0.35 (6 dx - dy = -0.1).
    const double b[] = {1.0, 0.0, 2.0, -1.0}, c[] = {0.0, 1.0, 1.0, 3.0};
    const double offset[] = {0.2, -0.1, 0.0, 0.1};
    Points points, residuals;
    std::vector<double> misfits, rough;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) {
            const double x = 0.1 + 0.125 * i, y = 0.2 + 0.15 * j;
            std::vector<double> r;
            double sum = 0.0;
            for (int o = 0; o < 4; ++o)
                r.push_back(offset[o] + b[o] * (x - 0.35) + c[o] * (y - 0.6)), sum += r[o] * r[o];
            points.push_back({x, y}), residuals.push_back(r);
            misfits.push_back(sum / 4.0);
            rough.push_back(sum / 4.0 + 0.05 * std::sin(40.0 * x) * std::cos(40.0 * y));
        }
    const Box unit{{0.0, 0.0}, {1.0, 1.0}}, top{{0.0, 0.7}, {0.5, 1.0}};
    auto uneven = residuals, nan = residuals;
    uneven[3].pop_back();
    nan[std::min_element(misfits.begin(), misfits.end()) - misfits.begin()][2] = NAN;
    const struct {
        const std::vector<double>& misfits;
        Points residuals;
        Box box;
        std::vector<double> want;
    } cases[] = {{rough, residuals, unit, {0.33, 0.58}},
                 {misfits, {}, unit, {0.33, 0.58}},
                 {misfits, uneven, unit, {0.33, 0.58}},
                 {misfits, nan, unit, {0.33, 0.58}},
                 {misfits, {}, top, {0.35, 0.7}}};
    for (const auto& t : cases) {
        const auto got = surrogate_minimum(points, t.misfits, t.box, t.residuals);
        ASSERT_TRUE(got);
        EXPECT_NEAR((*got)[0], t.want[0], 1e-6);
        EXPECT_NEAR((*got)[1], t.want[1], 1e-6);
    }
    // The ripple moves the misfits' quadratic.
    const auto from_rough = surrogate_minimum(points, rough, unit);
    ASSERT_TRUE(from_rough);
    EXPECT_GT(std::hypot((*from_rough)[0] - 0.33, (*from_rough)[1] - 0.58), 1e-3);
    // None: a box away from the points, too few points for six coefficients, points on a line.
    EXPECT_FALSE(surrogate_minimum(points, misfits, Box{{2.0, 2.0}, {3.0, 3.0}}));
    EXPECT_FALSE(
        surrogate_minimum({{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0.5, 0.5}}, {1, 2, 3, 4, 5}, unit));
    Points line;
    std::vector<double> along;
    for (int i = 0; i < 12; ++i) line.push_back({0.1 * i, 0.1 * i}), along.push_back(i);
    EXPECT_FALSE(surrogate_minimum(line, along, unit));
}

// misfit = 1 + u^2 + v^2 with u = (x - 3/8) / (1/8), v = (y - 5/8) / (1/4) on the grid x, y = 0,
// 1/8, ..., 1 (exact in binary, so that the members on the limit's edge are decided exactly), both
// ranges [0, 1].
TEST(Calibration, TheAcceptedMembersAndTheRegionTheLaterRoundsSample) {
    Points points;
    std::vector<double> misfits;
    for (int i = 0; i <= 8; ++i)
        for (int j = 0; j <= 8; ++j) {
            const double x = i / 8.0, y = j / 8.0, u = (x - 0.375) / 0.125, v = (y - 0.625) / 0.25;
            points.push_back({x, y});
            misfits.push_back(1.0 + u * u + v * v);
        }
    misfits[5] = std::nan("");  // (0, 5/8): no misfit, never accepted
    EnsembleFile ens;
    ens.vary = {{.name = "x", .min = 0.0, .max = 1.0}, {.name = "y", .min = 0.0, .max = 1.0}};
    const struct {
        double limit;
        std::size_t count;
        Points span, region;  // min and max: the accepted span, widened and cut to the ranges
    } cases[] = {
        {0.5, 0, {}, {}},
        // only the minimum: a span of nothing, widened by 10 % of the ranges
        {1.0, 1, {{0.375, 0.625}, {0.375, 0.625}}, {{0.275, 0.525}, {0.475, 0.725}}},
        // u^2 + v^2 <= 1: the axes' ends on the edge included
        {2.0, 7, {{0.25, 0.375}, {0.5, 0.875}}, {{0.125, 0.125}, {0.625, 1.0}}},
        // u^2 + v^2 <= 4: cut by the grid's top in y, by the missing misfit not at all
        {5.0, 24, {{0.125, 0.125}, {0.625, 1.0}}, {{0.0, 0.0}, {0.875, 1.0}}},
    };
    for (const auto& c : cases) {
        const Accepted a = accepted_members(points, misfits, c.limit);
        ASSERT_EQ(a.members.size(), c.count) << c.limit;
        const std::optional<Box> r = region_box(ens, a);
        ASSERT_EQ(r.has_value(), c.count > 0) << c.limit;
        if (!r) continue;
        EXPECT_EQ(Points({a.span.min, a.span.max}), c.span) << c.limit;  // exact in binary
        for (int i = 0; i < 4; ++i)
            EXPECT_NEAR((i < 2 ? r->min : r->max)[i % 2], c.region[i / 2][i % 2], 1e-12) << c.limit;
    }
}

TEST(CalibrationProgram, RefusesWhatItCannotSearchKeepsEveryMemberReproducesTheBestAndResumes) {
    // The base in a folder named with a quote and a backslash, which the rounds' files escape.
    TempDir dir;
    const std::string synthetic = std::string(TORLA_SOURCE_DIR) + "/examples/synthetic/";
    fs::create_directory(dir.path() / "q\"x\\y");
    fs::copy_file(synthetic + "base.cmd", dir.path() / "q\"x\\y" / "base.cmd");
    fs::copy_file(synthetic + "observations.toml", dir.file("obs.toml"));
    write_text(dir.file("calib.toml"),
               "base = \"q\\\"x\\\\y/base.cmd\"\nmembers = 20\nsampling = \"latin-hypercube\"\n"
               "seed = 5\n[vary]\nAlpha = { min = 0.019, max = 0.025 }\n"
               "h2 = { factor = { min = 0.95, max = 1.25 } }\n");
    write_text(dir.file("listed.toml"),
               read_text(dir.file("calib.toml")) + "Courant_Nr = [0.6, 0.8]\n");
    write_text(dir.file("bad-obs.toml"),
               "name = \"n\"\nsource = \"s\"\n[[speed]]\ns_horizontal_m = 3\n");
    const struct {
        int status;
        std::string args, message;
    } refused[] = {
        {3, "listed.toml --observed obs.toml -o x", "listed.toml:8: calibrate searches ranges"},
        {3, "calib.toml --observed bad-obs.toml -o x", "bad-obs.toml:3: [[speed]] 1 needs `speed"},
        {3, "calib.toml --observed none.toml -o x", "none.toml:0: cannot open"},
        {2, "calib.toml -o x", "calibrate needs --observed OBS.toml and -o DIR"},
    };
    std::string out;
    for (const auto& c : refused) {
        EXPECT_EQ(ensemble(dir, "calibrate " + c.args, out), c.status) << c.args << "\n" << out;
        EXPECT_CONTAINS(out, c.message) << c.args;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "x" / "calibration.csv"));
    const std::string calibrate = "calibrate calib.toml --observed obs.toml -o c --jobs 2";
    ASSERT_EQ(ensemble(dir, calibrate, out), 0) << out;
    const auto rows = csv_rows(dir.file("c/calibration.csv"));
    ASSERT_EQ(rows.size(), 21u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"member", "Alpha", "h2[factor]", "misfit", "round",
                                                 "folder", "note"}));
    EXPECT_CONTAINS(read_text(dir.file("c/rounds/round-01.toml")), "q\\\"x\\\\y/base.cmd\"");
    const auto j = nlohmann::json::parse(read_text(dir.file("c/calibration.json")));
    const std::string best = "c/" + j["best"]["folder"].get<std::string>();
    auto misfit_of = [&](const std::string& result) {
        EXPECT_EQ(run(dir, "torla-inspect " + result + " score obs.toml --json", out), 0) << out;
        return nlohmann::json::parse(out)["misfit"].get<double>();
    };
    // Every misfit is torla-inspect score's of the member's result; a member without one failed.
    int checked = 0;
    for (std::size_t k = 1; k < rows.size(); k += 3) {
        if (rows[k][3].empty()) {
            EXPECT_CONTAINS(rows[k][6], "the run ended with status") << k;
        } else {
            const double m = std::stod(rows[k][3]);
            ++checked;
            EXPECT_NEAR(misfit_of("c/" + rows[k][5] + "/member.res"), m, 1e-8 * m);
        }
    }
    EXPECT_GE(checked, 4);
    // best.cmd is the best member's command file and runs to its result.
    EXPECT_EQ(read_text(dir.file("c/best.cmd")), read_text(dir.file(best + "/member.cmd")));
    ASSERT_EQ(test::run_torla(dir, read_text(dir.file("c/best.cmd")), out), 0) << out;
    EXPECT_EQ(read_text(dir.file("run.res")), read_text(dir.file(best + "/member.res")));
    EXPECT_EQ(misfit_of("run.res"), j["best"]["misfit"].get<double>());
    // The accepted members are the table's within the limit, spanning the parameters reported.
    const double limit = j["accepted"]["misfit_limit"].get<double>();
    std::vector<int> accepted;
    std::vector<double> lo(2, 1e300), hi(2, -1e300);
    for (std::size_t k = 1; k < rows.size(); ++k) {
        if (rows[k][3].empty() || std::stod(rows[k][3]) > limit) continue;
        accepted.push_back(std::stoi(rows[k][0]));
        for (int i = 0; i < 2; ++i)
            lo[i] = std::min(lo[i], std::stod(rows[k][1 + i])),
            hi[i] = std::max(hi[i], std::stod(rows[k][1 + i]));
    }
    ASSERT_FALSE(accepted.empty());
    EXPECT_EQ(j["accepted"]["members"].get<std::vector<int>>(), accepted);
    for (int i = 0; i < 2; ++i) {
        const auto& span = j["accepted"]["parameters"][rows[0][1 + i]];
        EXPECT_EQ(std::vector<double>({span["min"], span["max"]}), std::vector({lo[i], hi[i]}));
    }
    // The last round gave a share to the accepted region (round 3's two members: no share).
    EXPECT_EQ(j["rounds"][5]["members"].get<int>(), 3);
    EXPECT_EQ(j["rounds"][5]["region"]["members"].get<int>(), 1);
    EXPECT_TRUE(fs::exists(dir.path() / "c/rounds/region-05"));
    EXPECT_FALSE(fs::exists(dir.path() / "c/rounds/region-03"));
    // Interrupted within the third round (its and region-05's endings, rounds 4 and 5 gone): run
    // again, the first round's members are not run anew and the answer is the same.
    const std::string first = dir.file("c/" + rows[1][5] + "/member.status");
    const auto stamp = fs::last_write_time(first);
    const std::string csv = read_text(dir.file("c/calibration.csv"));
    for (const char* later : {"round-04", "round-05"})
        fs::remove_all(dir.path() / "c/rounds" / later);
    for (const char* third : {"round-03", "region-05"})
        for (const auto& e : fs::recursive_directory_iterator(dir.path() / "c/rounds" / third))
            if (e.path().filename() == "member.status") fs::remove(e.path());
    fs::remove(dir.path() / "c/calibration.csv");
    ASSERT_EQ(ensemble(dir, calibrate, out), 0) << out;
    EXPECT_EQ(fs::last_write_time(first), stamp);
    EXPECT_EQ(read_text(dir.file("c/calibration.csv")), csv);
}

}  // namespace
}  // namespace torla::ensemble
