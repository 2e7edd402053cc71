// Benchmark of the time loop. Prints three figures, each the median of
// several repetitions:
//  (a) the cost of one whole pass (copy, fluxes, source terms, update and
//      its redos, recovery, gravity, wave speed, peaks) per interior cell,
//      on a long track whose window thresholds are all 0, so that the
//      window covers the whole track;
//  (b) the time per pass on tracks of 1,000, 8,000 and 32,767 cells that
//      carry the same short avalanche on their upper part;
//  (c) the wall time of the bundled example run end to end (torla with
//      knotline as its grid generator), from a temporary copy;
//  (d) the cost of the run record's bookkeeping, the same run with and
//      without it;
//  (e) the cost of the peaks over height (Height_Peaks on, 7 heights) per
//      pass, the same passes with and without them;
//  (f) the same cost over a whole real run: the bundled example (and the
//      example on cells of 2.5 m) run by torla with and without them.
// (a) is measured for both schemes of the update (Numerics standard and
// robust) and prints the ratio of their costs per interior cell.
// The model state is built in-process the way the grid reader builds it,
// and every pass is the driver's own run_pass.
//
// Usage: torla_bench [--quick] [--baseline] [a] [b] [c] [d] [e] [f]
// The example is taken from the source tree this program was built from;
// torla and knotline from the directory of this program.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "flow/flow.h"
#include "flow/lanes.h"
#include "input/input.h"
#include "output/output.h"
#include "run/run.h"

namespace fs = std::filesystem;
using WallClock = std::chrono::steady_clock;

namespace torla {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kCellLength = 10.0;  // m
constexpr double kSlope = 30.0;       // degrees, uniform incline
constexpr int kReleaseCells = 25;     // cells 1 ... 25 hold the release

double seconds_since(WallClock::time_point start) {
    return std::chrono::duration<double>(WallClock::now() - start).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t m = v.size() / 2;
    return v.size() % 2 ? v[m] : 0.5 * (v[m - 1] + v[m]);
}

// Standard output of the model (its step and negativity lines) goes to
// /dev/null while a measurement runs, so the figures stay readable.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        close(null);
    }
    ~QuietStdout() {
        std::fflush(stdout);
        dup2(saved_, 1);
        close(saved_);
    }
    QuietStdout(const QuietStdout&) = delete;
    QuietStdout& operator=(const QuietStdout&) = delete;

private:
    int saved_;
};

// A uniform incline of n cells of 10 m under a 0.5 m cover. With
// flow_everywhere the saltation and suspension layers move over the whole
// track, otherwise only over the release cells at its top. The state is
// completed as the driver's start-up completes it: window over all cells,
// cleared sink_prev, form factors, gravity and the first Courant step.
void build_state(ModelState& s, int n, bool baseline, bool flow_everywhere, bool zero_thresholds,
                 bool robust = false, bool heights = false) {
    if (baseline) use_wide_lanes(s.window, false), use_height_lanes(s.heights, 2);
    RunParameters& p = s.par;
    if (robust) p.Numerics = "robust";
    if (heights) p.Height_Peaks = "on";
    if (zero_thresholds)
        p.Min_Salt_Mass_Flux = p.Min_Salt_Mom_Flux = p.Min_Susp_Mass_Flux = p.Min_Susp_Mom_Flux =
            0.0;
    p.Max_Time = 1e30;
    derive_run_constants(s);
    s.files.log = std::fopen("/dev/null", "w");
    s.clock.next_dump_time = 1e30;  // no dumps: the passes alone are measured

    // The grid rows a generator would write: geometry, then the twelve
    // local values (threshold velocity, cover, both moving layers).
    const double a = kSlope * kPi / 180;
    GridFile grid;
    grid.rows = alloc_float_rows(n, kGridColumns);
    for (int i = 0; i < n; ++i) {
        const bool moving = flow_everywhere ? i > 0 : i >= 1 && i <= kReleaseCells;
        const float m = moving ? 1.0f : 0.0f;
        const float row[kGridColumns] = {static_cast<float>(i * kCellLength * std::cos(a)),
                                         static_cast<float>(-i * kCellLength * std::sin(a)),
                                         0.0f,
                                         static_cast<float>(kCellLength),
                                         static_cast<float>(a),
                                         0.0f,
                                         0.0f,
                                         0.0f,
                                         0.4f,
                                         0.5f,
                                         150.0f,  // u_threshold, h1, rho1
                                         m * 1.0f,
                                         m * 5.0f,
                                         m * 30.0f,  // h2, u2, rho2
                                         m * 8.0f,
                                         m * 5.0f,
                                         m * 3.0f,  // h3, u3, snow mass per volume
                                         m * 2.0f,
                                         m * 1.2f};  // k3, eps3
        std::copy(row, row + kGridColumns, grid.rows[i]);
    }
    s.n_cells = static_cast<int16_t>(n);
    allocate_model_state(s);
    read_grid_file(s, grid);
    prepare_time_loop(s);
}

