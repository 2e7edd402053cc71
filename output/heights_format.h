// The peaks-over-height file <result>.heights that a run with Height_Peaks
// on writes beside its result file: for every cell and height the largest
// pressure over every pass of the run and its time, with what a reader needs
// to recompute pressures over height from the dumps (the heights, the two
// densities, the profile coefficients). Its writer and its reader stand side
// by side in heights_file.cpp.
//
// Layout, little-endian: "TORLAHGT", int32 version (1), int32 cells, int32
// heights, float64 Air_Density, float64 rho_diff (kg/m^3), 12 float32 profile
// coefficients (the result header's order), float64 simulated time at the
// end (s), int64 passes and int64 dump records folded in, float64 heights
// (m), then float64 peaks (kPa) and float64 times (s, NaN where the pressure
// never rose above 0), each cell-major: [cell * heights + k].
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace torla {

inline constexpr const char* kHeightsSuffix = ".heights";

struct HeightsData {
    int32_t n_cells = 0;
    double air_density = 0.0;  // kg/m^3
    double rho_diff = 0.0;     // kg/m^3, Particle_Density - Air_Density
    float coefficients[12] = {};
    double end_time = 0.0;  // s, simulated time of the last state folded in
    int64_t passes = 0, dumps = 0;
    std::vector<double> heights;  // m, rising
    std::vector<double> peak;     // kPa, [cell * heights.size() + k]
    std::vector<double> time;     // s, NaN: never above 0
    double peak_at(int cell, std::size_t k) const { return peak[cell * heights.size() + k]; }
    double time_at(int cell, std::size_t k) const { return time[cell * heights.size() + k]; }
};

// Writes the file to `path` under a temporary name beside it and renames it,
// so no reader sees half a file; returns "" or what failed.
std::string write_heights_file(const std::string& path, const HeightsData& d);
// Reads and checks a whole file; returns "" or what is wrong, with the byte
// offset where a field is missing or bad.
std::string read_heights_file(const std::string& path, HeightsData& d);

}  // namespace torla
