// torla-ensemble: refusals of bad ensemble files, the sampling (reproducible, latin
// hypercube strata), the members' command files, exact probabilities over
// hand-made results, and runs end to end with resume.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "ensemble/ensemble.h"
#include "ensemble/slurm.h"
#include "test_support.h"

namespace torla::ensemble {
namespace {

using test::TempDir;
using test::read_text;
using test::write_text;
namespace fs = std::filesystem;

// A short run on a plane: 8 points, 2 s, a dump every second.
std::string small_command_file() {
    return test::command_file(8, "Max_Time 2\nDump_Interval 1\n", "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5");
}

std::string file_error(const TempDir& dir, const std::string& text) {
    write_text(dir.file("ensemble.toml"), text);
    EnsembleFile ens;
    return read_ensemble_file(dir.file("ensemble.toml"), ens);
}

// --------------------------------------------------------------- refusals --

TEST(EnsembleFile, RefusesBadFilesNamingTheLine) {
    const std::string head = "base = \"b.cmd\"\nmembers = 4\nseed = 1\n";
    struct Case {
        std::string text, message;
    };
    const Case cases[] = {
        {"base = \"b.cmd\"\nmembers = 0\n", "line 2: `members' must be at least 1"},
        {"base = \"b.cmd\"\nmembers = 2.5\n", "line 2: `members' must be a whole number"},
        {"base = \"b.cmd\"\nsampling = \"latin-hypercube\"\n", "`members' is missing"},
        {"members = 3\n", "names no base command file"},
        {head + "colour = \"red\"\n", "line 4: unknown key `colour'"},
        {head + "sampling = \"sobol\"\n", "line 4: `sampling' is \"grid\""},
        {"base = \"b.cmd\"\nmembers = 4\nseed = -3\n", "line 3: `seed' must be a whole number"},
        {head + "[vary]\nFoo_Bar = [1.0, 2.0]\n", "line 5: unknown key or column `Foo_Bar' in [vary]"},
        {head + "[vary]\nCourant_Nr = { min = -1.0, max = 0.5 }\n", "line 5: `Courant_Nr' -1 must be above 0"},
        {head + "[vary]\nGravity = [9.81, 0.0]\n", "line 5: `Gravity' 0 must be above 0"},
        {head + "[vary]\nElem_Size = [10, 1e39]\n", "line 5: `Elem_Size' 1e+39 is beyond the 32-bit float range"},
        {head + "[vary]\nCourant_Nr = { min = 0.9, max = 0.5 }\n", "line 5: `Courant_Nr': min must be below max"},
        {head + "[vary]\nCourant_Nr = { min = 0.5 }\n", "a range needs both min and max"},
        {head + "[vary]\nCourant_Nr = []\n", "line 5: `Courant_Nr' lists no values"},
        {head + "[vary]\nCourant_Nr = [0.5, \"x\"]\n", "line 5: `Courant_Nr' lists a value that is not a number"},
        {head + "[vary]\nRegion = [1, 2]\n", "line 5: `Region' has no value to vary"},
        {head + "[vary]\nNumerics = [\"standard\", \"fast\"]\n", "line 5: `fast' is not a word `Numerics' takes"},
        {head + "[vary]\nh2 = [0.8, 1.2]\n", "line 5: the local column `h2' takes { factor = [...] }"},
        {head + "[vary]\nh2 = { factor = [-0.5, 1.2] }\n", "line 5: a factor of `h2' must not be negative"},
        {head + "[vary]\nrho1 = { factor = { min = 0.0, max = 1.2 } }\n", "line 5: a factor of `rho1' must be above 0"},
        {head + "[vary]\nh3 = { factor = [1], scale = 2 }\n", "line 5: the local column `h3' takes"},
        {head + "[thresholds]\np3 = [1.0, 0.0]\n", "line 5: a threshold of `p3' must be a pressure above 0"},
        {head + "[thresholds]\np4 = [1.0]\n", "line 5: unknown threshold `p4'"},
        {head + "[colours]\nred = 1\n", "line 5: unknown section [colours]"},
        {"base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nCourant_Nr = { min = 0.5, max = 0.9 }\n",
         "line 4: `Courant_Nr' is a range; grid sampling takes listed values"},
        {"base = \"b.cmd\"\nsampling = \"grid\"\nmembers = 3\n[vary]\nCourant_Nr = [0.5, 0.9]\n",
         "line 3: `members' is 3 but the grid has 2 combinations"},
        // The TOML itself.
        {"base = \"b.cmd\nmembers = 2\n", "line 1: a string ends at the line end"},
        {"base = \"b.cmd\"\nmembers =\n", "line 2: a value is expected"},
        {"base = \"b.cmd\"\nmembers = 2 3\n", "line 2: text after the value of `members'"},
        {"base = \"b.cmd\"\nmembers = 2\nmembers = 3\n", "line 3: `members' is given twice"},
        {"base = \"b.cmd\"\nmembers = 1e400\n", "line 2: `1e400' is not a finite number"},
        {"base = \"b.cmd\"\nmembers = nan\n", "line 2: `nan' is not a number"},
        {"base = \"b.cmd\"\n[vary\n", "line 2: ] is missing"},
        {"base = \"b.cmd\"\nmembers = 2\n[vary]\nCourant_Nr = [0.5,\n 0.6\n", "line 6: an array needs , between"},
    };
    TempDir dir;
    for (const auto& c : cases) {
        const std::string err = file_error(dir, c.text);
        EXPECT_NE(err.find(c.message), std::string::npos) << c.text << "\n gave: " << err;
    }
}

TEST(EnsembleFile, ReadsEveryKindOfValue) {
    TempDir dir;
    const std::string text =
        "# an ensemble\nbase = \"sub/b.cmd\"   # the base\nmembers = 1_000\nsampling = \"random\"\nseed = 7\n"
        "[vary]\nMax_Salt_Density = { min = 20.0, max = 60.0 }\nCourant_Nr = [0.6,\n  0.85]  # two lines\n"
        "h2 = { factor = [0.8, 1.2] }\nh3 = { factor = { min = 0.7, max = 1.3 } }\n"
        "Numerics = ['standard', \"robust\"]\n\"snow_mass\" = { factor = [1] }\n"
        "[thresholds]\np3 = [1.0, 3.0, 10.0]\np2 = [10, 30.0]\n";
    ASSERT_EQ(file_error(dir, text), "");
    EnsembleFile s;
    ASSERT_EQ(read_ensemble_file(dir.file("ensemble.toml"), s), "");
    EXPECT_EQ(s.members, 1000);
    EXPECT_EQ(s.sampling, Sampling::kRandom);
    EXPECT_EQ(s.seed, 7u);
    EXPECT_EQ(s.base_path, (dir.path() / "sub/b.cmd").string());
    ASSERT_EQ(s.vary.size(), 6u);
    EXPECT_TRUE(s.vary[0].range);
    EXPECT_EQ(s.vary[0].min, 20.0);
    EXPECT_EQ(s.vary[1].values, (std::vector<double>{0.6, 0.85}));
    EXPECT_EQ(s.vary[2].column, 4);
    EXPECT_EQ(s.vary[3].column, 7);
    EXPECT_TRUE(s.vary[3].range);
    EXPECT_EQ(s.vary[4].words, (std::vector<std::string>{"standard", "robust"}));
    EXPECT_EQ(s.vary[5].column, 9);
    EXPECT_EQ(s.p3_thresholds, (std::vector<double>{1.0, 3.0, 10.0}));
    EXPECT_EQ(s.p2_thresholds, (std::vector<double>{10.0, 30.0}));
}

// --------------------------------------------------------------- sampling --

EnsembleFile lhs_ensemble(int members, uint64_t seed) {
    EnsembleFile s;
    s.members = members;
    s.seed = seed;
    Variation a;
    a.name = "Max_Salt_Density";
    a.range = true;
    a.min = 20.0;
    a.max = 60.0;
    Variation b = a;
    b.name = "h3";
    b.column = 7;
    b.min = 0.7;
    b.max = 1.3;
    Variation c;
    c.name = "Courant_Nr";
    c.values = {0.6, 0.7, 0.85};
    s.vary = {a, b, c};
    return s;
}

TEST(EnsembleSampling, LatinHypercubeUsesEveryStratumOncePerKey) {
    for (int n : {1, 7, 50, 333}) {
        const EnsembleFile s = lhs_ensemble(n, 12345);
        const auto v = sample_members(s);
        ASSERT_EQ(v.size(), static_cast<std::size_t>(n));
        for (int j = 0; j < 2; ++j) {
            std::vector<int> used(n, 0);
            for (const auto& mv : v) {
                EXPECT_GE(mv.numbers[j], s.vary[j].min);
                EXPECT_LE(mv.numbers[j], s.vary[j].max);
                ++used[stratum_of(mv.numbers[j], s.vary[j].min, s.vary[j].max, n)];
            }
            EXPECT_EQ(std::count(used.begin(), used.end(), 1), n) << "n " << n << " key " << j;
        }
        // Listed values: each as often as the strata allow (n/3 rounded).
        std::map<double, int> listed;
        for (const auto& mv : v) ++listed[mv.numbers[2]];
        for (const auto& [value, count] : listed) {
            EXPECT_GE(count, n / 3) << value;
            EXPECT_LE(count, n / 3 + 1) << value;
        }
    }
}

TEST(EnsembleSampling, SameSeedSameMembersAndValuesAsWritten) {
    for (Sampling sm : {Sampling::kLatinHypercube, Sampling::kRandom}) {
        EnsembleFile s = lhs_ensemble(40, 99);
        s.sampling = sm;
        const auto a = sample_members(s), b = sample_members(s);
        EnsembleFile other = s;
        other.seed = 100;
        const auto c = sample_members(other);
        int differ = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            EXPECT_EQ(a[i].numbers, b[i].numbers);
            differ += a[i].numbers[0] != c[i].numbers[0];
            // What members.csv and the command file say is what was used.
            EXPECT_EQ(std::strtod(format_value(a[i].numbers[0]).c_str(), nullptr), a[i].numbers[0]);
        }
        EXPECT_GT(differ, 30);
    }
    // The generator is the project's own: these draws hold on every machine.
    EnsembleFile s = lhs_ensemble(3, 12345);
    s.sampling = Sampling::kRandom;
    const auto v = sample_members(s);
    EXPECT_EQ(format_value(v[0].numbers[0]) + " " + format_value(v[1].numbers[0]) + " " +
                  format_value(v[2].numbers[0]),
              "25.3231867 28.1926653 24.7817033");
}

TEST(EnsembleSampling, GridGivesEveryCombinationFirstKeySlowest) {
    EnsembleFile s;
    s.sampling = Sampling::kGrid;
    s.members = 6;
    Variation a;
    a.name = "Courant_Nr";
    a.values = {0.5, 0.9};
    Variation b;
    b.name = "Numerics";
    b.word = true;
    b.words = {"standard", "robust", "standard"};
    s.vary = {a, b};
    const auto v = sample_members(s);
    std::vector<std::string> got;
    for (const auto& mv : v) got.push_back(format_value(mv.numbers[0]) + " " + mv.words[1]);
    EXPECT_EQ(got, (std::vector<std::string>{"0.5 standard", "0.5 robust", "0.5 standard", "0.9 standard",
                                             "0.9 robust", "0.9 standard"}));
}

// -------------------------------------------------------- command files --

TEST(EnsembleMembers, VariedKeysEndTheGlobalSectionAndFactorsScaleTheirColumn) {
    const std::string base =
        "Track_Name T\r\nRun_Name R\r\n| POWDER SNOW GLOBAL PARAMETERS\r\nMax_Time 2\r\n# note\r\n"
        "| COORDINATES\r\nNumber_of_Points 2\r\n0 0 100 1 2\r\n1 10 95 3 4\r\n"
        "| POWDER SNOW LOCAL PARAMETERS\r\n# a comment row stays\r\n\"0 0 0.35 0.9 110 1.5 5 30 8 5 3 2 1.2\"\r\n"
        " 1  0  0.36  0.88  113  0  0  0  0  0  0  0  0\r\n| END OF FILE\r\n";
    BaseFile b;
    ASSERT_EQ(parse_base(base, b), "");
    EnsembleFile s;
    Variation g;
    g.name = "Courant_Nr";
    Variation w;
    w.name = "Numerics";
    w.word = true;
    Variation h2;
    h2.name = "h2";
    h2.column = 4;
    Variation u;
    u.name = "u_threshold";
    u.column = 1;
    s.vary = {g, h2, w, u};
    MemberValues v;
    v.numbers = {0.75, 0.5, 0.0, 2.0};
    v.words = {"", "", "robust", ""};
    EXPECT_EQ(effective_command_file(b, s, v),
              "Track_Name T\r\nRun_Name R\r\n| POWDER SNOW GLOBAL PARAMETERS\r\nMax_Time 2\r\n# note\r\n"
              "Courant_Nr 0.75\r\nNumerics robust\r\n"
              "| COORDINATES\r\nNumber_of_Points 2\r\n0 0 100 1 2\r\n1 10 95 3 4\r\n"
              "| POWDER SNOW LOCAL PARAMETERS\r\n# a comment row stays\r\n0 0 0.7 0.9 110 0.75 5 30 8 5 3 2 1.2\r\n"
              "1 0 0.72 0.88 113 0 0 0 0 0 0 0 0\r\n| END OF FILE\r\n");
    // Without local keys the rows stay as they stand.
    s.vary = {g};
    v.numbers = {0.5};
    EXPECT_NE(effective_command_file(b, s, v).find("\"0 0 0.35 0.9 110 1.5 5 30 8 5 3 2 1.2\"\r\n"),
              std::string::npos);

    struct Bad {
        std::string text, message;
    };
    const Bad bad[] = {
        {"Track_Name T\n| COORDINATES\n", "no line \"| POWDER SNOW GLOBAL PARAMETERS\""},
        {"Track_Name T\n| POWDER SNOW GLOBAL PARAMETERS\nMax_Time 2\n", "not followed by a section"},
        {"Track_Name T\n| POWDER SNOW GLOBAL PARAMETERS\n| COORDINATES\n", "no line \"| POWDER SNOW LOCAL"},
    };
    for (const auto& c : bad) EXPECT_NE(parse_base(c.text, b).find(c.message), std::string::npos) << c.text;
}

TEST(EnsembleMembers, FolderNamesCarryIndexAndHash) {
    const std::string h = sha256_hex("x");
    EXPECT_EQ(member_folder_name(7, 200, h), "0007-" + h.substr(0, 12));
    EXPECT_EQ(member_folder_name(12345, 20000, h), "12345-" + h.substr(0, 12));
    EXPECT_EQ(member_folder_name(5, 200000, h), "000005-" + h.substr(0, 12));
}

TEST(EnsembleMembers, BaseAndMembersAreCheckedTheWayTorlaReadsThem) {
    TempDir dir;
    struct Case {
        std::string base, vary, message;
    };
    const std::string good = small_command_file();
    std::string zero_points = good;
    zero_points.replace(zero_points.find("Number_of_Points 8"), 18, "Number_of_Points 0");
    const Case cases[] = {
        {zero_points, "", "not a valid command file: read_command_file:  FATAL ERROR:  Number_of_Points is 0"},
        {"", "", "cannot read the base command file"},
        {good, "Conc_Prof_Coeff_1 = [-50.0]\n", "member 0: torla refuses its command file"},
    };
    for (const auto& c : cases) {
        fs::remove_all(dir.path() / "out");
        if (!c.base.empty()) write_text(dir.file("b.cmd"), c.base);
        else fs::remove(dir.file("b.cmd"));
        write_text(dir.file("s.toml"), "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\n" + c.vary);
        Plan plan;
        const std::string err = prepare(dir.file("s.toml"), dir.file("out"), test::bin_dir(), plan);
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
    }
}

// ------------------------------------------------- exact probabilities --

// A result file of 4 cells and one dump, laid out byte by byte, whose peak
// table holds the given p3, p2, h3 and h2 maxima.
void write_result(const std::string& path, const std::vector<float>& p3, const std::vector<float>& p2,
                  const std::vector<float>& h3, const std::vector<float>& h2) {
    const int n = 4;
    std::string b;
    auto put16 = [&](int v) {
        b.push_back(static_cast<char>(v & 0xff));
        b.push_back(static_cast<char>((v >> 8) & 0xff));
    };
    auto put32 = [&](float f) {
        uint32_t u;
        std::memcpy(&u, &f, 4);
        for (int k = 0; k < 4; ++k) b.push_back(static_cast<char>((u >> (8 * k)) & 0xff));
    };
    put16(1);
    put16(1);
    b += "PR";
    put16(n);
    put16(1);
    for (int k = 0; k < 12; ++k) put32(1.0f);
    for (int i = 0; i < n; ++i)
        for (float g : {10.0f * i, 600000.0f + i, 10.0f, 30.0f, 0.0f, 200000.0f - i}) put32(g);
    for (int r = 0; r < 12; ++r) {
        put32(0.0f);
        for (int i = 0; i < n; ++i) put32(0.0f);
    }
    std::vector<float> peaks(48 * n, 0.0f);
    const std::pair<int, const std::vector<float>*> q[] = {{11, &p3}, {5, &p2}, {6, &h3}, {2, &h2}};
    for (const auto& [row, values] : q)
        for (int i = 0; i < n; ++i) peaks[4 * (row * n + i)] = (*values)[i];
    for (float f : peaks) put32(f);
    write_text(path, b);
}

std::vector<std::vector<std::string>> csv_rows(const std::string& path) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(read_text(path));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> f;
        std::istringstream l(line);
        for (std::string x; std::getline(l, x, ',');) f.push_back(x);
        rows.push_back(f);
    }
    return rows;
}

