// The command-file reader: names, both global sections, the two tables and
// the generator input it writes; parameter lines one by one. (Command files
// the reader refuses are cases of the bad-input corpus.)
#include <gtest/gtest.h>

#include "input/input.h"
#include "model/bytes.h"
#include "test_support.h"

namespace torla {
namespace {

const char* kLocals = "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5";

// Runs read_command_file on the given text inside a temporary directory;
// returns what it printed, s takes the state.
std::string read(const std::string& text, ModelState& s, GeneratorInput& in) {
    test::TempDir dir;
    const auto old = test::fs::current_path();
    test::fs::current_path(dir.path());
    test::write_text("run.cmd", text);
    s.names.command_file = "run.cmd";
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(read_command_file(s));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_generator_input(kGridFile, in), "");
    test::fs::current_path(old);
    return out;
}

TEST(CommandFile, ReadsNamesBothSectionsAndBothTables) {
    std::string text = "# leading comment\nTrack_Name   Steep gully \nRun_Name R1\n"
                       "| COMMON GLOBAL PARAMETERS\nGravity 9.8\nBogus 1\n|\n"
                       "junk between sections\n| POWDER SNOW GLOBAL PARAMETERS\n"
                       "# comment\nAlpha 0.5\nGamma_1 7\nSusp_Rate 2\nElem_Size 12.5\nMax_Dev 0.1\n"
                       "| COORDINATES\nignored line\nNumber_of_Points 7\n";
    for (int i = 0; i < 7; ++i)
        text += std::to_string(i) + " " + std::to_string(10 * i) + " " + std::to_string(900 - i) + " 1 2\n";
    text += "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i < 7; ++i) text += std::to_string(i) + " " + kLocals + "\n";
    ModelState s;
    GeneratorInput in;
    EXPECT_EQ(read(text, s, in),
              "   Track_Name   Steep gully \n   Run_Name R1\n"
              "   match_parameter:  Parameter Bogus not identified; skipping.\n"
              "   read_command_file:  7 input points.\n");
    EXPECT_EQ(s.names.problem, "Steep gully ");
    EXPECT_EQ(s.names.run, "R1");
    EXPECT_EQ(s.par.Gravity, 9.8);
    EXPECT_EQ(s.par.Alpha, 0.5);
    // Gamma_1 and Gamma_2 follow the profile coefficients whatever the file says.
    EXPECT_EQ(s.par.Gamma_1, static_cast<double>(1.4f));
    EXPECT_EQ(s.par.Gamma_2, static_cast<double>(1.3333f));
    EXPECT_DOUBLE_EQ(s.constants.rho_diff, 916.0);
    EXPECT_DOUBLE_EQ(s.constants.min_susp_mass, 0.1 * (1.0 + 1e-6 * 917.0));
    // The generator input: every point, the seventh local number scaled by Susp_Rate.
    EXPECT_EQ(in.elem_size, 12.5f);
    EXPECT_EQ(in.max_dev, 0.1f);
    ASSERT_EQ(in.points.rows, 7);
    const float local[12] = {0, 0.5f, 0.5f, 150, 1, 5, 40, 5, 5, 2, 1, 0.5f};
    for (int p = 0; p < 7; ++p) {
        const float head[4] = {10.0f * p, 900.0f - p, 1, 2};
        for (int k = 0; k < 16; ++k) EXPECT_EQ(in.points[p][k], k < 4 ? head[k] : local[k - 4]) << p << " " << k;
    }
}

TEST(CommandFile, CrlfCommentsQuotedRowsAndALateCommonSectionReadLikeThePlainFile) {
    const std::string plain = test::command_file(6, "Alpha 0.5\n", kLocals);
    std::string text = plain;
    // Quote a coordinate row, add a comment row, a common section after the
    // powder section (never read), and switch to CRLF line ends.
    text.replace(text.find("2 20 990 0 0\n"), 13, "\"2 20 990 0 0\"  \n# a comment row\n");
    text.replace(text.find("| COORDINATES"), 0, "| COMMON GLOBAL PARAMETERS\nAlpha 0.9\n");
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ModelState a, b;
    GeneratorInput in_a, in_b;
    EXPECT_EQ(read(crlf, b, in_b), read(plain, a, in_a));
    EXPECT_EQ(in_b.points.data, in_a.points.data);
    EXPECT_EQ(b.par.Alpha, 0.5);
    EXPECT_EQ(b.names.run, "Test run");
}

std::string applied(RunParameters& p, const std::string& line) {
    testing::internal::CaptureStdout();
    match_parameter(p, line);
    return testing::internal::GetCapturedStdout();
}

TEST(MatchParameter, StoresEachKindOfValueAndReportsWhatItCannotUse) {
    RunParameters p;
    EXPECT_EQ(p.Min_Susp_Mass_Flux, 10.0);  // the default is held undivided
    const struct {
        const char* line;
        const char* message;
    } lines[] = {
        {"Gravity 9.5 m/s2\n", ""},  // text after the number is ignored
        {"Max_Time\t30\n", ""},
        {"Velo_Prof_Coeff_0 0.1\n", ""},
        {"Ref_Radius 7\n", ""},  // an alias of Max_Dev
        {"Spline_Type Bspline\n", ""},  // an alias of Grid_Method
        {"Grid_Method abcdefghijklmnopqrstuvwxyz01234\n", ""},  // 31 characters, the most it holds
        {"Grid_Method\n", ""},         // no second word: unchanged
        {"Min_Susp_Mass_Flux 9.17\n", ""},  // divided by the particle density in force
        {"grid_method x\n", "   match_parameter:  Parameter grid_method not identified; skipping.\n"},
        {"    \n", "   match_parameter:  Parameter  not identified; skipping.\n"},
        {"Region Alps 12\n", "   match_parameter:  QRA file format revision 1.2 detected.\n"},
        {"Return_Period 300\n", ""},
        {"Alpha fast\n", "   match_parameter:  WARNING:  No number after Alpha; value left unchanged.\n"},
        {"Grid_Method abcdefghijklmnopqrstuvwxyz0123456789\n",
         "   match_parameter:  WARNING:  Grid_Method `abcdefghijklmnopqrstuvwxyz0123456789' is "
         "longer than 31 characters; ignored.\n"},
    };
    for (const auto& l : lines) EXPECT_EQ(applied(p, l.line), l.message) << l.line;
    EXPECT_EQ(p.Gravity, 9.5);
    EXPECT_EQ(p.Max_Time, 30.0);
    EXPECT_EQ(p.profile.Velo_Prof_Coeff_0, 0.1f);  // profile coefficients are floats
    EXPECT_EQ(p.Max_Dev, 7.0);
    EXPECT_EQ(p.Grid_Method, "abcdefghijklmnopqrstuvwxyz01234");
    EXPECT_DOUBLE_EQ(p.Min_Susp_Mass_Flux, 0.01);
    EXPECT_EQ(p.Alpha, RunParameters().Alpha);
    applied(p, "Particle_Density 458.5\n");
    applied(p, "Min_Susp_Mass_Flux 9.17\n");
    EXPECT_DOUBLE_EQ(p.Min_Susp_Mass_Flux, 0.02);
    applied(p, "Max_Dev 3\n");  // the last line wins
    EXPECT_EQ(p.Max_Dev, 3.0);
    // A key far longer than any known one is reported whole.
    const std::string key(300, 'K');
    EXPECT_EQ(applied(p, key + " 1\n"), "   match_parameter:  Parameter " + key + " not identified; skipping.\n");
}

}  // namespace
}  // namespace torla
