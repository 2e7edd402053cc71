// Fuzz target: the grid file as the generator hands it over, and the first
// passes of the time loop over the grid it describes.
//
// The input is a grid file. It goes through the steps of a run's grid
// phase: the count (grids of fewer than 6 points are refused there), the
// rows with read_grid_file (values checked, result header written), then
// the start-up of the time loop and up to kPasses passes with run_pass,
// and the end of the result file. What must hold:
//  - read_grid_file stops only with status 1 and then leaves no result
//    file; the grid file is gone afterwards in every case;
//  - a pass stops only with status 2 (non-finite state) or 3;
//  - the result file, once completed, reads back with read_result_file,
//    and a run that ends normally leaves only finite floats in it (a value
//    beyond the float range stops the run with status 2 instead).
#include <cmath>
#include <cstring>
#include <string>

#include "flow/flow.h"
#include "fuzz/fuzz_support.h"
#include "input/input.h"
#include "output/output.h"
#include "run/run.h"

namespace {

constexpr int kPasses = 16;
const char* const kResultFile = "fuzz.res";
const char* const kLogFile = "fuzz.plg";

bool exists(const char* path) {
    std::FILE* f = std::fopen(path, "rb");
    if (f) std::fclose(f);
    return f != nullptr;
}

void check_result_file(bool completed) {
    torla::ResultData r;
    const std::string err = torla::read_result_file(kResultFile, r);
    if (!err.empty()) std::fprintf(stderr, "read_result_file: %s\n", err.c_str());
    TORLA_FUZZ_ASSERT(err.empty());
    if (!completed) return;
    for (const auto& d : r.dumps)
        for (float v : d) TORLA_FUZZ_ASSERT(std::isfinite(v));
    for (float v : r.peaks) TORLA_FUZZ_ASSERT(std::isfinite(v));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    torla::fuzz::enter_scratch_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torla::fuzz::write_input(torla::kGridFile, data, size);
    std::remove(kResultFile);

    int16_t n = 0;
    if (!torla::read_grid_count(torla::kGridFile, n).empty() || n < torla::kMinCells) {
        std::remove(torla::kGridFile);
        return 0;
    }
    torla::ModelState s;
    s.names.result_file = kResultFile;
    s.names.log_file = kLogFile;
    s.names.problem = "Fuzz track";
    s.names.run = "Fuzz run";
    torla::derive_run_constants(s);
    s.files.log = std::fopen(kLogFile, "w");
    TORLA_FUZZ_ASSERT(s.files.log != nullptr);
    s.n_cells = n;
    torla::allocate_model_state(s);

    bool read = false;
    try {
        // The driver's grid phase and start-up of the time loop.
        const torla::GridFile grid = torla::take_grid_file(n);
        if (grid.trailing_data) torla::report_trailing_grid_data(s);
        torla::write_result_header(s, torla::read_grid_file(s, grid));
        read = true;
        TORLA_FUZZ_ASSERT(s.grid.min_cell_length > 0.0 && std::isfinite(s.grid.min_cell_length));
        torla::prepare_time_loop(s);
        torla::report_form_factors(s);
        int passes = 0;
        while (passes < kPasses && torla::run_pass(s)) ++passes;
        // The driver's end of a run: a peak beyond the float range ends it
        // with status 2 over the completed file.
        const bool finite_peaks = !torla::first_unfit_peak(s).found();
        torla::append_peak_table(s);
        torla::patch_dump_count(s);
        check_result_file(finite_peaks);
    } catch (const torla::RunStop& stop) {
        if (!read) {
            TORLA_FUZZ_ASSERT(stop.status == torla::kStatusFailure);
            TORLA_FUZZ_ASSERT(!exists(kResultFile));
        } else {
            TORLA_FUZZ_ASSERT(stop.status == torla::kStatusNonFinite ||
                              stop.status == torla::kStatusDumpLimit);
            check_result_file(false);
        }
    }
    TORLA_FUZZ_ASSERT(!exists(torla::kGridFile));
    if (s.files.log) std::fclose(s.files.log);
    s.files.log = nullptr;
    torla::release_model_state(s);
    return 0;
}
