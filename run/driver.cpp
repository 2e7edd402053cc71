// The run driver: start-up, the time loop and the end of a run.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flow/flow.h"
#include "input/input.h"
#include "output/output.h"
#include "run/bytes.h"
#include "run/run.h"

namespace torla {

namespace {

constexpr double kMinStartWaveSpeed = 10.0;  // m/s, lower bound of the first wave speed
constexpr double kStepTolerance = 0.95;      // a new step below this fraction of dt redoes the step
constexpr double kSmallestStep = 0.001;      // s, the run stops below this step
constexpr int kInfoLines = 3;
constexpr const char* kLogSuffix = "plg";
constexpr int kStatusNonFinite = 2;       // the state became non-finite during the run
constexpr int kStatusTooManyDumps = 3;    // a further dump would overflow the 16-bit count
constexpr int16_t kMaxDumps = 32767;

const char* const kComponentNames[kNumComponents] = {
    "snow-cover depth", "snow-cover density", "saltation-layer depth",
    "saltation-layer momentum", "saltation-layer particle load", "suspension-layer depth",
    "suspension-layer momentum", "suspension-layer snow volume",
    "suspension-layer turbulent energy", "suspension-layer dissipation"};

[[noreturn]] void main_fatal(const std::string& what, int status) {
    std::printf("   main:  FATAL ERROR:  %s STOP!\n\n", what.c_str());
    stop_run(status);
}

void print_usage() {
    std::printf(
        "Usage: torla INFORMATION_FILE\n"
        "\n"
        "Simulates a powder-snow avalanche along a one-dimensional track.\n"
        "The information file has three lines: the command file, the result file\n"
        "and the directory prefix under which the grid generator `knotline' is found\n"
        "(empty: knotline is looked up on the PATH). The log file is written beside\n"
        "the result file, named after it with \"plg\" in place of its last three\n"
        "characters.\n"
        "\n"
        "  --help     print this text\n"
        "  --version  print the version\n");
}

// Reads the three lines of the information file: command file, result
// file, generator prefix.
void read_information_file(ModelState& s, const char* path) {
    std::vector<unsigned char> bytes;
    if (!read_file_bytes(path, bytes).empty()) {
        std::printf("   main:  FATAL ERROR:  Could not open information file. STOP!\n\n");
        stop_run(1);
    }
    std::vector<std::string> lines;
    std::string cur;
    bool open_line = false;
    for (unsigned char c : bytes) {
        if (c == '\n') {
            if (!cur.empty() && cur.back() == '\r') cur.pop_back();
            lines.push_back(cur);
            cur.clear();
            open_line = false;
            if (lines.size() == kInfoLines) break;
        } else {
            cur.push_back(static_cast<char>(c));
            open_line = true;
        }
    }
    if (open_line && lines.size() < kInfoLines) lines.push_back(cur);
    for (std::size_t k = 0; k < lines.size(); ++k)
        if (lines[k].size() > kMaxLine)
            main_fatal("Line " + std::to_string(k + 1) + " of information file `" + path +
                           "' is longer than " + std::to_string(kMaxLine) + " characters.",
                       1);
    if (lines.size() < kInfoLines)
        main_fatal("Information file `" + std::string(path) + "' has " +
                       std::to_string(lines.size()) +
                       " of its 3 lines (command file, result file, generator prefix).",
                   1);
    s.command_file = lines[0];
    s.result_file = lines[1];
    s.generator_prefix = lines[2];

    // The log takes the result file's name with "plg" for its last three
    // characters; it must be a file of its own.
    if (s.result_file.size() < 3)
        main_fatal("Result file name `" + s.result_file +
                       "' is shorter than 3 characters; the log file cannot be named after it.",
                   1);
    s.log_file = s.result_file.substr(0, s.result_file.size() - 3) + kLogSuffix;
    if (s.log_file == s.result_file)
        main_fatal("Result file name `" + s.result_file +
                       "' ends in \"plg\"; the log file would overwrite it.",
                   1);
}

// Start-up from the command file to the first time step.
void start_up(ModelState& s) {
    GridLock grid_lock;
    const int16_t points = read_command_file(s);
    if (points < 0) stop_run(4);
    s.n_cells = points;

    open_log(s);
    std::printf("   main:  %d grid points.\n", s.n_cells);

    const char method = static_cast<char>(
        std::tolower(static_cast<unsigned char>(s.par.Grid_Method.empty() ? '\0' : s.par.Grid_Method[0])));
    if (method != 'p' && method != 'c' && method != 'b') {
        std::printf("   main:  `%s'is not allowed grid generation method. STOP!\n",
                    s.par.Grid_Method.c_str());
        std::remove(kGridFile);
        stop_run(1);
    }
    if (method != 'p')
        std::printf("   main:  B- and C-spline grid generators no longer available.\n"
                    "          Calling polygon-based grid generator instead. Reference radius will\n"
                    "          be interpreted as maximum allowed deviation from input points.\n");
    run_grid_generator(s);

    int16_t n = 0;
    if (auto err = read_grid_count(kGridFile, n); !err.empty())
        main_fatal("The grid generator left no readable grid file: " + err + ".", 1);
    if (n < kMinCells) {
        std::remove(kGridFile);
        main_fatal("The grid file " + std::string(kGridFile) + " announces " + std::to_string(n) +
                       " grid points; at least " + std::to_string(kMinCells) + " are needed.",
                   1);
    }
    s.n_cells = n;
    allocate_model_state(s);
    s.min_cell_length = read_grid_file(s, n);
    grid_lock.release();
    s.first_active = 0;
    s.last_active = n;
    std::printf("   main:  read_grid_file finished.\n\n");

    std::fill(s.sink_prev.data.begin(), s.sink_prev.data.end(), 0.0);
    form_factor(s);
    update_gravity(s);
    double u_wave = max_wave_speed(s);
    if (u_wave < kMinStartWaveSpeed) u_wave = kMinStartWaveSpeed;
    s.dt = initial_time_step(s, u_wave);
    s.dtn = s.dt;
    s.t = -s.dt;
}

// Ends a run that cannot go on after its message: the result file is
// completed with the records so far, the peak table and the patched count,
// the message is kept in the log, and the run stops with its own status.
[[noreturn]] void end_run_early(ModelState& s, const std::string& message, int status) {
    std::printf("%s", message.c_str());
    log_printf(s, "%s", message.c_str());
    append_peak_table(s);
    patch_dump_count(s);
    close_log(s);
    stop_run(status);
}

// The cells a pass can have changed: every window that a time_step call of
// the pass worked on.
struct CellSpan {
    int lo, hi;
    void widen(const ModelState& s) {
        lo = std::min(lo, s.first_active);
        hi = std::max(hi, s.last_active);
    }
};

// A run must never end normally over non-finite numbers: the cells the pass
// touched are searched, and the first bad component stops the run.
void check_finite(ModelState& s, const CellSpan& span) {
    const int lo = std::max(span.lo, 0), hi = std::min<int>(span.hi, s.n_cells);
    for (int i = lo; i < hi; ++i)
        for (int j = 0; j < kNumComponents; ++j)
            if (!std::isfinite(s.U[i][j])) {
                char message[256];
                std::snprintf(message, sizeof message,
                              "   main:  FATAL ERROR:  Non-finite %s (component %d) in cell %d "
                              "in the pass from t = %.3f s. STOP!\n\n",
                              kComponentNames[j], j, i, s.t);
                end_run_early(s, message, kStatusNonFinite);
            }
}

// The result file holds 32-bit floats: a record or a peak table with a
// number they cannot hold (beyond their range, or NaN) would pass garbage
// to the maps made from it, so the run ends as on a non-finite state, with
// the offending record or table written and counted.
void check_unfit(ModelState& s, const UnfitValue& bad, const char* where) {
    if (!bad.found()) return;
    char message[256];
    std::snprintf(message, sizeof message,
                  "   main:  FATAL ERROR:  %s: %s of cell %d is %g, not a finite 32-bit "
                  "float. STOP!\n\n",
                  where, kResultQuantityNames[bad.quantity], bad.cell, static_cast<double>(bad.value));
    end_run_early(s, message, kStatusNonFinite);
}

void check_dump_record(ModelState& s) {
    char where[64];
    std::snprintf(where, sizeof where, "Dump at t = %.3f s", s.t);
    check_unfit(s, first_unfit_dump_value(s), where);
}

// Writes a regular dump of the state at the start of the pass.
void dump(ModelState& s) {
    if (s.dump_count == kMaxDumps) {
        char message[256];
        std::snprintf(message, sizeof message,
                      "   main:  FATAL ERROR:  The dump at t = %.3f s would be the 32768th; the "
                      "dump count holds at most 32767 (raise Dump_Interval). STOP!\n\n",
                      s.t);
        end_run_early(s, message, kStatusTooManyDumps);
    }
    log_printf(s, "Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", s.t, s.dt, s.first_active,
               s.last_active);
    std::printf("   Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", s.t, s.dt, s.first_active,
                s.last_active);
    write_dump(s, s.t, s.U_prev);
    s.next_dump_time += s.par.Dump_Interval;
    ++s.dump_count;
    check_dump_record(s);
}

// TORLA_FULL_COPIES=1 in the environment selects the whole-matrix copies,
// the reference that the copies of changed rows are compared against.
bool full_copies_requested() {
    const char* v = std::getenv("TORLA_FULL_COPIES");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// U_prev takes the state at the start of the pass. Only the rows that the
// time_step calls of the last pass wrote can differ (s.changed_begin ...
// s.changed_end, kept by time_step); afterwards U and U_prev agree everywhere.
void copy_state(ModelState& s) {
    if (s.full_copies) {
        std::copy(s.U.data.begin(), s.U.data.end(), s.U_prev.data.begin());
    } else {
        const int lo = std::max(s.changed_begin, 0);
        const int hi = std::min<int>(s.changed_end, s.n_cells);
        if (lo < hi)
            std::copy(s.U[lo], s.U[hi - 1] + kNumComponents, s.U_prev[lo]);
    }
    s.changed_begin = s.changed_end = 0;
}

}  // namespace

bool run_pass(ModelState& s) {
    copy_state(s);
    ++s.step_count;
    s.t += s.dt;
    if (s.t >= s.next_dump_time) dump(s);

    // Full step; redone with the shorter step that keeps masses non-negative.
    CellSpan touched{s.first_active, s.last_active};
    const double limited = time_step(s, s.step_count, s.dt, 0);
    touched.widen(s);
    if (limited < s.dt) {
        time_step(s, s.step_count, limited, 1);
        touched.widen(s);
    }
    recover_layer_variables(s);

    // Courant step of the new state; a step that was too long is redone.
    update_gravity(s);
    const double u_wave = max_wave_speed(s);
    s.dtn = courant_time_step(s, u_wave);
    if (kStepTolerance * s.dt > s.dtn) {
        log_printf(s, "   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", s.dtn, u_wave);
        std::printf("   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", s.dtn, u_wave);
        time_step(s, s.step_count, s.dtn, 1);
        touched.widen(s);
        recover_layer_variables(s);
    }
    check_finite(s, touched);

    update_peaks(s);
    s.dt = s.dtn;
    if (s.dt < kSmallestStep) {
        write_dump(s, s.t, s.U_prev);
        check_dump_record(s);
        return false;
    }
    return s.t < s.par.Max_Time;
}

namespace {

// The time loop: one pass per step until Max_Time or a vanishing step.
void time_loop(ModelState& s) {
    while (run_pass(s)) {
    }
}

void end_of_run(ModelState& s) {
    check_unfit(s, first_unfit_peak(s), "Peak table");
    append_peak_table(s);
    patch_dump_count(s);
    log_printf(s, "TORLA %s:  Run `%s' of problem `%s' finished.\n\n", kVersion, s.run_name.c_str(),
               s.problem_name.c_str());
    close_log(s);
    std::printf("\nTORLA Version %s:  Run `%s' of problem `%s' finished.\n\n", kVersion,
                s.run_name.c_str(), s.problem_name.c_str());
    release_model_state(s);
}

}  // namespace

int run_torla(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_usage();
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("TORLA Version %s\n", kVersion);
        return 0;
    }
    std::printf("\nTORLA Version %s\t\t(Vandrel, 2002)\n\n", kVersion);
    if (argc != 2) {
        std::printf("   main:  %d instead of a single file name. STOP!\n\n", argc - 1);
        std::fflush(stdout);
        return -1;
    }
    ModelState s;
    s.full_copies = full_copies_requested();
    try {
        read_information_file(s, argv[1]);
        start_up(s);
        time_loop(s);
        end_of_run(s);
    } catch (const RunStop& stop) {
        if (s.log) std::fclose(s.log);
        s.log = nullptr;
        std::fflush(stdout);
        return stop.status;
    }
    std::fflush(stdout);
    return 0;
}

}  // namespace torla
