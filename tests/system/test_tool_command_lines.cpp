// The tools' command lines: --help lists every sub-command (on standard
// output, status 0; a sub-command's help once per tool, as the shared
// parser gives them all). A mistake's message and usage status are cases of
// each tool's refusal table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

struct Case {
    std::string args;  // the program and its arguments
    int status;
    std::vector<std::string> said;  // each on the stream the status calls for
};

// Runs each case twice: its stream must hold every piece, the other none.
void check(const std::vector<Case>& cases) {
    TempDir dir;
    for (const Case& c : cases) {
        const std::string command = test::bin_dir() + "/" + c.args;
        std::string out, err;
        EXPECT_EQ(test::run_in(dir.path(), "{ " + command + " 2>/dev/null; }", out), c.status)
            << c.args;
        EXPECT_EQ(test::run_in(dir.path(), "{ " + command + " >/dev/null; }", err), c.status)
            << c.args;
        const std::string& said = c.status == 0 ? out : err;
        for (const std::string& piece : c.said) {
            EXPECT_NE(said.find(piece), std::string::npos) << c.args << ": " << piece << "\n"
                                                           << said;
            EXPECT_EQ((c.status == 0 ? err : out).find(piece), std::string::npos)
                << c.args << ": " << piece;
        }
    }
}

TEST(ToolCommandLines, HelpListsEverySubCommand) {
    check({
        {"torla-profile --help",
         0,
         {"usage: torla-profile [OPTIONS] DEM PATH", "--release-polygon FILE", "--split-at S"}},
        {"torla-ensemble --help",
         0,
         {"usage: torla-ensemble", "\n  run ", "\n  run-chunk ", "\n  calibrate ", "\n  collect ",
          "\n  status "}},
        {"torla-ensemble run --help",
         0,
         {"usage: torla-ensemble run [OPTIONS] ENSEMBLE", "--max-parallel N", "--no-wait"}},
        {"torla-inspect --help",
         0,
         {"usage: torla-inspect", "\n  summary ", "\n  runout ", "\n  csv ", "\n  at ",
          "\n  score ", "\n  map ", "\n  netcdf "}},
        {"torla-inspect r.res csv --help",
         0,
         {"usage: torla-inspect RESULT csv", "--peaks", "-o FILE"}},
    });
}

}  // namespace
}  // namespace torla
