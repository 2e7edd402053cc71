// Fuzz target: the command-file reader and the parameter lines.
//
// The input is a command file. Each of its lines is first applied to a
// parameter table of its own with match_parameter (which must never stop
// the run), then the whole file goes through read_command_file. What must
// hold afterwards:
//  - a stop carries status 4 (an inconsistent file, a table with the wrong
//    row count included) and leaves no generator input behind;
//  - a positive result N leaves a generator input of exactly N points whose
//    numbers are finite or that the grid maker refuses, and parameters the
//    model can divide by.
#include <cmath>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "input/input.h"
#include "knotline/knotline.h"

namespace {

const char* const kCommandFile = "fuzz.cmd";

void apply_each_line(const uint8_t* data, size_t size) {
    torla::RunParameters p;
    const char* text = reinterpret_cast<const char*>(data);
    size_t start = 0;
    for (size_t k = 0; k <= size; ++k) {
        if (k == size || text[k] == '\n') {
            match_parameter(p, std::string(text + start, k - start) + (k < size ? "\n" : ""));
            start = k + 1;
        }
    }
    TORLA_FUZZ_ASSERT(p.Grid_Method.size() <= torla::kMaxMethodLength);
}

void check_generator_input(int16_t n) {
    torla::GeneratorInput in;
    const std::string err = torla::read_generator_input(torla::kGridFile, in);
    TORLA_FUZZ_ASSERT(err.empty());
    TORLA_FUZZ_ASSERT(in.points.rows == n);
    TORLA_FUZZ_ASSERT(in.points.cols == torla::kInputPointFloats);
    // Every number of the command file is finite, but Elem_Size, Max_Dev
    // and the scaled suspension place are narrowed to 32 bits on the way:
    // a value beyond the float range must then be refused by the generator.
    bool finite = std::isfinite(in.elem_size) && std::isfinite(in.max_dev);
    for (float v : in.points.data) finite = finite && std::isfinite(v);
    if (!finite) {
        torla::FloatRows grid;
        TORLA_FUZZ_ASSERT(!torla::knotline::make_grid(in, grid).empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    torla::fuzz::enter_scratch_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    apply_each_line(data, size);

    torla::fuzz::write_input(kCommandFile, data, size);
    std::remove(torla::kGridFile);
    torla::ModelState s;
    s.names.command_file = kCommandFile;
    try {
        const int16_t n = torla::read_command_file(s);
        TORLA_FUZZ_ASSERT(n > 0);
        check_generator_input(n);
        TORLA_FUZZ_ASSERT(s.par.Gamma_1 == static_cast<double>(s.par.profile.Velo_Prof_Coeff_0));
        TORLA_FUZZ_ASSERT(std::isfinite(s.constants.rho_diff) &&
                          std::isfinite(s.constants.min_susp_mass));
        TORLA_FUZZ_ASSERT(s.par.Gravity > 0.0 && s.par.Courant_Nr > 0.0 &&
                          s.par.Particle_Density > 0.0 && s.par.Max_Time_Step > 0.0);
    } catch (const torla::RunStop& stop) {
        TORLA_FUZZ_ASSERT(stop.status == torla::kStatusCommandFile);
        TORLA_FUZZ_ASSERT(std::fopen(torla::kGridFile, "rb") == nullptr);
    }
    return 0;
}
