// Shared helpers of the tests.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <netcdf.h>

#include "input/input.h"
#include "output/result_format.h"

namespace torla::test {

namespace fs = std::filesystem;

// EXPECT_CONTAINS(text, part): part is somewhere in text; the text is shown where it is not.
inline testing::AssertionResult contains_format(const char* text_expr, const char* part_expr,
                                                const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << text_expr << " lacks " << part_expr << " `" << part << "':\n"
           << text;
}
#define EXPECT_CONTAINS(text, part) EXPECT_PRED_FORMAT2(::torla::test::contains_format, text, part)

// What a fixture's shared set-up (SetUpTestSuite) found wrong, for each
// test's SetUp to fail on: GoogleTest reports the tests of a suite whose
// SetUpTestSuite failed as skipped, and ctest counts those as not run.
struct SuiteSetup {
    std::string fault;  // "" while all went well
    // Keeps `what' as the fault unless ok; whether all went well so far.
    bool require(bool ok, const std::string& what) {
        if (!ok && fault.empty()) fault = what;
        return fault.empty();
    }
};

// A fresh directory under the system's temporary directory, removed again.
class TempDir {
public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "torla-test-XXXXXX").string();
        path_ = mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    fs::path path_;
};

inline void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

inline std::string read_text(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

// The rows of CSV text without its comment lines, split at commas.
inline std::vector<std::vector<std::string>> csv_text_rows(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        rows.emplace_back();
        std::istringstream l(line);
        for (std::string x; std::getline(l, x, ',');) rows.back().push_back(x);
    }
    return rows;
}
// The same of a CSV file.
inline std::vector<std::vector<std::string>> csv_rows(const std::string& path) {
    return csv_text_rows(read_text(path));
}

// A text attribute of a NetCDF variable, or "(none)".
inline std::string nc_text(int nc, int var, const char* name) {
    std::size_t len = 0;
    if (nc_inq_attlen(nc, var, name, &len) != NC_NOERR) return "(none)";
    std::string s(len, '\0');
    nc_get_att_text(nc, var, name, s.data());
    return s;
}

inline std::string bin_dir() { return TORLA_BIN_DIR; }

// Runs a command line in dir, its output in out; the exit status (or 128 + signal).
inline int run_in(const fs::path& dir, const std::string& command, std::string& out) {
    const std::string log = (dir / "console.txt").string();
    const std::string line = "cd '" + dir.string() + "' && " + command + " > '" + log + "' 2>&1";
    const int rc = std::system(line.c_str());
    out = read_text(log);
    fs::remove(log);
    if (WIFEXITED(rc)) return WEXITSTATUS(rc);
    return 128 + WTERMSIG(rc);
}

// A stand-in generator dir/stub-knotline, a shell script with the given
// body ($1 is the grid file name); returns the generator prefix that names it.
inline std::string stub_generator(const TempDir& dir, const std::string& body) {
    write_text(dir.file("stub-knotline"), "#!/bin/sh\n" + body + "\n");
    chmod(dir.file("stub-knotline").c_str(), 0755);
    return dir.file("stub-");
}

// Runs torla in dir on the command text, with the generator prefix given; result run.res.
inline int run_torla(const TempDir& dir, const std::string& command_text, std::string& out,
                     const std::string& prefix = bin_dir() + "/", const std::string& env = "") {
    write_text(dir.file("run.cmd"), command_text);
    write_text(dir.file("run.info"), "run.cmd\nrun.res\n" + prefix + "\n");
    return run_in(dir.path(), env + bin_dir() + "/torla run.info", out);
}

// The bundled example's command file with Max_Time max_time (e.g. "4.0").
inline std::string example_until(const std::string& max_time) {
    std::string text = read_text(std::string(TORLA_SOURCE_DIR) + "/examples/avalanche.cmd");
    const std::string key = "Max_Time 100.0";
    const std::size_t at = text.find(key);
    if (at != std::string::npos) text.replace(at, key.size(), "Max_Time " + max_time);
    return text;
}

// A command file of n points dx apart, `drop' lower each, locals (or local(i)) their numbers.
inline std::string command_file(int n, const std::string& globals, const std::string& locals,
                                double dx = 10.0, double drop = 5.0,
                                const std::function<std::string(int)>& local = nullptr) {
    std::ostringstream o;
    o << "Track_Name Test track\nRun_Name Test run\n| POWDER SNOW GLOBAL PARAMETERS\n"
      << globals << "| COORDINATES\nNumber_of_Points " << n << "\n";
    for (int i = 0; i < n; ++i) o << i << " " << i * dx << " " << 1000.0 - i * drop << " 0 0\n";
    o << "| POWDER SNOW LOCAL PARAMETERS\n";
    for (int i = 0; i < n; ++i) o << i << " " << (local ? local(i) : locals) << "\n";
    o << "| END OF FILE\n";
    return o.str();
}

