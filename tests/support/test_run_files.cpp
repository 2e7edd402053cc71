// The files beside a result and the reading of torla's exit statuses, as
// the tools see them.
#include <string>

#include <gtest/gtest.h>

#include "support/run_files.h"

namespace {

TEST(SupportRunFiles, NamesBesideAResult) {
    struct Case {
        std::string result, log, record, heights;
    } cases[] = {
        {"run.res", "run.plg", "run.res.json", "run.res.heights"},
        {"dir/a.b/member.res", "dir/a.b/member.plg", "dir/a.b/member.res.json",
         "dir/a.b/member.res.heights"},
        {"abc", "plg", "abc.json", "abc.heights"},
        {"ab", "", "ab.json", "ab.heights"},  // too short for a log name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.result);
        EXPECT_EQ(torla::support::log_path_of(c.result), c.log);
        EXPECT_EQ(torla::support::record_path_of(c.result), c.record);
        EXPECT_EQ(torla::support::heights_path_of(c.result), c.heights);
    }
}

TEST(SupportRunFiles, StopReasonAndBlowUpOfAnExitStatus) {
    struct Case {
        int status;
        std::string reason;
        bool unstable;
    } cases[] = {
        {0, "max_time", false},
        {1, "error", false},
        {2, "non_finite", true},
        {3, "dump_limit", false},
        {4, "error", false},
        {5, "small_step", true},
        {6, "error", false},
        {127, "error", false},
        {128, "error", false},
        {128 + 2, "interrupted", false},
        {128 + 15, "interrupted", false},
        {255, "error", false},
        {-1, "error", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(torla::support::stop_reason_of_status(c.status), c.reason) << c.status;
        EXPECT_EQ(torla::support::status_says_unstable(c.status), c.unstable) << c.status;
    }
}

}  // namespace
