// Numerics robust runs reach Max_Time soundly where the standard scheme blows up.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

const std::string kExample =
    test::read_text(std::string(TORLA_SOURCE_DIR) + "/examples/avalanche.cmd");

// The example with the given lines before its coordinate table.
std::string example_with(const std::string& lines) {
    const auto at = kExample.find("| COORDINATES");
    return kExample.substr(0, at) + lines + kExample.substr(at);
}

// The example's release on 1.74 km: 38 and 30 degrees, an 8 degree run-out, a 30 and 35 degree
// wall, up which the cloud runs over a saltation layer that is mostly air.
std::string wall_track(const std::string& lines) {
    std::string cmd = kExample.substr(0, kExample.find("| COORDINATES")) + lines;
    cmd += "| COORDINATES\nNumber_of_Points 45\n0 0 2400 0 0\n";
    const struct {
        int points;
        double dx, dz;
    } segments[] = {
        {6, 40, -31.25}, {15, 40, -23.1}, {10, 40, -5.6}, {8, 37.5, 21.65}, {5, 40, 28}};
    double x = 0, z = 2400;
    int i = 0;
    for (const auto& s : segments)
        for (int k = 0; k < s.points; ++k)
            cmd += std::to_string(++i) + " " + std::to_string(x += s.dx) + " " +
                   std::to_string(z += s.dz) + " 0 0\n";
    const auto local = kExample.find("| POWDER SNOW LOCAL PARAMETERS");
    cmd += kExample.substr(local, kExample.find("| END OF FILE") - local);
    for (i = 39; i < 45; ++i) cmd += std::to_string(i) + " 0 0.5 0.45 170 0 0 0 0 0 0 0 0\n";
    return cmd + "| END OF FILE\n";
}

const std::string kSchemeLine =
    "   main:  Numerics robust: HLL fluxes, sign-keeping sources, implicit eddy diffusion.\n";

TEST(RobustRuns, RobustRunsReachTheirEndSoundlyAndOnlyTheyNameTheirScheme) {
    struct Case {
        std::string command;
        double max_time;  // s; 0: a standard run
    };
    const Case cases[] = {
        {example_with("Max_Time 300\nNumerics robust\n"), 300.0},
        {example_with("Elem_Size 5\nNumerics robust\n"), 100.0},
        {wall_track("Numerics robust\n"), 100.0},
        {example_with("Max_Time 4\nNumerics standard\n"), 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command.substr(c.command.find("| COORDINATES") - 40, 40));
        TempDir dir;
        test::write_text(dir.file("run.cmd"), c.command);
        // Not run.info: another test interrupts every `torla run.info' on the machine.
        test::write_text(dir.file("example.info"), "run.cmd\nrun.res\n" + test::bin_dir() + "/\n");
        std::string out;
        ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla example.info", out), 0) << out;
        const std::string log = test::read_text(dir.file("run.plg"));
        if (c.max_time == 0.0) {
            EXPECT_EQ(out.find("Numerics"), std::string::npos);
            EXPECT_EQ(log.find("main:  Numerics"), std::string::npos);
            continue;
        }
        // Named once: after the grid is read, and in the log after the form factors.
        EXPECT_CONTAINS(out, "   main:  read_grid_file finished.\n\n" + kSchemeLine);
        EXPECT_EQ(out.find(kSchemeLine), out.rfind(kSchemeLine));
        EXPECT_EQ(out.find("dtn ="), std::string::npos) << "no Courant redo was needed";
        const auto scheme = log.find(kSchemeLine);
        ASSERT_NE(scheme, std::string::npos);
        EXPECT_LT(log.rfind("form_factor:"), scheme);
        EXPECT_EQ(scheme, log.rfind(kSchemeLine));

        const auto record = nlohmann::json::parse(test::read_text(dir.file("run.res.json")));
        EXPECT_EQ(record["stop_reason"], "max_time");
        EXPECT_TRUE(record["onset"].is_null()) << record["onset"];
        EXPECT_EQ(record["negativity_redos"], 0);
        // cover + saltation + suspension + outflow - edges keeps its start value.
        const auto total = [](const nlohmann::json& m) {
            return m["cover"].get<double>() + m["saltation"].get<double>() +
                   m["suspension"].get<double>() + m["outflow"].get<double>() -
                   m["edges"].get<double>();
        };
        const double start = total(record["dumps"].front()["mass_kg_per_m"]);
        EXPECT_NEAR(total(record["dumps"].back()["mass_kg_per_m"]), start, 0.005 * start);

        ResultData r;
        ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
        EXPECT_FALSE(r.closing_record) << "no small-step stop";
        ASSERT_FALSE(r.dumps.empty());
        EXPECT_GE(r.dump_time(r.dumps.size() - 1), c.max_time - 2.0);
        float fastest = 0.0f, least = 0.0f;
        bool finite = true;
        for (std::size_t d = 0; d < r.dumps.size(); ++d)
            for (int i = 0; i < r.n_cells; ++i) {
                for (int q = 0; q < kResultQuantities; ++q)
                    finite &= std::isfinite(r.dump_value(d, q, i));
                for (int q : {0 /* h1 */, 2 /* h2 */, 6 /* h3 */, 8 /* c3 */})
                    least = std::min(least, r.dump_value(d, q, i));
                for (int q : {3 /* u2 */, 7 /* u3 */})
                    fastest = std::max(fastest, std::fabs(r.dump_value(d, q, i)));
            }
        EXPECT_TRUE(finite);
        EXPECT_GE(least, 0.0f);
        EXPECT_LT(fastest, 60.0f);
        // Peak suspension pressures of a powder avalanche, not of a blow-up.
        ASSERT_TRUE(r.has_peak_table());
        float peak = 0.0f;
        for (int i = 0; i < r.n_cells; ++i)
            peak = std::max(peak,
                            r.peaks[(static_cast<std::size_t>(kRowSuspPressure) * r.n_cells + i) *
                                    kPeakEntryFloats]);
        EXPECT_GT(peak, 1.0f);
        EXPECT_LT(peak, 30.0f);
    }
}

}  // namespace
}  // namespace torla