TEST(EnsembleCollect, ExactProbabilitiesOverHandMadeResults) {
    TempDir dir;
    write_text(dir.file("b.cmd"), small_command_file());
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nCourant_Nr = [0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99]\n"
               "[thresholds]\np3 = [1.0, 3.0]\np2 = [10.0]\n");
    Plan plan;
    ASSERT_EQ(prepare(dir.file("s.toml"), dir.file("out"), test::bin_dir(), plan), "");
    ASSERT_EQ(plan.members.size(), 7u);
    // Cell 1: p3 peaks 0.5, 1, 2, 3 (members 0-3); member 4 failed with 12.
    // A peak exceeds a threshold strictly: 1 is not above 1, 3 not above 3.
    const float p3[5][4] = {{0, 0.5f, 0, 0}, {0, 1.0f, 0.2f, 0}, {0, 2.0f, 1.5f, 0}, {0, 3.0f, 3.5f, 0.1f}, {0, 12, 12, 12}};
    const float p2[5][4] = {{0, 20, 0, 0}, {0, 5, 0, 0}, {0, 11, 0, 0}, {0, 9, 0, 0}, {0, 99, 99, 99}};
    const std::string out = dir.file("out");
    for (int i = 0; i < 5; ++i) {
        const std::string f = out + "/" + plan.members[i].folder;
        write_result(f + "/member.res", {p3[i], p3[i] + 4}, {p2[i], p2[i] + 4}, {5, 6, 7, 8}, {1, 1, 1, 1});
        write_text(f + "/member.status", "hash " + plan.members[i].hash + "\nexit_status " + (i == 4 ? "2" : "0") + "\n");
    }
    // Member 5 ran to a small-step stop after an onset of instability: left
    // out as unstable. Member 6's run record names another command file: not
    // run (for this plan).
    for (int i = 5; i < 7; ++i) {
        const std::string f = out + "/" + plan.members[i].folder;
        write_result(f + "/member.res", {9, 9, 9, 9}, {99, 99, 99, 99}, {5, 6, 7, 8}, {1, 1, 1, 1});
        write_text(f + "/member.status", "hash " + plan.members[i].hash + "\nexit_status " + (i == 5 ? "5" : "0") + "\n");
        write_text(f + "/member.res.json",
                   "{\"command_file\": {\"path\": \"member.cmd\", \"sha256\": \"" +
                       (i == 5 ? plan.members[i].hash : sha256_hex("other")) + "\"}, \"exit_status\": " +
                       (i == 5 ? "5" : "0") + ", \"stop_reason\": \"" + (i == 5 ? "small_step" : "max_time") +
                       "\", \"onset\": " + (i == 5 ? "{\"time_s\": 92.5, \"cell\": 3, \"sign\": \"x\"}" : "null") + "}\n");
    }
    EXPECT_FALSE(member_state(out, plan.members[6]).finished);
    CollectFigures fig;
    ASSERT_EQ(collect(out, fig), "");
    EXPECT_EQ(fig.members, 7);
    EXPECT_EQ(fig.used, 4);
    EXPECT_EQ(fig.failed, 1);
    EXPECT_EQ(fig.unstable, 1);
    EXPECT_EQ(fig.missing, 1);
    const auto rows = csv_rows(out + "/exceedance.csv");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0][5], "P(p3>1kPa)");
    EXPECT_EQ(rows[0][8], "p3_p5[kPa]");
    // cell, path length, easting, northing, elevation (1000 at the top, 30
    // degrees down: 10 sin 30 per cell).
    EXPECT_EQ(std::vector<std::string>(rows[2].begin(), rows[2].begin() + 5),
              (std::vector<std::string>{"1", "10", "600001", "199999", "995"}));
    // P(p3>1) P(p3>3) P(p2>10) at cells 1 and 2.
    EXPECT_EQ(rows[2][5] + " " + rows[2][6] + " " + rows[2][7], "0.5 0 0.5");
    EXPECT_EQ(rows[3][5] + " " + rows[3][6] + " " + rows[3][7], "0.5 0.25 0");
    // Percentiles of p3 at cell 1 over 0.5, 1, 2, 3: linear between order
    // statistics, 5th at 0.15 of the way: 0.5 + 0.075; median 1.5; 95th
    // 2 + 0.85.
    EXPECT_EQ(rows[2][8] + " " + rows[2][9] + " " + rows[2][10], "0.575 1.5 2.85");
    // h3 is 6 at cell 1 in every member.
    EXPECT_EQ(rows[2][14] + " " + rows[2][15] + " " + rows[2][16], "6 6 6");
    // The failed member is named.
    EXPECT_NE(read_text(out + "/exceedance.csv").find("# left out: failed 4; unstable 5; not run 6"),
              std::string::npos);
    const std::string json = read_text(out + "/ensemble.json");
    EXPECT_NE(json.find("\"failed\": [{\"member\": 4, \"why\": \"exit status 2\"}]"), std::string::npos) << json;
    const auto members = csv_rows(out + "/members.csv");
    ASSERT_EQ(members.size(), 8u);
    EXPECT_EQ(members[5][3], "failed");
    EXPECT_EQ(members[6][3] + " " + members[6][4] + " " + members[6][5] + " " + members[6][10] + " " + members[6][11],
              "unstable 5 small_step 92.5 3");
    EXPECT_EQ(members[7][3], "missing");
    EXPECT_NE(json.find("\"unstable\": [5],\n  \"not_run\": [6]"), std::string::npos) << json;
    EXPECT_EQ(members[1][2] + " " + members[1][3] + " " + members[1][4], "0.5 used 0");
}

