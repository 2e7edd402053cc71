// torla-inspect RESULT at: the cell, its pressure over height, the peaks, refusals.
#include <gtest/gtest.h>

#include <netcdf.h>
#include <ogrsf_frmts.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <sstream>

#include "model/height_pressure.h"
#include "model/runout.h"
#include "output/heights_format.h"
#include "support/numbers.h"
#include "test_support.h"

namespace torla {
namespace {

// 30 points 10 m apart along the path, 6 m drop each, at map coordinates
// (1000 + x, 2000); points 2 to 6 carry a release.
std::string placed_run(const std::string& globals) {
    return test::on_the_map(test::release_track(30, "Max_Time 8\n" + globals, 2, 6), 1000, 10, 2000,
                            0);
}

// torla-inspect on the run.res in dir; standard output and error in out.
int inspect(const test::TempDir& dir, const std::string& args, std::string& out) {
    return test::run_in(dir.path(), test::bin_dir() + "/torla-inspect run.res " + args, out);
}

nlohmann::json at_json(const test::TempDir& dir, const std::string& args) {
    std::string out;
    EXPECT_EQ(inspect(dir, "at " + args + " --json 2>/dev/null", out), 0) << out;
    return nlohmann::json::parse(out);
}

class At : public testing::Test {
protected:
    static void SetUpTestSuite() {
        setup_ = {};
        kept_ = new test::TempDir;
        plain_ = new test::TempDir;
        const std::string kept = placed_run("Height_Peaks on\nPeak_Heights " + kHeights + "\n");
        if (!setup_.require(test::run_torla(*kept_, kept, kept_out_) == 0, "kept: " + kept_out_) ||
            !setup_.require(test::run_torla(*plain_, placed_run(""), plain_out_) == 0,
                            "plain: " + plain_out_))
            return;
        const std::string e = read_result_file(kept_->file("run.res"), r);
        if (setup_.require(e.empty(), e)) {
            const std::string eh = read_heights_file(kept_->file("run.res.heights"), h);
            setup_.require(eh.empty(), eh);
        }
    }
    void SetUp() override { ASSERT_EQ(setup_.fault, ""); }
    static void TearDownTestSuite() {
        delete kept_;
        delete plain_;
    }
    inline static const std::string kHeights = "0,0.5,1,2,4,8,30";  // the kept run's
    inline static test::TempDir *kept_ = nullptr, *plain_ = nullptr;
    inline static test::SuiteSetup setup_;
    inline static std::string kept_out_, plain_out_;  // their standard output and error
    inline static ResultData r;                       // the kept run's result
    inline static HeightsData h;                      // and its peaks over height
};

// The cell at a distance or map point; its kept peaks, or without them the dumps'.
TEST_F(At, CellByDistanceOrPointAndItsPeaks) {
    const nlohmann::json j = at_json(*kept_, "--s 100");
    const int cell = j["cell"];
    // Cells about 10 m long at 31 degrees: 100 m across, about 116.6 m along.
    EXPECT_NEAR(j["horizontal_m"].get<double>(), 100.0, 5.0);
    EXPECT_NEAR(r.geometry[cell].path_length, 116.6, 6.0);
    EXPECT_EQ(j["path_length_m"].get<double>(), r.geometry[cell].path_length);
    EXPECT_EQ(j["peak_source"], "passes");
    EXPECT_EQ(j["heights_m"].get<std::vector<double>>(), h.heights);
    ASSERT_EQ(j["dumps"].size(), r.dumps.size());
    const HeightProfile p = height_profile(r.coefficients, h.air_density, h.rho_diff);
    double largest = 0.0;
    for (std::size_t k = 0; k < h.heights.size(); ++k) {
        EXPECT_EQ(j["peak_kPa"][k].get<double>(), h.peak_at(cell, k));
        for (std::size_t d = 0; d < r.dumps.size(); ++d) {
            const CellLayers l{r.dump_value(d, 2, cell), r.dump_value(d, 5, cell),
                               r.dump_value(d, 6, cell), r.dump_value(d, 7, cell),
                               r.dump_value(d, 8, cell)};
            const double dumped = j["dumps"][d]["p_kPa"][k];
            EXPECT_EQ(dumped, pressure_at_height(p, l, h.heights[k]));
            largest = std::max(largest, dumped);
        }
    }
    EXPECT_GT(largest, 0.0);
    // Without the kept peaks: default heights, densities from the log.
    const nlohmann::json a = at_json(*plain_, "--s 100");
    EXPECT_EQ(a["peak_source"], "dumps");
    EXPECT_EQ(a["heights_m"].get<std::vector<double>>(),
              (std::vector<double>{2, 5, 10, 15, 20, 25, 30}));
    EXPECT_EQ(a["densities_from"], "run.plg");
    const nlohmann::json c = at_json(*plain_, "--s 100 --heights " + kHeights);
    EXPECT_EQ(c["dumps"], j["dumps"]) << "the log's densities are the run's";
    for (std::size_t k = 0; k < h.heights.size(); ++k) {
        double best = 0.0;
        for (const auto& d : c["dumps"]) best = std::max(best, d["p_kPa"][k].get<double>());
        EXPECT_EQ(c["peak_kPa"][k].get<double>(), best);
        EXPECT_LE(best, j["peak_kPa"][k].get<double>());
    }
    // A map point beside the path: the cell at its foot, the distance from the path.
    for (const double e : {1052.0, 1057.0, 1231.0}) {
        const nlohmann::json m = at_json(*kept_, "--point " + std::to_string(e) + ",2010");
        const int foot = m["cell"];
        // The cell's map point is the nearest of all to the foot (e, 2000).
        for (int i = 0; i < r.n_cells; ++i)
            EXPECT_LE(std::fabs(r.geometry[foot].aux2 - e),
                      std::fabs(r.geometry[i].aux2 - e) + 1e-3)
                << e;
        EXPECT_NEAR(m["point_distance_m"].get<double>(), 10.0, 1e-3);
    }
    EXPECT_EQ(at_json(*kept_, "--point 0,2000")["cell"], 0);
    EXPECT_EQ(at_json(*kept_, "--point 9000,2000")["cell"], r.n_cells - 1);
}

// Height_Peaks on: never below any dump's pressure over height; the console as without it.
TEST_F(At, PeaksOverHeightAreNeverBelowTheDumps) {
    EXPECT_EQ(kept_out_, plain_out_);
    EXPECT_FALSE(test::fs::exists(plain_->file("run.res.heights")));
    ASSERT_EQ(h.n_cells, r.n_cells);
    EXPECT_EQ(h.heights, (std::vector<double>{0, 0.5, 1, 2, 4, 8, 30}));
    EXPECT_EQ(h.dumps, static_cast<int64_t>(r.dumps.size()));
    EXPECT_GT(h.passes, h.dumps);
    const std::string record = test::read_text(kept_->file("run.res.json")),
                      off = test::read_text(plain_->file("run.res.json"));
    EXPECT_CONTAINS(record,
                    "\"height_peaks\": {\"file\": \"run.res.heights\", \"heights_m\": [0, "
                    "0.5, 1, 2, 4, 8, 30], \"passes\": " +
                        std::to_string(h.passes) + ", \"dumps\": " + std::to_string(h.dumps) + "}");
    EXPECT_EQ(off.find("height_peaks"), std::string::npos);
    // The parameters' digest: the keys at their defaults leave it as it was.
    test::TempDir explicit_off;
    std::string out;
    ASSERT_EQ(
        test::run_torla(explicit_off,
                        placed_run("Height_Peaks off\nPeak_Heights 2,5,10,15,20,25,30\n"), out),
        0);
    auto digest = [](const std::string& rec) {
        return rec.substr(rec.find("\"parameters_sha256\""), 90);
    };
    EXPECT_EQ(digest(test::read_text(explicit_off.file("run.res.json"))), digest(off));
    EXPECT_NE(digest(record), digest(off));
    const HeightProfile p = height_profile(r.coefficients, h.air_density, h.rho_diff);
    int positive = 0, above_dumps = 0, set_by_dumps = 0;
    for (int i = 0; i < r.n_cells; ++i)
        for (std::size_t k = 0; k < h.heights.size(); ++k) {
            double best = 0.0, best_time = 0.0;
            for (std::size_t d = 0; d < r.dumps.size(); ++d) {
                const CellLayers l{r.dump_value(d, 2, i), r.dump_value(d, 5, i),
                                   r.dump_value(d, 6, i), r.dump_value(d, 7, i),
                                   r.dump_value(d, 8, i)};
                const double at_dump = pressure_at_height(p, l, h.heights[k]);
                if (at_dump > best) best = at_dump, best_time = r.dump_time(d);
            }
            EXPECT_GE(h.peak_at(i, k), best) << "cell " << i << ", height " << h.heights[k];
            // A peak a dump set has that dump's time.
            if (best > 0.0 && h.peak_at(i, k) == best) {
                EXPECT_EQ(h.time_at(i, k), best_time)
                    << "cell " << i << ", height " << h.heights[k];
                ++set_by_dumps;
            }
            positive += h.peak_at(i, k) > 0.0;
            above_dumps += h.peak_at(i, k) > best * 1.01;
            if (h.peak_at(i, k) > 0.0) {
                EXPECT_GE(h.time_at(i, k), 0.0);
                EXPECT_LE(h.time_at(i, k), h.end_time);
            }
        }
    EXPECT_GT(positive, 20);
    EXPECT_GT(above_dumps, 0) << "the passes between the dumps add nothing";
    EXPECT_GT(set_by_dumps, 0) << "no dump set a peak";
    EXPECT_EQ(h.peak_at(0, 6), 0.0) << "nothing reaches 30 m";
}

// The text and CSV forms of `at'; the summary's largest pressure at each kept height.
TEST_F(At, TextCsvAndTheSummaryOfHeights) {
    std::string out;
    ASSERT_EQ(inspect(*kept_, "at --s 50 --csv", out), 0);
    EXPECT_CONTAINS(out, "# peak_source: passes\n");
    EXPECT_CONTAINS(out,
                    "\ntime[s],p_0m[kPa],p_0.5m[kPa],p_1m[kPa],p_2m[kPa],p_4m[kPa],p_8m[kPa],p_"
                    "30m[kPa]\n0,");
    const std::string csv_text = out;
    ASSERT_EQ(inspect(*kept_, "at --s 50 -o at.txt", out), 0);
    // The text: columns of ten, every dump a row of them after its time.
    const std::string text = test::read_text(kept_->file("at.txt"));
    EXPECT_CONTAINS(text, "(peaks over every pass of the run)");
    EXPECT_CONTAINS(text,
                    "\n  height [m]           0       0.5         1         2         4        "
                    " 8        30\n");
    const std::size_t rows = text.find("at each height\n") + 15;
    ASSERT_NE(rows, std::string::npos + 15);
    EXPECT_EQ(text.substr(rows, 13), "          0  ") << text;
    EXPECT_EQ(text.find('\n', rows) - rows, 13u + 7 * 10) << text;
    // Every dump's row: time to six digits, pressures to four, of the CSV's.
    const auto full = test::csv_text_rows(csv_text);  // the header, then a row per dump
    std::istringstream table(text.substr(rows));
    int dumps = 0;
    for (std::string row; dumps + 1 < static_cast<int>(full.size()) && std::getline(table, row);
         ++dumps) {
        const std::vector<std::string>& values = full[dumps + 1];
        std::vector<std::string> shown;
        std::istringstream words(row);
        for (std::string w; words >> w;) shown.push_back(w);
        ASSERT_EQ(shown.size(), values.size()) << row;
        for (std::size_t k = 0; k < values.size(); ++k)
            EXPECT_EQ(shown[k], support::fmt("%.*g", k ? 4 : 6, std::stod(values[k]))) << row;
    }
    EXPECT_GT(dumps, 3);
    ASSERT_EQ(inspect(*kept_, "summary --json", out), 0);
    const nlohmann::json j = nlohmann::json::parse(out);
    ASSERT_EQ(j["max_pressure_over_height"].size(), h.heights.size());
    for (std::size_t k = 0; k < h.heights.size(); ++k) {
        const nlohmann::json& m = j["max_pressure_over_height"][k];
        EXPECT_EQ(m["height_m"].get<double>(), h.heights[k]);
        if (m["cell"].is_null()) {  // a height the flow never reached
            EXPECT_EQ(m["kPa"], 0) << h.heights[k];
            for (int i = 0; i < h.n_cells; ++i) EXPECT_EQ(h.peak_at(i, k), 0.0) << i;
            continue;
        }
        const int cell = m["cell"];
        for (int i = 0; i < h.n_cells; ++i) EXPECT_LE(h.peak_at(i, k), h.peak_at(cell, k));
        EXPECT_NEAR(m["kPa"].get<double>(), h.peak_at(cell, k), 1e-9 * h.peak_at(cell, k));
        EXPECT_NEAR(m["time_s"].get<double>(), h.time_at(cell, k), 1e-6);
    }
    ASSERT_EQ(inspect(*kept_, "summary", out), 0);
    EXPECT_CONTAINS(out, "\nPressure at 0.5 m:  ");
    ASSERT_EQ(inspect(*plain_, "summary --json", out), 0);
    EXPECT_EQ(out.find("max_pressure_over_height"), std::string::npos);
}

// The map export carries a field per kept height, the NetCDF a dimension.
TEST_F(At, ExportsCarryThePeaksOverHeight) {
    std::string out;
    ASSERT_EQ(inspect(*kept_, "map -o cells.gpkg --crs EPSG:32632", out), 0) << out;
    ASSERT_EQ(inspect(*kept_, "netcdf -o run.nc", out), 0) << out;
    GDALAllRegister();
    GDALDataset* ds = static_cast<GDALDataset*>(
        GDALOpenEx(kept_->file("cells.gpkg").c_str(), GDAL_OF_VECTOR, nullptr, nullptr, nullptr));
    ASSERT_NE(ds, nullptr);
    OGRLayer* cells = ds->GetLayerByName("cells");
    ASSERT_NE(cells, nullptr);
    int features = 0;
    for (auto& f : *cells) {
        const int i = f->GetFieldAsInteger("cell");
        EXPECT_EQ(f->GetFieldAsDouble("p_at_0_5m_max_kpa"), h.peak_at(i, 1)) << i;
        EXPECT_EQ(f->GetFieldAsDouble("p_at_4m_max_kpa"), h.peak_at(i, 4)) << i;
        ++features;
    }
    EXPECT_EQ(features, h.n_cells);
    GDALClose(ds);

    int nc = -1, dim = -1, var = -1;
    ASSERT_EQ(nc_open(kept_->file("run.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    std::size_t heights = 0;
    ASSERT_EQ(nc_inq_dimid(nc, "height", &dim), NC_NOERR);
    ASSERT_EQ(nc_inq_dimlen(nc, dim, &heights), NC_NOERR);
    EXPECT_EQ(heights, h.heights.size());
    std::vector<double> peaks(h.peak.size()), times(h.time.size());
    ASSERT_EQ(nc_inq_varid(nc, "pressure_over_height_max", &var), NC_NOERR);
    ASSERT_EQ(nc_get_var_double(nc, var, peaks.data()), NC_NOERR);
    EXPECT_EQ(peaks, h.peak);
    ASSERT_EQ(nc_inq_varid(nc, "pressure_over_height_max_time", &var), NC_NOERR);
    ASSERT_EQ(nc_get_var_double(nc, var, times.data()), NC_NOERR);
    for (std::size_t e = 0; e < times.size(); ++e)
        EXPECT_EQ(times[e], std::isfinite(h.time[e]) ? h.time[e] : -1.0) << e;
    nc_close(nc);
    // Without RESULT.heights: no height dimension.
    ASSERT_EQ(inspect(*plain_, "netcdf -o run.nc", out), 0) << out;
    ASSERT_EQ(nc_open(plain_->file("run.nc").c_str(), NC_NOWRITE, &nc), NC_NOERR);
    EXPECT_NE(nc_inq_dimid(nc, "height", &dim), NC_NOERR);
    nc_close(nc);
}

// Refusals: arguments, status, what standard error says.
TEST_F(At, Refusals) {
    const struct {
        std::string args;
        int status;
        const char* message;
    } cases[] = {
        {"", 2, "give one of --s and --point"},
        {"--s -5", 2, "--s -5 m lies outside the track, 0 to "},
        {"--point 1000", 2, "--point: `1000' is not EASTING,NORTHING"},
        {"--s 1 --heights 5,2", 2, "--heights: height 2 (`2') does not rise above the one before"},
        {"--s 1 --json --csv", 2, "--json and --csv are two forms: choose one"},
        {"--s 1 -o run.res", 2, "run.res"},
        {"--s 1 -o run.res.heights", 2, "run.res.heights"},
    };
    for (const auto& c : cases) {
        std::string out;
        EXPECT_EQ(inspect(*kept_, "at " + c.args, out), c.status) << c.args;
        EXPECT_CONTAINS(out, c.message) << c.args;
    }
    // A damaged peaks file is named, not passed over.
    test::TempDir bad;
    test::fs::copy_file(kept_->file("run.res"), bad.file("run.res"));
    test::write_text(bad.file("run.res.heights"), "TORLAHGT");
    std::string out;
    EXPECT_EQ(inspect(bad, "at --s 1", out), 1);
    EXPECT_CONTAINS(out, "run.res.heights: at byte 8: version");
}

// score takes a pressure at a height as `at' gives it.
TEST_F(At, ScoreTakesAnObservedHeightAsAtDoes) {
    const struct {
        test::TempDir* dir;
        const char *height, *source, *over;
    } rows[] = {{kept_, "2", "passes", "every pass"},
                {kept_, "3", "dumps", "the dumps"},
                {plain_, "1", "dumps", "the dumps"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.height);
        test::write_text(row.dir->file("mast.toml"),
                         std::string("name = \"mast\"\nsource = \"test\"\n[[pressure]]\n"
                                     "s_horizontal_m = 100.0\np_kPa = 1.0\nsigma_kPa = 0.5\n"
                                     "quantity = \"p3\"\nheight_m = ") +
                             row.height + "\n");
        const nlohmann::json at = at_json(*row.dir, std::string("--s 100 --heights ") + row.height);
        std::string out;
        ASSERT_EQ(inspect(*row.dir, "score mast.toml --json 2>/dev/null", out), 0) << out;
        const nlohmann::json item = nlohmann::json::parse(out)["items"][0];
        EXPECT_EQ(at["peak_source"], row.source);
        EXPECT_GT(at["peak_kPa"][0].get<double>(), 0.0);
        EXPECT_EQ(item["model"].get<double>(), at["peak_kPa"][0].get<double>());
        EXPECT_EQ(item["quantity"], "p");
        EXPECT_EQ(item["height_m"].get<double>(), std::stod(row.height));
        EXPECT_EQ(item["note"], "the pressure at " + std::string(row.height) + " m in cell " +
                                    std::to_string(at["cell"].get<int>()) + ", its peak over " +
                                    row.over);
    }
}

// runout: with no split point recorded, the release's lower end at t = 0.
TEST_F(At, RunoutSplitsWhereTheReleaseEndsInTheFirstDump) {
    int end = -1;
    for (int i = 0; i < r.n_cells; ++i)
        if (r.dump_value(0, kRowSaltDepth, i) > 0.0f || r.dump_value(0, kRowSuspDepth, i) > 0.0f)
            end = i;
    ASSERT_GT(end, 0);
    const double s = track_axis(r.geometry).horizontal_m[end];
    std::string out;
    ASSERT_EQ(inspect(*kept_, "runout --json", out), 0) << out;
    EXPECT_EQ(nlohmann::json::parse(out)["alpha_beta"]["split_s_horizontal_m"].get<double>(), s);
    ASSERT_EQ(inspect(*kept_, "runout", out), 0) << out;
    EXPECT_CONTAINS(
        out,
        support::fmt("split point %.1f m horizontal, from the lower end of the release (cell %d)\n",
                     s, end));
}

}  // namespace
}  // namespace torla