// FNV-1a hash of the bytes of U: equal states give equal hashes, so runs
// of different builds can be compared for bit-identical results.
unsigned long long state_hash(const ModelState& s) {
    unsigned long long h = 1469598103934665603ULL;
    const auto* p = reinterpret_cast<const unsigned char*>(s.U.data.data());
    for (std::size_t k = 0; k < s.U.data.size() * sizeof(double); ++k)
        h = (h ^ p[k]) * 1099511628211ULL;
    return h;
}

void close_state(ModelState& s) {
    if (s.files.log) std::fclose(s.files.log);
    s.files.log = nullptr;
    release_model_state(s);
}

// Runs passes of s; the number of interior cells of each pass (those of
// its first time_step call) is added to cells. Returns false when the run
// stopped.
bool passes(ModelState& s, int count, double& cells) {
    for (int k = 0; k < count; ++k) {
        cells += std::max(s.window.last_active - s.window.first_active - 2, 0);
        try {
            if (!run_pass(s)) return false;
        } catch (const RunStop&) {
            return false;
        }
    }
    return true;
}

// (a) ns per interior cell per pass with the window over the whole track;
// returns the median.
double bench_whole_window(int n, int warmup, int timed, int reps, bool robust, bool baseline) {
    std::vector<double> ns;
    double window = 0;
    unsigned long long hash = 0;
    for (int r = 0; r < reps; ++r) {
        ModelState s;
        build_state(s, n, baseline, true, true, robust);
        double cells = 0;
        bool ok;
        double elapsed;
        {
            QuietStdout quiet;
            ok = passes(s, warmup, cells);
            cells = 0;
            const auto start = WallClock::now();
            ok = ok && passes(s, timed, cells);
            elapsed = seconds_since(start);
        }
        if (!ok) std::printf("   (the run stopped early in repetition %d)\n", r + 1);
        ns.push_back(elapsed * 1e9 / cells);
        window = cells / timed;
        hash = state_hash(s);
        close_state(s);
    }
    const double m = median(ns);
    std::printf(
        "(a) whole window, %s scheme, %d cells (%.0f interior), %d passes x %d runs:\n"
        "    %.1f ns per interior cell per pass  (%.1f million cell-passes/s)\n"
        "    runs: ",
        robust ? "robust" : "standard", n, window, timed, reps, m, 1e3 / m);
    for (double v : ns) std::printf("%.1f ", v);
    std::printf("ns\n    state after the passes: hash %016llx\n\n", hash);
    return m;
}