TEST(EnsembleCollect, PercentilesInterpolateBetweenOrderStatistics) {
    EXPECT_TRUE(std::isnan(percentile({}, 50)));
    EXPECT_EQ(percentile({4.0}, 95), 4.0);
    EXPECT_EQ(percentile({1, 2, 3, 4, 5}, 50), 3.0);
    EXPECT_EQ(percentile({1, 2, 3, 4, 5}, 0), 1.0);
    EXPECT_EQ(percentile({1, 2, 3, 4, 5}, 100), 5.0);
    EXPECT_DOUBLE_EQ(percentile({10, 20}, 25), 12.5);
}

// ------------------------------------------------------------ end to end --

class EnsembleProgram : public testing::Test {
protected:
    void SetUp() override {
        write_text(dir.file("b.cmd"), small_command_file());
    }
    std::string program() const { return test::bin_dir() + "/torla-ensemble"; }
    TempDir dir;
};

TEST_F(EnsembleProgram, MembersAreOrdinaryRunsOfTheirCommandFiles) {
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nmembers = 4\nseed = 3\n[vary]\nCourant_Nr = { min = 0.5, max = 0.9 }\n"
               "h2 = { factor = [0.5, 1.5] }\n[thresholds]\np3 = [0.1]\n");
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), program() + " run s.toml -o e --jobs 2", out), 0) << out;
    Plan plan;
    ASSERT_EQ(load_plan(dir.file("e"), plan), "");
    EXPECT_FALSE(plan.shared_grid);
    for (const auto& m : plan.members) {
        const fs::path f = dir.path() / "e" / m.folder;
        const std::string cmd = read_text((f / "member.cmd").string());
        EXPECT_EQ(sha256_hex(cmd), m.hash);
        // The same command file run by hand gives the same result file.
        fs::create_directories(dir.path() / "solo");
        write_text(dir.file("solo/run.cmd"), cmd);
        write_text(dir.file("solo/solo.info"), "run.cmd\nrun.res\n" + test::bin_dir() + "/\n");
        ASSERT_EQ(test::run_in(dir.path() / "solo", test::bin_dir() + "/torla solo.info", out), 0);
        EXPECT_EQ(read_text(dir.file("solo/run.res")), read_text((f / "member.res").string())) << m.folder;
        EXPECT_TRUE(fs::exists(f / "member.plg"));
        EXPECT_TRUE(fs::exists(f / "member.info"));
    }
    // Same ens, same members, byte for byte.
    ASSERT_EQ(test::run_in(dir.path(), program() + " run s.toml -o again --jobs 1", out), 0) << out;
    Plan again;
    ASSERT_EQ(load_plan(dir.file("again"), again), "");
    for (std::size_t i = 0; i < plan.members.size(); ++i) {
        EXPECT_EQ(plan.members[i].folder, again.members[i].folder);
        EXPECT_EQ(read_text(dir.file("e/" + plan.members[i].folder + "/member.res")),
                  read_text(dir.file("again/" + again.members[i].folder + "/member.res")));
    }
    EXPECT_EQ(read_text(dir.file("e/exceedance.csv")), read_text(dir.file("again/exceedance.csv")));
}

