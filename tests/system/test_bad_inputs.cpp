// The bad-input corpus of tests/bad_inputs/: every case is run end to end
// against the built torla (or knotline) in a fresh directory, and must end
// with its exit status and its messages, without a sanitizer report, without
// touching an earlier result of the same name, and (knotline) without
// changing its input file.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <set>

#include "output/output.h"
#include "test_support.h"

namespace torla {
namespace {

namespace fs = test::fs;

const fs::path kCorpus = fs::path(TORLA_SOURCE_DIR) / "tests" / "bad_inputs";
const char* const kEarlierResult = "result of an earlier run";

struct Case {
    std::string name;
    int status = 0;
    std::vector<std::string> texts;
    int line = 0;  // in cases.txt
};

std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(' ') + 1 - b);
}

// Lines "NAME | STATUS | TEXT [&& TEXT ...]"; blank lines and lines
// starting with '#' are skipped. The texts keep their leading blanks (the
// messages begin with three), less the one blank after the separator.
std::vector<Case> read_cases(std::string& error) {
    std::vector<Case> cases;
    std::istringstream in(test::read_text((kCorpus / "cases.txt").string()));
    std::string line;
    for (int no = 1; std::getline(in, line); ++no) {
        if (line.empty() || line[0] == '#') continue;
        const auto a = line.find(" | ");
        const auto b = a == std::string::npos ? a : line.find(" | ", a + 3);
        if (b == std::string::npos) {
            error = "cases.txt line " + std::to_string(no) + " is not NAME | STATUS | TEXT";
            return {};
        }
        Case c;
        c.line = no;
        c.name = trim(line.substr(0, a));
        c.status = std::stoi(line.substr(a + 3, b - a - 3));
        std::string rest = line.substr(b + 3);
        for (std::size_t p; (p = rest.find(" && ")) != std::string::npos; rest.erase(0, p + 4))
            c.texts.push_back(rest.substr(0, p));
        c.texts.push_back(rest);
        cases.push_back(c);
    }
    return cases;
}

bool has(const std::string& name, const char* ext) {
    return fs::exists(kCorpus / (name + ext));
}

// Runs one case in dir; returns the exit status, out takes the console.
int run_case(const Case& c, const test::TempDir& dir, std::string& out) {
    const std::string bin = test::bin_dir();
    if (has(c.name, ".kin")) {
        fs::copy_file(kCorpus / (c.name + ".kin"), dir.file("torla_grid.tmp"));
        return test::run_in(dir.path(), bin + "/knotline torla_grid.tmp tor-la", out);
    }
    if (has(c.name, ".cmd")) fs::copy_file(kCorpus / (c.name + ".cmd"), dir.file("run.cmd"));
    std::string prefix = bin + "/";
    std::string body;
    if (has(c.name, ".grid")) {
        fs::copy_file(kCorpus / (c.name + ".grid"), dir.file("grid.bin"));
        body = "cp grid.bin \"$1\"";
    }
    if (has(c.name, ".sh")) body = test::read_text((kCorpus / (c.name + ".sh")).string());
    if (!body.empty()) {
        test::write_text(dir.file("stub-knotline"), "#!/bin/sh\n" + body + "\n");
        chmod(dir.file("stub-knotline").c_str(), 0755);
        prefix = dir.file("stub-");
    }
    if (has(c.name, ".info"))
        fs::copy_file(kCorpus / (c.name + ".info"), dir.file("run.info"));
    else
        test::write_text(dir.file("run.info"), "run.cmd\nrun.res\n" + prefix + "\n");
    test::write_text(dir.file("run.res"), kEarlierResult);
    return test::run_in(dir.path(), bin + "/torla run.info", out);
}

TEST(BadInputs, TableAndFilesAgree) {
    std::string error;
    const auto cases = read_cases(error);
    ASSERT_EQ(error, "");
    EXPECT_GE(cases.size(), 40u);
    std::set<std::string> listed;
    for (const auto& c : cases) {
        EXPECT_TRUE(listed.insert(c.name).second) << c.name << " is listed twice";
        EXPECT_TRUE(has(c.name, ".kin") || has(c.name, ".cmd") || has(c.name, ".info"))
            << c.name << " (line " << c.line << ") has no input file";
    }
    // Every input file belongs to a listed case.
    for (const auto& e : fs::directory_iterator(kCorpus)) {
        const std::string ext = e.path().extension();
        if (ext == ".info" || ext == ".cmd" || ext == ".grid" || ext == ".sh" || ext == ".kin") {
            EXPECT_TRUE(listed.count(e.path().stem())) << e.path().filename() << " is in no case";
        }
    }
}

TEST(BadInputs, EveryCaseEndsWithItsMessageAndStatus) {
    std::string error;
    const auto cases = read_cases(error);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(cases.empty());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name + " (cases.txt line " + std::to_string(c.line) + ")");
        test::TempDir dir;
        std::string out;
        const int status = run_case(c, dir, out);
        EXPECT_EQ(status, c.status) << out;
        for (const auto& text : c.texts) {
            EXPECT_NE(out.find(text), std::string::npos) << "missing: " << text << "\n" << out;
        }
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;

        if (has(c.name, ".kin")) {
            // knotline reports on standard error only and keeps its input.
            EXPECT_EQ(out.rfind("   knotline:  ", 0), 0u) << out;
            EXPECT_EQ(test::read_text(dir.file("torla_grid.tmp")),
                      test::read_text((kCorpus / (c.name + ".kin")).string()));
            std::vector<std::string> left;
            for (const auto& e : fs::directory_iterator(dir.path())) left.push_back(e.path().filename());
            EXPECT_EQ(left, std::vector<std::string>{"torla_grid.tmp"});
        } else if (c.status == 0 || c.status == 2 || c.status == 3) {
            // A run that got into its time loop leaves a complete result file:
            // the records so far, the peak table and the patched count.
            ResultData r;
            EXPECT_EQ(read_result_file(dir.file("run.res"), r), "");
            EXPECT_FALSE(r.count_unpatched);
            EXPECT_TRUE(r.has_peak_table());
            EXPECT_FALSE(fs::exists(dir.file("torla_grid.tmp")));
        } else {
            // A run that could never work leaves the earlier result alone.
            EXPECT_EQ(test::read_text(dir.file("run.res")), kEarlierResult);
        }
    }
}

}  // namespace
}  // namespace torla
