// torla-ensemble: run FILE.toml -o DIR, calibrate, collect DIR, status DIR
// (and run-chunk, the work of one Slurm array task); options.h reads them.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "ensemble/calibrate.h"
#include "ensemble/ensemble.h"
#include "ensemble/folder.h"
#include "ensemble/options.h"
#include "ensemble/slurm.h"

namespace fs = std::filesystem;
using namespace torla::ensemble;

namespace {

// Exit statuses (docs/ensembles.md).
constexpr int kDone = 0;  // every member ran and was used or became unstable; results collected
constexpr int kIncomplete =
    1;  // members not run, a file that could not be written, Slurm failed, folder in use
constexpr int kUsage = 2;  // wrong usage
constexpr int kRefused =
    3;  // an ensemble file, base file, member command file or output folder refused
constexpr int kMembersFailed =
    4;  // every member ran, some failed (or none gave a result): tables of the rest

std::string program_path() {
    std::error_code ec;
    const fs::path p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

// The folder locked for this process (until it ends); "" or why not.
std::string lock(const std::string& dir, bool create, Folder& folder) {
    if (auto err = Folder::open(dir, create, folder); !err.empty()) return err;
    std::string err;
    return lock_folder(folder, err) < 0 ? err : "";
}

int do_collect(const std::string& dir, bool take_lock) {
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
    std::vector<std::string> notes;
    if (auto err = collect(dir, fig, &notes); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    for (const auto& note : notes) std::fprintf(stderr, "torla-ensemble: note: %s\n", note.c_str());
    std::printf("%d members: %d used, %d failed, %d unstable, %d not run; results in %s\n",
                fig.members, fig.used, fig.failed, fig.unstable, fig.missing, dir.c_str());
    if (fig.missing) return kIncomplete;
    if (fig.used == 0)
        std::fprintf(
            stderr,
            "torla-ensemble: no member gave a result that can be used: no exceedance table "
            "(ensemble.json says why each was left out)\n");
    else if (fig.failed)
        std::fprintf(
            stderr,
            "torla-ensemble: %d of %d members failed and are left out (ensemble.json says why)\n",
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
    std::printf("%d members: %d finished (%d failed), %d not run\n", total, done, failed,
                total - done);
    std::ifstream job(fs::path(dir) / "slurm" / "job");
    std::string id;
    if (job >> id) {
        SlurmOptions opt;
        std::printf("Slurm job %s: %s\n", id.c_str(),
                    slurm_job_active(opt, id) ? "in the queue" : "not in the queue");
    }
    return done == total ? kDone : kIncomplete;
}

// run-chunk: the members of one Slurm array task, as many at a time as the
// task has CPUs.
int run_chunk(const ChunkCommand& c, const std::string& bin_dir) {
    Plan plan;
    if (auto err = load_plan(c.dir, plan); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    std::vector<int> only;
    for (int i = c.first; i < c.first + c.count && i < static_cast<int>(plan.members.size()); ++i)
        only.push_back(i);
    LocalOptions opt;
    if (const char* cpus = std::getenv("SLURM_CPUS_PER_TASK")) {
        char* end = nullptr;
        const long v = std::strtol(cpus, &end, 10);
        if (end != cpus && !*end && v >= 1 && v <= 1000000) opt.jobs = static_cast<int>(v);
    }
    run_local(c.dir, plan, bin_dir, opt, only);
    die_of_stop_signal();
    return kDone;
}

// The members on Slurm: submitted, then (unless --no-wait) waited for and collected.
int run_on_slurm(const RunCommand& r, const Plan& plan, const std::string& self) {
    std::string job;
    const SlurmOptions& slurm = r.slurm;
    if (auto err = submit_slurm(r.dir, plan, self, slurm, job); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    std::printf("Slurm job %s submitted\n", job.c_str());
    if (!slurm.wait) return kDone;
    std::fflush(stdout);
    wait_slurm(slurm, job);
    if (stop_signal())
        std::fprintf(stderr, "torla-ensemble: stopped; Slurm job %s stays queued\n", job.c_str());
    die_of_stop_signal();
    return do_collect(r.dir, false);
}

// run: the folder locked and prepared, the members run, the tables collected.
int run_ensemble(const RunCommand& r, const std::string& self, const std::string& bin_dir) {
    // One run at a time on a folder: the lock is held until this process ends.
    std::error_code ec;
    const bool existed = fs::exists(r.dir, ec);
    Folder held;
    if (auto err = lock(r.dir, true, held); !err.empty()) {
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        return kIncomplete;
    }
    Plan plan;
    if (auto err = prepare(r.ensemble_path, r.dir, bin_dir, plan, r.local.jobs); !err.empty()) {
        die_of_stop_signal();
        std::fprintf(stderr, "torla-ensemble: %s\n", err.c_str());
        if (!existed) {  // a refused ensemble leaves no folder behind
            held.remove("lock");
            fs::remove(fs::path(r.dir) / "members", ec);
            fs::remove(r.dir, ec);
        }
        return plan.refused ? kRefused : kIncomplete;
    }
    if (r.engine == "slurm") return run_on_slurm(r, plan, self);
    run_local(r.dir, plan, bin_dir, r.local);
    die_of_stop_signal();
    return do_collect(r.dir, false);
}

}  // namespace

int main(int argc, char** argv) {
    EnsembleCommand c;
    if (const int status = parse_ensemble_options(argc, argv, c); status >= 0) return status;
    const std::string self = program_path();
    const std::string bin_dir = fs::path(self).parent_path().string();
    if (c.name == "collect") return do_collect(c.dir, true);
    if (c.name == "status") return do_status(c.dir);
    install_stop_handlers();
    if (c.name == "calibrate") return calibrate_main(c.calibrate, self);
    if (c.name == "run-chunk") return run_chunk(c.chunk, bin_dir);
    return run_ensemble(c.run, self, bin_dir);
}
