// The model state: the one record of a run, created by the driver and handed
// by reference to every operation that needs it (const where it only reads).
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
//  - Peak-table entry (q, i) starts at float (q * n_cells + i) * 4: maximum,
//    then h1, h2, h3 when it was set.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "model/height_pressure.h"
#include "model/parameters.h"
#include "model/processor.h"
#include "model/quantities.h"
#include "model/runout.h"
#include "model/scheme.h"

namespace torla {

inline constexpr const char* kVersion = "0.5.11";
inline constexpr std::size_t kMaxLine = 255;  // longest line / name a text buffer holds
inline constexpr int kMinCells = 6;           // the explicit update needs at least this many

// Exit statuses of torla. Every status a run can end with is named here.
enum ExitStatus : int {
    kStatusComplete = 0,     // a complete run
    kStatusUsage = -1,       // not exactly one argument (255 to the shell)
    kStatusFailure = 1,      // information file, grid, generator, files, lock
    kStatusNonFinite = 2,    // the numbers went bad during the run
    kStatusDumpLimit = 3,    // the 16-bit dump count would overflow
    kStatusCommandFile = 4,  // an inconsistent command file
    kStatusSmallStep = 5,    // the step fell below the smallest step; the files are complete
    kStatusSignal = 128,     // ended by a signal: 128 + its number
};

// Why a run ended, as the run record names it.
enum class StopReason { kMaxTime, kSmallStep, kNonFinite, kDumpLimit, kInterrupted, kError };

// The ten conserved components of a cell.
enum Component : int {
    kCoverDepth = 0,   // h1                         m
    kCoverDensity,     // rho1 (the density itself)  kg/m^3
    kSaltDepth,        // h2                         m
    kSaltMomentum,     // (Air_Density + rho2) u2 h2 kg/(m s)
    kSaltLoad,         // rho2 h2                    kg/m^2
    kSuspDepth,        // h3                         m
    kSuspMomentum,     // rho3 u3 h3                 kg/(m s)
    kSuspVolume,       // c3 h3                      m
    kSuspEnergy,       // rho3 k3 h3                 kg/s^2
    kSuspDissipation,  // rho3 eps3 h3               kg/s^3
    kNumComponents
};

// Names of the components for messages, by enum.
inline constexpr const char* kComponentNames[kNumComponents] = {"snow-cover depth",
                                                                "snow-cover density",
                                                                "saltation-layer depth",
                                                                "saltation-layer momentum",
                                                                "saltation-layer particle load",
                                                                "suspension-layer depth",
                                                                "suspension-layer momentum",
                                                                "suspension-layer snow volume",
                                                                "suspension-layer turbulent energy",
                                                                "suspension-layer dissipation"};

// A matrix of rows x 10 doubles in one contiguous block, indexed m[i][j].
struct Matrix {
    std::vector<double> data;
    int rows = 0;
    double* operator[](int i) { return data.data() + static_cast<std::size_t>(i) * kNumComponents; }
    const double* operator[](int i) const {
        return data.data() + static_cast<std::size_t>(i) * kNumComponents;
    }
};

// A table of rows x cols 32-bit floats in one block (input points, grid rows).
struct FloatRows {
    std::vector<float> data;
    int rows = 0;
    int cols = 0;
    float* operator[](int i) { return data.data() + static_cast<std::size_t>(i) * cols; }
    const float* operator[](int i) const {
        return data.data() + static_cast<std::size_t>(i) * cols;
    }
};

Matrix alloc_matrix(int rows);
void free_matrix(Matrix& m);
FloatRows alloc_float_rows(int rows, int cols);
void free_float_rows(FloatRows& r);

// Geometry row of one cell as the result-file header stores it.
struct GeometryRow {
    float path_length;  // m, along the straight pieces between grid points
    float aux2;         // carried value (grid column 2)
    float cell_length;  // m
    float slope_deg;    // degrees
    float curvature;    // 1/m
    float aux6;         // carried value (grid column 6)
};

// The depth integrals of the assumed vertical profiles of the suspension
// layer, named by their report labels (dimensionless).
struct FormFactors {
    double S_CZ = 0, S_U = 0, S_CU = 0, T_UU = 0, S_CUU = 0, T_UK = 0, S_CUK = 0, T_UE = 0,
           S_CUE = 0, T_KKK_E = 0, S_CKKK_E = 0, T_KK = 0, S_CKK = 0, T_UKK_E = 0, S_CUKK_E = 0,
           T_UUKK_E = 0, S_CUUKK_E = 0, T_dUdUKK_E = 0, S_CdUdUKK_E = 0, S_dCdUUKK_E = 0,
           S_CKK_E = 0, S_dCKK_E = 0, T_UUK = 0, S_CUUK = 0, T_dUdUK = 0, S_CdUdUK = 0,
           S_dCdUUK = 0, S_CK = 0, S_dCK = 0, T_EE_K = 0, S_CEE_K = 0;
};

// Values fixed once from the parameters when the command file has been read.
struct RunConstants {
    double rho_diff = 0.0;              // kg/m^3, Particle_Density - Air_Density
    double min_susp_mass = 0.0;         // kg/m^2, lower bound of rho3 h3 as a divisor
    Scheme scheme = Scheme::kStandard;  // the scheme of the update, read from Numerics
};

// Names of the run and of its files.
struct Names {
    std::string problem = "Unspecified problem";
    std::string run = "Unspecified run";
    std::string command_file;      // line 1 of the information file
    std::string result_file;       // line 2
    std::string generator_prefix;  // line 3, put in front of "knotline"
    std::string log_file;          // the result file's name with "plg" for its last 3 characters
};

// Geometry of the grid, filled once by the grid reader (n_cells entries each).
struct Grid {
    std::vector<double> x;            // m, coordinate along the plane of the path
    std::vector<double> y;            // m, elevation in that plane
    std::vector<double> aux2;         // carried to the geometry table
    std::vector<double> cell_length;  // m
    std::vector<double> cos_slope;    // -
    std::vector<double> sin_slope;    // -
    std::vector<double> curvature;    // 1/m
    std::vector<double> aux6;         // carried to the geometry table
    std::vector<double> u_threshold;  // m/s, threshold velocity of the snow cover
    std::vector<float> path_length;   // m, as the result file's geometry table holds it
    std::vector<GeometryRow> rows;    // the result file's geometry table, row per cell
    double min_cell_length = 1.0;     // m, smallest cell length of cells 1 ... n-1
};

// The layer variables of the current state (n_cells entries each),
// derived from U after every step, and the effective gravity they give.
struct Layers {
    std::vector<double> h1;         // m, snow-cover depth
    std::vector<double> rho1;       // kg/m^3, snow-cover density
    std::vector<double> h2;         // m, saltation-layer depth
    std::vector<double> rho2;       // kg/m^3, saltation density excess over air
    std::vector<double> u2;         // m/s, saltation-layer velocity
    std::vector<double> h3;         // m, suspension-layer depth
    std::vector<double> c3;         // -, snow volume concentration
    std::vector<double> rho3;       // kg/m^3, suspension bulk density
    std::vector<double> u3;         // m/s, suspension-layer velocity
    std::vector<double> k3;         // m^2/s^2, turbulent kinetic energy
    std::vector<double> eps3;       // m^2/s^3, dissipation rate
    std::vector<double> g_normal;   // m/s^2, effective gravity normal to the track
    std::vector<double> g_tangent;  // m/s^2, gravity along the track
};

// The work arrays of the robust scheme (n_cells entries each; flow/robust.cpp
// fills and reads them within one time_step call).
struct RobustWork {
    // A cell's coefficients: the bounds of the signal speeds of the two
    // moving layers and the eddy diffusivities of the suspension layer.
    struct Cell {
        double salt_slowest, salt_fastest;  // m/s, saltation layer
        double susp_slowest, susp_fastest;  // m/s, suspension layer
        double momentum_diffusivity;        // m^2/s, of rho3 u3 h3
        double volume_diffusivity;          // m^2/s, of c3 into c3 h3
    };
    // A cell's row of the implicit diffusion after forward elimination:
    // super-diagonal (-) and right side of the momentum system (kg/(m s))
    // and of the concentration system (-).
    struct Eliminated {
        double super_m, right_m, super_c, right_c;
    };
    std::vector<Cell> cells;
    std::vector<Eliminated> eliminated;
};

// The active window and the rows a pass may have changed.
struct Window {
    int32_t first_active = 0;  // first cell of the window (inclusive)
    int32_t last_active = 0;   // end of the window (exclusive)
    // Rows [changed_begin, changed_end) hold every row in which U may differ
    // from U_prev: every time_step call sets it to the rows it wrote, the
    // copy at the start of a pass empties it. It starts as every row, since
    // the grid reader fills U alone.
    int32_t changed_begin = 0;
    int32_t changed_end = INT32_MAX;
    // The window the last time_step call updated, before it moved the window.
    int32_t updated_first = 0, updated_last = 0;
    // Whether the last window search found a cell that carries flow.
    bool has_flow = true;
    // Mass per metre of track width and second that the last full step sent
    // through the end of the track (kg/(m s)).
    double outflow_rate = 0.0;
    // When true, the copies of a pass cover whole matrices (the reference
    // behaviour) instead of the changed rows.
    bool full_copies = false;
    // When true, the flow loops run their AVX2 versions (flow/lanes.h): by
    // default where the processor has them; both give the same numbers.
    bool wide_lanes = processor_runs_wide_lanes();
};

// Simulated time and the dump schedule.
struct Clock {
    double t = 0.0;               // s, time of the state held in U_prev during a pass
    double dt = 0.0;              // s, step of the current pass
    double dtn = 0.0;             // s, step chosen after the pass
    int32_t step_count = 0;       // passes begun
    double next_dump_time = 0.0;  // s
    int16_t dump_count = 0;       // regular dumps written
};

// One dump as the run record describes it.
struct DumpSummary {
    double time = 0.0;                                      // s
    int32_t first = 0, last = 0;                            // the window then
    double cover = 0.0, saltation = 0.0, suspension = 0.0;  // kg/m, snow mass per metre of width
    double outflow = 0.0;            // kg/m, through the end of the track so far
    double edges = 0.0;              // kg/m, changed by the window's edge cells so far
    int front = -1;                  // cell of the front, -1: no front
    double front_path_length = 0.0;  // m, of that cell
};

// What the run record reports of a run, gathered as it goes.
struct History {
    bool keep = true;              // gathered at all (the benchmark measures its cost)
    double started = 0.0;          // s since the epoch, wall clock
    int32_t rescaled_passes = 0;   // passes whose step the Courant rule redid
    int32_t negativity_redos = 0;  // passes whose full step a negative mass shortened
    double smallest_step = 0.0, largest_step = 0.0;  // s
    double wave_speed = 0.0;                         // m/s, largest of the last pass
    double max_wave_speed = -1.0;  // m/s, largest of the run, with its time (s) and cell
    double max_wave_time = 0.0;
    int max_wave_cell = -1;
    bool onset = false;       // a first sign of instability was seen
    double onset_time = 0.0;  // s
    int onset_cell = -1;
    std::string onset_sign;
    std::vector<std::string> warnings;
    std::vector<DumpSummary> dumps;
    std::vector<double> arrival_time;       // s per cell; NaN until the flow arrives
    std::vector<float> peaks_before_onset;  // the 12 maxima per cell just before the onset
    RunoutHistory runout_dumps{record_runout_limits()};  // the run-outs' view of every dump
    double outflow = 0.0, edges = 0.0;                   // kg/m, so far
    double last_flow_time = 0.0;                         // s, last state with a cell carrying flow
    bool warned_no_flow = false;
    double longest_flow_step = 0.0;       // s, longest step of a pass with flow, and when
    double longest_flow_step_time = 0.0;  // s
    std::string command_sha256;           // of the command file's bytes as read
    std::string crs_wkt;                  // the map's CRS from the command file, or empty
    StopReason stop_reason = StopReason::kError;
    std::string message;  // the fatal message, if any
};

// The open files of a run.
struct Files {
    std::FILE* log = nullptr;         // the log stream, open from open_log to the end line
    bool log_created = false;         // open_log has created the log (the run leaves a record)
    int32_t dump_count_position = 0;  // byte offset of the dump-count field in the result file
    // Where the result and the log are written until the run ends with its
    // files (run/driver.cpp moves them to their names); empty: at their names.
    std::string result_path, log_path;
    bool result_started = false;  // the result file's header is written
};

struct ModelState {
    RunParameters par;
    RunConstants constants;
    Names names;
    int16_t n_cells = 0;  // the number of grid points; sizes everything per cell
    Grid grid;
    Layers layers;