// (b) time per pass for one short avalanche on tracks of different length;
// last the longest track once more with the whole-matrix copies, for
// comparison.
void bench_track_lengths(int passes_per_run, int reps, bool baseline) {
    struct Track {
        int n;
        bool full_copies;
    };
    const Track tracks[] = {{1000, false}, {8000, false}, {32767, false}, {32767, true}};
    double base = 0;
    std::printf(
        "(b) the same release on tracks of different length, %d passes after the first "
        "(median of %d runs):\n",
        passes_per_run, reps);
    for (const Track& track : tracks) {
        std::vector<double> per_pass, first;
        double window = 0;
        for (int r = 0; r < reps; ++r) {
            ModelState s;
            build_state(s, track.n, baseline, false, false);
            s.window.full_copies = track.full_copies;
            double cells = 0;
            double t_first, t_rest;
            {
                QuietStdout quiet;
                // The first pass works on the whole grid (the window starts there).
                auto start = WallClock::now();
                passes(s, 1, cells);
                t_first = seconds_since(start);
                cells = 0;
                start = WallClock::now();
                passes(s, passes_per_run, cells);
                t_rest = seconds_since(start);
            }
            first.push_back(t_first);
            per_pass.push_back(t_rest / passes_per_run);
            window = cells / passes_per_run;
            close_state(s);
        }
        const double m = median(per_pass);
        if (base == 0) base = m;
        std::printf(
            "    %5d cells%s: %8.2f us per pass (mean window interior %.0f cells), "
            "%.2fx the 1,000-cell track; first pass %.0f us\n",
            track.n, track.full_copies ? ", whole copies" : "", m * 1e6, window, m / base,
            median(first) * 1e6);
    }
    std::printf("\n");
}

// Processor time of this process, s: less disturbed than the wall clock by
// whatever else the machine runs.
double cpu_seconds() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + 1e-9 * ts.tv_nsec;
}

// (d) what the run record's bookkeeping costs: the same run, a release on
// a 2,000-cell track with a dump every second for 120 s, with and without
// it, in processor time.
void bench_record(int reps, bool baseline) {
    std::vector<double> with, without;
    for (int r = 0; r < reps; ++r)
        for (bool keep : {true, false}) {
            ModelState s;
            build_state(s, 2000, baseline, false, false);
            s.par.Max_Time = 120.0;
            s.clock.next_dump_time = 0.0;
            s.history.keep = keep;
            s.names.result_file = "/dev/null";
            double cells = 0;
            const double start = cpu_seconds();
            {
                QuietStdout quiet;
                passes(s, 1000000, cells);
            }
            (keep ? with : without).push_back(cpu_seconds() - start);
            close_state(s);
        }
    const double a = median(with), b = median(without);
    std::printf(
        "(d) the run record's bookkeeping, release on 2,000 cells, 120 s, a dump every second "
        "(median of %d runs, processor time):\n    %.1f ms with it, %.1f ms without: %+.1f %%\n\n",
        reps, a * 1e3, b * 1e3, 100.0 * (a - b) / b);
}

// (e) what the peaks over height cost a pass (Height_Peaks on, the seven
// default heights): on 2,000 cells whose suspension layer (8 m deep at the
// start) flows everywhere, the worst case, where every peak rises on every
// pass; and a release of 25 cells at the top, whose window follows the
// flow. The same state runs with and without them side by side, in turns
// of ten passes each, so that both meet the same load of the machine
// (which is shared); each figure is the median over the runs of the
// processor time per pass, and the median of the runs' own ratios.
void bench_heights(int timed, int reps, bool everywhere, bool baseline) {
    constexpr int kTurn = 10;
    std::vector<double> with, without;
    int lanes = 0;
    for (int r = 0; r < reps; ++r) {
        ModelState on, off;
        build_state(on, 2000, baseline, everywhere, everywhere, false, true);
        build_state(off, 2000, baseline, everywhere, everywhere, false, false);
        lanes = on.heights.lanes;
        double cells = 0, t_on = 0, t_off = 0;
        {
            QuietStdout quiet;
            passes(on, 20, cells);
            passes(off, 20, cells);
            for (int k = 0; k < timed; k += kTurn)
                for (ModelState* s :
                     (k / kTurn) % 2 ? std::vector{&on, &off} : std::vector{&off, &on}) {
                    const double start = cpu_seconds();
                    passes(*s, kTurn, cells);
                    (s == &on ? t_on : t_off) += cpu_seconds() - start;
                }
        }
        if (state_hash(on) != state_hash(off))
            std::printf("   (the flow differs with the peaks over height)\n");
        with.push_back(t_on * 1e6 / timed);
        without.push_back(t_off * 1e6 / timed);
        close_state(on);
        close_state(off);
    }
    const double a = median(with), b = median(without);
    // Each run's own ratio (both states met the same load): their median and
    // the middle half of them.
    std::vector<double> ratio;
    for (std::size_t k = 0; k < with.size(); ++k) ratio.push_back(with[k] / without[k]);
    std::sort(ratio.begin(), ratio.end());
    const std::size_t n = ratio.size();
    std::printf(
        "(e) peaks over height, 7 heights (%d cells side by side), %s, %d passes x %d runs:\n"
        "    %.1f us per pass with them, %.1f us without: %+.1f %% (ratio %.3f)\n"
        "    each run's ratio: median %.3f, middle half %.3f to %.3f\n    runs with: ",
        lanes,
        everywhere ? "whole window of 2,000 cells flowing (every peak rises)"
                   : "a release of 25 cells on 2,000 (the window follows it)",
        timed, reps, a, b, 100.0 * (a - b) / b, a / b, median(ratio), ratio[n / 4],
        ratio[(3 * n) / 4 < n ? (3 * n) / 4 : n - 1]);
    for (double v : with) std::printf("%.1f ", v);
    std::printf("us\n    runs without: ");
    for (double v : without) std::printf("%.1f ", v);
    std::printf("us\n\n");
}

