// The Slurm engine: one job array through sbatch, each array task running
// a chunk of members with `torla-ensemble run-chunk`, throttled by
// --max-parallel; waiting polls squeue.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ensemble/folder.h"
#include "ensemble/slurm.h"
#include "support/process.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

std::string trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    std::size_t b = 0;
    while (b < s.size() && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    return s.substr(b);
}

}  // namespace

std::string slurm_script(const std::string& abs_dir, const std::string& program, int chunk) {
    std::ostringstream o;
    o << "#!/bin/sh\n"
      << "# One array task: members chunk * task ... chunk * task + chunk - 1.\n"
      << "exec '" << program << "' run-chunk '" << abs_dir << "' $((SLURM_ARRAY_TASK_ID * " << chunk
      << ")) " << chunk << "\n";
    return o.str();
}

std::vector<std::string> sbatch_arguments(const SlurmOptions& opt, int tasks,
                                          const std::string& abs_dir) {
    std::vector<std::string> a = {opt.sbatch, "--parsable", "--job-name=torla-ensemble"};
    std::string array = "--array=0-";
    array += std::to_string(tasks - 1);
    if (opt.max_parallel > 0) {
        array += '%';
        array += std::to_string(opt.max_parallel);
    }
    a.push_back(array);
    a.push_back("--output=" + abs_dir + "/slurm/task-%a.out");
    a.push_back("--chdir=" + abs_dir);
    if (!opt.partition.empty()) a.push_back("--partition=" + opt.partition);
    if (!opt.time_limit.empty()) a.push_back("--time=" + opt.time_limit);
    if (!opt.account.empty()) a.push_back("--account=" + opt.account);
    a.push_back(abs_dir + "/slurm/job.sh");
    return a;
}

std::string submit_slurm(const std::string& dir, const Plan& plan, const std::string& program,
                         const SlurmOptions& opt, std::string& job_id) {
    const std::string abs_dir = fs::absolute(dir).lexically_normal().string();
    const int members = static_cast<int>(plan.members.size());
    // Without --chunk: as many tasks as may run at once (32 without
    // --max-parallel), each a run of consecutive members.
    const int target_tasks = opt.max_parallel > 0 ? opt.max_parallel : 32;
    const int chunk =
        opt.chunk > 0 ? opt.chunk : std::max(1, (members + target_tasks - 1) / target_tasks);
    const int tasks = (members + chunk - 1) / chunk;
    Folder top, slurm;
    if (auto err = Folder::open(abs_dir, false, top); !err.empty()) return err;
    if (auto err = top.sub("slurm", true, slurm); !err.empty()) return err;
    if (auto err = slurm.write("job.sh", slurm_script(abs_dir, program, chunk), 0744); !err.empty())
        return err;
    support::SpawnOptions search;
    search.search_path = true;
    const support::Captured run = support::capture(sbatch_arguments(opt, tasks, abs_dir), search);
    if (!run.started) return "cannot start " + opt.sbatch + ": " + std::strerror(run.start_error);
    if (run.status != 0)
        return "sbatch failed (status " + std::to_string(run.status) + "): " + trim(run.err);
    job_id = trim(run.out);
    if (auto semi = job_id.find(';'); semi != std::string::npos) job_id = job_id.substr(0, semi);
    if (job_id.empty()) return "sbatch gave no job id";
    return slurm.write("job", job_id + "\n");
}

bool slurm_job_active(const SlurmOptions& opt, const std::string& job_id) {
    support::SpawnOptions search;
    search.search_path = true;
    const support::Captured run =
        support::capture({opt.squeue, "-h", "-j", job_id, "-o", "%i %T"}, search);
    return run.status == 0 && !trim(run.out).empty();
}

std::string wait_slurm(const SlurmOptions& opt, const std::string& job_id) {
    auto interval = std::chrono::milliseconds(250);
    while (!stop_signal() && slurm_job_active(opt, job_id)) {
        std::this_thread::sleep_for(interval);
        interval = std::min(interval * 2, std::chrono::milliseconds(opt.poll_ms));
        if (interval.count() <= 0) interval = std::chrono::milliseconds(250);
    }
    return "";
}

}  // namespace torla::ensemble