TEST_F(EnsembleProgram, SharedGridGivesTheGeneratorsResults) {
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nCourant_Nr = [0.5, 0.9]\n");
    std::string out;
    ASSERT_EQ(test::run_in(dir.path(), program() + " run s.toml -o e", out), 0) << out;
    Plan plan;
    ASSERT_EQ(load_plan(dir.file("e"), plan), "");
    EXPECT_TRUE(plan.shared_grid);
    EXPECT_TRUE(fs::exists(dir.path() / "e/grid/grid.tmp"));
    for (const auto& m : plan.members) {
        write_text(dir.file("run.cmd"), read_text(dir.file("e/" + m.folder + "/member.cmd")));
        write_text(dir.file("solo.info"), "run.cmd\nrun.res\n" + test::bin_dir() + "/\n");
        ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla solo.info", out), 0);
        EXPECT_EQ(read_text(dir.file("run.res")), read_text(dir.file("e/" + m.folder + "/member.res")));
    }
    // A generator input that differs from the prepared one goes to knotline.
    const std::string cache = dir.file("e/grid/knotline");
    write_text(dir.file("x.cmd"), test::command_file(9, "Max_Time 1\n", "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5"));
    write_text(dir.file("x.info"), "x.cmd\nx.res\n" + dir.file("e/grid/") + "\n");
    write_text(dir.file("y.info"), "x.cmd\ny.res\n" + test::bin_dir() + "/\n");
    ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla x.info", out), 0) << out;
    ASSERT_EQ(test::run_in(dir.path(), test::bin_dir() + "/torla y.info", out), 0) << out;
    EXPECT_EQ(read_text(dir.file("x.res")), read_text(dir.file("y.res")));
}

