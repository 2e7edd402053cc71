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
#include "run/run.h"

namespace torla {

namespace {

constexpr double kStepTolerance = 0.95;  // a new step below this fraction of dt redoes the step
constexpr double kSmallestStep = 0.001;  // s, the run stops below this step
constexpr int16_t kMaxDumps = 32767;

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

// The first letter of the grid method, in lower case.
char grid_method(const RunParameters& par) {
    const std::string& m = par.Grid_Method;
    return static_cast<char>(std::tolower(static_cast<unsigned char>(m.empty() ? '\0' : m[0])));
}

// Runs the generator on the input the command-file reader wrote, takes the
// grid it leaves, obtains the storage for it and fills the initial state;
// the result file gets its header. The grid lock is held throughout.
void make_grid(ModelState& s, GridLock& grid_lock) {
    const char method = grid_method(s.par);
    if (method != 'p' && method != 'c' && method != 'b') {
        std::printf("   main:  `%s'is not allowed grid generation method. STOP!\n",
                    s.par.Grid_Method.c_str());
        std::remove(kGridFile);
        stop_run(kStatusFailure);
    }
    if (method != 'p')
        std::printf("   main:  B- and C-spline grid generators no longer available.\n"
                    "          Calling polygon-based grid generator instead. Reference radius will\n"
                    "          be interpreted as maximum allowed deviation from input points.\n");
    run_grid_generator(s);

    int16_t n = 0;
    if (auto err = read_grid_count(kGridFile, n); !err.empty())
        main_fatal("The grid generator left no readable grid file: " + err + ".", kStatusFailure);
    if (n < kMinCells) {
        std::remove(kGridFile);
        main_fatal("The grid file " + std::string(kGridFile) + " announces " + std::to_string(n) +
                       " grid points; at least " + std::to_string(kMinCells) + " are needed.",
                   kStatusFailure);
    }
    s.n_cells = n;
    allocate_model_state(s);
    const GridFile grid = take_grid_file(n);
    if (grid.trailing_data) report_trailing_grid_data(s);
    write_result_header(s, read_grid_file(s, grid));
    grid_lock.release();
}

// Start-up from the command file to the first time step.
void start_up(ModelState& s) {
    GridLock grid_lock;
    s.n_cells = read_command_file(s);
    open_log(s);
    std::printf("   main:  %d grid points.\n", s.n_cells);
    make_grid(s, grid_lock);
    std::printf("   main:  read_grid_file finished.\n\n");
    prepare_time_loop(s);
    report_form_factors(s);
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
    void widen(const Window& w) {
        lo = std::min(lo, w.first_active);
        hi = std::max(hi, w.last_active);
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
                              kComponentNames[j], j, i, s.clock.t);
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
                  where, kQuantities[bad.quantity].message, bad.cell,
                  static_cast<double>(bad.value));
    end_run_early(s, message, kStatusNonFinite);
}

void check_dump_record(ModelState& s) {
    char where[64];
    std::snprintf(where, sizeof where, "Dump at t = %.3f s", s.clock.t);
    check_unfit(s, first_unfit_dump_value(s), where);
}

// Writes a regular dump of the state at the start of the pass.
void dump(ModelState& s) {
    Clock& c = s.clock;
    if (c.dump_count == kMaxDumps) {
        char message[256];
        std::snprintf(message, sizeof message,
                      "   main:  FATAL ERROR:  The dump at t = %.3f s would be the 32768th; the "
                      "dump count holds at most 32767 (raise Dump_Interval). STOP!\n\n",
                      c.t);
        end_run_early(s, message, kStatusDumpLimit);
    }
    const Window& w = s.window;
    log_printf(s, "Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", c.t, c.dt,
               w.first_active, w.last_active);
    std::printf("   Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", c.t, c.dt,
                w.first_active, w.last_active);
    write_dump(s, c.t, s.U_prev);
    c.next_dump_time += s.par.Dump_Interval;
    ++c.dump_count;
    check_dump_record(s);
}

// TORLA_FULL_COPIES=1 in the environment selects the whole-matrix copies,
// the reference that the copies of changed rows are compared against.
bool full_copies_requested() {
    const char* v = std::getenv("TORLA_FULL_COPIES");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// U_prev takes the state at the start of the pass. Only the rows that the
// time_step calls of the last pass wrote can differ (kept by time_step in
// the window's changed rows); afterwards U and U_prev agree everywhere.
void copy_state(ModelState& s) {
    Window& w = s.window;
    if (w.full_copies) {
        std::copy(s.U.data.begin(), s.U.data.end(), s.U_prev.data.begin());
    } else {
        const int lo = std::max(w.changed_begin, 0);
        const int hi = std::min<int>(w.changed_end, s.n_cells);
        if (lo < hi) std::copy(s.U[lo], s.U[hi - 1] + kNumComponents, s.U_prev[lo]);
    }
    w.changed_begin = w.changed_end = 0;
}

}  // namespace

void prepare_time_loop(ModelState& s) {
    s.window.first_active = 0;
    s.window.last_active = s.n_cells;
    std::fill(s.sink_prev.data.begin(), s.sink_prev.data.end(), 0.0);
    s.ff = compute_form_factors(s.par.profile);
    update_gravity(s);
    Clock& c = s.clock;
    c.dt = initial_time_step(s, max_wave_speed(s));
    c.dtn = c.dt;
    c.t = -c.dt;
}

bool run_pass(ModelState& s) {
    Clock& c = s.clock;
    copy_state(s);
    ++c.step_count;
    c.t += c.dt;
    if (c.t >= c.next_dump_time) dump(s);

    // Full step; redone with the shorter step that keeps masses non-negative.
    const double dt = c.dt;
    CellSpan touched{s.window.first_active, s.window.last_active};
    const double limited = time_step(s, StepKind::kFull, dt, dt);
    touched.widen(s.window);
    if (limited < dt) {
        time_step(s, StepKind::kRedo, limited, dt);
        touched.widen(s.window);
    }
    recover_layer_variables(s);

    // Courant step of the new state; a step that was too long is redone.
    update_gravity(s);
    const double u_wave = max_wave_speed(s);
    c.dtn = courant_time_step(s, u_wave);
    if (kStepTolerance * dt > c.dtn) {
        log_printf(s, "   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", c.dtn, u_wave);
        std::printf("   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", c.dtn, u_wave);
        time_step(s, StepKind::kRedo, c.dtn, dt);
        touched.widen(s.window);
        recover_layer_variables(s);
    }
    check_finite(s, touched);

    update_peaks(s);
    c.dt = c.dtn;
    if (c.dt < kSmallestStep) {
        write_dump(s, c.t, s.U_prev);
        check_dump_record(s);
        return false;
    }
    return c.t < s.par.Max_Time;
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
    const Names& names = s.names;
    log_printf(s, "TORLA %s:  Run `%s' of problem `%s' finished.\n\n", kVersion, names.run.c_str(),
               names.problem.c_str());
    close_log(s);
    std::printf("\nTORLA Version %s:  Run `%s' of problem `%s' finished.\n\n", kVersion,
                names.run.c_str(), names.problem.c_str());
    release_model_state(s);
}

}  // namespace

int run_torla(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        print_usage();
        return kStatusComplete;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("TORLA Version %s\n", kVersion);
        return kStatusComplete;
    }
    std::printf("\nTORLA Version %s\t\t(Vandrel, 2002)\n\n", kVersion);
    if (argc != 2) {
        std::printf("   main:  %d instead of a single file name. STOP!\n\n", argc - 1);
        std::fflush(stdout);
        return kStatusUsage;
    }
    ModelState s;
    s.window.full_copies = full_copies_requested();
    try {
        read_information_file(s, argv[1]);
        start_up(s);
        time_loop(s);
        end_of_run(s);
    } catch (const RunStop& stop) {
        if (s.files.log) std::fclose(s.files.log);
        s.files.log = nullptr;
        std::fflush(stdout);
        return stop.status;
    }
    std::fflush(stdout);
    return kStatusComplete;
}

}  // namespace torla
