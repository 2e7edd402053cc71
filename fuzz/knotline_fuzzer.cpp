// Fuzz target: knotline's reader of the generator input and its grid maker.
//
// The input is a generator input file. read_generator_input either refuses
// it or hands it to make_grid. What must hold for a grid that make_grid
// accepts: 2 to 32767 grid points of 19 finite numbers, the end points on
// the first and last input point, no cell longer than Elem_Size (give or
// take the rounding to 32-bit floats), and the grid written and read back
// unchanged. A refused input leaves the grid empty.
#include <cmath>
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "input/input.h"
#include "knotline/knotline.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    torla::fuzz::enter_scratch_directory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    torla::fuzz::write_input("fuzz.kin", data, size);
    torla::GeneratorInput in;
    if (!torla::read_generator_input("fuzz.kin", in).empty()) return 0;
    TORLA_FUZZ_ASSERT(size == 10 + 64 * static_cast<size_t>(in.points.rows));

    torla::FloatRows grid;
    const std::string err = torla::knotline::make_grid(in, grid);
    if (!err.empty()) {
        TORLA_FUZZ_ASSERT(grid.rows == 0 && grid.data.empty());
        return 0;
    }
    const int n = grid.rows;
    TORLA_FUZZ_ASSERT(n >= 2 && n <= torla::knotline::kMaxGridPoints);
    TORLA_FUZZ_ASSERT(grid.cols == torla::kGridColumns);
    TORLA_FUZZ_ASSERT(grid.data.size() == static_cast<size_t>(n) * torla::kGridColumns);
    for (float v : grid.data) TORLA_FUZZ_ASSERT(std::isfinite(v));
    const torla::FloatRows& p = in.points;
    TORLA_FUZZ_ASSERT(grid[0][0] == p[0][0] && grid[0][1] == p[0][1]);
    TORLA_FUZZ_ASSERT(grid[n - 1][0] == p[p.rows - 1][0] && grid[n - 1][1] == p[p.rows - 1][1]);
    const double limit = static_cast<double>(in.elem_size) * (1.0 + 1e-6);
    for (int k = 0; k < n; ++k) TORLA_FUZZ_ASSERT(static_cast<double>(grid[k][3]) <= limit);

    TORLA_FUZZ_ASSERT(torla::write_grid_file("fuzz.grid", grid).empty());
    int16_t count = 0;
    TORLA_FUZZ_ASSERT(torla::read_grid_count("fuzz.grid", count).empty() && count == n);
    torla::FloatRows back;
    bool trailing = true;
    TORLA_FUZZ_ASSERT(torla::read_grid_rows("fuzz.grid", count, back, trailing).empty());
    TORLA_FUZZ_ASSERT(!trailing);
    TORLA_FUZZ_ASSERT(
        std::memcmp(back.data.data(), grid.data.data(), grid.data.size() * sizeof(float)) == 0);
    return 0;
}
