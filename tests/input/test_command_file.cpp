// The command-file reader: names, both global sections, the two tables, the
// generator input file it writes, and every way a command file can be bad.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "input/input.h"
#include "model/bytes.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

// Runs read_command_file on the given text inside a temporary directory.
class CommandFile : public testing::Test {
protected:
    void SetUp() override {
        old_ = test::fs::current_path();
        test::fs::current_path(dir_.path());
    }
    void TearDown() override { test::fs::current_path(old_); }

    // Returns the reader's result, or 1000 + exit status when it stopped the run.
    int read(const std::string& text) {
        test::write_text("run.cmd", text);
        s_ = std::make_unique<ModelState>();
        s_->names.command_file = "run.cmd";
        testing::internal::CaptureStdout();
        int result;
        try {
            result = read_command_file(*s_);
        } catch (const RunStop& stop) {
            result = 1000 + stop.status;
        }
        out_ = testing::internal::GetCapturedStdout();
        return result;
    }
    GeneratorInput generator_input() {
        GeneratorInput in;
        EXPECT_EQ(read_generator_input(kGridFile, in), "");
        return in;
    }

    TempDir dir_;
    test::fs::path old_;
    std::unique_ptr<ModelState> s_ = std::make_unique<ModelState>();
    std::string out_;
};

const char* kLocals = "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5";

TEST_F(CommandFile, ReadsNamesParametersAndEchoesInOrder) {
    std::string text = "# leading comment\nTrack_Name   Steep gully \nRun_Name R1\n"
                       "| COMMON GLOBAL PARAMETERS\nGravity 9.8\nBogus 1\n|\n"
                       "junk between sections\n| POWDER SNOW GLOBAL PARAMETERS\n"
                       "# comment\nAlpha 0.5\nGamma_1 7\n| COORDINATES\nignored line\n"
                       "Number_of_Points 6\n";
    for (int i = 0; i < 6; ++i) text += std::to_string(i) + " " + std::to_string(10 * i) + " 0 1 2\n";
    text += "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i < 6; ++i) text += std::to_string(i) + " " + kLocals + "\n";
    ASSERT_EQ(read(text), 6);
    EXPECT_EQ(out_,
              "   Track_Name   Steep gully \n   Run_Name R1\n"
              "   match_parameter:  Parameter Bogus not identified; skipping.\n"
              "   read_command_file:  6 input points.\n");
    EXPECT_EQ(s_->names.problem, "Steep gully ");
    EXPECT_EQ(s_->names.run, "R1");
    EXPECT_EQ(s_->par.Gravity, 9.8);
    EXPECT_EQ(s_->par.Alpha, 0.5);
    // Gamma_1 and Gamma_2 follow the profile coefficients whatever the file says.
    EXPECT_EQ(s_->par.Gamma_1, static_cast<double>(1.4f));
    EXPECT_EQ(s_->par.Gamma_2, static_cast<double>(1.3333f));
    EXPECT_DOUBLE_EQ(s_->constants.rho_diff, 916.0);
    EXPECT_DOUBLE_EQ(s_->constants.min_susp_mass, 0.1 * (1.0 + 1e-6 * 917.0));
}

TEST_F(CommandFile, CommonSectionAfterThePowderSectionIsNeverRead) {
    std::string text = test::command_file(6, "Alpha 0.5\n", kLocals);
    text.replace(text.find("| COORDINATES"), 0, "| COMMON GLOBAL PARAMETERS\nAlpha 0.9\n");
    ASSERT_EQ(read(text), 6);
    EXPECT_EQ(s_->par.Alpha, 0.5);
}

TEST_F(CommandFile, GeneratorInputHoldsEveryPointWithTheSuspensionPlaceScaled) {
    ASSERT_EQ(read(test::command_file(7, "Susp_Rate 2\nElem_Size 12.5\nMax_Dev 0.1\n", kLocals)), 7);
    std::vector<unsigned char> bytes;
    ASSERT_EQ(read_file_bytes(kGridFile, bytes), "");
    ASSERT_EQ(bytes.size(), 10u + 64u * 7u);
    int16_t n;
    std::memcpy(&n, bytes.data() + 8, 2);
    EXPECT_EQ(n, 7);
    GeneratorInput in = generator_input();
    EXPECT_EQ(in.elem_size, 12.5f);
    EXPECT_EQ(in.max_dev, 0.1f);
    const float expected[12] = {0, 0.5f, 0.5f, 150, 1, 5, 40, 5, 5, 2, 1, 0.5f};
    for (int p = 0; p < 7; ++p) {
        EXPECT_EQ(in.points[p][0], 10.0f * p);
        EXPECT_EQ(in.points[p][1], 1000.0f - 5.0f * p);
        for (int k = 0; k < 12; ++k) EXPECT_EQ(in.points[p][4 + k], expected[k]) << p << " " << k;
    }
}

TEST_F(CommandFile, CrlfCommentsAndQuotedRowsReadLikeThePlainFile) {
    ASSERT_EQ(read(test::command_file(6, "Alpha 0.5\n", kLocals)), 6);
    std::vector<unsigned char> plain;
    ASSERT_EQ(read_file_bytes(kGridFile, plain), "");
    const std::string plain_out = out_;

    std::string text = test::command_file(6, "Alpha 0.5\n", kLocals);
    // Quote a coordinate row, add a comment row, and switch to CRLF line ends.
    text.replace(text.find("2 20 990 0 0\n"), 13, "\"2 20 990 0 0\"  \n# a comment row\n");
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    ASSERT_EQ(read(crlf), 6) << out_;
    std::vector<unsigned char> other;
    ASSERT_EQ(read_file_bytes(kGridFile, other), "");
    EXPECT_EQ(other, plain);
    EXPECT_EQ(out_, plain_out);
    EXPECT_EQ(s_->par.Alpha, 0.5);
    EXPECT_EQ(s_->names.run, "Test run");
}

