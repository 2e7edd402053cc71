// torla-ensemble: run FILE.toml -o DIR, collect DIR, status DIR (and run-chunk,
// the work of one Slurm array task).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ensemble/calibrate.h"
#include "ensemble/ensemble.h"
#include "ensemble/slurm.h"

namespace fs = std::filesystem;
using namespace torla::ensemble;

namespace {

// Exit statuses.
constexpr int kDone = 0;         // every member ran (some may have failed), results collected
constexpr int kIncomplete = 1;   // members not run, or a file could not be written, or Slurm failed
constexpr int kUsage = 2;        // wrong usage
constexpr int kRefused = 3;      // an ensemble file, base file or member command file refused

void usage() {
    std::fprintf(stderr,
                 "usage: torla-ensemble run ENSEMBLE.toml -o DIR [--engine local|slurm] [--jobs N]\n"
                 "                      [--chunk N] [--max-parallel N] [--partition P] [--time T]\n"
                 "                      [--account A] [--no-wait]\n"
                 "       torla-ensemble calibrate ENSEMBLE.toml --observed OBS.toml -o DIR [--budget N]\n"
                 "                      [--engine local|slurm] [--jobs N]\n"
                 "       torla-ensemble collect DIR\n"
                 "       torla-ensemble status DIR\n");
}

std::string program_path() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

int parse_int(const char* s, int& out) {
    char* end = nullptr;
    const long v = std::strtol(s, &end, 10);
    if (end == s || *end || v < 1 || v > 1000000) return 0;
    out = static_cast<int>(v);
    return 1;
}

int do_collect(const std::string& dir, const std::string& bin_dir) {
    CollectFigures fig;
    if (auto err = collect(dir, fig); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    for (const auto& note : export_exceedance(dir, bin_dir))
        std::fprintf(stderr, "torla-ensemble: note: %s\n", note.c_str());
    std::printf("%d members: %d used, %d failed, %d unstable, %d not run; results in %s\n", fig.members, fig.used,
                fig.failed, fig.unstable, fig.missing, dir.c_str());
    return fig.missing ? kIncomplete : kDone;
}

int do_status(const std::string& dir) {
    Plan plan;
    if (auto err = load_plan(dir, plan); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    int done = 0, failed = 0;
    for (const auto& m : plan.members) {
        const MemberState st = member_state(dir, m);
        done += st.finished;
        failed += st.finished && st.exit_status != 0;
    }
    const int total = static_cast<int>(plan.members.size());
    std::printf("%d members: %d finished (%d failed), %d not run\n", total, done, failed, total - done);
    std::ifstream job(fs::path(dir) / "slurm" / "job");
    std::string id;
    if (job >> id) {
        SlurmOptions opt;
        std::printf("Slurm job %s: %s\n", id.c_str(), slurm_job_active(opt, id) ? "in the queue" : "not in the queue");
    }
    return done == total ? kDone : kIncomplete;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage();
        return kUsage;
    }
    const std::string cmd = argv[1];
    const std::string self = program_path();
    const std::string bin_dir = fs::path(self).parent_path().string();
    if (cmd == "calibrate") return calibrate_main(argc, argv, self);
    if ((cmd == "collect" || cmd == "status") && argc == 3)
        return cmd == "collect" ? do_collect(argv[2], bin_dir) : do_status(argv[2]);
    if (cmd == "run-chunk" && argc == 5) {
        Plan plan;
        if (auto err = load_plan(argv[2], plan); !err.empty()) {
            std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
            return kIncomplete;
        }
        int first = 0, count = 0;
        first = std::atoi(argv[3]);
        if (!parse_int(argv[4], count) || first < 0) return kUsage;
        std::vector<int> only;
        for (int i = first; i < first + count && i < static_cast<int>(plan.members.size()); ++i) only.push_back(i);
        LocalOptions opt;
        if (const char* c = std::getenv("SLURM_CPUS_PER_TASK")) parse_int(c, opt.jobs);
        run_local(argv[2], plan, bin_dir, opt, only);
        return kDone;
    }
    if (cmd != "run" || argc < 3) {
        usage();
        return kUsage;
    }
    std::string ensemble_path = argv[2], dir, engine = "local";
    LocalOptions local;
    local.jobs = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    local.progress = isatty(2);
    SlurmOptions slurm;
    for (int i = 3; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "-o" && has_value) dir = argv[++i];
        else if (a == "--engine" && has_value) engine = argv[++i];
        else if (a == "--jobs" && has_value) {
            if (!parse_int(argv[++i], local.jobs)) return usage(), kUsage;
        } else if (a == "--chunk" && has_value) {
            if (!parse_int(argv[++i], slurm.chunk)) return usage(), kUsage;
        } else if (a == "--max-parallel" && has_value) {
            if (!parse_int(argv[++i], slurm.max_parallel)) return usage(), kUsage;
        } else if (a == "--partition" && has_value) slurm.partition = argv[++i];
        else if (a == "--time" && has_value) slurm.time_limit = argv[++i];
        else if (a == "--account" && has_value) slurm.account = argv[++i];
        else if (a == "--no-wait") slurm.wait = false;
        else {
            std::fprintf(stderr, "torla-ensemble: unknown or incomplete option `%s'\n", a.c_str());
            usage();
            return kUsage;
        }
    }
    if (dir.empty() || (engine != "local" && engine != "slurm")) {
        usage();
        return kUsage;
    }
    Plan plan;
    if (auto err = prepare(ensemble_path, dir, bin_dir, plan, local.jobs); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kRefused;
    }
    if (engine == "local") {
        run_local(dir, plan, bin_dir, local);
        return do_collect(dir, bin_dir);
    }
    std::string job;
    if (auto err = submit_slurm(dir, plan, self, slurm, job); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    std::printf("Slurm job %s submitted\n", job.c_str());
    if (!slurm.wait) return kDone;
    std::fflush(stdout);
    wait_slurm(slurm, job);
    return do_collect(dir, bin_dir);
}