TEST_F(EnsembleProgram, ResumesAfterBeingKilledPartWay) {
    // 30 members of 40 s each take a few seconds one at a time.
    write_text(dir.file("b.cmd"), test::command_file(40, "Max_Time 40\nDump_Interval 1\n",
                                                     "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5"));
    write_text(dir.file("s.toml"),
               "base = \"b.cmd\"\nmembers = 30\nseed = 5\n[vary]\nMax_Salt_Density = { min = 20.0, max = 60.0 }\n");
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);  // a process group of its own, as a shell gives a command
        if (chdir(dir.path().c_str()) != 0) _exit(127);
        freopen("/dev/null", "w", stdout);
        execl(program().c_str(), "torla-ensemble", "run", "s.toml", "-o", "e", "--jobs", "1", nullptr);
        _exit(127);
    }
    // Kill it once a few members have finished.
    auto finished = [&] {
        int k = 0;
        if (fs::exists(dir.path() / "e/members"))
            for (const auto& f : fs::directory_iterator(dir.path() / "e/members"))
                k += fs::exists(f.path() / "member.status");
        return k;
    };
    const auto start = std::chrono::steady_clock::now();
    while (finished() < 3 && std::chrono::steady_clock::now() - start < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // The whole group, the member being run included (what an interrupt
    // from the terminal reaches); that member is left without its status.
    kill(-pid, SIGKILL);
    int rc = 0;
    waitpid(pid, &rc, 0);
    const int before = finished();
    ASSERT_GE(before, 3);
    ASSERT_LT(before, 30) << "the run ended before it could be killed";
    std::map<std::string, fs::file_time_type> stamps;
    for (const auto& f : fs::directory_iterator(dir.path() / "e/members"))
        if (fs::exists(f.path() / "member.status"))
            stamps[f.path().string()] = fs::last_write_time(f.path() / "member.res");
    std::string out;
    EXPECT_EQ(test::run_in(dir.path(), program() + " status e", out), 1);
    EXPECT_NE(out.find("30 members: " + std::to_string(before) + " finished"), std::string::npos) << out;
    ASSERT_EQ(test::run_in(dir.path(), program() + " run s.toml -o e --jobs 2", out), 0) << out;
    EXPECT_EQ(finished(), 30);
    for (const auto& [folder, stamp] : stamps)
        EXPECT_EQ(fs::last_write_time(fs::path(folder) / "member.res"), stamp) << folder << " ran again";
    // The members are those of an uninterrupted ensemble.
    ASSERT_EQ(test::run_in(dir.path(), program() + " run s.toml -o whole --jobs 2", out), 0) << out;
    EXPECT_EQ(read_text(dir.file("e/exceedance.csv")), read_text(dir.file("whole/exceedance.csv")));
    EXPECT_EQ(read_text(dir.file("e/members.csv")), read_text(dir.file("whole/members.csv")));
    EXPECT_EQ(test::run_in(dir.path(), program() + " status e", out), 0);
}

