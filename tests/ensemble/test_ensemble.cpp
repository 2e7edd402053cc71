// torla-ensemble: ensemble files, sampling, members, exact probabilities, the exceedance table read
// back, runs end to end (map, NetCDF, resume, refusals, links, signals) and Slurm submission.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netcdf.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include "ensemble/slurm.h"
#include "ensemble_fixture.h"
#include "inspect/exports.h"
#include "output/heights_format.h"
#include "test_support.h"

namespace torla::ensemble {
namespace {

using namespace std::chrono_literals;
using test::csv_rows;
using test::read_text;
using test::TempDir;
using test::write_text;
namespace fs = std::filesystem;

TEST(EnsembleFile, ReadsEveryKindOfValueAndRefusesBadFilesNamingTheLine) {
    TempDir dir;
    write_text(
        dir.file("e.toml"),
        "\xEF\xBB\xBF# an ensemble, K\xC3\xB6nig\nbase = \"sub/b.cmd\"   # the base\n"
        "members = 1_000\nsampling = \"random\"\nseed = 7\n[vary]\n"
        "Max_Salt_Density = { min = 20.0, max = 60.0 }\nCourant_Nr = [0.6,\n  0.85]  # two"
        "\nh2 = { factor = [0, 1.2] }\nh3 = { factor = { min = 0.7, max = 1.3 } }\n"
        "Numerics = ['standard', \"robust\"]\n\"snow_mass\" = { factor = [1] }\n"
        "Max_Dev = [1, 3.4028234663852886e38]\nVelo_Prof_Coeff_1 = [-3.4028234663852886e38]"
        "\n[thresholds]\np3 = [1.0, 3.0, 10.0]\np2 = [10, 30.0]\n[zones]\nset = \"austria\"\n"
        "pressure = \"max\"\n");
    EnsembleFile s;
    ASSERT_EQ(read_ensemble_file(dir.file("e.toml"), s), "");
    EXPECT_EQ(describe_zone_set(s.zones).rfind("austria on max", 0), 0u)
        << describe_zone_set(s.zones);
    std::ostringstream o;
    o << s.members << " " << sampling_name(s.sampling) << " " << s.seed << " "
      << fs::path(s.base_path).lexically_relative(dir.path()).string();
    for (const auto& v : s.vary) {
        o << " | " << v.name << " " << v.column << (v.word ? " word" : "")
          << (v.range ? " range" : "");
        if (v.range) o << " " << v.min << " " << v.max;
        for (double x : v.values) o << " " << x;
        for (const auto& w : v.words) o << " " << w;
    }
    for (double t : s.p3_thresholds) o << " | p3 " << t;
    for (double t : s.p2_thresholds) o << " | p2 " << t;
    EXPECT_EQ(
        o.str(),
        "1000 random 7 sub/b.cmd | Max_Salt_Density -1 range 20 60 | Courant_Nr -1 0.6 0.85 "
        "| h2 4 0 1.2 | h3 7 range 0.7 1.3 | Numerics -1 word standard robust | snow_mass 9 1 "
        "| Max_Dev -1 1 3.40282e+38 | Velo_Prof_Coeff_1 -1 -3.40282e+38 | p3 1 | p3 3 | p3 10"
        " | p2 10 | p2 30");
    std::string dotted = "a", braces = "x = ";
    for (int i = 0; i < 40; ++i) dotted += ".a";
    for (int i = 0; i < 3000; ++i) braces += "{a=";
    const std::string base = "base = \"b.cmd\"\n", head2 = base + "members = 4\n",
                      head = head2 + "seed = 1\n", v = head + "[vary]\n", v2 = head2 + "[vary]\n",
                      grid = base + "sampling = \"grid\"\n", th = head + "[thresholds]\n",
                      z = th + "at_height = [{ z_m = ", a = z + "5.0, p_kPa = ",
                      one = a + "[1.0] }]\n[vary]\n";
    // A row for each check, with the start of what it prints.
    const std::pair<std::string, std::string> cases[] = {
        {base + "members = 0\n", "line 2, column 11: `members' must be at least 1"},
        {base + "members = 2.5\n", "line 2, column 11: `members' must be a whole number"},
        {base + "sampling = \"latin-hypercube\"\n", "`members' is missing"},
        {"members = 3\n", "names no base command file"},
        {head + "colour = \"red\"\n", "line 4, column 10: unknown key `colour'"},
        {head + "sampling = \"sobol\"\n", "line 4, column 12: `sampling' is \"grid\""},
        {head2 + "seed = 9007199254740993\n", "line 3, column 8: `seed' must be a whole number"},
        {v + "Foo_Bar = [1.0, 2.0]\n", "line 5, column 11: unknown key or column `Foo_Bar'"},
        {v + "Courant_Nr = { min = -1.0, max = 0.5 }\n", "line 5, column 14: `Courant_Nr' -1 must"},
        {v + "Elem_Size = [10, 1e39]\n", "line 5, column 13: `Elem_Size' 1e+39 is beyond the 32"},
        {v + "Courant_Nr = { min = 0.9, max = 0.5 }\n", "line 5, column 14: `Courant_Nr': min"},
        {v + "Courant_Nr = { min = 0.5 }\n", "a range needs both min and max"},
        {v + "Courant_Nr = []\n", "line 5, column 14: `Courant_Nr' lists no values"},
        {v + "Courant_Nr = [0.5, \"x\"]\n", "line 5, column 20: `Courant_Nr' lists a value that"},
        {v + "Region = [1, 2]\n", "line 5, column 10: `Region' has no value to vary"},
        {v + "Numerics = [\"standard\", \"fast\"]\n", "line 5, column 25: `fast' is not a word"},
        {v + "h2 = [0.8, 1.2]\n", "line 5, column 6: the local column `h2' takes { factor"},
        {v + "h2 = { factor = [-0.5, 1.2] }\n", "line 5, column 6: a factor of `h2' must not be"},
        {v + "rho1 = { factor = { min = 0.0, max = 1.2 } }\n", "column 8: a factor of `rho1' must"},
        {v + "h3 = { factor [1] }\n", "line 5, column 15: Error while parsing key-value pair"},
        {th + "p3 = [1.0, 0.0]\n", "line 5, column 12: a threshold of `p3' must"},
        {th + "at_height = []\n", "line 5, column 13: `at_height' takes a list of { z_m = ..."},
        {th + "at_height = [5.0]\n", "line 5, column 14: an entry of `at_height' is { z_m"},
        {th + "[[thresholds.at_height]]\nz_m = 1\n",
         "line 5, column 1: an entry of `at_height' needs both z_m and p_kPa"},
        {z + "-1.0, p_kPa = [1.0] }]\n", "line 5, column 22: `z_m' of `at_height' must be a"},
        {a + "[] }]\n", "line 5, column 35: `p_kPa' of `at_height' takes a list of pressures"},
        {a + "[1.0, 0.0] }]\n", "line 5, column 41: a threshold of `at_height' must be a"},
        {a + "[1.0], p_kpa = [2.0] }]\n", "line 5, column 14: unknown entry `p_kpa' of"},
        {a + "[1.0] }, {z_m = 5, p_kPa = [2]}]\n", "line 5, column 44: the height 5 m is listed"},
        {one + "Peak_Heights = [\"2,5\"]\n", "line 7, column 16: `Peak_Heights' is set by"},
        {th + "at_heights = [{ z_m = 5.0, p_kPa = [1.0] }]\n",
         "line 5, column 14: unknown threshold `at_heights' (p2, p3 and at_height are known)"},
        {head + "[colours]\nred = 1\n", "line 5, column 7: unknown section [colours]"},
        {head + "[zones]\nset = \"swis\"\n", "line 5, column 7: --zones takes swiss, austria"},
        {head + "[zones]\npressure = \"p4\"\n", "line 5, column 12: --zone-pressure takes p3"},
        {head + "[zones]\ncolour = \"red\"\n", "unknown key `colour' of [zones]"},
        {grid + "[vary]\nCourant_Nr = { min = 0.5, max = 0.9 }\n",
         "line 4, column 14: `Courant_Nr' is a range; grid sampling takes listed values"},
        {grid + "members = 3\n[vary]\nCourant_Nr = [0.5, 0.9]\n",
         "line 3, column 11: `members' is 3 but the grid has 2 combinations"},
        // The TOML itself, and hostile TOML refused before the parser sees it.
        {base + "members = nan\n", "line 2, column 11: the value is not a finite number"},
        {"x = " + std::string(30000, '['), "line 1, column 37: arrays and inline tables nested"},
        {braces, "line 1, column 101: arrays and inline tables nested more than 32 deep"},
        // A NUL before a quote: toml++ 3.3 read on into what the scan took for a string.
        {std::string("base =-ttttt\0\0\"'''\xEF\xBB\xBE# A\n", 24), "line 1, column 13: a control"},
        {"base = \"a\x01b\"\n", "line 1, column 10: a control character"},
        {v2 + dotted + " = 1\n", "line 4, column 64: a key of more than 32 dotted"},
        {head2 + "s = \"" + std::string(100, '[') + "\"\nx = [[1]]\n", "line 3, column 5: unknown"},
        {head2 + std::string(kMaxEnsembleFile, '#'), "is larger than 1048576 bytes"},
        {v2 + "Max_Dev = [1.0]\nRef_Radius = [2.0]\n",
         "line 5, column 14: `Ref_Radius' and `Max_Dev' (line 4) are the same parameter; vary it"},
        {v2 + "Courant_Nr = [true]\n", "line 4, column 15: a value an ensemble file does not take"},
        {head2 + "[vary.deeper]\nx = 1\n", "[vary.deeper]: sections do not nest"},
        {head2 + "[[\t.x]]\n", "line 3, column 1: a section name is expected after ["},
        {v2 + "Numerics = [\n  } ]\n", "line 5, column 3: `}' where `]' or a value is expected"},
        {v2 + "h2 = { factor = [1] ]\n", "line 4, column 21: `]' where `}' or a value is"},
        {head2 + "seed = 0'''\xC6\xBC'''\n", "line 3, column 12: a character other than ASCII"},
        {head2 + "seed = 0x-[\"\xC6\xBC\"]\n", "line 3, column 13: a character other than ASCII"},
        {head2 + "seed = 1 '\xC6\xBC'\n", "line 3, column 10: a quote that does not start"},
        {head2 + "s = \"\"\"a\\\n\xC3\xB6\"\"\"\n", "line 4, column 1: a character other than"},
    };
    for (const auto& [text, message] : cases) {
        write_text(dir.file("e.toml"), text);
        const std::string err = read_ensemble_file(dir.file("e.toml"), s);
        EXPECT_CONTAINS(err, message) << text.substr(0, 80);
    }
}

EnsembleFile lhs_ensemble(int members, uint64_t seed,
                          Sampling sampling = Sampling::kLatinHypercube) {
    EnsembleFile s;
    s.members = members;
    s.seed = seed;
    s.sampling = sampling;
    s.vary = {{.name = "Max_Salt_Density", .range = true, .min = 20.0, .max = 60.0},
              {.name = "h3", .column = 7, .range = true, .min = 0.7, .max = 1.3},
              {.name = "Courant_Nr", .values = {0.6, 0.7, 0.85}}};
    return s;
}

TEST(EnsembleSampling, LatinHypercubeStrataGridCombinationsAndTheSameMembersForASeed) {
    for (int n : {1, 7, 50, 333}) {
        const EnsembleFile s = lhs_ensemble(n, 12345);
        const auto v = sample_members(s);
        ASSERT_EQ(v.size(), static_cast<std::size_t>(n));
        std::set<int> strata[2];  // of the ranges: each once
        std::map<double, int> listed;
        for (const auto& mv : v) {
            ++listed[mv.numbers[2]];
            for (int j = 0; j < 2; ++j) {
                EXPECT_TRUE(mv.numbers[j] >= s.vary[j].min && mv.numbers[j] <= s.vary[j].max)
                    << mv.numbers[j];
                strata[j].insert(stratum_of(mv.numbers[j], s.vary[j].min, s.vary[j].max, n));
            }
        }
        EXPECT_EQ(strata[0].size() + strata[1].size(), 2u * n) << n;
        // Listed values: each as often as the strata allow (n/3 rounded).
        for (const auto& [value, count] : listed)
            EXPECT_TRUE(count == n / 3 || count == n / 3 + 1) << value;
    }
    // The project's own generator: the same draws everywhere, rounded as members.csv says.
    for (Sampling sm : {Sampling::kLatinHypercube, Sampling::kRandom}) {
        const auto v = sample_members(lhs_ensemble(3, 12345, sm));
        EXPECT_EQ(number_text(v[0].numbers[0]) + " " + number_text(v[1].numbers[0]) + " " +
                      number_text(v[2].numbers[0]) + " " + number_text(v[2].numbers[2]),
                  sm == Sampling::kRandom ? "25.3231867 28.1926653 24.7817033 0.7"
                                          : "34.9272344 49.0149041 26.7584029 0.6");
        for (const auto& mv : v)
            EXPECT_EQ(std::strtod(number_text(mv.numbers[1]).c_str(), nullptr), mv.numbers[1]);
        EXPECT_NE(sample_members(lhs_ensemble(3, 12346, sm))[0].numbers, v[0].numbers);
    }
    // Grid: every combination, the first key changing slowest.
    EnsembleFile s = lhs_ensemble(6, 0, Sampling::kGrid);
    s.vary = {{.name = "Courant_Nr", .values = {0.5, 0.9}},
              {.name = "Numerics", .word = true, .words = {"standard", "robust", "standard"}}};
    std::string got;
    for (const auto& mv : sample_members(s))
        got += number_text(mv.numbers[0]) + " " + mv.words[1] + ", ";
    EXPECT_EQ(got,
              "0.5 standard, 0.5 robust, 0.5 standard, 0.9 standard, 0.9 robust, 0.9 standard, ");
}

TEST(EnsembleMembers, CommandFilesAreCheckedInThisProcessNamingTheLine) {
    // The check prints nothing, stays in the working folder and writes no generator input there.
    TempDir dir;
    std::string cmd = small_command_file();
    write_text(dir.file("c.cmd"), cmd.replace(cmd.find("\n3 30 985"), 9, "\n3 nan 985"));
    const auto home = fs::current_path();
    testing::internal::CaptureStdout();
    EXPECT_EQ(check_command_file(dir.file("c.cmd")).substr(0, 74),
              "line 11: Number 1 of row 3 of the coordinate table is not a finite number.");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fs::current_path(), home);
    EXPECT_FALSE(fs::exists(kGridFile));
}

TEST(EnsembleMembers, VariedKeysEndTheGlobalSectionAndFactorsScaleTheirColumn) {
    const std::string base =
        "Track_Name T\r\nRun_Name R\r\n| POWDER SNOW GLOBAL PARAMETERS\r\nMax_Time 2\r\n# note\r\n"
        "| COORDINATES\r\nNumber_of_Points 2\r\n0 0 100 1 2\r\n1 10 95 3 4\r\n"
        "| POWDER SNOW LOCAL PARAMETERS\r\n# a comment row stays\r\n"
        "\"0 0 0.35 0.9 110 1.5 5 30 8 5 3 2 1.2\"\r\n"
        " 1  0  0.36  0.88  113  0  0  0  0  0  0  0  0\r\n| END OF FILE\r\n";
    BaseFile b;
    ASSERT_EQ(parse_base(base, b), "");
    EnsembleFile s;
    const Variation g{.name = "Courant_Nr"};
    s.vary = {g,
              {.name = "h2", .column = 4},
              {.name = "Numerics", .word = true},
              {.name = "u_threshold", .column = 1}};
    MemberValues v{{0.75, 0.5, 0.0, 2.0}, {"", "", "robust", ""}};
    EXPECT_EQ(
        effective_command_file(b, s, v),
        "Track_Name T\r\nRun_Name R\r\n| POWDER SNOW GLOBAL PARAMETERS\r\nMax_Time 2\r\n# note\r\n"
        "Courant_Nr 0.75\r\nNumerics robust\r\n| COORDINATES\r\nNumber_of_Points 2\r\n"
        "0 0 100 1 2\r\n1 10 95 3 4\r\n| POWDER SNOW LOCAL PARAMETERS\r\n# a comment row stays\r\n"
        "0 0 0.7 0.9 110 0.75 5 30 8 5 3 2 1.2\r\n1 0 0.72 0.88 113 0 0 0 0 0 0 0 0\r\n"
        "| END OF FILE\r\n");
    s.vary = {g};  // without local keys the rows stay as they stand
    EXPECT_CONTAINS(effective_command_file(b, s, v),
                    "\"0 0 0.35 0.9 110 1.5 5 30 8 5 3 2 1.2\"\r\n");
    // A base the reader refuses, named by the line.
    EXPECT_EQ(parse_base(base.substr(0, base.find("| POWDER SNOW LOCAL")), b),
              "line 9: Command file `base' ends inside the coordinate table.");
    // Folder names: the index in at least 4 digits, as many as the last one needs.
    const std::string h = sha256_hex("x");
    EXPECT_EQ(member_folder_name(7, 200, h) + " " + member_folder_name(5, 10001, h),
              "0007-" + h.substr(0, 12) + " 00005-" + h.substr(0, 12));
}

// A RESULT.heights beside member m's result: `cells' cells at `heights' whose peaks are 0 but in
// cell 1: rising by height from `cell1' (kPa).
void write_heights(const std::string& out, const Member& m, const std::vector<double>& heights,
                   const std::vector<double>& cell1, int cells = 4) {
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

TEST(EnsembleCollect, ExactProbabilitiesOverHandMadeResults) {
    TempDir dir;
    write_text(dir.file("b.cmd"), small_command_file());
    write_text(
        dir.file("s.toml"),
        grid_ensemble("0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99, 0.996, 0.997, 0.998, 0.999, "
                      "0.51, 0.52, 0.53, 0.54, 0.55",
                      "[thresholds]\np3 = [1.0, 3.0]\np2 = [10.0]\nat_height = [{ z_m = 2.0, "
                      "p_kPa = [1.0, 3.0] }, { z_m = 0.5, p_kPa = [2.5] }]\n"));
    Plan plan;
    ASSERT_EQ(prepare(dir.file("s.toml"), dir.file("out"), test::bin_dir(), plan), "");
    // Cell 1: p3 peaks 0.5, 1, 2, 3 (members 0-3); member 4 failed with 12; at 2 m 0.5, 1, 2, 3
    // kPa, at 0.5 m 2.5, 2.5, 2.6, 9. A peak exceeds a threshold strictly: 1 is not above 1, 3 not
    // above 3.
    const std::vector<float> p3[7] = {{0, 0.5f, 0, 0},    {0, 1, 0.2f, 0}, {0, 2, 1.5f, 0},
                                      {0, 3, 3.5f, 0.1f}, {0, 12, 12, 12}, {9, 9, 9, 9},
                                      {9, 9, 9, 9}};
    const std::vector<float> p2[7] = {{0, 20, 0, 0},   {0, 5, 0, 0},    {0, 11, 0, 0},
                                      {0, 9, 0, 0},    {0, 99, 99, 99}, {99, 99, 99, 99},
                                      {99, 99, 99, 99}};
    const std::vector<double> both = {0.5, 2.0};
    const std::vector<double> heights[4] = {{0.5, 1.0, 2.0}, both, both, {0.5, 2.0, 5.0}},
                              cell1[4] = {{2.5, 2.5, 0.5}, {2.5, 1.0}, {2.6, 2.0}, {9.0, 3.0, 9.0}};
    const std::string out = dir.file("out");
    const char* const status[7] = {"0", "0", "0", "0", "2", "5", "0"};
    for (int i = 0; i < 7; ++i)
        write_member(out, plan.members[i], {p3[i], p2[i], {5, 6, 7, 8}, {1, 1, 1, 1}}, status[i]);
    for (int i = 0; i < 11; ++i)
        write_heights(out, plan.members[i], i < 4 ? heights[i] : both, i < 4 ? cell1[i] : both);
    // Member 5 ran to a small-step stop after an onset of instability: left out as unstable. Member
    // 6's run record names another command file: not run (for this plan).
    for (int i = 5; i < 7; ++i)
        write_text(out + "/" + plan.members[i].folder + "/member.res.json",
                   "{\"command_file\": {\"path\": \"member.cmd\", \"sha256\": \"" +
                       (i == 5 ? plan.members[i].hash : sha256_hex("other")) +
                       "\"}, \"exit_status\": " + (i == 5 ? "5" : "0") + ", \"stop_reason\": \"" +
                       (i == 5 ? "small_step" : "max_time") + "\", \"onset\": " +
                       (i == 5 ? "{\"time_s\": 92.5, \"cell\": 3, \"sign\": \"x\"}" : "null") +
                       "}\n");
    // Members 7-10 ended well but a peak in cell 2 blew up, members 11-15 have no usable peaks over
    // height (14's have 3 cells, 15's heights do not rise): failed.
    const std::pair<int, float> blown[] = {
        {0, std::nanf("")}, {1, HUGE_VALF}, {2, 3e38f}, {3, -HUGE_VALF}};
    for (int i = 7; i < 11; ++i) {
        std::vector<std::vector<float>> peaks(4, std::vector<float>{0, 1, 2, 0});
        peaks[blown[i - 7].first][2] = blown[i - 7].second;
        write_member(out, plan.members[i], peaks);
    }
    const std::vector<double> bad[5][2] = {
        {{}, {}}, {{0.5}, {1.0}}, {both, {1.0, 2e12}}, {both, {1.0, 1.0}}, {{2.0, 1.0}, {1, 1}}};
    for (int i = 11; i < 16; ++i) {
        write_member(out, plan.members[i], {});
        write_heights(out, plan.members[i], bad[i - 11][0], bad[i - 11][1], i == 14 ? 3 : 4);
    }
    CollectFigures fig;
    std::vector<std::string> notes;
    ASSERT_EQ(collect(out, fig, &notes), "");
    EXPECT_EQ(std::vector<int>({fig.members, fig.used, fig.failed, fig.unstable, fig.missing}),
              std::vector<int>({16, 4, 10, 1, 1}));
    // The map needs a CRS, which this base has not: a note says so.
    EXPECT_EQ(notes, std::vector<std::string>(
                         {"no exceedance.gpkg: " + out +
                          "/exceedance.csv: no CRS: the ensemble's base command file has no "
                          "crs_wkt lines (torla-profile writes them); name it with --crs"}));
    EXPECT_FALSE(fs::exists(out + "/exceedance.gpkg"));
    // Per cell: position (the top at 1000 m, 30 degrees down: 10 sin 30 per cell), P(p3>1) P(p3>3)
    // P(p2>10), then the 5th, 50th and 95th percentile of p3, p2, h3, h2, linear between order
    // statistics (at cell 1 p3 0.5, 1, 2, 3 gives 0.5 + 0.15 * 0.5, 1.5, 2 + 0.85 * 1 and p2 5, 9,
    // 11, 20 gives 5 + 0.15 * 4, 10, 11 + 0.85 * 9; h3 is the cell's 5 + c), then the probabilities
    // at heights.
    const std::string table = read_text(out + "/exceedance.csv");
    EXPECT_CONTAINS(table,
                    "# members 16, used 4\n# left out: failed 4 7 8 9 10 11 12 13 14 15; "
                    "unstable 5; not run 6\ncell,path_length[m],easting[m],northing[m],"
                    "elevation[m],P(p3>1kPa),P(p3>3kPa),P(p2>10kPa),p3_p5[kPa],p3_p50[kPa],"
                    "p3_p95[kPa],p2_p5[kPa],p2_p50[kPa],p2_p95[kPa],h3_p5[m],h3_p50[m],"
                    "h3_p95[m],h2_p5[m],h2_p50[m],h2_p95[m],P(p@2m>1kPa),P(p@2m>3kPa),"
                    "P(p@0.5m>2.5kPa)\n0,0,600000,200000,1000,0,0,0,0,0,0,0,0,0,5,5,5,1,1,1,"
                    "0,0,0\n1,10,600001,199999,995,0.5,0,0.5,0.575,1.5,2.85,5.6,10,18.65,6,6,"
                    "6,1,1,1,0.5,0,0.5\n2,20,600002,199998,990,0.5,0.25,0,0.0300000004,"
                    "0.850000001,3.2,0,0,0,7,7,7,1,1,1,0,0,0\n");
    const auto json = nlohmann::json::parse(read_text(out + "/ensemble.json"));
    // Why members 4 and 7-15 were left out.
    const char* const why[] = {
        "exit status 2",
        "peak p3 nan kPa in cell 2",
        "peak p2 inf kPa in cell 2",
        "peak h3 3.00000001e+38 m in cell 2",
        "peak h2 -inf m in cell 2",
        "member.res.heights: the run kept no peaks over height, which [thresholds]",
        "member.res.heights has no peaks at 2 m",
        "peak pressure at 2 m 2e+12 kPa in cell 1 (not finite or above",
        "member.res.heights: 3 cells, the result has 4",
        "heights"};
    ASSERT_EQ(json["failed"].size(), std::size(why)) << json.dump();
    for (std::size_t k = 0; k < std::size(why); ++k) {
        EXPECT_EQ(json["failed"][k]["member"], k ? k + 6 : 4);
        EXPECT_CONTAINS(json["failed"][k]["why"].get<std::string>(), why[k]) << k;
    }
    EXPECT_EQ(json["unstable"].dump() + json["not_run"].dump(), "[5][6]");
    // The NetCDF beside the table says which members it stands on.
    int nc = -1, count = 0, used = 0;
    ASSERT_EQ(nc_open((out + "/exceedance.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    nc_get_att_int(nc, NC_GLOBAL, "members", &count);
    nc_get_att_int(nc, NC_GLOBAL, "members_used", &used);
    EXPECT_EQ(std::to_string(count) + " " + std::to_string(used) + "|" +
                  nc_text(nc, NC_GLOBAL, "members_failed") + "|" +
                  nc_text(nc, NC_GLOBAL, "members_unstable") + "|" +
                  nc_text(nc, NC_GLOBAL, "members_not_run"),
              "16 4|4 7 8 9 10 11 12 13 14 15|5|6");
    nc_close(nc);
    const std::string members =
        read_text(out + "/members.csv");  // run-out at the last cell: h2 is 1 m everywhere
    for (const char* row :
         {",0.5,used,0,max_time,30,yes,20,0.5,,\n", ",0.9,failed,2,non_finite,,,,,,\n",
          ",0.95,unstable,5,small_step,,,,,92.5,3\n", ",0.99,missing,,,,,,,,\n"})
        EXPECT_CONTAINS(members, row) << row;
    EXPECT_EQ(percentile({4.0}, 95), 4.0);  // one member used
}

// torla-inspect's reader of exceedance.csv: a good table, and bad ones refused naming the place.
TEST(EnsembleExceedanceTable, ReadBackOrRefusedNamingLineAndColumn) {
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
        {fixed + "P(p@5>3kPa)\n", "line 3, column 6: unknown column `P(p@5>3kPa)'"},
        {fixed + "P(p3>kPa)\n", "line 3, column 6: unknown column `P(p3>kPa)'"},
        {table.substr(0, table.find("\n0,") + 1), "t.csv: no cells after the header (line 3)"},
        {table + "1,10,6,1,9,0\n", "t.csv: line 5: 6 values where the header has 7 columns"},
        {table + "1,10,6,1,9,half,1\n", "t.csv: line 5, column 6 (P(p3>1kPa)): `half' is not a"},
        {table + "2,10,6,1,9,0.5,1\n", "line 5, column 1 (cell): cell `2' where cell 1 comes next"},
    };
    // A good one: the left-out members, a column at a height with its threshold, field and units.
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
        EXPECT_CONTAINS(err, message) << text;
    }
}

// Starts torla-ensemble run s.toml -o e in dir; own_group: in a group of its own, as a shell would.
pid_t start_run(const TempDir& dir, const char* jobs, bool own_group) {
    fs::create_directories(dir.path() / "tmp");
    const pid_t pid = fork();
    if (pid != 0) return pid;
    if (own_group) setpgid(0, 0);
    setenv("TMPDIR", dir.file("tmp").c_str(), 1);
    if (chdir(dir.path().c_str()) != 0 || !freopen("/dev/null", "w", stdout)) _exit(127);
    execl((test::bin_dir() + "/torla-ensemble").c_str(), "torla-ensemble", "run", "s.toml", "-o",
          "e", "--jobs", jobs, nullptr);
    _exit(127);
}

template <class Done>
void wait_until(Done done, std::chrono::milliseconds limit) {
    const auto start = std::chrono::steady_clock::now();
    while (!done() && std::chrono::steady_clock::now() - start < limit)
        std::this_thread::sleep_for(5ms);
}

class EnsembleProgram : public testing::Test {
protected:
    void SetUp() override { write_text(dir.file("b.cmd"), mapped_command_file()); }
    TempDir dir;
};

// The number in a column header after `mark' ("P(p3>1kPa)" after '>' is 1; after '@' none: -1).
double header_number(const std::string& column, char mark) {
    const std::size_t at = column[0] == 'P' ? column.find(mark) : std::string::npos;
    return at == std::string::npos ? -1.0 : std::stod(column.substr(at + 1));
}

// The exceedance table t (csv_rows) on the map, a point per cell in UTM 32N with every column and
// the path measured by path length, and in NetCDF, a variable per column with its threshold,
// height.
void expect_map_and_netcdf(const std::string& folder,
                           const std::vector<std::vector<std::string>>& t) {
    const std::size_t n = t.size() - 1;
    auto num = [&](std::size_t row, std::size_t k) { return std::stod(t[row][k]); };
    GDALAllRegister();
    std::unique_ptr<GDALDataset> ds(
        GDALDataset::Open((folder + "/exceedance.gpkg").c_str(), GDAL_OF_VECTOR));
    ASSERT_TRUE(ds);
    OGRLayer* cells = ds->GetLayerByName("cells");
    OGRSpatialReference utm;
    utm.importFromEPSG(32632);
    EXPECT_TRUE(cells->GetSpatialRef()->IsSame(&utm));
    ASSERT_EQ(cells->GetFeatureCount(), static_cast<GIntBig>(n));
    ASSERT_EQ(cells->GetLayerDefn()->GetFieldCount(), static_cast<int>(t[0].size()));
    std::unique_ptr<OGRFeature> line(ds->GetLayerByName("path")->GetNextFeature());
    const OGRLineString* ls = line->GetGeometryRef()->toLineString();
    ASSERT_EQ(ls->getNumPoints(), static_cast<int>(n));
    for (auto& f : *cells) {
        const std::size_t r = f->GetFieldAsInteger("cell") + 1;
        for (std::size_t k = 0; k < t[0].size(); ++k)
            EXPECT_EQ(f->GetFieldAsDouble(static_cast<int>(k)), num(r, k)) << t[0][k] << " " << r;
        const OGRPoint* p = f->GetGeometryRef()->toPoint();
        EXPECT_EQ(std::vector<double>(
                      {p->getX(), p->getY(), ls->getX(r - 1), ls->getY(r - 1), ls->getM(r - 1)}),
                  std::vector<double>({num(r, 2), num(r, 3), num(r, 2), num(r, 3), num(r, 1)}));
    }
    int nc = -1, nvars = 0, matched = 0;
    ASSERT_EQ(nc_open((folder + "/exceedance.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    nc_inq_nvars(nc, &nvars);
    for (int v = 0; v < nvars; ++v) {
        const std::string column = nc_text(nc, v, "column");
        const std::size_t k = std::find(t[0].begin(), t[0].end(), column) - t[0].begin();
        if (k == t[0].size()) continue;
        ++matched;
        nc_type type = NC_NAT;
        nc_inq_vartype(nc, v, &type);
        EXPECT_EQ(type, k == 0 ? NC_INT : NC_DOUBLE) << column;  // the cell index a whole number
        std::vector<double> got(n), want(n), at(2, -1.0);        // at: threshold (kPa), height (m)
        ASSERT_EQ(nc_get_var_double(nc, v, got.data()), NC_NOERR) << column;
        for (std::size_t i = 0; i < n; ++i) want[i] = num(i + 1, k);
        EXPECT_EQ(got, want) << column;
        nc_get_att_double(nc, v, "threshold", &at[0]);
        nc_get_att_double(nc, v, "height", &at[1]);
        EXPECT_EQ(at, std::vector({header_number(column, '>'), header_number(column, '@')}))
            << column;
        if (at[1] >= 0) {
            EXPECT_EQ(nc_text(nc, v, "units") + " " + nc_text(nc, v, "grid_mapping") + " " +
                          nc_text(nc, v, "height_units"),
                      "1 crs m");
        }
    }
    EXPECT_EQ(matched, static_cast<int>(t[0].size()));
    nc_close(nc);
}

TEST_F(EnsembleProgram, MembersAreSoloRunsTheTableGoesOnTheMapNothingIsWrittenThroughLinks) {
    // A local column: a grid each (and probabilities at heights); global keys only: a shared grid.
    std::string out;
    for (const std::string vary :
         {"h3 = { factor = [0.3, 1, 3] }\n", "Courant_Nr = [0.5, 0.9]\n"}) {
        const bool local = vary[0] == 'h';
        fs::remove_all(dir.path() / "e");
        write_text(dir.file("s.toml"),
                   "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\n" + vary +
                       "[thresholds]\np3 = [0.05, 0.5]\np2 = [1.0]\n" +
                       (local ? "at_height = [{ z_m = 0.5, p_kPa = [0.001, 0.02, 0.05] }, "
                                "{ z_m = 2, p_kPa = [0.001, 0.02] }]\n"
                              : ""));
        ASSERT_EQ(ensemble(dir, "run s.toml -o e --jobs 2", out), 0) << out;
        Plan plan;
        ASSERT_EQ(load_plan(dir.file("e"), plan), "");
        EXPECT_EQ(plan.shared_grid, !local);
        for (const auto& m : plan.members) {
            const std::string f = dir.file("e/" + m.folder + "/");
            ASSERT_EQ(test::run_torla(dir, read_text(f + "member.cmd"), out), 0) << out;
            EXPECT_EQ(read_text(dir.file("run.res")), read_text(f + "member.res")) << m.folder;
        }
        const auto t = csv_rows(dir.file("e/exceedance.csv"));
        ASSERT_EQ(t[0].size(), 5u + 3u + 12u + (local ? 5u : 0u));
        expect_map_and_netcdf(dir.file("e"), t);
        // Each layer's thresholds, from collect and from torla-inspect reading the table back.
        ASSERT_EQ(run(dir, "torla-inspect e/exceedance.csv netcdf -o back.nc", out), 0) << out;
        std::vector<double> heights(2);
        for (const char* file : {"e/exceedance.nc", "back.nc"}) {
            int nc = -1;
            ASSERT_EQ(nc_open(dir.file(file).c_str(), NC_NOWRITE, &nc), NC_NOERR);
            std::vector<double> p(3);  // p3's and p2's
            EXPECT_EQ(
                nc_get_att_double(nc, NC_GLOBAL, "pressure_heights_m", heights.data()) == NC_NOERR,
                local);
            nc_get_att_double(nc, NC_GLOBAL, "p3_thresholds_kpa", p.data());
            nc_get_att_double(nc, NC_GLOBAL, "p2_thresholds_kpa", p.data() + 2);
            EXPECT_EQ(p, std::vector<double>({0.05, 0.5, 1.0})) << file;
            nc_close(nc);
        }
        if (!local) continue;
        // The heights' thresholds in ensemble.json and on the map by name; a member whose
        // RESULT.heights has gone is left out as failed (collect's status 4, the table as it was).
        EXPECT_EQ(heights, std::vector<double>({0.5, 2.0}));
        EXPECT_EQ(nlohmann::json::parse(
                      read_text(dir.file("e/ensemble.json")))["thresholds_kpa"]["at_height"],
                  nlohmann::json::parse(R"([{"z_m": 0.5, "p": [0.001, 0.02, 0.05]},
                                            {"z_m": 2, "p": [0.001, 0.02]}])"));
        std::unique_ptr<GDALDataset> ds(
            GDALDataset::Open(dir.file("e/exceedance.gpkg").c_str(), GDAL_OF_VECTOR));
        EXPECT_STREQ(ds->GetLayerByName("cells")->GetLayerDefn()->GetFieldDefn(24)->GetNameRef(),
                     "prob_p_at_2m_gt_0p02kpa");
        fs::remove(dir.file("e/" + plan.members[1].folder + "/member.res.heights"));
        EXPECT_EQ(ensemble(dir, "collect e", out), 4) << out;
        EXPECT_CONTAINS(out, "1 of 3 members failed and are left out");
        EXPECT_EQ(csv_rows(dir.file("e/exceedance.csv"))[0], t[0]);
    }
    // The shared grid's stand-in hands an input other than the prepared one to knotline.
    write_text(dir.file("x.cmd"), small_command_file(9, "Max_Time 1\n"));
    write_text(dir.file("x.info"), "x.cmd\nx.res\n" + dir.file("e/grid/") + "\n");
    write_text(dir.file("y.info"), "x.cmd\ny.res\n" + test::bin_dir() + "/\n");
    ASSERT_EQ(run(dir, "torla x.info", out), 0) << out;
    ASSERT_EQ(run(dir, "torla y.info", out), 0) << out;
    EXPECT_EQ(read_text(dir.file("x.res")), read_text(dir.file("y.res")));

    // e is the ensemble of global keys only.
    Plan plan;
    ASSERT_EQ(load_plan(dir.file("e"), plan), "");
    const std::string m0 = plan.members[0].folder, m1 = plan.members[1].folder;
    // Every file the tool writes, and the grid folder, replaced by links to outside; members rerun.
    fs::create_directories(dir.path() / "outside/grid");
    std::vector<std::string> planted = {
        "members.csv",        "exceedance.csv",    "runout.csv",          "fronts.csv",
        "ensemble.json",      "plan.txt",          "ensemble.toml",       "exceedance.nc",
        m0 + "/member.cmd",   m0 + "/member.info", m0 + "/member.status", m1 + "/member.out",
        m1 + "/member.status"};
    fs::remove(dir.path() / "e" / m0 / "member.cmd");  // the member is written and run again
    for (std::size_t i = 0; i < planted.size(); ++i) {
        const fs::path target = dir.path() / "outside" / std::to_string(i);
        write_text(target.string(), "outside\n");
        fs::remove(dir.path() / "e" / planted[i]);
        fs::create_symlink(target, dir.path() / "e" / planted[i]);
    }
    fs::remove_all(dir.path() / "e/grid");
    fs::create_directory_symlink(dir.path() / "outside/grid", dir.path() / "e/grid");
    ASSERT_EQ(ensemble(dir, "run s.toml -o e --jobs 2", out), 0) << out;
    for (std::size_t i = 0; i < planted.size(); ++i) {
        EXPECT_EQ(read_text(dir.file("outside/" + std::to_string(i))), "outside\n")
            << planted[i] << " written through";
        EXPECT_FALSE(fs::is_symlink(dir.path() / "e" / planted[i])) << planted[i];
    }
    EXPECT_TRUE(fs::is_empty(dir.path() / "outside/grid"));
    EXPECT_EQ(csv_rows(dir.file("e/members.csv")).size(), 3u);
    // A result deleted, cut or grown is not finished and runs again.
    const std::string res = dir.file("e/" + m1 + "/member.res"), whole = read_text(res);
    for (const std::string damage : {"delete", "cut", "grow"}) {
        if (damage == "delete")
            fs::remove(res);
        else
            fs::resize_file(res, damage == "cut" ? whole.size() / 2 : whole.size() + 4);
        EXPECT_FALSE(member_state(dir.file("e"), plan.members[1]).finished) << damage;
        EXPECT_EQ(ensemble(dir, "run s.toml -o e", out), 0) << damage << "\n" << out;
        EXPECT_EQ(read_text(res), whole) << damage;
    }
    // A plan that points a member outside the folder is refused by every command that reads it.
    const std::string plan_text = read_text(dir.file("e/plan.txt")),
                      refused = "plan.txt: line 4: member 0 names a folder that is not its own";
    for (const std::string folder : {"../../outside", "members/../../outside", "/tmp"}) {
        std::string bad = plan_text;
        bad.replace(bad.find(m0), m0.size(), folder);
        write_text(dir.file("e/plan.txt"), bad);
        for (const std::string cmd : {"run-chunk e 0 2", "collect e", "status e"}) {
            EXPECT_EQ(ensemble(dir, cmd, out), 1) << cmd;
            EXPECT_CONTAINS(out, refused) << cmd;
        }
    }
}

TEST_F(EnsembleProgram, ResumesAfterBeingKilledPartWay) {
    // 30 members of 40 s each take a few seconds one at a time.
    write_text(dir.file("b.cmd"), small_command_file(40, "Max_Time 40\nDump_Interval 1\n"));
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nmembers = 30\nseed = 5\n[vary]\n"
               "Max_Salt_Density = { min = 20.0, max = 60.0 }\n");
    const pid_t pid = start_run(dir, "1", true);
    std::map<std::string, fs::file_time_type> stamps;  // of the finished members' results
    auto finished = [&] {
        stamps.clear();
        std::error_code ec;
        for (const auto& f : fs::directory_iterator(dir.path() / "e/members", ec))
            if (fs::exists(f.path() / "member.status"))
                stamps[f.path()] = fs::last_write_time(f.path() / "member.res");
        return static_cast<int>(stamps.size());
    };
    // The whole group killed (as from the terminal) once a few members have finished.
    wait_until([&] { return finished() >= 3; }, 60s);
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    const int before = finished();
    ASSERT_TRUE(before >= 3 && before < 30) << before << " members finished before the kill";
    const auto kept = stamps;
    std::string out;
    EXPECT_EQ(run(dir, "torla-ensemble status e", out), 1);
    EXPECT_CONTAINS(out, "30 members: " + std::to_string(before) + " finished");
    ASSERT_EQ(run(dir, "torla-ensemble run s.toml -o e --jobs 2", out), 0) << out;
    EXPECT_EQ(finished(), 30);
    for (const auto& [folder, stamp] : kept)
        EXPECT_EQ(stamps[folder], stamp) << folder << " ran again";
    // The members are those of an uninterrupted ensemble.
    ASSERT_EQ(run(dir, "torla-ensemble run s.toml -o whole --jobs 2", out), 0) << out;
    for (const std::string f : {"/exceedance.csv", "/members.csv"})
        EXPECT_EQ(read_text(dir.file("e") + f), read_text(dir.file("whole") + f)) << f;
    EXPECT_EQ(run(dir, "torla-ensemble status e", out), 0);
}

// Where no scratch is left behind.
bool empty_folder(const fs::path& p) { return fs::is_directory(p) && fs::is_empty(p); }

TEST_F(EnsembleProgram, RefusalsAndFailuresHaveTheirStatus) {
    // torla-ensemble's, then torla-inspect's of x/exceedance.csv (base x.cmd; y/'s has no CRS).
    std::string cmd = small_command_file(), zero = cmd;
    write_text(dir.file("zero-elem.cmd"), cmd.replace(cmd.find("Max_Time"), 0, "Elem_Size 0\n"));
    write_text(dir.file("zero.cmd"),
               zero.replace(zero.find("Number_of_Points 8"), 18, "Number_of_Points 0"));
    const std::string grid = "sampling = \"grid\"\n[vary]\nCourant_Nr = [0.5, 0.9]\n";
    write_text(dir.file("ok.toml"), grid_ensemble("0.5, 0.9"));
    write_text(dir.file("zero.toml"), "base = \"zero.cmd\"\n" + grid);
    write_text(dir.file("elem.toml"), "base = \"zero-elem.cmd\"\n" + grid);
    write_text(dir.file("dev.toml"), "base = \"/dev/zero\"\n" + grid);
    write_text(dir.file("member.toml"), grid_ensemble("0.5", "Conc_Prof_Coeff_1 = [-50.0]\n"));
    write_text(dir.file("fail.toml"),
               "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nElem_Size = [0]\n");
    write_text(
        dir.file("huge.toml"),
        "base = \"b.cmd\"\nmembers = 1000000\n[vary]\nCourant_Nr = { min = 0.5, max = 0.9 }\n"
        "Max_Salt_Density = { min = 20, max = 60 }\nh1 = { factor = { min = 1, max = 2 } }\n"
        "h2 = { factor = { min = 1, max = 2 } }\nh3 = { factor = { min = 1, max = 2 } }\n"
        "Gravity = { min = 9.7, max = 9.9 }\n");
    // 60 heights fill 252 characters of the base's line; with 12.5 m the members' hold 257.
    std::string many = "Height_Peaks on\nPeak_Heights 100";
    for (int k = 101; k < 160; ++k) many += "," + std::to_string(k);
    write_text(dir.file("many.cmd"), small_command_file(8, many + "\nMax_Time 2\n"));
    write_text(dir.file("many.toml"),
               "base = \"many.cmd\"\n" + grid +
                   "[thresholds]\nat_height = [{ z_m = 12.5, p_kPa = [1.0] }]\n");
    write_text(dir.file("file"), "");
    mkfifo(dir.file("fifo.toml").c_str(), 0644);
    const std::string long_dir = std::string(250 - dir.path().string().size(), 'd');
    // The lock of a folder held by another process.
    fs::create_directories(dir.path() / "held");
    const int held = open(dir.file("held/lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    for (const std::string d : {"x", "y"}) {
        fs::create_directories(dir.path() / d);
        write_text(dir.file(d + "/plan.txt"),
                   "torla-ensemble plan\nbase " + dir.file(d + ".cmd") + "\n");
        write_text(dir.file(d + "/exceedance.csv"),
                   "# members 3, used 2\n# left out: failed 1; unstable none; not run none\n"
                   "cell,path_length[m],easting[m],northing[m],elevation[m],P(p3>1kPa),"
                   "p3_p50[kPa]\n0,0,600000,200000,1000,0.5,0.75\n");
    }
    fs::copy_file(dir.file("b.cmd"), dir.file("x.cmd"));
    fs::copy_file(dir.file("zero.cmd"), dir.file("y.cmd"));
    const std::string inputs = read_text(dir.file("x.cmd")) + read_text(dir.file("x/plan.txt"));
    const std::string r = "torla-ensemble run ", x = "torla-inspect x/exceedance.csv ";
    const struct Case {
        int status;
        std::string args, message;
    } cases[] = {
        {3, r + "zero.toml -o e", "zero.cmd: not a valid command file: line 7: Number_of_Points"},
        {3, r + "elem.toml -o e", "zero-elem.cmd: not a valid command file: the grid generator"},
        {3, r + "member.toml -o e --jobs 2",
         "member 0: torla refuses its command file: line 9: Conc_Prof_Coeff_0 + Conc_Prof_Coeff_1 "
         "+ Conc_Prof_Coeff_2 is -48.6667;"},
        {3, r + "dev.toml -o e", "read the base command file `/dev/zero': `/dev/zero' is not a"},
        {3, r + "fifo.toml -o e", "fifo.toml' is not a regular file"},
        {3, r + "many.toml -o many", "line 6, column 14: at_height: the members' Peak_Heights"},
        {3, r + "ok.toml -o " + long_dir, "has a name of 251 characters; the members' information"},
        {3, r + "huge.toml -o e",
         "1000000 members of 6 varied keys need about 1037 MB to prepare, more than the 1024 MB"},
        {1, r + "ok.toml -o file/e", "cannot create `file/e'"},
        {1, r + "ok.toml -o held", "`held' is in use by another torla-ensemble (held/lock is"},
        {1, "torla-ensemble collect held", "`held' is in use by another torla-ensemble"},
        {1, "torla-ensemble collect nowhere", "`nowhere' holds no ensemble"},
        {1, "torla-ensemble status nowhere", "`nowhere' holds no ensemble"},
        {4, r + "fail.toml -o f", "no member gave a result that can be used: no exceedance table"},
        {2, x + "map -o x.gpkg --crs nowhere", "--crs: `nowhere' is no CRS GDAL knows"},
        {1, "torla-inspect y/exceedance.csv map -o x.gpkg",
         "y/exceedance.csv: no CRS: the ensemble's base command file has no crs_wkt"},
        {1, x + "netcdf -o x/plan.txt", "x/plan.txt"},
        {1, x + "netcdf -o x.cmd", "x.cmd"},
        {1, x + "netcdf -o x/ensemble.toml", "x/ensemble.toml"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(run(dir, c.args, out), c.status) << c.args << "\n" << out;
        EXPECT_CONTAINS(out, c.message) << c.args;
        EXPECT_TRUE(empty_folder(dir.path() / "tmp")) << c.args << ": scratch left behind";
    }
    close(held);
    EXPECT_FALSE(fs::exists(dir.path() / "f/exceedance.csv"));
    for (const std::string& refused : {long_dir, std::string("many"), std::string("e")})
        EXPECT_FALSE(fs::exists(dir.path() / refused)) << "a refused ensemble leaves no folder";
    EXPECT_EQ(read_text(dir.file("x.cmd")) + read_text(dir.file("x/plan.txt")), inputs)
        << "an input was overwritten";
}

TEST_F(EnsembleProgram, AStoppedOrKilledEnsembleTakesItsMembersAndScratchWithIt) {
    write_text(dir.file("b.cmd"),
               small_command_file(1000, "Max_Time 1500\nDump_Interval 500\nNumerics robust\n"));
    write_text(dir.file("s.toml"), grid_ensemble("0.5, 0.6"));
    for (int sig : {SIGTERM, SIGINT, SIGKILL}) {
        fs::remove_all(dir.path() / "e");
        const pid_t pid = start_run(dir, "2", false);
        // Stopped once both members run (each has its output file).
        auto running = [&] {
            std::error_code ec;
            int n = 0;
            for (const auto& f : fs::directory_iterator(dir.path() / "e/members", ec))
                n += fs::exists(f.path() / "member.out");
            return n;
        };
        wait_until([&] { return running() >= 2; }, 30s);
        ASSERT_EQ(running(), 2);
        std::this_thread::sleep_for(100ms);
        kill(pid, sig);  // the tool alone, not its process group
        int rc = 0;
        waitpid(pid, &rc, 0);
        EXPECT_TRUE(WIFSIGNALED(rc) && WTERMSIG(rc) == sig) << sig << " " << rc;
        // No process is left working in the ensemble's folder.
        auto left = [&] {
            int n = 0;
            std::error_code ec;
            for (const auto& p : fs::directory_iterator("/proc", ec)) {
                const std::string cwd = fs::read_symlink(p.path() / "cwd", ec).string();
                n += !ec && cwd.rfind((dir.path() / "e").string(), 0) == 0;
            }
            return n;
        };
        wait_until([&] { return !left() && empty_folder(dir.path() / "tmp"); }, 10s);
        EXPECT_EQ(left(), 0) << "members outlive signal " << sig;
        EXPECT_TRUE(empty_folder(dir.path() / "tmp")) << "scratch left after signal " << sig;
        Plan plan;
        ASSERT_EQ(load_plan(dir.file("e"), plan), "");
        for (const auto& m : plan.members)
            EXPECT_FALSE(member_state(dir.file("e"), m).finished) << sig;
    }
}

// 1 MB on standard error: more than a pipe holds.
const std::string kNoise = "head -c 1048576 /dev/zero | tr '\\000' x >&2\n";

// sbatch (a stand-in) printing much on either stream never hangs submit; a failure names its words.
TEST(SlurmSubmit, SbatchOutputOnEitherStreamIsReadWhole) {
    TempDir dir;
    Plan plan;
    plan.members.resize(3);
    const struct {
        std::string sbatch;  // the stand-in's body; "" for a program that is not there
        std::string error;   // the start of submit's refusal, "" for none
        std::string end;     // the end of the refusal, or the job id
    } cases[] = {
        {kNoise + "echo '4242;cluster'\n", "", "4242"},
        {"echo 77\n" + kNoise, "", "77"},
        {kNoise + "echo 'sbatch: error: no partition' >&2; exit 1\n", "sbatch failed (status 1): x",
         "xsbatch: error: no partition"},
        {"kill -KILL $$\n", "sbatch failed (status 137)", ""},
        {"echo\n", "sbatch gave no job id", ""},
        {"", "cannot start " + dir.file("missing") + ": No such file or directory", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error + c.end);
        SlurmOptions opt;
        opt.sbatch = dir.file(c.sbatch.empty() ? "missing" : "sbatch");
        if (!c.sbatch.empty()) write_text(opt.sbatch, "#!/bin/sh\n" + c.sbatch);
        chmod(opt.sbatch.c_str(), 0755);
        std::string job_id;
        alarm(120);  // a hang ends the test
        const std::string err = submit_slurm(dir.path().string(), plan, "/bin/true", opt, job_id);
        alarm(0);
        if (c.error.empty()) {
            EXPECT_EQ(err + "|" + job_id + "|" + read_text(dir.file("slurm/job")),
                      "|" + c.end + "|" + c.end + "\n");
            continue;
        }
        EXPECT_EQ(err.substr(0, c.error.size()), c.error);
        ASSERT_GE(err.size(), c.end.size());
        EXPECT_EQ(err.substr(err.size() - c.end.size()), c.end);
    }
}

}  // namespace
}  // namespace torla::ensemble
