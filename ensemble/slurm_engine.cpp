// The Slurm engine: one job array through sbatch, each array task running
// a chunk of members with `torla-ensemble run-chunk`, throttled by
// --max-parallel; waiting polls squeue.
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "ensemble/folder.h"
#include "ensemble/slurm.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

// Runs a command without a shell; its standard output into out. Returns the
// exit status, or 127 when it cannot start.
int capture(const std::vector<std::string>& args, std::string& out, std::string& err_text) {
    int pout[2], perr[2];
    if (pipe(pout) != 0) return 127;
    if (pipe(perr) != 0) return 127;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pout[1], 1);
        dup2(perr[1], 2);
        close(pout[0]);
        close(pout[1]);
        close(perr[0]);
        close(perr[1]);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pout[1]);
    close(perr[1]);
    out.clear();
    err_text.clear();
    char buf[4096];
    ssize_t k;
    while ((k = read(pout[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(k));
    while ((k = read(perr[0], buf, sizeof buf)) > 0) err_text.append(buf, static_cast<std::size_t>(k));
    close(pout[0]);
    close(perr[0]);
    int rc = 0;
    waitpid(pid, &rc, 0);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : 128;
}

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
      << "exec '" << program << "' run-chunk '" << abs_dir << "' $((SLURM_ARRAY_TASK_ID * " << chunk << ")) "
      << chunk << "\n";
    return o.str();
}

std::vector<std::string> sbatch_arguments(const SlurmOptions& opt, int tasks, const std::string& abs_dir) {
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
    const int chunk = opt.chunk > 0 ? opt.chunk : std::max(1, (members + target_tasks - 1) / target_tasks);
    const int tasks = (members + chunk - 1) / chunk;
    Folder top, slurm;
    if (auto err = Folder::open(abs_dir, false, top); !err.empty()) return err;
    if (auto err = top.sub("slurm", true, slurm); !err.empty()) return err;
    if (auto err = slurm.write("job.sh", slurm_script(abs_dir, program, chunk), 0744); !err.empty()) return err;
    std::string out, err;
    const int rc = capture(sbatch_arguments(opt, tasks, abs_dir), out, err);
    if (rc != 0) return "sbatch failed (status " + std::to_string(rc) + "): " + trim(err);
    job_id = trim(out);
    if (auto semi = job_id.find(';'); semi != std::string::npos) job_id = job_id.substr(0, semi);
    if (job_id.empty()) return "sbatch gave no job id";
    return slurm.write("job", job_id + "\n");
}

bool slurm_job_active(const SlurmOptions& opt, const std::string& job_id) {
    std::string out, err;
    const int rc = capture({opt.squeue, "-h", "-j", job_id, "-o", "%i %T"}, out, err);
    return rc == 0 && !trim(out).empty();
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
