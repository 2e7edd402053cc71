// The command-file writer: files written back unchanged, and the tools' edits.
#include <gtest/gtest.h>

#include "input/command_writer.h"
#include "test_support.h"

namespace torla {
namespace {

CommandFile read_text(const std::string& text) {
    return parse_command_file("t.cmd", std::vector<unsigned char>(text.begin(), text.end()));
}

std::string crlf(const std::string& text) {
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

TEST(CommandWriter, WritesBackWhatItReadByteForByte) {
    const std::string plain =
        "# note\n\n" + test::command_file(3, "Alpha 0.5\n# c\n", test::kReleasePoint);
    std::string quoted = plain;
    quoted.replace(quoted.find("1 10 995 0 0\n"), 13, "  \"1 10 995 0 0\"  \n# row comment\n");
    const std::string no_end = plain.substr(0, plain.size() - 1);  // no line feed at the end
    std::string mixed = plain;
    mixed.replace(mixed.find("Alpha 0.5\n"), 10, "Alpha 0.5\r\n");
    for (const std::string& text : {plain, quoted, no_end, crlf(plain), mixed}) {
        const CommandFile f = read_text(text);
        ASSERT_TRUE(f.ok()) << refusal_text(f);
        EXPECT_EQ(CommandDocument(f).text(), text);
    }
}

TEST(CommandWriter, KeysEndTheSectionTorlaReadsAndColumnsScaleInEveryLocalRow) {
    const std::string text = crlf("| POWDER SNOW GLOBAL PARAMETERS\n| early\n" +
                                  test::command_file(2, "Alpha 0.5\n", test::kReleasePoint));
    const CommandFile f = read_text(text);
    ASSERT_TRUE(f.ok()) << refusal_text(f);
    CommandDocument doc(f);
    doc.set_parameter("Alpha", "0.7");
    doc.set_parameter("Numerics", "robust");
    doc.scale_local_column(3, 2.0, [](double v) { return std::to_string(static_cast<int>(v)); });
    // The first column (word 1 of a row, after the index) scales as well.
    doc.scale_local_column(0, 2.0, [](double v) { return std::to_string(v).substr(0, 3); });
    // A column beyond the row's twelve numbers scales nothing.
    doc.scale_local_column(12, 2.0, [](double) { return std::string("x"); });
    const std::string out = doc.text();
    EXPECT_EQ(
        out.substr(0, out.find("| COORDINATES")),
        crlf("| POWDER SNOW GLOBAL PARAMETERS\n| early\nTrack_Name Test track\nRun_Name Test run\n"
             "| POWDER SNOW GLOBAL PARAMETERS\nAlpha 0.5\nAlpha 0.7\nNumerics robust\n"));
    EXPECT_CONTAINS(out,
                    crlf("| POWDER SNOW LOCAL PARAMETERS\n0 0.0 0.5 0.5 300 1 5 20 5 5 2 1 0.5\n"
                         "1 0.0 0.5 0.5 300 1 5 20 5 5 2 1 0.5\n| END OF FILE\n"));
    const CommandFile back = read_text(out);
    ASSERT_TRUE(back.ok()) << refusal_text(back);
    EXPECT_EQ(back.par.Alpha, 0.7);
    EXPECT_EQ(back.par.Numerics, "robust");
    EXPECT_EQ(back.generator.points[1][7], 300.0f);
}

}  // namespace
}  // namespace torla
