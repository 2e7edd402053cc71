// The ensemble's exceedance probabilities at heights above the snow cover
// ([thresholds] at_height): the entries read and refused, the exceedance
// table's reader, exact probabilities over hand-made peaks.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "ensemble_fixture.h"
#include "inspect/exports.h"
#include "output/heights_format.h"
#include "test_support.h"

namespace torla::ensemble {
namespace {

using test::csv_rows;
using test::read_text;
using test::TempDir;
using test::write_text;

TEST(HeightExceedance, BadAtHeightEntriesAreRefusedNamingTheLineAndKey) {
    const std::string z = "at_height = [{ z_m = ", a = z + "5.0, p_kPa = ", one = a + "[1.0] }]\n";
    const std::pair<std::string, std::string> cases[] = {
        {"at_height = []\n", "line 5, column 13: `at_height' takes a list of { z_m = ..."},
        {"at_height = [5.0]\n", "line 5, column 14: an entry of `at_height' is { z_m"},
        {"[[thresholds.at_height]]\nz_m = 1\n", "line 5, column 1: an entry of `at_height' needs"},
        {"at_height = [{ p_kPa = [1.0] }]\n", "line 5, column 14: an entry of `at_height' needs"},
        {z + "-1.0, p_kPa = [1.0] }]\n", "line 5, column 22: `z_m' of `at_height' must be a"},
        {z + "\"5\", p_kPa = [1.0] }]\n", "`z_m' of `at_height' must be a height"},
        {a + "[] }]\n", "line 5, column 35: `p_kPa' of `at_height' takes a list of pressures"},
        {a + "[1.0, 0.0] }]\n", "line 5, column 41: a threshold of `at_height' must be a"},
        {a + "[1.0], p_kpa = [2.0] }]\n", "line 5, column 14: unknown entry `p_kpa' of"},
        {a + "[1.0] }, {z_m = 5, p_kPa = [2]}]\n", "line 5, column 44: the height 5 m is listed"},
        {one + "[vary]\nPeak_Heights = [\"2,5\"]\n", "line 7, column 16: `Peak_Heights' is set by"},
        {one + "[vary]\nHeight_Peaks = [\"off\"]\n", "line 7, column 16: `Height_Peaks' is set by"},
        {"at_heights = [{ z_m = 5.0, p_kPa = [1.0] }]\n",
         "line 5, column 14: unknown threshold `at_heights' (p2, p3 and at_height are known)"},
    };
    for (const auto& [text, message] : cases) {
        EnsembleFile s;
        const std::string err = parse_ensemble_file(
            "e.toml", "base = \"b.cmd\"\nmembers = 4\nseed = 1\n[thresholds]\n" + text, s);
        EXPECT_NE(err.find(message), std::string::npos) << text << "\n gave: " << err;
    }
}

// Bad exceedance tables (a valid one's columns and values, their NetCDF
// and map, are test_ensemble.cpp's end to end).
TEST(HeightExceedance, TheTableReaderRefusesBadTablesNamingLineAndColumn) {
    TempDir dir;
    const std::string
        lines = "# members 3, used 2\n# left out: failed 1; unstable none; not run none\n",
        head = "cell,path_length[m],easting[m],northing[m],elevation[m],", fixed = lines + head,
        table = fixed + "P(p3>1kPa),p3_p50[kPa]\n0,0,600000,200000,1000,0.5,0.75\n";
    const std::pair<std::string, std::string> cases[] = {
        {"cell\n", "t.csv: line 1: not the `# members N, used M' line"},
        {"# members 3, used 2\n#\ncell\n", "t.csv: line 2: not the `# left out: failed"},
        {lines + "cell,path_length[m],x[m]\n", "line 3, column 3 must be `easting[m]', not `x[m]'"},
        {fixed + "P(p3>-1kPa)\n", "line 3, column 6 `P(p3>-1kPa)': `-1' is no threshold in kPa"},
        {fixed + "p4_p50[kPa]\n", "line 3, column 6: unknown column `p4_p50[kPa]'"},
        {fixed + "P(p@xm>3kPa)\n", "line 3, column 6 `P(p@xm>3kPa)': `x' is no height in m"},
        {fixed + "P(p@-1m>3kPa)\n", "line 3, column 6 `P(p@-1m>3kPa)': `-1' is no height in m"},
        {fixed + "P(p@m>3kPa)\n", "`' is no height in m"},
        {fixed + "P(p@5m>0kPa)\n", "line 3, column 6 `P(p@5m>0kPa)': `0' is no threshold in kPa"},
        {fixed + "P(p@5>3kPa)\n", "line 3, column 6: unknown column `P(p@5>3kPa)'"},
        {fixed + "P(p1>3kPa)\n", "line 3, column 6: unknown column `P(p1>3kPa)'"},
        {fixed + "P(p3>kPa)\n", "line 3, column 6: unknown column `P(p3>kPa)'"},
        {table.substr(0, table.find("\n0,") + 1), "t.csv: no cells after the header (line 3)"},
        {table + "1,10,6,1,9,0\n", "t.csv: line 5: 6 values where the header has 7 columns"},
        {table + "1,10,6,1,9,half,1\n", "t.csv: line 5, column 6 (P(p3>1kPa)): `half' is not a"},
        {table + "2,10,6,1,9,0.5,1\n", "line 5, column 1 (cell): cell `2' where cell 1 comes next"},
    };
    // A good one: its left-out members as its second line lists them, a
    // column at a height with its threshold, field and units.
    inspect::ExceedanceTable t;
    write_text(dir.file("t.csv"),
               "# members 6, used 2\n# left out: failed 1 4; unstable 2; not run 3 5\n" + head +
                   "P(p@0.5m>3kPa),P(p3>1kPa)\n0,0,1,2,3,0.5,1\n");
    ASSERT_EQ(inspect::read_exceedance_table(dir.file("t.csv"), t), "");
    EXPECT_EQ(t.failed + "|" + t.unstable + "|" + t.not_run + "|" + std::to_string(t.members) +
                  " " + std::to_string(t.used) + " " + std::to_string(t.rows.size()),
              "1 4|2|3 5|6 2 1");
    ASSERT_EQ(t.columns.size(), 7u);
    const inspect::ExceedanceColumn& c = t.columns[5];
    EXPECT_EQ(c.kind, inspect::ExceedanceColumn::kProbability);
    EXPECT_EQ(c.quantity + " " + c.field + " " + c.units + " " + number_text(c.height_m) + " " +
                  number_text(c.threshold_kpa) + " " + number_text(t.columns[6].height_m),
              "p prob_p_at_0_5m_gt_3kpa 1 0.5 3 -1");
    for (const auto& [text, message] : cases) {
        write_text(dir.file("t.csv"), text);
        const std::string err = inspect::read_exceedance_table(dir.file("t.csv"), t);
        EXPECT_NE(err.find(message), std::string::npos) << text << "\n gave: " << err;
    }
}

// A member of 4 cells with nothing in its peak table, and beside it a
// RESULT.heights of `cells' cells at `heights' whose peaks are 0 but in
// cell 1: rising by height from `cell1' (kPa).
void write_heights(const std::string& out, const Member& m, const std::vector<double>& heights,
                   const std::vector<double>& cell1, int cells) {
    write_member(out, m, {});
    if (heights.empty()) return;
    HeightsData h;
    h.n_cells = cells;
    h.air_density = 1.2, h.rho_diff = 198.8;
    h.heights = heights;
    h.peak.assign(cells * heights.size(), 0.0);
    h.time.assign(cells * heights.size(), std::nan(""));
    for (std::size_t k = 0; k < heights.size(); ++k) h.peak[heights.size() + k] = cell1[k];
    ASSERT_EQ(write_heights_file(out + "/" + m.folder + "/member.res.heights", h), "");
}

TEST(HeightExceedance, ExactProbabilitiesOverHandMadePeaksAndMembersWithoutThem) {
    TempDir dir;
    write_text(dir.file("b.cmd"), small_command_file(8, "Max_Time 2\n"));
    write_text(dir.file("s.toml"),
               grid_ensemble("0.5, 0.55, 0.6, 0.65, 0.7, 0.75, 0.8, 0.85, 0.9",
                             "[thresholds]\np3 = [1.0]\nat_height = [{ z_m = 2.0, p_kPa = [1.0, "
                             "3.0] }, { z_m = 0.5, p_kPa = [2.5] }]\n"));
    Plan plan;
    ASSERT_EQ(prepare(dir.file("s.toml"), dir.file("out"), test::bin_dir(), plan), "");
    // Members 0-3 are used: at 2 m cell 1 has 0.5, 1, 2, 3 kPa (a peak
    // exceeds strictly: 1 is not above 1, 3 not above 3), at 0.5 m 2.5, 2.5,
    // 2.6, 9. The others are left out, each for its own reason.
    const std::vector<double> both = {0.5, 2.0};
    const struct Case {
        std::vector<double> heights, cell1;
        int cells;
        std::string why;
    } cases[] = {
        {{0.5, 1.0, 2.0}, {2.5, 2.5, 0.5}, 4, ""},
        {both, {2.5, 1.0}, 4, ""},
        {both, {2.6, 2.0}, 4, ""},
        {{0.5, 2.0, 5.0}, {9.0, 3.0, 9.0}, 4, ""},
        {{}, {}, 4, "member.res.heights: the run kept no peaks over height, which [thresholds]"},
        {{0.5}, {1.0}, 4, "member.res.heights has no peaks at 2 m"},
        {both, {1.0, 2e12}, 4, "peak pressure at 2 m 2e+12 kPa in cell 1 (not finite or above"},
        {both, {1.0, 1.0}, 3, "member.res.heights: 3 cells, the result has 4"},
        {{2.0, 1.0}, {1.0, 1.0}, 4, "heights"},  // not rising: the reader refuses it
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        write_heights(dir.file("out"), plan.members[i], cases[i].heights, cases[i].cell1,
                      cases[i].cells);
    CollectFigures fig;
    std::vector<std::string> notes;
    ASSERT_EQ(collect(dir.file("out"), fig, &notes), "");
    EXPECT_EQ(fig.used * 10 + fig.failed, 45);
    const auto failed = nlohmann::json::parse(read_text(dir.file("out/ensemble.json")))["failed"];
    ASSERT_EQ(failed.size(), 5u) << failed.dump();
    for (std::size_t i = 4; i < std::size(cases); ++i)
        EXPECT_NE(failed[i - 4]["why"].get<std::string>().find(cases[i].why), std::string::npos)
            << i;
    const auto t = csv_rows(dir.file("out/exceedance.csv"));
    ASSERT_EQ(t[0].size(), 21u);
    EXPECT_EQ(t[0][18] + " " + t[0][19] + " " + t[0][20],
              "P(p@2m>1kPa) P(p@2m>3kPa) P(p@0.5m>2.5kPa)");
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(t[c + 1][18] + " " + t[c + 1][19] + " " + t[c + 1][20],
                  c == 1 ? "0.5 0 0.5" : "0 0 0")
            << "cell " << c;
    // The map needs a CRS, which this base has not: a note says so; the
    // NetCDF is written.
    EXPECT_EQ(notes, std::vector<std::string>(
                         {"no exceedance.gpkg: " + dir.file("out/exceedance.csv") +
                          ": no CRS: the ensemble's base command file has no crs_wkt lines "
                          "(torla-profile writes them); name it with --crs"}));
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/exceedance.gpkg")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("out/exceedance.nc")));
}

}  // namespace
}  // namespace torla::ensemble