TEST_F(CommandFile, TablesWithTheWrongRowCountStop) {
    std::string text = test::command_file(8, "", kLocals);
    // Two local rows fewer than announced.
    std::string shorter = text;
    for (int k = 0; k < 2; ++k) {
        auto end = shorter.rfind("| END OF FILE");
        auto prev = shorter.rfind('\n', end - 2);
        shorter.erase(prev + 1, end - prev - 1);
    }
    EXPECT_EQ(read(shorter), 1000 + kStatusCommandFile);
    EXPECT_NE(out_.find("   read_command_file:  6 instead of 8 input points. STOP!\n"), std::string::npos);
    EXPECT_FALSE(test::fs::exists(kGridFile));

    // One coordinate row too many (correctly numbered) is counted, not stored.
    std::string longer = text;
    longer.replace(longer.find("| POWDER SNOW LOCAL"), 0, "8 80 960 0 0\n");
    EXPECT_EQ(read(longer), 1000 + kStatusCommandFile);
    EXPECT_NE(out_.find("   read_command_file:  9 instead of 8 input points. STOP!\n"), std::string::npos);
}

// Bad command files: the text, the message the run ends with, the status.
TEST_F(CommandFile, BadFilesStopWithAMessageAndStatus) {
    const std::string good = test::command_file(6, "", kLocals);
    auto edit = [&](const std::string& from, const std::string& to) {
        std::string t = good;
        t.replace(t.find(from), from.size(), to);
        return t;
    };
    struct Case {
        std::string text;
        std::string message;
        int status;
    } cases[] = {
        {edit("0 0 1000 0 0\n", "1 0 1000 0 0\n"),
         "\n>>> read_command_file:  1  0  FATAL ERROR -- Line number mismatch in grid file. STOP! <<<\n\n", 4},
        {edit("3 30 985 0 0\n", "\n"),
         "\n>>> read_command_file:  -1  3  FATAL ERROR -- Line number mismatch in grid file. STOP! <<<\n\n", 4},
        {edit("3 30 985 0 0\n", "  # indented comment\n"),
         "\n>>> read_command_file:  -1  3  FATAL ERROR -- Line number mismatch in grid file. STOP! <<<\n\n", 4},
        {edit("3 30 985 0 0\n", "3 30 985\n"),
         "   read_command_file:  FATAL ERROR:  Row 3 of the coordinate table has 2 of 4 numbers. STOP!\n", 4},
        {edit("3 30 985 0 0\n", "3 30 nan 0 0\n"),
         "   read_command_file:  FATAL ERROR:  Number 2 of row 3 of the coordinate table is not a finite number. STOP!\n", 4},
        {edit("Number_of_Points 6", "Number_of_Points 0"),
         "   read_command_file:  FATAL ERROR:  Number_of_Points is 0; at least one input point is needed. STOP!\n", 4},
        {edit("Number_of_Points 6", "Number_of_Points 40000"),
         "   read_command_file:  FATAL ERROR:  Number_of_Points 40000 exceeds 32767. STOP!\n", 4},
        {edit("Number_of_Points 6", "Number_of_Points"),
         "   read_command_file:  FATAL ERROR:  No number of points after Number_of_Points. STOP!\n", 4},
        {edit("Track_Name", "Track-Name"),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends before its Track_Name line. STOP!\n", 4},
        {edit("| POWDER SNOW GLOBAL PARAMETERS\n", "| POWDER SNOW GLOBAL PARAMETERS \n"),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends before the line \"| POWDER SNOW GLOBAL PARAMETERS\". STOP!\n", 4},
        {good.substr(0, good.find("| COORDINATES")),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends inside the powder snow global parameters. STOP!\n", 4},
        {good.substr(0, good.find("4 40 980")),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends inside the coordinate table. STOP!\n", 4},
        {edit("| POWDER SNOW LOCAL PARAMETERS\n", "| LOCAL\n"),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends before the line \"| POWDER SNOW LOCAL PARAMETERS\". STOP!\n", 4},
        {edit("Run_Name Test run", "Run_Name " + std::string(300, 'r')),
         "   read_command_file:  FATAL ERROR:  Line 2 of command file `run.cmd' is longer than 255 characters. STOP!\n", 4},
        {std::string("\x7f\x45\x4c\x46\x00\x01\x02\xff\xfe", 9),
         "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends before its Track_Name line. STOP!\n", 4},
        {"", "   read_command_file:  FATAL ERROR:  Command file `run.cmd' ends before its Track_Name line. STOP!\n", 4},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.text), 1000 + c.status) << c.message;
        EXPECT_NE(out_.find(c.message), std::string::npos) << out_;
        EXPECT_FALSE(test::fs::exists(kGridFile));
    }
    s_ = std::make_unique<ModelState>();
    s_->names.command_file = "missing.cmd";
    testing::internal::CaptureStdout();
    EXPECT_THROW(read_command_file(*s_), RunStop);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "   read_command_file:  FATAL ERROR:  Could not open command file `missing.cmd'. STOP!\n");
}

}  // namespace
}  // namespace torla
