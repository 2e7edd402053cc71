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

// Only a non-finite value (2) and a small-step stop (5) tell of a blow-up.
TEST(SupportRunFiles, StopReasonAndBlowUpOfAnExitStatus) {
    const std::pair<int, std::string> reasons[] = {
        {0, "max_time"},      {2, "non_finite"},    {3, "dump_limit"}, {5, "small_step"},
        {130, "interrupted"}, {143, "interrupted"}, {1, "error"},      {4, "error"},
        {6, "error"},         {127, "error"},       {128, "error"},    {255, "error"},
        {-1, "error"}};
    for (const auto& [status, reason] : reasons) {
        EXPECT_EQ(torla::support::stop_reason_of_status(status), reason) << status;
        EXPECT_EQ(torla::support::status_says_unstable(status), status == 2 || status == 5)
            << status;
    }
}

}  // namespace