// The twelve local numbers of a point under a 0.5 m cover: without flow, and in a release.
inline const std::string kQuietPoint = "0 0.5 0.5 150 0 0 0 0 0 0 0 0";
inline const std::string kReleasePoint = "0 0.5 0.5 150 1 5 20 5 5 2 1 0.5";

// command_file's track whose points first to last hold `release', the others kQuietPoint.
inline std::string release_track(int n, const std::string& globals, int first, int last,
                                 double dx = 10.0, double drop = 6.0,
                                 const std::string& release = kReleasePoint) {
    return command_file(n, globals, kQuietPoint, dx, drop,
                        [&](int i) { return i >= first && i <= last ? release : kQuietPoint; });
}

// command_file's text on the map: the two zeros that end coordinate row i become easting
// e0 + de i and northing n0 + dn i.
inline std::string on_the_map(const std::string& text, double e0, double de, double n0, double dn) {
    std::istringstream in(text);
    std::ostringstream o;
    int i = -1;  // the row; -1 before the coordinate table
    for (std::string line; std::getline(in, line); o << "\n") {
        if (line.rfind("| ", 0) == 0) i = line == "| COORDINATES" ? 0 : -1;
        if (i < 0 || line.rfind("Number_of_Points", 0) == 0 || line[0] == '|') {
            o << line;
            continue;
        }
        o << line.substr(0, line.size() - 4) << " " << e0 + de * i << " " << n0 + dn * i, ++i;
    }
    return o.str();
}

// A grid row with the given geometry and layer values (grid columns).
inline std::vector<float> grid_row(float x, float y, float length, float slope, float curvature,
                                   const std::vector<float>& local12) {
    std::vector<float> r = {x, y, 0.0f, length, slope, curvature, 0.0f};
    r.insert(r.end(), local12.begin(), local12.end());
    return r;
}

// Largest relative difference of two equally long sequences, each value
// measured against max(|a|, |b|, 1e-3 * the largest magnitude of either).
inline double max_relative(const float* a, const float* b, std::size_t n) {
    double scale = 1e-30, worst = 0.0;
    for (std::size_t k = 0; k < n; ++k)
        scale = std::max({scale, 1e-3 * std::fabs(a[k]), 1e-3 * std::fabs(b[k])});
    for (std::size_t k = 0; k < n; ++k) {
        if (std::isnan(a[k]) && std::isnan(b[k])) continue;
        const double d = std::fabs(static_cast<double>(a[k]) - b[k]);
        const double m = std::max(
            {static_cast<double>(std::fabs(a[k])), static_cast<double>(std::fabs(b[k])), scale});
        worst = std::max(worst, std::isnan(d) ? INFINITY : d / m);
    }
    return worst;
}

// Names, counts, coefficients exactly, geometry to 1e-6, dumps and peaks to the tolerance.
inline void expect_same_result(const ResultData& mine, const ResultData& theirs, double tolerance,
                               bool depths) {
    EXPECT_EQ(mine.problem_name + "|" + mine.run_name, theirs.problem_name + "|" + theirs.run_name);
    ASSERT_EQ(mine.n_cells, theirs.n_cells);
    EXPECT_EQ(mine.dump_count, theirs.dump_count);
    EXPECT_EQ(std::vector<float>(mine.coefficients, mine.coefficients + 12),
              std::vector<float>(theirs.coefficients, theirs.coefficients + 12));
    const std::size_t n = mine.n_cells;
    EXPECT_LT(max_relative(&mine.geometry[0].path_length, &theirs.geometry[0].path_length, n * 6),
              1e-6);
    ASSERT_EQ(mine.dumps.size(), theirs.dumps.size());
    for (std::size_t d = 0; d < mine.dumps.size(); ++d)
        for (std::size_t row = 0; row < 12; ++row)
            EXPECT_LE(
                max_relative(&mine.dumps[d][row * (n + 1)], &theirs.dumps[d][row * (n + 1)], n + 1),
                tolerance)
                << "dump " << d << " row " << row;
    ASSERT_EQ(mine.peaks.size(), theirs.peaks.size());
    for (int q = 0; q < 12; ++q)
        for (int slot = 0; slot < (depths ? 4 : 1); ++slot) {
            std::vector<float> a(n), b(n);
            for (std::size_t i = 0; i < n; ++i)
                a[i] = mine.peak(q, i, slot), b[i] = theirs.peak(q, i, slot);
            EXPECT_LE(max_relative(a.data(), b.data(), n), tolerance)
                << "peak quantity " << q << " slot " << slot;
        }
}

}  // namespace torla::test