fs::path self_dir() { return fs::read_symlink("/proc/self/exe").parent_path(); }

// (c) wall time of the bundled example, end to end.
void bench_example(int reps) {
    const fs::path src = fs::path(TORLA_SOURCE_DIR) / "examples";
    const fs::path bin = self_dir();
    if (!fs::exists(src / "avalanche.cmd") || !fs::exists(bin / "torla") ||
        !fs::exists(bin / "knotline")) {
        std::printf("(c) example: not found (%s, %s)\n", (src / "avalanche.cmd").c_str(),
                    (bin / "torla").c_str());
        return;
    }
    std::string tmpl = (fs::temp_directory_path() / "torla-bench-XXXXXX").string();
    const fs::path dir = mkdtemp(tmpl.data());
    fs::copy_file(src / "avalanche.cmd", dir / "avalanche.cmd");
    {
        std::FILE* f = std::fopen((dir / "avalanche.info").c_str(), "w");
        std::fprintf(f, "avalanche.cmd\navalanche.res\n%s/\n", bin.c_str());
        std::fclose(f);
    }
    const std::string cmd = "cd '" + dir.string() + "' && '" + (bin / "torla").string() +
                            "' avalanche.info > console.txt 2>&1";
    std::vector<double> wall;
    int status = 0;
    for (int r = 0; r < reps; ++r) {
        const auto start = WallClock::now();
        status = std::system(cmd.c_str());
        wall.push_back(seconds_since(start));
    }
    std::error_code ec;
    const auto bytes = fs::file_size(dir / "avalanche.res", ec);
    fs::remove_all(dir, ec);
    std::printf(
        "(c) bundled example end to end (torla + knotline, %d runs, exit status %d, "
        "result file %llu bytes):\n    %.3f s wall (median); runs: ",
        reps, status, static_cast<unsigned long long>(bytes), median(wall));
    for (double v : wall) std::printf("%.3f ", v);
    std::printf("s\n");
}

