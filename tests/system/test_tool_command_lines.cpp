// --help on standard output lists every sub-command (mistakes: each tool's refusal table).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;

TEST(ToolCommandLines, HelpListsEverySubCommand) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"torla-profile --help",
         {"usage: torla-profile [OPTIONS] DEM PATH", "--release-polygon FILE", "--split-at S"}},
        {"torla-ensemble --help",
         {"usage: torla-ensemble", "\n  run ", "\n  run-chunk ", "\n  calibrate ", "\n  collect ",
          "\n  status "}},
        {"torla-ensemble run --help",
         {"usage: torla-ensemble run [OPTIONS] ENSEMBLE", "--max-parallel N", "--no-wait"}},
        {"torla-inspect --help",
         {"usage: torla-inspect", "\n  summary ", "\n  runout ", "\n  csv ", "\n  at ",
          "\n  score ", "\n  map ", "\n  netcdf "}},
        {"torla-inspect r.res csv --help",
         {"usage: torla-inspect RESULT csv", "--peaks", "-o FILE"}},
    };
    TempDir dir;
    for (const auto& [args, pieces] : cases) {
        const std::string command = test::bin_dir() + "/" + args;
        std::string out, err;
        EXPECT_EQ(test::run_in(dir.path(), "{ " + command + " 2>/dev/null; }", out), 0) << args;
        EXPECT_EQ(test::run_in(dir.path(), "{ " + command + " >/dev/null; }", err), 0) << args;
        for (const std::string& piece : pieces) {
            EXPECT_CONTAINS(out, piece) << args << ": " << piece;
            EXPECT_EQ(err.find(piece), std::string::npos) << args << ": " << piece;
        }
    }
}

}  // namespace
}  // namespace torla
