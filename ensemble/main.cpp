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
#include "ensemble/folder.h"
#include "ensemble/slurm.h"

namespace fs = std::filesystem;
using namespace torla::ensemble;

namespace {

// Exit statuses (docs/ensembles.md).
constexpr int kDone = 0;         // every member ran and was used or became unstable; results collected
constexpr int kIncomplete = 1;   // members not run, a file that could not be written, Slurm failed, folder in use
constexpr int kUsage = 2;        // wrong usage
constexpr int kRefused = 3;      // an ensemble file, base file, member command file or output folder refused
constexpr int kMembersFailed = 4;  // every member ran, some failed (or none gave a result): tables of the rest

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

// The folder locked for this process (until it ends); "" or why not.
std::string lock(const std::string& dir, bool create, Folder& folder) {
    if (auto err = Folder::open(dir, create, folder); !err.empty()) return err;
    std::string err;
    return lock_folder(folder, err) < 0 ? err : "";
}

int do_collect(const std::string& dir, const std::string& bin_dir, bool take_lock) {
    Folder held;
    if (take_lock && !Folder::open(dir, false, held).empty()) {
        std::fprintf(stderr, "torla-ensemble: `%s' holds no ensemble (no plan.txt)\n", dir.c_str());
        return kIncomplete;
    }
    if (take_lock)
        if (auto err = lock(dir, false, held); !err.empty()) {
            std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
            return kIncomplete;
        }
    CollectFigures fig;
    if (auto err = collect(dir, fig); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    for (const auto& note : export_exceedance(dir, bin_dir))
        std::fprintf(stderr, "torla-ensemble: note: %s\n", note.c_str());
    std::printf("%d members: %d used, %d failed, %d unstable, %d not run; results in %s\n", fig.members, fig.used,
                fig.failed, fig.unstable, fig.missing, dir.c_str());
    if (fig.missing) return kIncomplete;
    if (fig.used == 0)
        std::fprintf(stderr, "torla-ensemble: no member gave a result that can be used: no exceedance table "
                             "(ensemble.json says why each was left out)\n");
    else if (fig.failed)
        std::fprintf(stderr, "torla-ensemble: %d of %d members failed and are left out (ensemble.json says why)\n",
                     fig.failed, fig.members);
    return fig.used == 0 || fig.failed ? kMembersFailed : kDone;
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
    if ((cmd == "collect" || cmd == "status") && argc == 3)
        return cmd == "collect" ? do_collect(argv[2], bin_dir, true) : do_status(argv[2]);
    install_stop_handlers();
    if (cmd == "calibrate") return calibrate_main(argc, argv, self);
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
        die_of_stop_signal();
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
    // One run at a time on a folder: the lock is held until this process ends.
    std::error_code ec;
    const bool existed = fs::exists(dir, ec);
    Folder held;
    if (auto err = lock(dir, true, held); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    Plan plan;
    if (auto err = prepare(ensemble_path, dir, bin_dir, plan, local.jobs); !err.empty()) {
        die_of_stop_signal();
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        if (!existed) {  // a refused ensemble leaves no folder behind
            held.remove("lock");
            fs::remove(fs::path(dir) / "members", ec);
            fs::remove(dir, ec);
        }
        return plan.refused ? kRefused : kIncomplete;
    }
    if (engine == "local") {
        run_local(dir, plan, bin_dir, local);
        die_of_stop_signal();
        return do_collect(dir, bin_dir, false);
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
    if (stop_signal()) std::fprintf(stderr, "torla-ensemble: stopped; Slurm job %s stays queued\n", job.c_str());
    die_of_stop_signal();
    return do_collect(dir, bin_dir, false);
}