// Processor time (user and system) of one run of `argv` in `dir`, its
// output thrown away; negative when it did not end with status 0.
double child_seconds(const fs::path& dir, const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage use{};
    if (pid < 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return -1.0;
    auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return seconds(use.ru_utime) + seconds(use.ru_stime);
}

// (f) the peaks over height over a whole run: the bundled example as it is
// and on cells of 2.5 m (robust scheme), each run by torla (its grid from knotline) with
// Height_Peaks on and off in turns, so that both meet the same load of the
// machine; each figure is the median of the runs' processor time.
void bench_example_heights(int reps) {
    const fs::path src = fs::path(TORLA_SOURCE_DIR) / "examples";
    const fs::path bin = self_dir();
    std::ifstream in(src / "avalanche.cmd");
    if (!in || !fs::exists(bin / "torla")) {
        std::printf("(f) example: not found\n");
        return;
    }
    std::stringstream text;
    text << in.rdbuf();
    std::string tmpl = (fs::temp_directory_path() / "torla-bench-XXXXXX").string();
    const fs::path dir = mkdtemp(tmpl.data());
    // On cells of 2.5 m the example needs the robust scheme.
    for (const char* cells : {"10.0", "2.5"}) {
        std::string base = text.str();
        base.replace(base.find("Elem_Size 10.0"), 14,
                     std::string("Elem_Size ") + cells +
                         (std::strcmp(cells, "2.5") == 0 ? "\nNumerics robust" : ""));
        std::string on = base;
        on.replace(on.find("Dump_Interval"), 0, "Height_Peaks on\n");
        std::vector<double> times[2];
        for (int k = 0; k < 2; ++k) {
            const std::string name = k ? "on" : "off";
            std::ofstream(dir / (name + ".cmd")) << (k ? on : base);
            std::ofstream(dir / (name + ".info")) << name << ".cmd\n"
                                                  << name << ".res\n"
                                                  << bin.string() << "/\n";
        }
        for (int r = 0; r < reps; ++r)
            for (int k : r % 2 ? std::vector{1, 0} : std::vector{0, 1})
                times[k].push_back(
                    child_seconds(dir, {(bin / "torla").string(), k ? "on.info" : "off.info"}));
        const double a = median(times[1]), b = median(times[0]);
        // Each pair's own ratio (the two runs of a turn met the same load).
        std::vector<double> ratio;
        for (int r = 0; r < reps; ++r) ratio.push_back(times[1][r] / times[0][r]);
        std::sort(ratio.begin(), ratio.end());
        std::printf(
            "(f) the bundled example, cells of %s m%s, whole run with and without the peaks over "
            "height (7 heights; %d runs each, processor time):\n    %.3f s with them, %.3f s "
            "without: %+.1f %% (ratio %.3f); each pair's ratio: median %.3f, middle half %.3f "
            "to %.3f\n",
            cells, std::strcmp(cells, "2.5") == 0 ? " (robust)" : "", reps, a, b,
            100.0 * (a - b) / b, a / b, median(ratio), ratio[reps / 4], ratio[(3 * reps) / 4]);
    }
    std::printf("\n");
    std::error_code ec;
    fs::remove_all(dir, ec);
}

}  // namespace
}  // namespace torla

int main(int argc, char** argv) {
    // --quick: fewer passes and runs; --baseline: the flow loops without
    // AVX2 even where the processor has it (the peaks over height too); a, b,
    // c, d or e: only that measurement.
    bool quick = false, baseline = false;
    std::string only;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--quick") == 0)
            quick = true;
        else if (std::strcmp(argv[k], "--baseline") == 0)
            baseline = true;
        else
            only += argv[k];
    }
    const auto wanted = [&](char c) { return only.empty() || only.find(c) != std::string::npos; };
    const int reps = quick ? 3 : 7;
    std::printf("TORLA benchmark (one core; medians of %d runs; flow loops %s)\n\n", reps,
                !baseline && torla::processor_runs_wide_lanes() ? "with AVX2" : "baseline x86-64");
    // A long path of 2,000 cells (5 km at 2.5 m), and 20,000 cells, whose
    // state no longer fits the processor's second-level cache.
    if (wanted('a'))
        for (int n : {2000, 20000}) {
            const int timed = quick ? 50 : 200;
            const double standard = torla::bench_whole_window(n, 20, timed, reps, false, baseline);
            const double robust = torla::bench_whole_window(n, 20, timed, reps, true, baseline);
            std::printf("    robust / standard, %d cells: %.2f per interior cell per pass\n\n", n,
                        robust / standard);
        }
    if (wanted('b')) torla::bench_track_lengths(quick ? 200 : 1000, reps, baseline);
    if (wanted('c')) torla::bench_example(reps);
    if (wanted('d')) torla::bench_record(reps, baseline);
    if (wanted('e'))
        for (bool everywhere : {true, false})
            torla::bench_heights(quick ? 100 : 400, 3 * reps, everywhere, baseline);
    if (wanted('f')) torla::bench_example_heights(quick ? 5 : 31);
    return 0;
}
