// torla-ensemble calibrate: the rounds and their boxes, the surrogate's
// minimum, and a calibration of the synthetic case end to end (the best
// member reproduced from best.cmd, every misfit recomputed, resume, refusals).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "ensemble/calibrate.h"
#include "test_support.h"

namespace torla::ensemble {
namespace {

using test::read_text;
using test::TempDir;
using test::write_text;
namespace fs = std::filesystem;

TEST(Calibration, RoundsSpendTheBudget) {
    struct Case {
        int budget, d;
        std::vector<int> rounds;
    };
    const std::vector<Case> cases = {
        {200, 2, {80, 24, 24, 24, 24, 24}},
        {400, 4, {160, 48, 48, 48, 48, 48}},
        {12, 2, {5, 1, 1, 1, 1, 3}},
        {5, 4, {5}},        // the first round takes at least d + 2 ...
        {7, 4, {6, 1}},     // ... and the rest what is left
        {101, 3, {41, 12, 12, 12, 12, 12}},
    };
    for (const Case& c : cases) {
        const std::vector<int> r = calibration_rounds(c.budget, c.d);
        EXPECT_EQ(r, c.rounds) << c.budget << " " << c.d;
        int sum = 0;
        for (int n : r) sum += n;
        EXPECT_EQ(sum, c.budget);
    }
}

TEST(Calibration, BoxesHalveAndStayInsideTheRanges) {
    EnsembleFile ens;
    ens.vary.resize(2);
    ens.vary[0].min = 0.0, ens.vary[0].max = 10.0;
    ens.vary[1].min = 1.0, ens.vary[1].max = 2.0;
    struct Case {
        std::vector<double> centre;
        int k;
        std::vector<double> min, max;
    };
    const std::vector<Case> cases = {
        {{5.0, 1.5}, 1, {2.5, 1.25}, {7.5, 1.75}},
        {{5.0, 1.5}, 2, {3.75, 1.375}, {6.25, 1.625}},
        {{0.5, 1.99}, 1, {0.0, 1.5}, {5.0, 2.0}},   // shifted inside at both ends
        {{9.9, 1.0}, 3, {8.75, 1.0}, {10.0, 1.125}},
    };
    for (const Case& c : cases) {
        const Box b = round_box(ens, c.centre, c.k);
        for (int i = 0; i < 2; ++i) {
            EXPECT_NEAR(b.min[i], c.min[i], 1e-12) << c.k << " " << i;
            EXPECT_NEAR(b.max[i], c.max[i], 1e-12) << c.k << " " << i;
        }
    }
}

TEST(Calibration, TheSurrogateFindsTheMinimumOfAQuadratic) {
    // misfit = 1 + (x - 0.3)^2 + 2 (y - 0.6)^2 + 0.5 (x - 0.3)(y - 0.6) on a 5 x 5 grid.
    std::vector<std::vector<double>> points;
    std::vector<double> misfits;
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) {
            const double x = 0.25 * i, y = 0.25 * j;
            points.push_back({x, y});
            misfits.push_back(1 + (x - 0.3) * (x - 0.3) + 2 * (y - 0.6) * (y - 0.6) + 0.5 * (x - 0.3) * (y - 0.6));
        }
    const Box unit{{0.0, 0.0}, {1.0, 1.0}};
    const auto m = surrogate_minimum(points, misfits, unit);
    ASSERT_TRUE(m);
    // The fit uses the 12 best points; their span holds the minimum.
    EXPECT_NEAR((*m)[0], 0.3, 1e-5);
    EXPECT_NEAR((*m)[1], 0.6, 1e-5);
    // Sought within a box that leaves it out: on the box's edge.
    const auto edge = surrogate_minimum(points, misfits, Box{{0.0, 0.7}, {0.5, 1.0}});
    ASSERT_TRUE(edge);
    EXPECT_NEAR((*edge)[1], 0.7, 1e-6);
    EXPECT_NEAR((*edge)[0], 0.3 - 0.5 * 0.1 / 2.0, 1e-5);  // df/dx = 0 at y = 0.7
    // A box away from the fitted points, too few points for the six
    // coefficients, and points on a line.
    EXPECT_FALSE(surrogate_minimum(points, misfits, Box{{2.0, 2.0}, {3.0, 3.0}}));
    EXPECT_FALSE(surrogate_minimum({{0, 0}, {1, 0}, {0, 1}, {1, 1}, {0.5, 0.5}}, {1, 2, 3, 4, 5}, unit));
    std::vector<std::vector<double>> line;
    std::vector<double> along;
    for (int i = 0; i < 12; ++i) line.push_back({0.1 * i, 0.1 * i}), along.push_back(i);
    EXPECT_FALSE(surrogate_minimum(line, along, unit));
}

TEST(Calibration, AcceptedMisfit) {
    EXPECT_NEAR(accepted_misfit(8), 2.0, 1e-12);
    EXPECT_NEAR(accepted_misfit(2), 3.0, 1e-12);
}

// The synthetic case's files with the base named by its full path.
void synthetic_spec(const TempDir& dir, int budget) {
    const std::string synthetic = std::string(TORLA_SOURCE_DIR) + "/examples/synthetic/";
    write_text(dir.file("calib.toml"), "base = \"" + synthetic + "base.cmd\"\nmembers = " + std::to_string(budget) +
                                          "\nsampling = \"latin-hypercube\"\nseed = 5\n[vary]\n"
                                          "Alpha = { min = 0.01, max = 0.03 }\nh2 = { factor = { min = 0.5, max = 1.5 } }\n");
    fs::copy_file(synthetic + "observations.toml", dir.file("obs.toml"));
}

std::vector<std::vector<std::string>> csv_rows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        rows.emplace_back();
        std::istringstream l(line);
        for (std::string x; std::getline(l, x, ',');) rows.back().push_back(x);
    }
    return rows;
}

