// The result-file reader on files cut short, and torla-inspect's guards.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>

#include <unistd.h>

#include "inspect/exports.h"
#include "inspect/inspect.h"
#include "output/heights_format.h"
#include "output/result_format.h"
#include "result_bytes.h"

namespace torla {
namespace {

using test::TempDir;

using test::ResultBytes;

// n cells at map coordinates; peaks all different (none a time), or none
// and the count the placeholder n, as a run killed before its end leaves it.
ResultBytes slope(int cells, int dumps, bool with_peaks = true) {
    ResultBytes b(cells, dumps);
    b.problem = "Slope";
    b.run = "R1";
    for (int i = 0; i < cells; ++i)
        b.geometry[6 * i + 1] = 1000.0f + i, b.geometry[6 * i + 5] = 2000.0f - i;
    for (std::size_t k = 0; k < b.peaks.size(); ++k) b.peaks[k] = 0.37f + 0.01f * k;
    if (!with_peaks) b.peaks.clear(), b.count = cells;
    return b;
}

int inspect(const TempDir& dir, const std::string& args, std::string& out) {
    return test::run_in(dir.path(), test::bin_dir() + "/torla-inspect " + args, out);
}

ResultBytes changed(ResultBytes b, const std::function<void(ResultBytes&)>& change) {
    change(b);
    return b;
}

// Unfinished runs, files cut short (the whole records before the cut are
// kept, the bytes after them counted) and files no run or cut leaves.
TEST(ResultReader, UnfinishedCutAndInconsistentFiles) {
    TempDir dir;
    ResultData r;
    const std::string whole = ResultBytes(4, 2).bytes();  // names "Avalanche path", "R7"
    for (const auto& [size, refusal] : {std::pair<std::size_t, const char*>{0, "short"},
                                        {19, "names"},
                                        {56 + 16 + 24 * 4 - 1, "geometry"}}) {
        test::write_text(dir.file("cut.res"), whole.substr(0, size));
        EXPECT_CONTAINS(read_result_file(dir.file("cut.res"), r), refusal) << size;
    }
    const std::size_t record = 48 * 5, peaks = 192 * 4;
    const auto count = [](int n) { return [n](ResultBytes& b) { b.count = n; }; };
    struct Case {
        const char* what;
        ResultBytes file;
        std::size_t cut;      // bytes taken off the end
        std::string refusal;  // a piece of it; "" read
        std::size_t records = 0;
        bool cut_short = false;
        uint64_t ignored = 0;
        bool unpatched = false, closing = false, peaks = false;
    };
    const Case cases[] = {
        {"whole", slope(4, 2), 0, "", 2, false, 0, false, false, true},
        {"never dumped", slope(4, 0), 0, "", 0, false, 0, false, false, true},
        {"a track of one cell", slope(1, 2), 0, "", 2, false, 0, false, false, true},
        {"a track of no cells", slope(0, 1), 0, "cell count 0"},
        {"count unpatched, peak table written", changed(slope(4, 2), count(4)), 0, "", 2, false, 0,
         true, false, true},
        {"killed: count n, no peak table", slope(4, 3, false), 0, "", 3, false, 0, true, false,
         false},
        {"patched count without peak table: cut after the records",
         changed(slope(4, 3, false), count(3)), 0, "", 3, true, 0, false, false, false},
        {"small-step stop: a closing record beyond the count", changed(slope(4, 3), count(2)), 0,
         "", 3, false, 0, false, true, true},
        {"killed inside the fourth record", slope(4, 4, false), record - 100, "", 3, true, 100,
         true, false, false},
        {"killed inside the first record", slope(4, 1, false), 1, "", 0, true, record - 1, true,
         false, false},
        {"killed in a peak table of zeros: no records at t = 0 made of it",
         changed(ResultBytes(4, 1), count(4)), 1, "", 1, true, peaks - 1, true, false, false},
        {"disk full inside the peak table", changed(slope(4, 2), count(4)), 300, "", 2, true,
         peaks - 300, true, false, false},
        {"patched count, peak table cut", slope(4, 2), 1, "", 2, true, peaks - 1, false, false,
         false},
        {"closing record, peak table cut", changed(slope(4, 3), count(2)), peaks - 8, "", 3, true,
         8, false, true, false},
        {"count neither the records, one more nor n", changed(slope(4, 1), count(3)), 0,
         "dump count 3"},
        {"a row's time slot differs from row 0's",
         changed(slope(4, 2), [](ResultBytes& b) { b.records[1][5 * 5] = 7.0f; }), 0, "row 5"},
        {"time slots that disagree before a cut",
         changed(slope(4, 3, false), [](ResultBytes& b) { b.records[0][5 * 5] = 9.0f; }), 10,
         "truncated or inconsistent"},
        {"a record back in time in a whole file",
         changed(slope(4, 3),
                 [](ResultBytes& b) {
                     for (int row = 0; row < 12; ++row) b.records[2][row * 5] = 0.5f;
                 }),
         0, "comes after"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.file.save(dir.file("cut.res"), c.cut);
        const std::string err = read_result_file(dir.file("cut.res"), r);
        if (!c.refusal.empty()) {
            EXPECT_CONTAINS(err, c.refusal);
            continue;
        }
        ASSERT_EQ(err, "");
        EXPECT_EQ(std::make_tuple(r.dumps.size(), r.cut_short, r.cut_bytes, r.count_unpatched,
                                  r.closing_record, r.has_peak_table(), int{r.dump_count}),
                  std::make_tuple(c.records, c.cut_short, c.ignored, c.unpatched, c.closing,
                                  c.peaks, c.file.count));
        for (std::size_t d = 0; d < r.dumps.size(); ++d)
            EXPECT_EQ(r.dump_time(d), c.file.records[d][0]);
    }
}

TEST(ResultCut, InspectSummarisesAndExportsWhatIsThere) {
    TempDir dir;
    ResultBytes f = slope(4, 3, false);
    f.value(0, kRowSuspPressure, 1) = 0.5f;
    f.value(1, kRowSuspPressure, 2) = 0.5f;
    f.value(2, kRowSuspPressure, 3) = 0.5f;
    f.save(dir.file("cut.res"), 7);
    std::string out;
    ASSERT_EQ(inspect(dir, "cut.res summary --json", out), 0) << out;
    EXPECT_CONTAINS(out, "\"ignored_bytes\": 233");
    ASSERT_EQ(inspect(dir, "cut.res csv --front -o front.csv", out), 0) << out;
    EXPECT_CONTAINS(out, "233 bytes");  // the note on standard error
    EXPECT_CONTAINS(test::read_text(dir.file("front.csv")),
                    "time[s],cell,path_length[m],speed[m/s]\n0,1,10,\n1,2,20,10\n");
    ASSERT_EQ(inspect(dir, "cut.res csv -o dumps.csv", out), 0) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    const std::string dumps = test::read_text(dir.file("dumps.csv"));
    EXPECT_EQ(std::count(dumps.begin(), dumps.end(), '\n'), 3 + 2 * 4);
}

// torla-inspect's largest resident size in kB as GNU time measures it, or -1.
long peak_memory_kb(const TempDir& dir, const std::string& args) {
    std::string out;
    const int status = test::run_in(dir.path(),
                                    "/usr/bin/time -f 'peak %M' -o peak.txt " + test::bin_dir() +
                                        "/torla-inspect " + args + " > /dev/null",
                                    out);
    const std::string peak = test::read_text(dir.file("peak.txt"));
    if (status != 0 || peak.rfind("peak ", 0) != 0) return -1;
    return std::stol(peak.substr(5));
}

TEST(ResultInputs, InspectReadsRecordByRecord) {
    if (!test::fs::exists("/usr/bin/time")) GTEST_SKIP() << "needs GNU time (Debian's time)";
    // 2400 records of 2000 cells, 230 MB in a sparse file of zeros.
    TempDir dir;
    const ResultBytes f = slope(2000, 0, false);
    const auto sparse = [&](const char* name, int records) {
        f.save(dir.file(name));
        const auto size = static_cast<long long>(f.header_bytes() + records * f.record_bytes());
        EXPECT_EQ(truncate(dir.file(name).c_str(), size), 0);
        return size;
    };
    const long long size = sparse("big.res", 2400);
    // With 10 records: what the program takes whatever the file.
    sparse("small.res", 10);
    for (const char* command : {"summary", "csv --front"}) {
        const long kb = peak_memory_kb(dir, std::string("big.res ") + command);
        const long base = peak_memory_kb(dir, std::string("small.res ") + command);
        ASSERT_GT(kb, 0) << command;
        ASSERT_GT(base, 0) << command;
        EXPECT_LT((kb - base) * 1024, size / 20) << command << ": " << kb << " kB for a file of "
                                                 << size << ", " << base << " kB for 10 records";
    }
}

TEST(InspectOutput, NeverOverwritesItsInput) {
    TempDir dir;
    slope(4, 2).save(dir.file("run.res"));
    const std::string before = test::read_text(dir.file("run.res"));
    test::fs::create_hard_link(dir.file("run.res"), dir.file("hard.res"));
    test::fs::create_symlink(dir.file("run.res"), dir.file("soft.csv"));
    test::fs::create_directory(dir.file("sub"));
    const std::pair<std::string, std::string> cases[] = {
        // the arguments, the file they name
        {"run.res csv -o run.res", "run.res"},
        {"run.res csv --peaks -o ./run.res", "./run.res"},
        {"run.res csv --front -o sub/../run.res", "sub/../run.res"},
        {"run.res csv -o hard.res", "hard.res"},
        {"run.res csv -o soft.csv", "soft.csv"},
        {"hard.res csv -o " + dir.file("run.res"), dir.file("run.res")},
    };
    for (const auto& [args, named] : cases) {
        std::string out;
        EXPECT_EQ(inspect(dir, args, out), 1) << args;
        EXPECT_CONTAINS(out, "the output file " + named + " is the input");
        EXPECT_EQ(test::read_text(dir.file("run.res")), before) << args;
    }
    std::string out;
    EXPECT_EQ(inspect(dir, "run.res csv -o other.csv", out), 0) << out;
}

// A Python expression over the JSON document d, as its repr.
std::string json_of(const std::string& json, const std::string& expression) {
    TempDir dir;
    test::write_text(dir.file("doc.json"), json);
    test::write_text(dir.file("show.py"),
                     "import json, sys\nd = json.load(open('doc.json', encoding='utf-8'))\n"
                     "sys.stdout.buffer.write(repr(" +
                         expression + ").encode())\n");
    const std::string python =
        test::fs::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    std::string out;
    test::run_in(dir.path(), python + " show.py", out);
    return out;
}

TEST(InspectNumbers, NonFiniteValuesAreNamedNeverPrintedAsNumbers) {
    TempDir dir;
    ResultBytes f = slope(4, 2);
    f.peak(kRowSuspPressure, 1) = NAN;
    f.peak(kRowSuspPressure, 2) = INFINITY;
    f.peak(kRowSaltPressure, 0) = -INFINITY;
    f.peak(kRowSaltPressure, 3) = NAN;
    f.value(1, kRowSuspVelocity, 2) = -NAN;
    f.geometry[6 * 3 + 1] = INFINITY;  // easting of cell 3
    f.save(dir.file("run.res"));
    ResultData r;
    ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");

    std::ostringstream peaks, dumps, json, text;
    inspect::write_peaks_csv(peaks, r);
    inspect::write_dumps_csv(dumps, r);
    const auto s = inspect::summarize(r, {});
    inspect::write_summary_json(json, r, s);
    inspect::write_summary_text(text, r, s);
    const std::pair<std::string, std::string> cases[] = {
        // a text, a part of it
        {peaks.str(), "\n1,10,"},      // row of cell 1 ...
        {peaks.str(), ",nan,"},        // ... p3 NaN
        {peaks.str(), ",inf,"},        // p3 in cell 2
        {peaks.str(), ",-inf,"},       // p2 in cell 0
        {peaks.str(), ",inf,1997\n"},  // easting of cell 3
        {dumps.str(), ",nan,"},        // u3 of dump 1 in cell 2
        // The largest finite value, and how many cells were left out.
        {text.str(), "Suspension-layer pressure:  largest 2.250 kPa at 30.0 m (cell 3)"},
        {text.str(), "; 2 cell(s) whose value is not finite left out\n"},
    };
    for (const auto& [text, part] : cases) EXPECT_CONTAINS(text, part);
    EXPECT_EQ(peaks.str().find("null"), std::string::npos);
    // JSON: null with a note saying what it stands for; the document parses.
    EXPECT_EQ(json_of(json.str(),
                      "[d['max_suspension_pressure']['kPa'], "
                      "d['max_suspension_pressure']['non_finite_cells'], d['notes']]"),
              "[2.25, 2, []]")
        << json.str();
    // Largest values in the first cell; a height no flow reached.
    f.peak(kRowSuspPressure, 0) = 9.5f;
    f.save(dir.file("run.res"));
    ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
    HeightsData h;
    h.n_cells = 4;
    h.heights = {2.0, 30.0};
    h.peak = {4.0, 0.0, 1.0, 0.0, 1.0, 0.0, 1.0, 0.0};  // [cell * 2 + height]
    h.time = {3.0, NAN, 2.0, NAN, 1.0, NAN, 1.0, NAN};
    ASSERT_EQ(write_heights_file(dir.file("run.res.heights"), h), "");
    inspect::Summary with_heights = inspect::summarize(r, {});
    ASSERT_EQ(inspect::height_maxima(dir.file("run.res"), r, with_heights), "");
    std::ostringstream heights;
    inspect::write_summary_text(heights, r, with_heights);
    EXPECT_CONTAINS(heights.str(), "Pressure at 2 m:  4.000 kPa at cell 0 (path length 0.0 m");
    EXPECT_CONTAINS(heights.str(), "pressure:  largest 9.500 kPa at 0.0 m (cell 0)");
    EXPECT_CONTAINS(heights.str(), "Pressure at 30 m:  none, the flow never reached it");
}

// Peaks not finite or beyond any avalanche are never zoned, and are said.
TEST(InspectNumbers, MapNeverZonesPeaksThatAreNoPressure) {
    TempDir dir;
    ResultBytes f = slope(4, 2);
    f.peak(kRowSuspPressure, 1) = NAN;
    f.peak(kRowSuspPressure, 2) = 3e38f;
    f.peak(kRowSuspPressure, 3) = 50.0f;
    f.save(dir.file("run.res"));
    std::string out;
    ASSERT_EQ(inspect(dir, "run.res map -o m.geojson --crs EPSG:32632", out), 0) << out;
    EXPECT_CONTAINS(out, "note: 2 cell(s) with a peak pressure that is not finite or above");
    const auto doc = nlohmann::json::parse(test::read_text(dir.file("m.geojson")));
    const auto& cells = doc["features"];
    ASSERT_EQ(cells.size(), 4u);
    struct Row {
        int cell;
        const char* zone;
        const char* note;
    } rows[] = {{1, "not zoned", "peak pressure not finite"},
                {2, "not zoned", "peak pressure implausible"},
                {3, "red", nullptr}};
    for (const Row& r : rows) {
        const auto& p = cells[r.cell]["properties"];
        EXPECT_EQ(p["zone"], r.zone) << r.cell;
        EXPECT_EQ(p["zone_note"].is_null() ? "" : p["zone_note"].get<std::string>(),
                  r.note ? r.note : "");
    }
    // Nothing but the result and the three files is left: the temporary names are gone.
    EXPECT_EQ(
        std::distance(test::fs::directory_iterator(dir.path()), test::fs::directory_iterator()), 4);
    // One such cell is said as well (none, not at all: MapExport's run).
    f.peak(kRowSuspPressure, 1) = 0.5f;
    f.save(dir.file("run.res"));
    ASSERT_EQ(inspect(dir, "run.res map -o m1.geojson --crs EPSG:32632", out), 0) << out;
    EXPECT_CONTAINS(out, "note: 1 cell(s) with a peak pressure that is not finite");
}

TEST(InspectNames, ControlCharactersAreEscapedEverywhere) {
    // Bytes in octal: an escape ends after three digits.
    struct Case {
        std::string name, plain, json_repr;
    } cases[] = {
        {"A\nB", "A\\nB", "'A\\nB'"},
        {"A\rB\tC", "A\\rB\\tC", "'A\\rB\\tC'"},
        {"A\x1b[31mB", "A\\u001b[31mB", "'A\\x1b[31mB'"},
        {"A\302\205B", "A\\u0085B", "'A\\x85B'"},
        {"A\360\237\230\200B", "A\360\237\230\200B", "'A\360\237\230\200B'"},  // four bytes, kept
        {"A\342\200\250B\342\200\251", "A\\u2028B\\u2029", "'A\\u2028B\\u2029'"},
        {"A\205B", "A\\x85B", "'A\\x85B'"},  // a byte that is not UTF-8: Latin-1 in JSON
        {"A\303B\302\237\302\200", "A\\xc3B\\u009f\\u0080",
         "'A\303\203B\\x9f\\x80'"},  // a lead byte alone; the last C1 and the first
        {"A\300\200B", "A\\xc0\\x80B", "'A\303\200\\x80B'"},  // an overlong NUL is no UTF-8
        {"$p_3$ 100% \\ \xc3\xbc", "$p_3$ 100% \\ \xc3\xbc", "'$p_3$ 100% \\\\ \xc3\xbc'"},
        {"say \"hi\"", "say \"hi\"", "'say \"hi\"'"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        ResultBytes f = slope(4, 1);
        f.problem = c.name;
        f.save(dir.file("run.res"));
        ResultData r;
        ASSERT_EQ(read_result_file(dir.file("run.res"), r), "");
        const auto s = inspect::summarize(r, {});
        std::ostringstream text, csv, front, json;
        inspect::write_summary_text(text, r, s);
        inspect::write_dumps_csv(csv, r);
        inspect::write_front_csv(front, r, s);
        inspect::write_summary_json(json, r, s);
        EXPECT_CONTAINS(text.str(), "Problem:      " + c.plain + "\nRun:");
        EXPECT_CONTAINS(csv.str(), "# problem: " + c.plain + "\n# run: R1\n");
        EXPECT_CONTAINS(front.str(), "# problem: " + c.plain + "\n");
        EXPECT_EQ(json_of(json.str(), "d['problem']"), c.json_repr);
        // `at` reads back the name itself too (it once escaped it twice).
        std::string at;
        ASSERT_EQ(inspect(dir, "run.res at --s 0 --json 2>/dev/null", at), 0) << at;
        EXPECT_EQ(json_of(at, "d['problem']"), c.json_repr);
    }
}

TEST(InspectFront, ExportsTheFrontOfEveryDumpAndTheRunOut) {
    TempDir dir;
    ResultBytes f = slope(6, 0);
    for (float t : {0.0f, 2.0f, 4.0f}) f.add_record(t);
    f.count = 3;
    f.value(0, kRowSuspPressure, 1) = 0.5f;
    f.value(2, kRowSaltDepth, 5) = 0.2f;  // the last cell; dump 1 shows no flow
    std::fill(f.peaks.begin(), f.peaks.end(), 0.0f);
    f.peak(kRowSuspPressure, 3) = 0.5f;
    f.save(dir.file("run.res"));
    const std::pair<std::string, std::string> cases[] = {
        // options, the export after the names
        {"",
         "# thresholds: suspension-layer pressure > 0.1 kPa or saltation-layer depth > 0.1 m\n"
         "# threshold_p3[kPa]: 0.1\n# threshold_h2[m]: 0.1\n"
         "# runout_cell: 3\n# runout_path_length[m]: 30\n# front_reaches_track_end[s]: 4\n"
         "time[s],cell,path_length[m],speed[m/s]\n0,1,10,\n2,,,\n4,5,50,\n"},
        {"--threshold 0.6 --depth-threshold 0.25",
         "# thresholds: suspension-layer pressure > 0.6 kPa or saltation-layer depth > 0.25 m\n"
         "# threshold_p3[kPa]: 0.6\n# threshold_h2[m]: 0.25\n# runout: none\n"
         "time[s],cell,path_length[m],speed[m/s]\n0,,,\n2,,,\n4,,,\n"},
    };
    for (const auto& [options, expected] : cases) {
        std::string out;
        ASSERT_EQ(inspect(dir, "run.res csv --front -o front.csv " + options, out), 0) << out;
        EXPECT_EQ(test::read_text(dir.file("front.csv")),
                  "# problem: Slope\n# run: R1\n" + expected);
    }
    std::string out;
    EXPECT_EQ(inspect(dir, "run.res csv --front --peaks", out), 2);
}

const char* const kRecord = R"({
  "program": "torla", "version": "1.0", "cells": 4,
  "stop_reason": "small_step", "exit_status": 5, "message": null,
  "simulated_time_s": 114.7,
  "onset": {"time_s": 80.5, "cell": 2, "sign": "wave speed 240 m/s"},
  "warnings": ["flow at the start lies only in cells 0 to 3", "line\nbreak"],
  "dumps": [
    {"time_s": 0, "mass_kg_per_m": {"cover": 1000, "saltation": 10, "suspension": 5, "outflow": 0}},
    {"time_s": 10, "mass_kg_per_m": {"cover": 990, "saltation": 15, "suspension": 8, "outflow": 2, "edges": 0.5}},
    {"time_s": 20, "mass_kg_per_m": {"cover": 900, "saltation": 20, "suspension": 30, "outflow": 60, "edges": -4.5}},
    {"time_s": 30, "mass_kg_per_m": {"cover": null, "saltation": 20, "suspension": 30, "outflow": 60}}
  ],
  "peaks_before_onset": {"p2": [2.75, 2.5, null, 2.75], "p3": [0.25, 3.75, 1.0, 0.0]}
})";

// The result file of kRecord: dumps at t = 0, 10, 20, 30 s.
ResultBytes recorded_result() {
    ResultBytes f = slope(4, 0);
    for (float t : {0.0f, 10.0f, 20.0f, 30.0f}) f.add_record(t);
    f.count = 4;
    return f;
}

TEST(InspectRecord, TheSummaryShowsHowTheRunEnded) {
    TempDir dir;
    recorded_result().save(dir.file("run.res"));
    test::write_text(dir.file("run.res.json"), kRecord);
    std::string out;
    ASSERT_EQ(inspect(dir, "run.res summary", out), 0) << out;
    for (const char* line : {
             "Run record:   run.res.json\n",
             "Stop reason:  small_step at t = 114.700 s, exit status 5\n",
             "Onset:        wave speed 240 m/s at t = 80.500 s, 20.0 m (cell 2)\n",
             // The first of two cells as high.
             "trustworthy saltation-layer pressure (before the onset): largest 2.750 kPa at 0.0 m "
             "(cell 0)\n",
             "trustworthy suspension-layer pressure (before the onset): largest 3.750 kPa at 10.0 "
             "m (cell 1)\n",
             // 1015 + 0, 1013 + 2 (-0), 950 + 60 (-5), the last dump unknown.
             "Mass balance: 1015.0 kg/m on the track at t = 0.000 s, 950.0 kg/m at t = 20.000 s "
             "and 60.0 kg/m left through the end\n",
             "largest change not explained by the outflow -5.000 kg/m (-0.493 % of the start), "
             "between t = 10.000 s and 20.000 s; "
             "the window's edge cells changed -5.000 kg/m then\n",
             "Warnings:     flow at the start lies only in cells 0 to 3\n              "
             "line\\nbreak\n",
         })
        EXPECT_CONTAINS(out, line);

    // The record may leave out the closing record of a small-step stop.
    ResultBytes closing = recorded_result();
    closing.add_record(33.0f);
    closing.save(dir.file("closing.res"));
    test::write_text(dir.file("closing.res.json"), kRecord);
    ASSERT_EQ(inspect(dir, "closing.res summary", out), 0) << out;
    EXPECT_CONTAINS(out, "closing one");
    EXPECT_CONTAINS(out, "Stop reason:  small_step");

    ASSERT_EQ(inspect(dir, "run.res summary --json", out), 0) << out;
    EXPECT_EQ(json_of(out,
                      "[r['stop_reason'], r['onset']['cell'], "
                      "r['peaks_before_onset']['max_suspension_pressure']['kPa'], "
                      "r['mass_balance']['largest_unexplained_change_kg_per_m'], r['warnings'][1]] "
                      "if (r := d['run_record']) else None"),
              "['small_step', 2, 3.75, -5.0, 'line\\nbreak']");
}

}  // namespace
}  // namespace torla
