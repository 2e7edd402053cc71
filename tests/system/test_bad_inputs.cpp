// The bad-input corpus (tests/bad_inputs/cases.txt), every case run end to end.
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
const char* const kExtensions[] = {".info", ".cmd", ".grid", ".sh", ".kin", ".args"};

struct Case {
    std::string name;
    int status = 0;
    std::vector<std::string> texts;
};

// Lines "NAME | STATUS | TEXT [&& TEXT ...]", but blank and '#' lines; texts keep leading blanks.
std::vector<Case> read_cases() {
    std::vector<Case> cases;
    std::istringstream in(test::read_text((kCorpus / "cases.txt").string()));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        const auto a = line.find(" | "), b = line.find(" | ", a + 3);
        EXPECT_NE(b, std::string::npos) << line << ": not NAME | STATUS | TEXT";
        if (b == std::string::npos) continue;
        Case c{line.substr(0, a), std::stoi(line.substr(a + 3, b - a - 3)), {}};
        std::string rest = line.substr(b + 3);
        for (std::size_t p; (p = rest.find(" && ")) != std::string::npos; rest.erase(0, p + 4))
            c.texts.push_back(rest.substr(0, p));
        c.texts.push_back(rest);
        cases.push_back(c);
    }
    return cases;
}

bool has(const std::string& name, const char* ext) { return fs::exists(kCorpus / (name + ext)); }
std::string corpus_text(const std::string& name, const char* ext) {
    return test::read_text((kCorpus / (name + ext)).string());
}

// Runs one case in dir; returns the exit status, out takes the console.
int run_case(const Case& c, const test::TempDir& dir, std::string& out) {
    const std::string bin = test::bin_dir();
    if (has(c.name, ".kin")) {
        fs::copy_file(kCorpus / (c.name + ".kin"), dir.file(kGridFile));
        return test::run_in(dir.path(), bin + "/knotline torla_grid.tmp tor-la", out);
    }
    if (has(c.name, ".cmd")) fs::copy_file(kCorpus / (c.name + ".cmd"), dir.file("run.cmd"));
    std::string prefix = bin + "/";
    if (has(c.name, ".grid")) {
        fs::copy_file(kCorpus / (c.name + ".grid"), dir.file("grid.bin"));
        prefix = test::stub_generator(dir, "cp grid.bin \"$1\"");
    }
    if (has(c.name, ".sh")) prefix = test::stub_generator(dir, corpus_text(c.name, ".sh"));
    test::write_text(dir.file("run.info"), has(c.name, ".info")
                                               ? corpus_text(c.name, ".info")
                                               : "run.cmd\nrun.res\n" + prefix + "\n");
    test::write_text(dir.file("run.res"), kEarlierResult);
    const std::string args = has(c.name, ".args") ? corpus_text(c.name, ".args") : "run.info";
    return test::run_in(dir.path(), bin + "/torla " + args, out);
}

TEST(BadInputs, EveryCaseEndsWithItsMessageAndStatus) {
    const auto cases = read_cases();
    EXPECT_GE(cases.size(), 100u);
    std::set<std::string> listed;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(listed.insert(c.name).second) << "listed twice";
        EXPECT_TRUE(has(c.name, ".kin") || has(c.name, ".cmd") || has(c.name, ".info") ||
                    has(c.name, ".args"))
            << "no input file";
        test::TempDir dir;
        std::string out;
        EXPECT_EQ(run_case(c, dir, out), c.status) << out;
        for (const auto& text : c.texts) EXPECT_CONTAINS(out, text) << "missing: " << text;
        EXPECT_EQ(out.find("runtime error"), std::string::npos) << out;
        EXPECT_EQ(out.find("Sanitizer"), std::string::npos) << out;

        if (has(c.name, ".kin")) {
            // knotline reports on standard error only and keeps its input.
            EXPECT_EQ(out.rfind("   knotline:  ", 0), 0u) << out;
            EXPECT_EQ(test::read_text(dir.file(kGridFile)), corpus_text(c.name, ".kin"));
            EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()),
                      1);
        } else if (c.status == 0 || c.status == 2 || c.status == 3 ||
                   c.status == kStatusSmallStep) {
            // Into its time loop: a complete result, no grid file, the log ending as the console.
            ResultData r;
            EXPECT_EQ(read_result_file(dir.file("run.res"), r), "");
            EXPECT_FALSE(r.count_unpatched);
            EXPECT_TRUE(r.has_peak_table());
            EXPECT_FALSE(fs::exists(dir.file(kGridFile)));
            const std::string log = test::read_text(dir.file("run.plg")),
                              last = c.texts.back() + "\n\n";
            EXPECT_EQ(log.substr(log.size() - std::min(log.size(), last.size())), last);
        } else {
            // A run that could never work leaves the earlier result alone.
            EXPECT_EQ(test::read_text(dir.file("run.res")), kEarlierResult);
            // No unfinished result; with a log, a record with the message.
            EXPECT_FALSE(fs::exists(dir.file("run.res.part")));
            if (fs::exists(dir.file("run.plg.failed"))) {
                const std::string record = test::read_text(dir.file("run.res.failed.json"));
                EXPECT_CONTAINS(record, "\"message\": \"   ");
            }
            if (c.status == kStatusCommandFile) {
                EXPECT_FALSE(fs::exists(dir.file(kGridFile)));
            }
        }
    }
    // Every input file belongs to a listed case.
    for (const auto& e : fs::directory_iterator(kCorpus))
        for (const char* ext : kExtensions)
            if (e.path().extension() == ext) {
                EXPECT_TRUE(listed.count(e.path().stem())) << e.path();
            }
}

}  // namespace
}  // namespace torla
