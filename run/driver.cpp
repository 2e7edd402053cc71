// The run driver: start-up, the time loop and the end of a run.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <vector>

#include "flow/flow.h"
#include "flow/lanes.h"
#include "input/input.h"
#include "model/bytes.h"
#include "model/interrupt.h"
#include "output/output.h"
#include "run/history.h"
#include "run/run.h"

namespace torla {

namespace {

constexpr double kStepTolerance = 0.95;  // a new step below this fraction of dt rescales the step
constexpr double kSmallestStep = 0.001;  // s, the run stops below this step
constexpr int16_t kMaxDumps = 32767;
// The first sign of instability in a cell: a layer depth below this (m)
// (the wave speed's sign: run/history.cpp).
constexpr double kOnsetDepth = -0.001;
constexpr int kUnsimulatedCells = 4;  // cells 0 to 3: the window never reaches them

double wall_clock() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

[[noreturn]] void main_fatal(const std::string& what, int status) {
    fatal(status, "   main:  FATAL ERROR:  %s STOP!\n\n", what.c_str());
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
        std::remove(kGridFile);
        fatal(kStatusFailure, "   main:  `%s'is not allowed grid generation method. STOP!\n",
              s.par.Grid_Method.c_str());
    }
    if (method != 'p')
        std::printf(
            "   main:  B- and C-spline grid generators no longer available.\n"
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
    s.grid.rows = read_grid_file(s, grid);
    write_result_header(s, s.grid.rows);
    grid_lock.release();
}

// A release that lies only in the cells the window never reaches is never
// simulated: the run says where it would have to start.
void check_release(ModelState& s) {
    bool near_top = false, below = false;
    for (int i = 0; i < s.n_cells; ++i)
        (i < kUnsimulatedCells ? near_top : below) |= carries_flow(s.par, s.U[i]);
    if (near_top && !below)
        warn(s,
             "the release lies only in cells 0 to 3, which the flow model never simulates; "
             "start it at cell 4 or further down the track (the run goes on)");
    else if (near_top)  // the record alone: the console of such runs is fixed
        s.history.warnings.push_back(
            "the release reaches into cells 0 to 3, which the flow model never simulates: only "
            "its part from cell 4 down moves");
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
    if (s.constants.scheme == Scheme::kRobust) {
        const char* line =
            "   main:  Numerics robust: HLL fluxes, sign-keeping sources, "
            "implicit eddy diffusion.\n";
        log_printf(s, "%s", line);
        std::printf("%s", line);
    }
    check_release(s);
}

// Ends a run that cannot go on after its message: the result file is
// completed with the records so far, the peak table and the patched count,
// the message is kept in the log, and the run stops with its own status.
[[noreturn]] void end_run_early(ModelState& s, const std::string& message, int status) {
    s.history.stop_reason =
        status == kStatusDumpLimit ? StopReason::kDumpLimit : StopReason::kNonFinite;
    s.history.message = message.substr(0, message.find_last_not_of('\n') + 1);
    std::printf("%s", message.c_str());
    log_printf(s, "%s", message.c_str());
    append_peak_table(s);
    patch_dump_count(s);
    if (s.heights.on)
        if (const std::string err = write_run_heights(s); !err.empty())
            std::fprintf(stderr, "torla: the peaks over height were not written: %s\n",
                         err.c_str());
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
// touched are searched, and the first bad component stops the run. A layer
// depth below a small negative tolerance is the first sign of instability.
void check_state(ModelState& s, const CellSpan& span, double time) {
    const int lo = std::max(span.lo, 0), hi = std::min<int>(span.hi, s.n_cells);
    for (int i = lo; i < hi; ++i) {
        // One sum tells whether any component is not finite (inf and NaN
        // survive the product with 0), one minimum whether a depth is
        // negative; the cell is looked at closer only when either says so.
        const double* u = s.U[i];
        Pair probe = {0.0, 0.0};
        for (int j = 0; j < kNumComponents; j += 2) probe += load<Pair>(u + j) * 0.0;
        const double depth = std::min({u[kCoverDepth], u[kSaltDepth], u[kSuspDepth]});
        if (probe[0] + probe[1] == 0.0 && !(depth < kOnsetDepth)) continue;
        for (int j : {kCoverDepth, kSaltDepth, kSuspDepth})
            if (s.U[i][j] < kOnsetDepth && !s.history.onset) {
                char sign[128];
                std::snprintf(sign, sizeof sign, "negative %s %g m", kComponentNames[j], s.U[i][j]);
                note_onset(s, i, sign, time);
            }
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
}

// A progress line on a terminal, for runs of more than 2 s: at most four
// times a second, cleared at the end.
struct Progress {
    bool on = isatty(2) != 0;
    double started = wall_clock(), shown = 0.0;
    int32_t passes_then = 0;
    bool drawn = false;
    void update(const ModelState& s) {
        if (!on) return;
        const double now = wall_clock();
        if (now - started < 2.0 || now - shown < 0.25) return;
        const double rate = shown > 0.0 ? (s.clock.step_count - passes_then) / (now - shown) : 0.0;
        std::fprintf(stderr,
                     "\r  t = %.1f of %.0f s, %.0f passes/s, cells %d--%d, u_wave %.1f m/s\033[K",
                     s.clock.t, s.par.Max_Time, rate, s.window.first_active, s.window.last_active,
                     s.history.wave_speed);
        std::fflush(stderr);
        shown = now;
        passes_then = s.clock.step_count;
        drawn = true;
    }
    void clear() {
        if (drawn) std::fprintf(stderr, "\r\033[K");
        drawn = false;
    }
};

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
    log_printf(s, "Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", c.t, c.dt, w.first_active,
               w.last_active);
    std::printf("   Dump at t = %7.3f s,  dt = %6.4f s,  cells %d--%d.\n", c.t, c.dt,
                w.first_active, w.last_active);
    write_dump(s, c.t, s.U_prev);
    if (s.heights.on) fold_dump_heights(s);
    if (s.history.keep) note_dump(s);
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

    // Full step; rescaled to the shorter step that keeps masses non-negative.
    const double dt = c.dt;
    CellSpan touched{s.window.first_active, s.window.last_active};
    const double limited = time_step(s, StepKind::kFull, dt, dt);
    touched.widen(s.window);
    if (limited < dt) {
        time_step(s, StepKind::kRescale, limited, dt);
        touched.widen(s.window);
    }
    recover_layer_variables(s);

    // Courant step of the new state (the scheme's wave speed); a step that
    // was too long is rescaled to it.
    update_gravity(s);
    const WaveSpeed wave = largest_wave_speed(s);
    const double u_wave = courant_wave_speed(s, wave);
    c.dtn = courant_time_step(s, u_wave);
    const bool rescale = kStepTolerance * dt > c.dtn;
    if (rescale) {
        log_printf(s, "   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", c.dtn, u_wave);
        std::printf("   main:  dtn = %6.4f s,  u_wave = %6.1f m/s\n", c.dtn, u_wave);
        time_step(s, StepKind::kRescale, c.dtn, dt);
        touched.widen(s.window);
        recover_layer_variables(s);
    }
    const double taken = rescale ? c.dtn : limited < dt ? limited : dt;
    check_state(s, touched, c.t + taken);
    if (s.history.keep) note_pass(s, taken, wave, rescale, limited < dt);

    update_peaks(s);
    if (s.heights.on) update_height_peaks(s, c.t + taken);
    c.dt = c.dtn;
    if (c.dt < kSmallestStep) {
        s.history.stop_reason = StopReason::kSmallStep;
        write_dump(s, c.t, s.U_prev);
        if (s.heights.on) fold_dump_heights(s);
        if (s.history.keep) note_dump(s);
        check_dump_record(s);
        return false;
    }
    s.history.stop_reason = StopReason::kMaxTime;
    return c.t < s.par.Max_Time;
}

namespace {

// The time loop: one pass per step until Max_Time or a vanishing step. An
// interrupted run stops between two passes: its result file holds the
// records so far and reads back as unfinished.
void time_loop(ModelState& s) {
    Progress progress;
    while (run_pass(s)) {
        if (interrupt_signal()) {
            progress.clear();
            stop_interrupted();
        }
        progress.update(s);
    }
    progress.clear();
}

// Cells below the window at the end keep what its downstream edge last left
// there (or their start values): where the last dump shows flow in them, it
// shows frozen values, not flow.
void check_frozen_cells(ModelState& s) {
    const std::size_t stride = static_cast<std::size_t>(s.n_cells) + 1;
    const float* rec = s.dump_record.data();
    int first = -1, count = 0;
    for (int i = s.window.last_active; i < s.n_cells; ++i)
        if (flow_present(rec[kRowSuspPressure * stride + i + 1],
                         rec[kRowSaltDepth * stride + i + 1])) {
            if (first < 0) first = i;
            ++count;
        }
    if (first < 0 || s.clock.dump_count == 0) return;
    char text[400];
    std::snprintf(
        text, sizeof text,
        "%d cell(s) from cell %d, below the active window (cells %d--%d) at the end, show "
        "flow in the last dump (h2 %g m, p2 %g kPa at cell %d): values the window left "
        "there, which the flow model no longer changes; the dumps there show them, not "
        "flow",
        count, first, s.window.first_active, s.window.last_active,
        static_cast<double>(rec[kRowSaltDepth * stride + first + 1]),
        static_cast<double>(rec[kRowSaltPressure * stride + first + 1]), first);
    warn_in_record(s, text);
}

// What makes a run that reached its end doubtful, in the record's warnings; the status stays what
// it always was. Frozen cells below the window; steps too long for the sources while the flow
// moved; an onset of instability that the run reached Max_Time with (status 0): its peaks after the
// onset are not to be trusted.
void warn_doubtful_ending(ModelState& s) {
    const History& h = s.history;
    check_frozen_cells(s);
    if (h.longest_flow_step > 0.0) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "steps up to %.3f s (at t = %.3f s) were taken while the flow moved, longer "
                      "than %g s: the sources are not resolved at such steps and the flow and its "
                      "run-out differ from those of shorter steps; lower Max_Time_Step",
                      h.longest_flow_step, h.longest_flow_step_time, kResolvedStep);
        warn_in_record(s, text);
    }
    if (!h.onset || h.stop_reason != StopReason::kMaxTime) return;
    char text[384];
    std::snprintf(
        text, sizeof text,
        "the run reached Max_Time over an onset of instability (t = %.3f s, cell %d, %s); "
        "peak values set after it are not to be trusted; the record's "
        "peaks_before_onset keeps those before it",
        h.onset_time, h.onset_cell, h.onset_sign.c_str());
    warn_in_record(s, text);
}

// The peaks over height beside the result file (Height_Peaks on); a run
// that cannot write them has not done what it was asked and ends with 1.
void write_heights_or_stop(ModelState& s) {
    if (!s.heights.on) return;
    if (const std::string err = write_run_heights(s); !err.empty()) {
        std::fprintf(stderr, "torla: FATAL: the peaks over height could not be written: %s\n",
                     err.c_str());
        s.history.message = "the peaks over height could not be written: " + err;
        close_log(s);
        stop_run(kStatusFailure);
    }
}

// Completes the files of a run that reached its end: the peak table, the
// count, the end line. A run stopped on the small-step limit has complete
// files too, but ends with status 5.
int end_of_run(ModelState& s) {
    check_unfit(s, first_unfit_peak(s), "Peak table");
    warn_doubtful_ending(s);
    append_peak_table(s);
    patch_dump_count(s);
    write_heights_or_stop(s);
    const Names& names = s.names;
    log_printf(s, "TORLA %s:  Run `%s' of problem `%s' finished.\n\n", kVersion, names.run.c_str(),
               names.problem.c_str());
    close_log(s);
    std::printf("\nTORLA Version %s:  Run `%s' of problem `%s' finished.\n\n", kVersion,
                names.run.c_str(), names.problem.c_str());
    return s.history.stop_reason == StopReason::kSmallStep ? kStatusSmallStep : kStatusComplete;
}

// What standard error says of a run that did not end as planned.
void explain_ending(const ModelState& s, int status) {
    const History& h = s.history;
    const std::string record = s.names.result_file + kRecordSuffix;
    if (status == kStatusSmallStep) {
        std::fprintf(stderr,
                     "torla: the run stopped at t = %.3f s (pass %d): the time step fell below "
                     "0.001 s; the largest wave speed then was %.1f m/s at cell %d.\n",
                     s.clock.t, s.clock.step_count, h.max_wave_speed, h.max_wave_cell);
        if (h.onset)
            std::fprintf(stderr,
                         "torla: the first sign of instability: t = %.3f s, cell %d, %s. Peak "
                         "values set after it are not to be trusted; %s keeps those before it.\n",
                         h.onset_time, h.onset_cell, h.onset_sign.c_str(), record.c_str());
        std::fprintf(stderr,
                     s.constants.scheme == Scheme::kRobust
                         ? "torla: the numbers blew up under `Numerics robust' too. Try a "
                           "smaller Courant_Nr or Elem_Size, or a Max_Time before the "
                           "instability.\n"
                         : "torla: the numbers blew up. Try `Numerics robust' in the command "
                           "file, or a Max_Time before the instability.\n");
    } else if (status >= kStatusSignal && s.peak_table.empty()) {
        std::fprintf(stderr,
                     "torla: interrupted by signal %d before the result file was written.\n",
                     status - kStatusSignal);
    } else if (status >= kStatusSignal) {
        std::fprintf(stderr,
                     "torla: interrupted by signal %d at t = %.3f s; the result file `%s' holds "
                     "the dumps so far and reads back as unfinished.\n",
                     status - kStatusSignal, s.clock.t, s.names.result_file.c_str());
    }
}

// Where the run's files end up (docs/run-record.md). The result and the log
// are written under temporary names beside their own. A run that has its
// files (complete, or stopped with status 2, 3 or 5, or interrupted after
// its result file's header) moves them to their names, and so does any run
// that finds no earlier result file there; the run record follows. A run
// that fails beside an earlier run's result leaves that run's result, log
// and record as they were: its own log and record are <log>.failed and
// <result>.failed.json, its unfinished result is removed.
void settle_files(ModelState& s, int status) {
    const Names& n = s.names;
    const Files& f = s.files;
    const bool has_files = status == kStatusComplete || status == kStatusNonFinite ||
                           status == kStatusDumpLimit || status == kStatusSmallStep ||
                           (status >= kStatusSignal && f.result_started);
    const bool replace = has_files || file_kind(n.result_file) == FileKind::kAbsent;
    const auto move = [&](const std::string& from, const std::string& to) {
        if (std::rename(from.c_str(), to.c_str()) != 0)
            warn(s, "cannot move `" + from + "' to `" + to + "': " + std::strerror(errno));
    };
    if (f.result_started && replace) move(f.result_path, n.result_file);
    if (f.result_started && !replace) std::remove(f.result_path.c_str());
    if (!f.log_created) return;
    std::string record = n.result_file + kRecordSuffix;
    if (replace) {
        move(f.log_path, n.log_file);
    } else {
        record = n.result_file + kFailedSuffix + kRecordSuffix;
        move(f.log_path, n.log_file + kFailedSuffix);
        warn(s, "the run failed; the earlier run's `" + n.result_file + "', `" + n.log_file +
                    "' and its record are left as they were; this run's log is `" + n.log_file +
                    kFailedSuffix + "', its record `" + record + "'");
    }
    if (const std::string err = write_run_record(s, status, wall_clock(), record); !err.empty())
        std::fprintf(stderr, "torla: warning: %s\n", err.c_str());
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
    s.history.started = wall_clock();
    watch_interrupts();
    int status = kStatusComplete;
    std::optional<ResultLock> result_lock;
    try {
        read_information_file(s, argv[1]);
        check_run_files(s, argv[1]);
        result_lock.emplace(s.names.result_file);
        s.files.result_path = s.names.result_file + kPartSuffix;
        s.files.log_path = s.names.log_file + kPartSuffix;
        start_up(s);
        time_loop(s);
        status = end_of_run(s);
    } catch (const RunStop& stop) {
        status = stop.status;
        if (s.history.message.empty())
            s.history.message = stop.message.substr(0, stop.message.find_last_not_of('\n') + 1);
        if (status >= kStatusSignal)
            s.history.stop_reason = StopReason::kInterrupted;
        else if (status != kStatusNonFinite && status != kStatusDumpLimit)
            s.history.stop_reason = StopReason::kError;
        if (s.files.log) std::fclose(s.files.log);
        s.files.log = nullptr;
    }
    std::fflush(stdout);
    settle_files(s, status);
    explain_ending(s, status);
    release_model_state(s);
    return status;
}

}  // namespace torla
