// The model state: the one record of a run, created by the driver and handed
// by reference to every operation that needs it.
//
// Index conventions, used everywhere in the program:
//  - Cell i (0 <= i < n_cells) is grid point i; cell 0 is the top of the track.
//  - Row i of every matrix belongs to cell i; column j is component j of the
//    conserved vector (enum Component).
//  - The active window is the half-open range [first_active, last_active);
//    its interior, where the update acts, is first_active + 1 ... last_active - 2.
//  - The flux row of a cell is evaluated at the cell itself; the update of
//    cell i differences the rows of an upwind pair (l, r) and, for diffusion,
//    the rows i - 1 and i + 1.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "input/parameters.h"

namespace torla {

inline constexpr const char* kVersion = "0.5.11";
inline constexpr std::size_t kMaxLine = 255;      // longest line / name a text buffer holds
inline constexpr int kMinCells = 6;               // the explicit update needs at least this many

// The ten conserved components of a cell.
enum Component : int {
    kCoverDepth = 0,      // h1                         m
    kCoverDensity,        // rho1 (the density itself)  kg/m^3
    kSaltDepth,           // h2                         m
    kSaltMomentum,        // (Air_Density + rho2) u2 h2 kg/(m s)
    kSaltLoad,            // rho2 h2                    kg/m^2
    kSuspDepth,           // h3                         m
    kSuspMomentum,        // rho3 u3 h3                 kg/(m s)
    kSuspVolume,          // c3 h3                      m
    kSuspEnergy,          // rho3 k3 h3                 kg/s^2
    kSuspDissipation,     // rho3 eps3 h3               kg/s^3
    kNumComponents
};

// A matrix of rows x 10 doubles in one contiguous block, indexed m[i][j].
struct Matrix {
    std::vector<double> data;
    int rows = 0;
    double* operator[](int i) { return data.data() + static_cast<std::size_t>(i) * kNumComponents; }
    const double* operator[](int i) const { return data.data() + static_cast<std::size_t>(i) * kNumComponents; }
};

// A table of rows x cols 32-bit floats in one block (input points, grid rows).
struct FloatRows {
    std::vector<float> data;
    int rows = 0;
    int cols = 0;
    float* operator[](int i) { return data.data() + static_cast<std::size_t>(i) * cols; }
    const float* operator[](int i) const { return data.data() + static_cast<std::size_t>(i) * cols; }
};

Matrix alloc_matrix(int rows);
void free_matrix(Matrix& m);
FloatRows alloc_float_rows(int rows, int cols);
void free_float_rows(FloatRows& r);

// The depth integrals of the assumed vertical profiles of the suspension
// layer, named by their report labels.
struct FormFactors {
    double S_CZ = 0, S_U = 0, S_CU = 0, T_UU = 0, S_CUU = 0, T_UK = 0, S_CUK = 0,
           T_UE = 0, S_CUE = 0, T_KKK_E = 0, S_CKKK_E = 0, T_KK = 0, S_CKK = 0,
           T_UKK_E = 0, S_CUKK_E = 0, T_UUKK_E = 0, S_CUUKK_E = 0, T_dUdUKK_E = 0,
           S_CdUdUKK_E = 0, S_dCdUUKK_E = 0, S_CKK_E = 0, S_dCKK_E = 0, T_UUK = 0,
           S_CUUK = 0, T_dUdUK = 0, S_CdUdUK = 0, S_dCdUUK = 0, S_CK = 0, S_dCK = 0,
           T_EE_K = 0, S_CEE_K = 0;
};

// Number of tracked quantities of the peak table and floats per entry.
inline constexpr int kPeakQuantities = 12;
inline constexpr int kPeakEntryFloats = 4;
// Rows of a dump record: the same twelve quantities, in the same order.
inline constexpr int kDumpRows = kPeakQuantities;
// The twelve quantities of a dump record and of the peak table, by row.
inline constexpr const char* kResultQuantityNames[kDumpRows] = {
    "h1", "rho1", "h2", "u2", "saltation density", "saltation pressure",
    "h3", "u3", "c3", "k3", "eps3", "suspension pressure"};

struct ModelState {
    // Parameters and the values derived from them once the command file is read.
    RunParameters par;
    double rho_diff = 0.0;        // kg/m^3, Particle_Density - Air_Density
    double min_susp_mass = 0.0;   // kg/m^2, lower bound of rho3 h3 as a divisor

