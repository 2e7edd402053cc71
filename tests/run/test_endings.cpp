// How runs end and what they leave: stops, the record, warnings, refusals, interruptions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <map>
#include <thread>

#include "input/input.h"
#include "model/sha256.h"
#include "output/result_format.h"
#include "test_support.h"

namespace torla {
namespace {

using test::TempDir;
using json = nlohmann::json;

// n points 40 m apart, `drop` m lower each; points first to last carry a release.
std::string track(int n, const std::string& globals, int first, int last, double drop = 20.0) {
    return test::release_track(n, globals, first, last, 40.0, drop,
                               "0 0.5 0.5 150 1.2 5 30 8 5 3 2 1.2");
}

// What a dump of the record holds in all: on the track, plus what left
// through its end, less what the window's edges changed (kg per metre).
double total(const json& d) {
    const json& m = d["mass_kg_per_m"];
    return m["cover"].get<double>() + m["saltation"].get<double>() + m["suspension"].get<double>() +
           m["outflow"].get<double>() - m["edges"].get<double>();
}

class Endings : public testing::Test {
protected:
    int run(const std::string& cmd_text, const std::string& result = "run.res",
            const std::string& prefix = test::bin_dir() + "/") {
        test::write_text(dir_.file("run.cmd"), cmd_text);
        test::write_text(dir_.file("run.info"), "run.cmd\n" + result + "\n" + prefix + "\n");
        return test::run_in(dir_.path(), "{ " + test::bin_dir() + "/torla run.info 2> err.txt; }",
                            out_);
    }
    std::string err() { return test::read_text(dir_.file("err.txt")); }
    json record(const std::string& result = "run.res") {
        return json::parse(test::read_text(dir_.file(result + ".json")));
    }
    TempDir dir_;
    std::string out_;
};

// A counter-slope the standard scheme cannot take.
TEST_F(Endings, SmallStepStopCompletesTheFilesThenSaysWhatHappenedWithStatus5) {
    const std::string counter =
        test::read_text(std::string(TORLA_SOURCE_DIR) + "/tests/fixtures/counter-slope.cmd");
    ASSERT_EQ(run(counter), kStatusSmallStep) << out_;
    EXPECT_CONTAINS(out_,
                    "Run `Release against a counter-slope' of problem `Counter-slope' finished.");
    EXPECT_CONTAINS(err(), "the time step fell below 0.001 s");
    EXPECT_CONTAINS(err(), "Try `Numerics robust'");
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_TRUE(r.closing_record && r.has_peak_table());
    const json rec = record();
    EXPECT_EQ(rec["exit_status"], kStatusSmallStep);
    EXPECT_EQ(rec["stop_reason"], "small_step");
    EXPECT_EQ(rec["dumps"].size(), r.dumps.size());  // the closing record too
    ASSERT_FALSE(rec["onset"].is_null());
    EXPECT_LT(rec["onset"]["time_s"].get<double>(), rec["simulated_time_s"].get<double>());
    // The peaks before the onset never exceed those of the whole run.
    const auto& before = rec["peaks_before_onset"]["p3"];
    ASSERT_EQ(before.size(), static_cast<std::size_t>(r.n_cells));
    for (int i = 0; i < r.n_cells; ++i)
        EXPECT_LE(static_cast<float>(before[i].get<double>()), r.peak(kRowSuspPressure, i, 0));
}

TEST_F(Endings, RecordOfACompleteRunAgreesWithTheResultFile) {
    ASSERT_EQ(run(track(40, "Max_Time 30\nDump_Interval 3\n", 4, 7)), kStatusComplete) << out_;
    EXPECT_EQ(err(), "");
    const json rec = record();
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_EQ(rec["exit_status"], 0);
    EXPECT_EQ(rec["stop_reason"], "max_time");
    EXPECT_EQ(rec["command_file"]["sha256"], sha256_hex(test::read_text(dir_.file("run.cmd"))));
    EXPECT_EQ(rec["cells"], r.n_cells);
    ASSERT_EQ(rec["dumps"].size(), r.dumps.size());
    EXPECT_TRUE(rec["onset"].is_null() && rec["peaks_before_onset"].is_null());
    // Every dump: its time, and a front where the result file shows flow.
    for (std::size_t d = 0; d < r.dumps.size(); ++d) {
        const json& dj = rec["dumps"][d];
        EXPECT_FLOAT_EQ(dj["time_s"].get<double>(), r.dump_time(d));
        int front = -1;
        for (int i = r.n_cells - 1; i >= 0 && front < 0; --i)
            if (flow_present(r.dump_value(d, kRowSuspPressure, i),
                             r.dump_value(d, kRowSaltDepth, i)))
                front = i;
        EXPECT_EQ(dj["front"].is_null() ? -1 : dj["front"]["cell"].get<int>(), front) << d;
    }
    // The mass balance closes.
    const double start = total(rec["dumps"].front());
    // The cover's mass at the start: depth times density times cell length.
    double cover = 0.0;
    for (int i = 0; i < r.n_cells; ++i)
        cover += static_cast<double>(r.dump_value(0, 0, i)) * r.dump_value(0, 1, i) *
                 r.geometry[i].cell_length;
    EXPECT_NEAR(rec["dumps"][0]["mass_kg_per_m"]["cover"].get<double>(), cover, 1e-5 * cover);
    for (const json& d : rec["dumps"]) EXPECT_NEAR(total(d), start, 2e-5 * start);
    // The flow arrives where its peaks show it, and first in the release.
    const auto& arrival = rec["arrival_time_s"];
    ASSERT_EQ(arrival.size(), static_cast<std::size_t>(r.n_cells));
    int arrived = 0;
    for (int i = 0; i < r.n_cells; ++i) {
        const bool present =
            flow_present(r.peak(kRowSuspPressure, i, 0), r.peak(kRowSaltDepth, i, 0));
        EXPECT_EQ(!arrival[i].is_null(), present) << "cell " << i;
        arrived += present;
    }
    EXPECT_GT(arrived, 10);
    EXPECT_LT(arrival[20].get<double>(), arrival[36].get<double>());
}

// A release in the top cells, which the flow model never simulates (the run
// warns): the window's upstream edge empties them, and the record counts what
// that took (about 0.6 % of the mass here). The balance closes to 1e-3, not to
// the 2e-5 above: with snow in the top two cells the scheme itself loses about
// 6e-4 of the mass over this run.
TEST_F(Endings, TheBalanceCountsTheTopCellEmptiedByTheWindowEdge) {
    ASSERT_EQ(run(track(40, "Max_Time 30\nDump_Interval 3\n", 0, 3)), kStatusComplete) << out_;
    const json rec = record();
    const double start = total(rec["dumps"].front());
    for (const json& d : rec["dumps"]) EXPECT_NEAR(total(d), start, 1e-3 * start) << d["time_s"];
}

TEST_F(Endings, WarningsGoToStandardErrorAndTheRecord) {
    const std::string long_steps =
        test::read_text(std::string(TORLA_SOURCE_DIR) + "/tests/bad_inputs/run-long-steps.cmd");
    std::string capped = long_steps;
    capped.replace(capped.find("Max_Time_Step 10"), 16, "Max_Time_Step 0.2");
    struct Case {
        std::string text, warning;
        bool console;  // also on standard error; a doubtful ending is in the record only
    } cases[] = {
        {track(20, "Max_Time 5\nElem_Size 40\n", 0, 0), "the release lies only in cells 0 to 3",
         true},
        {track(10, "Max_Time 200\nDump_Interval 50\n", 9, 8),
         "no cell has carried flow since t = 0.0 s", true},
        // A fall of 87.7 degrees: unstable at 9 s, yet it reaches Max_Time with status 0.
        {track(20, "Max_Time 10\n", 4, 6, 1000.0),
         "the run reached Max_Time over an onset of instability", false},
        {long_steps,
         "steps up to 0.660 s (at t = 0.660 s) were taken while the flow moved, longer than 0.1 s",
         false},
        // Every step at the cap: the warning names the first of the longest.
        {capped, "steps up to 0.200 s (at t = 0.200 s) were taken", false},
        {test::read_text(std::string(TORLA_SOURCE_DIR) + "/tests/bad_inputs/run-frozen-cells.cmd"),
         "55 cell(s) from cell 1547, below the active window (cells 760--1547) at the end, show "
         "flow in the last dump (h2 2.14124 m, p2 0.000756961 kPa at cell 1547)",
         false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(c.text), kStatusComplete) << out_;
        EXPECT_EQ(err().find("torla: warning: " + c.warning) != std::string::npos, c.console)
            << err();
        const json rec = record();
        int found = 0;
        for (const auto& w : rec["warnings"])
            found += w.get<std::string>().find(c.warning) != std::string::npos;
        EXPECT_EQ(found, 1) << rec["warnings"];
        EXPECT_EQ(out_.find("warning"), std::string::npos);
    }
}

// Files a run must not touch: each refused before anything is written.
TEST_F(Endings, FilesThatAreNotTheRunsOwnAreRefused) {
    const std::string good = track(20, "Max_Time 2\n", 4, 6);
    struct Case {
        std::string setup, result, message;
    } cases[] = {
        {"ln -s target torla_grid.tmp", "run.res",
         "The temporary grid file `torla_grid.tmp' is a symbolic link"},
        {"ln -s nowhere torla_grid.tmp.lock", "run.res",
         "The grid lock `torla_grid.tmp.lock' is a symbolic link"},
        {"ln -s nowhere run.res.lock", "run.res",
         "The result lock `run.res.lock' is a symbolic link"},
        {"", "run.cmd",
         "The command file `run.cmd' and the result file `run.cmd' are the same file"},
        {"ln run.cmd hard.res", "hard.res",
         "The command file `run.cmd' and the result file `hard.res' are the same file"},
        {"", "torla_grid.tmp",
         "The result file `torla_grid.tmp' and the temporary grid file `torla_grid.tmp' are the "
         "same file"},
        {"", "run.info",
         "The information file `run.info' and the result file `run.info' are the same file"},
        {"mkdir out.res", "out.res", "The result file `out.res' exists and is not a regular file."},
    };
    for (const Case& c : cases) {
        test::write_text(dir_.file("run.cmd"), good);
        if (!c.setup.empty()) {
            ASSERT_EQ(std::system(("cd '" + dir_.path().string() + "' && " + c.setup).c_str()), 0);
        }
        EXPECT_EQ(run(good, c.result), kStatusFailure) << c.setup;
        EXPECT_CONTAINS(out_, "   main:  FATAL ERROR:  " + c.message);
        EXPECT_EQ(test::read_text(dir_.file("run.cmd")), good) << c.setup;
        for (const char* f : {"target", "nowhere", "run.plg"})
            EXPECT_FALSE(test::fs::exists(dir_.file(f))) << f;
        for (const char* f :
             {"torla_grid.tmp", "torla_grid.tmp.lock", "run.res.lock", "hard.res", "out.res"})
            std::system(("rm -rf '" + dir_.file(f) + "'").c_str());
    }
    // A command file a log would overwrite. (Inputs that are no files are corpus cases.)
    test::write_text(dir_.file("run.plg"), good);
    test::write_text(dir_.file("run.info"), "run.plg\nrun.res\n" + test::bin_dir() + "/\n");
    EXPECT_EQ(test::run_in(dir_.path(), test::bin_dir() + "/torla run.info", out_), kStatusFailure);
    EXPECT_CONTAINS(out_,
                    "The command file `run.plg' and the log file `run.plg' are the same file");
    EXPECT_EQ(test::read_text(dir_.file("run.plg")), good);
}

// A failed rerun leaves the earlier run's files as they were, its own beside.
TEST_F(Endings, AFailedRerunLeavesTheEarlierRunsFilesAsTheyWere) {
    struct Case {
        std::string globals, wrapper, message;
    } cases[] = {
        {"Elem_Size 0\n", "", "FATAL ERROR:  Grid generator"},
        // A file size limit stops the result file in the middle of the run.
        {"Max_Time 600\n", "trap '' XFSZ; ulimit -f 24;",
         "write_dump:  FATAL ERROR:  Result file `run.res': cannot write run.res:"},
    };
    ASSERT_EQ(run(track(20, "Max_Time 5\n", 4, 6)), kStatusComplete);
    const char* const kept[] = {"run.res", "run.plg", "run.res.json"};
    std::map<std::string, std::string> earlier;
    for (const char* f : kept) earlier[f] = test::read_text(dir_.file(f));
    for (const Case& c : cases) {
        test::write_text(dir_.file("run.cmd"), track(20, c.globals, 4, 6));
        EXPECT_EQ(test::run_in(dir_.path(),
                               "{ " + c.wrapper + test::bin_dir() + "/torla run.info 2> err.txt; }",
                               out_),
                  kStatusFailure);
        EXPECT_CONTAINS(out_, c.message);
        for (const char* f : kept) EXPECT_EQ(test::read_text(dir_.file(f)), earlier[f]) << f;
        EXPECT_CONTAINS(err(), "this run's log is `run.plg.failed'");
        EXPECT_CONTAINS(record("run.res.failed")["message"].get<std::string>(), c.message);
        EXPECT_TRUE(test::fs::exists(dir_.file("run.plg.failed")) &&
                    !test::fs::exists(dir_.file("run.res.part")));
    }
    // Killed in its time loop: the earlier files stand, its own .part reads as unfinished.
    test::write_text(dir_.file("run.cmd"), track(20, "Max_Time 1e9\nDump_Interval 1e6\n", 9, 8));
    EXPECT_EQ(test::run_in(dir_.path(),
                           "timeout -s KILL 0.5 " + test::bin_dir() + "/torla run.info", out_),
              128 + SIGKILL);
    for (const char* f : kept) EXPECT_EQ(test::read_text(dir_.file(f)), earlier[f]) << f;
    ResultData part;
    ASSERT_EQ(read_result_file(dir_.file("run.res.part"), part), "");
    EXPECT_TRUE(part.count_unpatched);
    // The next run takes the names; a run killed while starting its generator leaves the lock
    // with the generator until its exec, so wait for it as a user would.
    const int lock = ::open(dir_.file("run.res.lock").c_str(), O_RDWR | O_CLOEXEC);
    for (int k = 0; lock >= 0 && k < 200 && ::flock(lock, LOCK_EX | LOCK_NB) != 0; ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (lock >= 0) ::close(lock);
    ASSERT_EQ(run(track(20, "Max_Time 3\n", 4, 6)), kStatusComplete) << out_ << err();
    EXPECT_NE(test::read_text(dir_.file("run.res")), earlier["run.res"]);
    EXPECT_EQ(record()["message"], nullptr);
}

TEST_F(Endings, ASecondRunOnTheSameResultRefusesAtOnce) {
    test::write_text(dir_.file("run.res"), "earlier result");
    const int fd = ::open(dir_.file("run.res.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // as a running torla holds it
    EXPECT_EQ(run(track(20, "Max_Time 2\n", 4, 6)), kStatusFailure);
    EXPECT_CONTAINS(
        out_, "Result file `run.res' is being written by another run (it holds run.res.lock)");
    EXPECT_EQ(test::read_text(dir_.file("run.res")), "earlier result");
    ::close(fd);
    EXPECT_EQ(run(track(20, "Max_Time 2\n", 4, 6)), kStatusComplete);
}

// Interrupted while the generator runs, and in the time loop.
TEST_F(Endings, AnInterruptedRunStopsItsGeneratorAndLeavesAnUnfinishedResult) {
    test::write_text(dir_.file("slow-knotline"), "#!/bin/sh\nsleep 1\ntouch late\n");
    chmod(dir_.file("slow-knotline").c_str(), 0755);
    // An information file named after the folder, so pkill signals this run alone.
    const std::string info = dir_.path().filename().string() + ".info";
    // The exit status of a run sent the signal after the delay.
    const auto interrupted = [&](const std::string& cmd, const std::string& prefix, int ms,
                                 const std::string& sig) {
        test::write_text(dir_.file("run.cmd"), cmd);
        test::write_text(dir_.file(info), "run.cmd\nrun.res\n" + prefix + "\n");
        std::thread killer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            std::system(("pkill -" + sig + " -f 'torla " + info + "'").c_str());
        });
        const int status = test::run_in(dir_.path(), test::bin_dir() + "/torla " + info, out_);
        killer.join();
        return status;
    };
    EXPECT_EQ(interrupted(track(20, "Max_Time 2\n", 4, 6), dir_.file("slow-"), 300, "TERM"),
              128 + SIGTERM);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_FALSE(test::fs::exists(dir_.file("late"))) << "the generator outlived the run";
    EXPECT_FALSE(test::fs::exists(dir_.file("torla_grid.tmp")));
    EXPECT_EQ(record()["stop_reason"], "interrupted");
    // A quiet track run for a long time, interrupted in its time loop.
    EXPECT_EQ(interrupted(track(20, "Max_Time 1e9\nDump_Interval 1e6\n", 9, 8),
                          test::bin_dir() + "/", 400, "INT"),
              128 + SIGINT);
    ResultData r;
    ASSERT_EQ(read_result_file(dir_.file("run.res"), r), "");
    EXPECT_TRUE(r.count_unpatched);
    EXPECT_EQ(record()["exit_status"], 128 + SIGINT);
}

}  // namespace
}  // namespace torla
