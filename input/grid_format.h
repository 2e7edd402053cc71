// The two binary files exchanged with the grid generator: the generator
// input (written by the command-file reader, read by knotline) and the grid
// file (written by knotline, read back by the run). One writer and one
// reader of each, side by side in grid_format.cpp.
#pragma once

#include <cstdint>
#include <string>

#include "model/model_state.h"

namespace torla {

inline constexpr int kInputPointFloats = 16;  // 4 coordinates + 12 local numbers
inline constexpr int kGridColumns = 19;

// Generator input file: float Elem_Size, float Max_Dev, int16 N, N x 16 floats.
struct GeneratorInput {
    float elem_size = 0.0f;  // m
    float max_dev = 0.0f;    // m
    FloatRows points;        // N rows of 16 floats
};
// Each returns an empty string on success, else what went wrong.
std::string write_generator_input(const std::string& path, const GeneratorInput& in);
std::string read_generator_input(const std::string& path, GeneratorInput& in);

// Grid file: int16 n, n x 19 floats.
std::string write_grid_file(const std::string& path, const FloatRows& rows);
// Reads the count only.
std::string read_grid_count(const std::string& path, int16_t& n);
// Reads the count and n rows; trailing is set when bytes follow the rows.
std::string read_grid_rows(const std::string& path, int16_t n, FloatRows& rows, bool& trailing);

}  // namespace torla