    // Names.
    std::string problem_name = "Unspecified problem";
    std::string run_name = "Unspecified run";
    std::string command_file;
    std::string result_file;
    std::string generator_prefix;
    std::string log_file;

    // Counts and active window.
    int16_t n_cells = 0;
    int32_t first_active = 0;     // first cell of the window (inclusive)
    int32_t last_active = 0;      // end of the window (exclusive)

    // Time and dump bookkeeping.
    double t = 0.0;               // s, time of the state held in U_prev during a pass
    double dt = 0.0;              // s, step of the current pass
    double dtn = 0.0;             // s, step chosen after the pass
    int32_t step_count = 0;       // passes begun
    int16_t dump_count = 0;       // regular dumps written
    double next_dump_time = 0.0;  // s
    double min_cell_length = 1.0; // m, smallest cell length of cells 1 ... n-1
    int32_t dump_count_position = 0;  // byte offset of the dump-count field in the result file

    // Per-cell arrays (n_cells doubles each).
    std::vector<double> grid_x;       // m, coordinate along the plane of the path
    std::vector<double> grid_y;       // m, elevation in that plane
    std::vector<double> grid_aux2;    // carried to the geometry table
    std::vector<double> cell_length;  // m
    std::vector<double> cos_slope;    // -
    std::vector<double> sin_slope;    // -
    std::vector<double> curvature;    // 1/m
    std::vector<double> grid_aux6;    // carried to the geometry table
    std::vector<double> u_threshold;  // m/s, threshold velocity of the snow cover
    std::vector<double> h1;           // m, snow-cover depth
    std::vector<double> rho1;         // kg/m^3, snow-cover density
    std::vector<double> h2;           // m, saltation-layer depth
    std::vector<double> rho2;         // kg/m^3, saltation density excess over air
    std::vector<double> u2;           // m/s, saltation-layer velocity
    std::vector<double> h3;           // m, suspension-layer depth
    std::vector<double> c3;           // -, snow volume concentration
    std::vector<double> rho3;         // kg/m^3, suspension bulk density
    std::vector<double> u3;           // m/s, suspension-layer velocity
    std::vector<double> k3;           // m^2/s^2, turbulent kinetic energy
    std::vector<double> eps3;         // m^2/s^3, dissipation rate
    std::vector<double> g_normal;     // m/s^2, effective gravity normal to the track
    std::vector<double> g_tangent;    // m/s^2, gravity along the track

    // Matrices (n_cells rows x 10).
    Matrix U;          // conserved state of the current time level
    Matrix U_prev;     // copy of U taken at the start of every pass
    Matrix flux_adv;   // advective flux of every component
    Matrix flux_diff;  // diffusive flux of every component
    Matrix sink;       // relaxed source terms as loss rates
    Matrix sink_prev;  // sink of the previous time_step call

    // Peak table: 12 quantities x n_cells entries x 4 floats; entry (q, i)
    // starts at float (q * n_cells + i) * 4.
    std::vector<float> peak_table;

    // One dump record, 12 rows of n_cells + 1 floats, assembled here before
    // it is appended to the result file (obtained with the rest, so that no
    // dump allocates).
    std::vector<float> dump_record;

    // Form factors, fixed once before the time loop.
    FormFactors ff;

    // The log stream, open from open_log until the end line is written.
    std::FILE* log = nullptr;

    // When true, time_step copies whole matrices (reference behaviour);
    // otherwise only the rows that can differ.
    bool full_copies = false;

    // Rows [changed_begin, changed_end) hold every row in which U may differ
    // from U_prev: every time_step call sets it to the rows it wrote, the copy
    // at the start of a pass empties it. It starts as every row, since the
    // grid reader fills U alone.
    int32_t changed_begin = 0;
    int32_t changed_end = INT32_MAX;
};

// Obtains every per-cell structure for s.n_cells cells; the peak table
// starts at 0.0 in every float.
void allocate_model_state(ModelState& s);
void release_model_state(ModelState& s);

// A fatal condition: the message has been printed; the run ends with status.
struct RunStop {
    int status;
};
[[noreturn]] void stop_run(int status);

}  // namespace torla
