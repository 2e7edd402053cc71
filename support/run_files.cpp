// The names beside a result and the reading of exit statuses (see run_files.h).
#include "support/run_files.h"

#include "input/input.h"
#include "model/model_state.h"
#include "output/heights_format.h"

namespace torla::support {

std::string log_path_of(const std::string& result_path) {
    return result_path.size() >= 3 ? result_path.substr(0, result_path.size() - 3) + "plg" : "";
}

std::string record_path_of(const std::string& result_path) { return result_path + kRecordSuffix; }

std::string heights_path_of(const std::string& result_path) { return result_path + kHeightsSuffix; }

const char* stop_reason_of_status(int exit_status) {
    switch (exit_status) {
    case kStatusComplete:
        return "max_time";
    case kStatusNonFinite:
        return "non_finite";
    case kStatusDumpLimit:
        return "dump_limit";
    case kStatusSmallStep:
        return "small_step";
    default:
        break;
    }
    const bool signal = exit_status > kStatusSignal && exit_status <= kStatusSignal + 64;
    return signal ? "interrupted" : "error";
}

bool status_says_unstable(int exit_status) {
    return exit_status == kStatusNonFinite || exit_status == kStatusSmallStep;
}

}  // namespace torla::support
