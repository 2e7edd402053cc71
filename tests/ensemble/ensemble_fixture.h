// The ensemble tests' base runs, runs of the programs, and members written by hand.
#pragma once

#include "ensemble/ensemble.h"
#include "inspect/result_bytes.h"
#include "test_support.h"

namespace torla::ensemble {

using test::nc_text;

// A short run on a plane: n points, 2 s, a dump every second.
inline std::string small_command_file(
    int n = 8, const std::string& globals = "Max_Time 2\nDump_Interval 1\n") {
    return test::command_file(n, globals, test::kReleasePoint);
}

// The small run on the map, in UTM zone 32N named in two crs_wkt comment lines.
inline std::string mapped_command_file() {
    return "# crs_wkt PROJCS[\"WGS 84 / UTM zone 32N\",GEOGCS[\"WGS 84\",DATUM[\"WGS_1984\","
           "SPHEROID[\"WGS 84\",6378137,298.257223563]],PRIMEM[\"Greenwich\",0],UNIT[\"degree\","
           "0.0174532925199433]],\n# crs_wkt PROJECTION[\"Transverse_Mercator\"],PARAMETER["
           "\"latitude_of_origin\",0],PARAMETER[\"central_meridian\",9],PARAMETER[\"scale_factor\","
           "0.9996],PARAMETER[\"false_easting\",500000],PARAMETER[\"false_northing\",0],UNIT["
           "\"metre\",1]]\n" +
           test::on_the_map(small_command_file(), 600000, 7, 200000, -5);
}

// A grid ensemble of b.cmd over the values of Courant_Nr given, then extra.
inline std::string grid_ensemble(const std::string& values, const std::string& extra = "") {
    return "base = \"b.cmd\"\nsampling = \"grid\"\n[vary]\nCourant_Nr = [" + values + "]\n" + extra;
}

// Runs a program of build/ (args begins with its name) in dir, its scratch folder dir/tmp.
inline int run(const test::TempDir& dir, const std::string& args, std::string& out) {
    std::filesystem::create_directories(dir.path() / "tmp");
    return test::run_in(dir.path(),
                        "TMPDIR='" + dir.file("tmp") + "' " + test::bin_dir() + "/" + args, out);
}

inline int ensemble(const test::TempDir& dir, const std::string& args, std::string& out) {
    return run(dir, "torla-ensemble " + args, out);
}

// A member in the ensemble folder out: a result of 4 cells on the map whose peak table holds the
// p3, p2, h3 and h2 maxima given (else zeros), and its status file.
inline void write_member(const std::string& out, const Member& m,
                         const std::vector<std::vector<float>>& peaks,
                         const std::string& status = "0") {
    test::ResultBytes b(4, 1);
    b.problem = "P", b.run = "R";
    const int rows[] = {11, 5, 6, 2};
    for (int i = 0; i < b.n; ++i) {
        b.geometry[6 * i + 1] = 600000.0f + i, b.geometry[6 * i + 5] = 200000.0f - i;
        for (std::size_t q = 0; q < peaks.size(); ++q) b.peak(rows[q], i) = peaks[q][i];
    }
    b.save(out + "/" + m.folder + "/member.res");
    test::write_text(out + "/" + m.folder + "/member.status",
                     "hash " + m.hash + "\nexit_status " + status + "\n");
}

}  // namespace torla::ensemble