TEST_F(EnsembleProgram, UsageAndRefusalStatuses) {
    write_text(dir.file("bad.toml"), "base = \"b.cmd\"\nmembers = 0\n");
    struct Case {
        std::string args, message;
        int status;
    };
    const Case cases[] = {
        {"", "usage:", 2},
        {"run bad.toml", "usage:", 2},
        {"run bad.toml -o e --jobs 0", "usage:", 2},
        {"run bad.toml -o e --engine cloud", "usage:", 2},
        {"run bad.toml -o e --frobnicate", "unknown or incomplete option `--frobnicate'", 2},
        {"run bad.toml -o e", "bad.toml: line 2: `members' must be at least 1", 3},
        {"collect nowhere", "`nowhere' holds no ensemble", 1},
        {"status nowhere", "`nowhere' holds no ensemble", 1},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(test::run_in(dir.path(), program() + " " + c.args, out), c.status) << c.args << "\n" << out;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.args << "\n" << out;
    }
    EXPECT_FALSE(fs::exists(dir.path() / "e/members")) << "a refused ens runs nothing";
}

// ------------------------------------------------------------------ Slurm --

TEST(EnsembleSlurm, ScriptAndArguments) {
    SlurmOptions opt;
    opt.max_parallel = 3;
    opt.partition = "debug";
    opt.time_limit = "00:10:00";
    opt.account = "snow";
    EXPECT_EQ(sbatch_arguments(opt, 5, "/e"),
              (std::vector<std::string>{"sbatch", "--parsable", "--job-name=torla-ensemble", "--array=0-4%3",
                                        "--output=/e/slurm/task-%a.out", "--chdir=/e", "--partition=debug",
                                        "--time=00:10:00", "--account=snow", "/e/slurm/job.sh"}));
    opt = SlurmOptions{};
    EXPECT_EQ(sbatch_arguments(opt, 1, "/e")[3], "--array=0-0");
    EXPECT_EQ(slurm_script("/e", "/b/torla-ensemble", 20),
              "#!/bin/sh\n# One array task: members chunk * task ... chunk * task + chunk - 1.\n"
              "exec '/b/torla-ensemble' run-chunk '/e' $((SLURM_ARRAY_TASK_ID * 20)) 20\n");
}

}  // namespace
}  // namespace torla::ensemble
