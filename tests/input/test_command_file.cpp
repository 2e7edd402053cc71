// The command-file reader and parameter lines (refused files: the bad-input corpus).
#include <gtest/gtest.h>

#include "input/command_file.h"
#include "input/input.h"
#include "model/bytes.h"
#include "model/sha256.h"
#include "test_support.h"

namespace torla {
namespace {

std::vector<unsigned char> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

// read_command_file on the text in a temporary directory: what it printed; parse_command_file
// alone prints and writes nothing, yet keeps that text, the names and the generator input.
std::string read(const std::string& text, ModelState& s, GeneratorInput& in,
                 CommandFile* parsed = nullptr) {
    test::TempDir dir;
    const auto old = test::fs::current_path();
    test::fs::current_path(dir.path());
    testing::internal::CaptureStdout();
    const CommandFile f = parse_command_file("run.cmd", bytes_of(text));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << "the reader printed";
    EXPECT_FALSE(test::fs::exists(kGridFile)) << "the reader wrote the generator input";
    test::write_text("run.cmd", text);
    s.names.command_file = "run.cmd";
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(read_command_file(s));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(read_generator_input(kGridFile, in), "");
    test::fs::current_path(old);
    EXPECT_EQ(std::tie(f.console, f.problem, f.run, f.sha256),
              std::make_tuple(out, s.names.problem, s.names.run, sha256_hex(text)));
    EXPECT_EQ(f.generator.points.data, in.points.data);
    EXPECT_EQ(f.generator.elem_size, in.elem_size);
    if (parsed) *parsed = f;
    return out;
}

TEST(CommandFile, ReadsNamesBothSectionsAndBothTables) {
    std::string text =
        "# leading comment\nTrack_Name   Steep gully \nRun_Name R1\n"
        "| COMMON GLOBAL PARAMETERS\nGravity 9.8\nBogus 1\n|\n"
        "junk between sections\n| POWDER SNOW GLOBAL PARAMETERS\n"
        "# comment\nAlpha 0.5\nGamma_1 7\nSusp_Rate 2\nElem_Size 12.5\nMax_Dev 0.1\n"
        "| COORDINATES\nignored line\nNumber_of_Points 7\n";
    for (int i = 0; i < 7; ++i)
        text += std::to_string(i) + " " + std::to_string(10 * i) + " " + std::to_string(900 - i) +
                " 1 2\n";
    text += "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i < 7; ++i) text += std::to_string(i) + " " + test::kReleasePoint + "\n";
    ModelState s;
    GeneratorInput in;
    CommandFile f;
    EXPECT_EQ(read(text, s, in, &f),
              "   Track_Name   Steep gully \n   Run_Name R1\n"
              "   match_parameter:  Parameter Bogus not identified; skipping.\n"
              "   read_command_file:  7 input points.\n");
    EXPECT_EQ(f.parameter_reports,
              std::vector<std::string>{
                  "   match_parameter:  Parameter Bogus not identified; skipping.\n"});
    EXPECT_EQ(f.points(), 7);
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
        for (int k = 0; k < 16; ++k)
            EXPECT_EQ(in.points[p][k], k < 4 ? head[k] : local[k - 4]) << p << " " << k;
    }
}

TEST(CommandFile, CrlfCommentsQuotedRowsAndALateCommonSectionReadLikeThePlainFile) {
    const std::string plain = test::command_file(6, "Alpha 0.5\n", test::kReleasePoint);
    std::string text = plain;
    // A quoted row, a comment row, a common section after the powder one (never read), CRLF.
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
        {"Ref_Radius 7\n", ""},                                 // an alias of Max_Dev
        {"Spline_Type Bspline\n", ""},                          // an alias of Grid_Method
        {"Grid_Method abcdefghijklmnopqrstuvwxyz01234\n", ""},  // 31 characters, the most it holds
        {"Grid_Method\n", ""},                                  // no second word: unchanged
        {"Min_Susp_Mass_Flux 9.17\n", ""},  // divided by the particle density in force
        {"grid_method x\n",
         "   match_parameter:  Parameter grid_method not identified; skipping.\n"},
        {"    \n", "   match_parameter:  Parameter  not identified; skipping.\n"},
        {"Region Alps 12\n", "   match_parameter:  QRA file format revision 1.2 detected.\n"},
        {"Return_Period 300\n", ""},
        {"Alpha fast\n",
         "   match_parameter:  WARNING:  No number after Alpha; value left unchanged.\n"},
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
}

// test::command_file(3, ...) with `from` replaced by `to`.
std::string edited(const std::string& from, const std::string& to,
                   const std::string& globals = "Gravity 9.8\n") {
    std::string text = test::command_file(3, globals, test::kReleasePoint);
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(CommandFileReader, RefusalsNameTheLineAndKeepTorlasText) {
    // Lines of the base: 1 Track_Name, 2 Run_Name, 3 powder header, 4 the
    // globals, 5 "| COORDINATES", 6 Number_of_Points, 7-9 coordinates, 10
    // local header, 11-13 local rows, 14 "| END OF FILE".
    const std::string fatal = "   read_command_file:  FATAL ERROR:  ";
    const struct {
        std::string text;
        int line;
        std::string message, printed_end;
    } cases[] = {
        {"", 0, "Command file `t.cmd' ends before its Track_Name line.", ""},
        {edited("Number_of_Points 3", "Number_of_Points 0"), 6,
         "Number_of_Points is 0; at least one input point is needed.", ""},
        {edited("Run_Name Test run", std::string(256, 'r')), 2,
         "Line 2 of command file `t.cmd' is longer than 255 characters.", ""},
        {edited("\n1 10 ", "\n2 10 "), 8,
         "Line number mismatch: row 2 of the coordinate table stands where row 1 is expected.",
         "\n>>> read_command_file:  2  1  FATAL ERROR -- Line number mismatch in grid file. STOP! "
         "<<<\n\n"},
        {edited("\n2 20 990 0 0", "\n2 20 990"), 9,
         "Row 2 of the coordinate table has 2 of 4 numbers.", ""},
        {edited("\n1 0 0.5", "\n1 0 nan"), 12,
         "Number 2 of row 1 of the local-parameter table is not a finite number.", ""},
        {edited("\n2 20 990 0 0\n", "\n"), 9,
         "The coordinate table has 2 rows; Number_of_Points is 3.",
         "   read_command_file:  2 instead of 3 input points. STOP!\n"},
        {edited("| POWDER SNOW LOCAL", "| POWDER SNOW LOCALS"), 14,
         "Command file `t.cmd' ends before the line \"| POWDER SNOW LOCAL PARAMETERS\".", ""},
        {"Track_Name T\nRun_Name R\n| POWDER SNOW GLOBAL PARAMETERS\nGravity 1\n", 4,
         "Command file `t.cmd' ends inside the powder snow global parameters.", ""},
        // An alias names the line it stands on; a sum the last of its keys.
        {edited("Gravity 9.8", "Max_Dev 1\nRef_Radius 1e39\nGravity 9.8"), 5,
         "Parameter Max_Dev is 1e+39; the grid generator takes it as a 32-bit float, at most "
         "3.4e+38.",
         ""},
        {edited("Gravity 9.8", "Conc_Prof_Coeff_1 -40\nGravity 2\nConc_Prof_Coeff_2 1"), 6,
         "Conc_Prof_Coeff_0 + Conc_Prof_Coeff_1 + Conc_Prof_Coeff_2 is -37.6667; the density at "
         "the top of the suspension layer would be negative.",
         ""},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        const CommandFile f = parse_command_file("t.cmd", bytes_of(c.text));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "")
            << c.message << ": the reader printed";
        ASSERT_TRUE(f.refusal) << c.message;
        EXPECT_EQ(f.refusal->line, c.line) << c.message;
        EXPECT_EQ(f.refusal->message, c.message);
        EXPECT_EQ(f.refusal->status, kStatusCommandFile) << c.message;
        const std::string end =
            c.printed_end.empty() ? fatal + c.message + " STOP!\n" : c.printed_end;
        ASSERT_GE(f.console.size(), end.size()) << c.message;
        EXPECT_EQ(f.console.substr(f.console.size() - end.size()), end);
        const std::string where = c.line ? "t.cmd:" + std::to_string(c.line) + ": " : "t.cmd: ";
        EXPECT_EQ(refusal_text(f), where + c.message);
    }
}

TEST(CommandFileReader, TextWithANulIsPrintedAsPrintfPrintsIt) {
    // torla printed these with %s, which ends at a NUL.
    using namespace std::string_literals;
    const std::string text = edited("Track_Name Test track\n", "Track_Name A\0B\n"s,
                                    "Gra\0vity 3\nGrid_Method ab\0cd\n"s);
    const CommandFile f = parse_command_file("t.cmd", bytes_of(text));
    ASSERT_TRUE(f.ok()) << refusal_text(f);
    EXPECT_EQ(f.console.find('\0'), std::string::npos);
    EXPECT_EQ(f.console.rfind("   Track_Name A   Run_Name Test run\n"
                              "   match_parameter:  Parameter Gra not identified; skipping.\n",
                              0),
              0u)
        << f.console;
    EXPECT_EQ(f.problem, std::string("A\0B", 3));
}

}  // namespace
}  // namespace torla