TEST(CalibrationProgram, KeepsEveryMemberReproducesTheBestAndResumes) {
    TempDir dir;
    synthetic_spec(dir, 12);
    const std::string bin = test::bin_dir() + "/";
    const std::string command = bin + "torla-ensemble calibrate calib.toml --observed obs.toml -o c --jobs 2";
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), command, out), 0) << out;
    const auto rows = csv_rows(dir.file("c/calibration.csv"));
    ASSERT_EQ(rows.size(), 13u);
    EXPECT_EQ(rows[0], (std::vector<std::string>{"member", "Alpha", "h2[factor]", "misfit", "round", "folder", "note"}));
    const auto j = nlohmann::json::parse(read_text(dir.file("c/calibration.json")));
    const std::string best_folder = j["best"]["folder"];
    // Every misfit is the one torla-inspect score gives the member's result.
    for (std::size_t k = 1; k < rows.size(); k += 4) {
        ASSERT_FALSE(rows[k][3].empty()) << k;
        ASSERT_EQ(test::run_in(dir.path(), bin + "torla-inspect c/" + rows[k][5] + "/member.res score obs.toml --json", out), 0);
        EXPECT_NEAR(nlohmann::json::parse(out)["misfit"].get<double>(), std::stod(rows[k][3]),
                    1e-8 * std::stod(rows[k][3]));
    }
    // best.cmd is the best member's command file and runs to its result.
    EXPECT_EQ(read_text(dir.file("c/best.cmd")), read_text(dir.file("c/" + best_folder + "/member.cmd")));
    write_text(dir.file("best.info"), "c/best.cmd\nbest.res\n" + bin + "\n");
    ASSERT_EQ(test::run_in(dir.path(), bin + "torla best.info", out), 0) << out;
    EXPECT_EQ(read_text(dir.file("best.res")), read_text(dir.file("c/" + best_folder + "/member.res")));
    ASSERT_EQ(test::run_in(dir.path(), bin + "torla-inspect best.res score obs.toml --json", out), 0);
    EXPECT_EQ(nlohmann::json::parse(out)["misfit"].get<double>(), j["best"]["misfit"].get<double>());
    // The accepted members span their parameters.
    for (const auto& m : j["accepted"]["members"]) EXPECT_LE(std::stod(rows[m.get<int>() + 1][3]), j["accepted"]["misfit_limit"].get<double>());
    // Run again: nothing is run anew, the same answer.
    struct stat before {}, after {};
    ASSERT_EQ(stat(dir.file("c/" + best_folder + "/member.res").c_str(), &before), 0);
    const std::string csv = read_text(dir.file("c/calibration.csv"));
    ASSERT_EQ(test::run_in(dir.path(), command, out), 0) << out;
    ASSERT_EQ(stat(dir.file("c/" + best_folder + "/member.res").c_str(), &after), 0);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
    EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec);
    EXPECT_EQ(read_text(dir.file("c/calibration.csv")), csv);
    // Interrupted within the third round and after it: its members'
    // endings and every later round gone; run again, the same answer.
    fs::remove_all(dir.path() / "c" / "rounds" / "round-04");
    fs::remove_all(dir.path() / "c" / "rounds" / "round-05");
    for (const auto& e : fs::recursive_directory_iterator(dir.path() / "c" / "rounds" / "round-03"))
        if (e.path().filename() == "member.status") fs::remove(e.path());
    fs::remove(dir.path() / "c" / "calibration.csv");
    ASSERT_EQ(test::run_in(dir.path(), command, out), 0) << out;
    EXPECT_EQ(read_text(dir.file("c/calibration.csv")), csv);
}