    // Matrices, n_cells rows x 10 components.
    Matrix U;           // conserved state of the current time level
    Matrix U_prev;      // copy of U taken at the start of every pass
    Matrix flux_adv;    // advective flux of every component
    Matrix flux_diff;   // diffusive flux of every component
    Matrix sink;        // relaxed source terms as loss rates
    Matrix sink_prev;   // sink of the previous time_step call
    RobustWork robust;  // the robust scheme's own (Numerics robust)

    Window window;
    Clock clock;
    FormFactors ff;  // fixed once before the time loop

    // Peak table: 12 quantities x n_cells entries x 4 floats.
    std::vector<float> peak_table;
    // One dump record, 12 rows of n_cells + 1 floats, assembled here before
    // it is appended to the result file (obtained with the rest, so that no
    // dump allocates).
    std::vector<float> dump_record;

    Files files;
    History history;
    // Peaks over height (Height_Peaks on); empty and off otherwise.
    HeightPeaks heights;
};

// The names the result and the log are being written under.
inline const std::string& result_target(const ModelState& s) {
    return s.files.result_path.empty() ? s.names.result_file : s.files.result_path;
}
inline const std::string& log_target(const ModelState& s) {
    return s.files.log_path.empty() ? s.names.log_file : s.files.log_path;
}

// Fixes the run constants and the two parameters that follow the profile
// coefficients (Gamma_1, Gamma_2), once the parameters are complete.
void derive_run_constants(ModelState& s);

// Obtains every per-cell structure for s.n_cells cells; the peak table
// starts at 0.0 in every float.
void allocate_model_state(ModelState& s);
void release_model_state(ModelState& s);

// A fatal condition: the message has been printed; the run ends with status.
// The message, where the stop carries it, goes into the run record.
struct RunStop {
    int status;
    std::string message;
};
[[noreturn]] void stop_run(int status);
// Prints the formatted message on standard output, as it stands, and stops
// the run with it.
[[noreturn]] void fatal(int status, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace torla
