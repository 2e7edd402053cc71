// Input: the information file, the command file, the binary files shared
// with the grid generator, the grid reader and the generator run.
#pragma once

#include <string>

#include "input/parameters.h"
#include "run/model_state.h"

namespace torla {

inline constexpr const char* kGridFile = "torla_grid.tmp";
inline constexpr const char* kGridLockFile = "torla_grid.tmp.lock";
inline constexpr const char* kGeneratorName = "knotline";
inline constexpr const char* kGeneratorTag = "tor-la";
inline constexpr int kInputPointFloats = 16;  // 4 coordinates + 12 local numbers
inline constexpr int kGridColumns = 19;

// ---- Binary files shared with the generator (one writer, one reader each).

// Generator input file: float Elem_Size, float Max_Dev, int16 N, N x 16 floats.
struct GeneratorInput {
    float elem_size = 0.0f;
    float max_dev = 0.0f;
    FloatRows points;  // N rows of 16 floats
};
// Both return an empty string on success, else what went wrong.
std::string write_generator_input(const std::string& path, const GeneratorInput& in);
std::string read_generator_input(const std::string& path, GeneratorInput& in);

// Grid file: int16 n, n x 19 floats.
std::string write_grid_file(const std::string& path, const FloatRows& rows);
// Reads the count only.
std::string read_grid_count(const std::string& path, int16_t& n);
// Reads the count and n rows; trailing is set when bytes follow the rows.
std::string read_grid_rows(const std::string& path, int16_t n, FloatRows& rows, bool& trailing);

// ---- The run's input steps.

// Reads the command file s.command_file, fills the parameters, the names and
// the derived constants, and writes the generator input file. Returns the
// number of input points, -1 or -2 when a table has the wrong row count.
int16_t read_command_file(ModelState& s);

// Runs prefix + "knotline" with the arguments "torla_grid.tmp" "tor-la",
// without a shell, and waits; any failure stops the run with status 1.
void run_grid_generator(const ModelState& s);

// Reads the grid file, fills the geometry and the initial state, writes the
// result header, deletes the grid file; returns the smallest cell length
// of cells 1 ... n-1.
double read_grid_file(ModelState& s, int16_t n);

}  // namespace torla

namespace torla {

// Exclusive advisory lock on "torla_grid.tmp.lock" in the working directory,
// held for the whole grid phase (generator input written, generator run,
// grid read and deleted), so that runs sharing a directory take turns with
// the fixed temporary file name instead of reading each other's grid.
class GridLock {
public:
    GridLock();  // waits for the lock; stops the run when it cannot be had
    ~GridLock();
    GridLock(const GridLock&) = delete;
    GridLock& operator=(const GridLock&) = delete;
    void release();

private:
    int fd_ = -1;
};

}  // namespace torla
