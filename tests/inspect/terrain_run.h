// A run on the analytic valley (DEM, torla-profile, torla), made once for the export tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "output/result_format.h"
#include "profile/terrain_fixture.h"
#include "test_support.h"

namespace torla::test {

class TerrainRun : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        setup_ = {};
        dir_ = std::make_unique<TempDir>();
        make_valley_dem(file("dem.tif"));
        write_lines(file("path.geojson"), "GeoJSON", {{"valley", valley_path()}});
        std::string out;
        result_ = std::make_unique<ResultData>();
        if (!setup_.require(
                run_in(dir_->path(),
                       bin_dir() + "/torla-profile dem.tif path.geojson -o valley.cmd "
                                   "--max-time 12 --dump-interval 1 --release 0:80 "
                                   "--numerics standard",  // the run these tests were written on
                       out) == 0,
                "torla-profile: " + out))
            return;
        write_text(file("valley.info"), "valley.cmd\nvalley.res\n" + bin_dir() + "/\n");
        if (!setup_.require(run_in(dir_->path(), bin_dir() + "/torla valley.info", out) == 0,
                            "torla: " + out))
            return;
        const std::string e = read_result_file(file("valley.res"), *result_);
        setup_.require(e.empty(), e);
    }
    void SetUp() override { ASSERT_EQ(setup_.fault, ""); }
    static void TearDownTestSuite() {
        result_.reset();
        dir_.reset();
    }
    static std::string file(const std::string& name) { return dir_->file(name); }
    static const ResultData& result() { return *result_; }
    // torla-inspect in the run's folder; standard output and error in out.
    static int inspect(const std::string& args, std::string& out) {
        return run_in(dir_->path(), bin_dir() + "/torla-inspect " + args, out);
    }

    static std::unique_ptr<TempDir> dir_;
    static std::unique_ptr<ResultData> result_;
    inline static SuiteSetup setup_;
};

}  // namespace torla::test
