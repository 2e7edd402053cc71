// The tools' command lines: --help lists every sub-command (on standard
// output, status 0; a sub-command's help once per tool, as the shared
// parser gives them all), and a mistake names the option, the value or the
// sub-command on standard error with the usage status 2.
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

TEST(ToolCommandLines, MistakesNameWhatIsWrongWithTheUsageStatus) {
    check({
        {"torla-profile d.tif p.geojson -o x.cmd --colour red",
         2,
         {"torla-profile: unknown option `--colour'", "usage: torla-profile"}},
        {"torla-profile d.tif p.geojson -o x.cmd --smooth -1",
         2,
         {"--smooth: `-1' is not a value it takes"}},
        {"torla-profile d.tif p.geojson q.geojson -o x.cmd",
         2,
         {"unexpected argument `q.geojson'"}},
        {"torla-profile d.tif", 2, {"PATH is required"}},
        {"torla-profile d.tif p.geojson", 2, {"-o FILE.cmd is needed"}},
        {"torla-ensemble",
         2,
         {"a sub-command is needed: run, calibrate, collect or status", "usage: torla-ensemble"}},
        {"torla-ensemble frobnicate x", 2, {"unknown sub-command `frobnicate'"}},
        {"torla-ensemble run e.toml -o e --frobnicate",
         2,
         {"unknown option `--frobnicate' of run", "usage: torla-ensemble run"}},
        {"torla-ensemble run e.toml -o e --chunk 1000001",
         2,
         {"--chunk: `1000001' is not a whole number from 1 to 1000000"}},
        {"torla-ensemble run e.toml -o e --engine cloud",
         2,
         {"--engine: `cloud' is not local or slurm"}},
        {"torla-ensemble run e.toml", 2, {"run needs -o DIR"}},
        {"torla-ensemble collect", 2, {"DIR is required", "usage: torla-ensemble collect"}},
        {"torla-ensemble run-chunk d -1 2", 2, {"FIRST: `-1' is not a whole number of 0 or more"}},
        {"torla-inspect",
         2,
         {"a result file and a sub-command are needed", "usage: torla-inspect"}},
        {"torla-inspect r.res csv --json",
         2,
         {"unknown option `--json' of csv", "usage: torla-inspect RESULT csv"}},
        {"torla-inspect r.res csv --depth-threshold nan",
         2,
         {"--depth-threshold: `nan' is not a number of 0"}},
        {"torla-inspect r.res csv --peaks --front",
         2,
         {"--peaks and --front are two exports: choose one"}},
        {"torla-inspect r.res runout --zones", 2, {"--zones needs a value"}},
        {"torla-inspect r.res at --s 1 --s 2x", 2, {"--s: `2x' is not a number"}},
        {"torla-inspect x/exceedance.csv map -o m.txt",
         2,
         {"map needs -o FILE.gpkg or -o FILE.geojson"}},
    });
}

}  // namespace
}  // namespace torla