TEST(CalibrationProgram, ABaseNamedWithQuotesAndBackslashes) {
    TempDir dir;
    synthetic_spec(dir, 6);
    fs::create_directory(dir.path() / "q\"x\\y");
    fs::copy_file(std::string(TORLA_SOURCE_DIR) + "/examples/synthetic/base.cmd", dir.path() / "q\"x\\y" / "base.cmd");
    write_text(dir.file("q.toml"), "base = \"q\\\"x\\\\y/base.cmd\"\nmembers = 6\nseed = 3\n[vary]\n"
                                   "Alpha = { min = 0.015, max = 0.025 }\n");
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla-ensemble calibrate q.toml --observed obs.toml -o c", out), 0)
        << out;
    EXPECT_NE(read_text(dir.file("c/rounds/round-01.toml")).find("q\\\"x\\\\y/base.cmd\""), std::string::npos);
    EXPECT_EQ(csv_rows(dir.file("c/calibration.csv")).size(), 7u);
}

TEST(CalibrationProgram, RefusesWhatItCannotSearch) {
    TempDir dir;
    synthetic_spec(dir, 12);
    write_text(dir.file("listed.toml"), read_text(dir.file("calib.toml")) + "Courant_Nr = [0.6, 0.8]\n");
    write_text(dir.file("bad-obs.toml"), "name = \"n\"\nsource = \"s\"\n[[speed]]\ns_horizontal_m = 3\n");
    struct Case {
        std::string args;
        int status;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"listed.toml --observed obs.toml -o x", 3, "listed.toml:8: calibrate searches ranges: give `Courant_Nr'"},
        {"calib.toml --observed bad-obs.toml -o x", 3, "bad-obs.toml:3: [[speed]] 1 needs `speed_m_s'"},
        {"calib.toml --observed none.toml -o x", 3, "none.toml:0: cannot open"},
        {"calib.toml -o x", 2, "calibrate needs --observed OBS.toml and -o DIR"},
        {"calib.toml --observed obs.toml -o x --budget 0", 2, "--budget: `0' is not a whole number from 1 to 1000000"},
        {"calib.toml --observed obs.toml -o x --engine cloud", 2, "--engine: `cloud' is not local or slurm"},
    };
    for (const Case& c : cases) {
        std::string out;
        EXPECT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla-ensemble calibrate " + c.args, out), c.status)
            << c.args << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "x" / "calibration.csv"));
}

}  // namespace
}  // namespace torla::ensemble
