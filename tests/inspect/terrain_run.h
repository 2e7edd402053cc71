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
        dir_ = std::make_unique<TempDir>();
        make_valley_dem(file("dem.tif"));
        write_lines(file("path.geojson"), "GeoJSON", {{"valley", valley_path()}});
        std::string out;
        ASSERT_EQ(run_in(dir_->path(),
                         bin_dir() + "/torla-profile dem.tif path.geojson -o valley.cmd "
                                     "--max-time 12 --dump-interval 1 --release 0:80 "
                                     "--numerics standard",  // the run these tests were written on
                         out),
                  0)
            << out;
        write_text(file("valley.info"), "valley.cmd\nvalley.res\n" + bin_dir() + "/\n");
        ASSERT_EQ(run_in(dir_->path(), bin_dir() + "/torla valley.info", out), 0) << out;
        result_ = std::make_unique<ResultData>();
        ASSERT_EQ(read_result_file(file("valley.res"), *result_), "");
    }
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
};

}  // namespace torla::test
