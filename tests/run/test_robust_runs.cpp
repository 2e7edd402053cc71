// The bundled example with Numerics robust, run by the built program with
// its grid generator: where the standard scheme blows up (a long run, fine
// cells), the robust one runs to Max_Time with sound numbers, and it names
// itself once at start-up; a standard run says nothing of its scheme.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

// The example's command file with the given lines put before its
// coordinate table (a later key overrides an earlier one).
std::string example_with(const std::string& lines) {
    std::string cmd = test::read_text(std::string(TORLA_SOURCE_DIR) + "/examples/avalanche.cmd");
    const auto at = cmd.find("| COORDINATES");
    return cmd.substr(0, at) + lines + cmd.substr(at);
}

// The information file is not named run.info: another test interrupts
// every `torla run.info' on the machine.
int run_example(const TempDir& dir, const std::string& lines, std::string& out) {
    test::write_text(dir.file("run.cmd"), example_with(lines));
    test::write_text(dir.file("example.info"), "run.cmd\nrun.res\n" + test::bin_dir() + "/\n");
    return test::run_in(dir.path(), test::bin_dir() + "/torla example.info", out);
}

const std::string kSchemeLine =
    "   main:  Numerics robust: HLL fluxes, sign-keeping sources, implicit eddy diffusion.\n";

TEST(RobustRuns, ExampleRunsToItsEndWhereTheStandardSchemeBlowsUp) {
    struct Case {
        const char* lines;
        double max_time;
    };
    const Case cases[] = {
        {"Max_Time 300\nNumerics robust\n", 300.0},
        {"Elem_Size 5\nNumerics robust\n", 100.0},
        {"Elem_Size 2.5\nNumerics robust\n", 100.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lines);
        TempDir dir;
        std::string out;
        ASSERT_EQ(run_example(dir, c.lines, out), 0) << out;
        // Named once, after the grid is read; the log has it after the
        // form-factor report.
        EXPECT_NE(out.find("   main:  read_grid_file finished.\n\n" + kSchemeLine), std::string::npos);
        EXPECT_EQ(out.find(kSchemeLine), out.rfind(kSchemeLine));
        EXPECT_EQ(out.find("dtn ="), std::string::npos) << "no Courant redo was needed";
        const std::string log = test::read_text(dir.file("run.plg"));
        const auto scheme = log.find(kSchemeLine);
        ASSERT_NE(scheme, std::string::npos);
        EXPECT_LT(log.rfind("form_factor:"), scheme);
        EXPECT_EQ(scheme, log.rfind(kSchemeLine));

        ResultData r;
        ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
        EXPECT_FALSE(r.closing_record) << "no small-step stop";
        ASSERT_FALSE(r.dumps.empty());
        EXPECT_GE(r.dump_time(r.dumps.size() - 1), c.max_time - 2.0);
        float fastest = 0.0f, least = 0.0f;
        bool finite = true;
        for (std::size_t d = 0; d < r.dumps.size(); ++d)
            for (int i = 0; i < r.n_cells; ++i) {
                for (int q = 0; q < kResultQuantities; ++q) finite &= std::isfinite(r.dump_value(d, q, i));
                for (int q : {0 /* h1 */, 2 /* h2 */, 6 /* h3 */, 8 /* c3 */})
                    least = std::min(least, r.dump_value(d, q, i));
                for (int q : {3 /* u2 */, 7 /* u3 */})
                    fastest = std::max(fastest, std::fabs(r.dump_value(d, q, i)));
            }
        EXPECT_TRUE(finite);
        EXPECT_GE(least, 0.0f);
        EXPECT_LT(fastest, 80.0f);
        // Peak suspension pressures of a powder avalanche, not of a blow-up.
        ASSERT_TRUE(r.has_peak_table());
        float peak = 0.0f;
        for (int i = 0; i < r.n_cells; ++i)
            peak = std::max(peak, r.peaks[(static_cast<std::size_t>(kRowSuspPressure) * r.n_cells + i) *
                                          kPeakEntryFloats]);
        EXPECT_GT(peak, 1.0f);
        EXPECT_LT(peak, 30.0f);
    }
}

TEST(RobustRuns, StandardRunsDoNotNameTheirScheme) {
    for (const char* lines : {"Max_Time 4\n", "Max_Time 4\nNumerics standard\n"}) {
        TempDir dir;
        std::string out;
        ASSERT_EQ(run_example(dir, lines, out), 0) << out;
        EXPECT_EQ(out.find("Numerics"), std::string::npos) << lines;
        EXPECT_EQ(test::read_text(dir.file("run.plg")).find("main:  Numerics"), std::string::npos)
            << lines;
    }
}

}  // namespace
}  // namespace torla
