// What a run of torla leaves beside its result, named as torla names it,
// and how its exit status reads.
#pragma once

#include <string>

namespace torla::support {

// The log: the result's name with "plg" for its last three characters;
// "" where the name is shorter than that.
std::string log_path_of(const std::string& result_path);
// The run record: <result>.json.
std::string record_path_of(const std::string& result_path);
// The peaks over height (Height_Peaks on): <result>.heights.
std::string heights_path_of(const std::string& result_path);

// The stop_reason word of a run's record for the exit status it ended with
// ("max_time", "non_finite", "dump_limit", "small_step", "interrupted" for
// 128 + a signal, "error" for the rest, 255 of a usage error among them).
const char* stop_reason_of_status(int exit_status);
// A run whose numbers went bad or whose step fell below the smallest: it
// blew up, whatever its files say.
bool status_says_unstable(int exit_status);

}  // namespace torla::support
