// The Slurm engine of torla-ensemble.
#pragma once

#include <string>
#include <vector>

#include "ensemble/ensemble.h"

namespace torla::ensemble {

struct SlurmOptions {
    int chunk = 0;         // members per array task; 0: members / tasks that run at once
    int max_parallel = 0;  // array tasks at a time; 0: as Slurm allows
    std::string partition, time_limit, account;
    bool wait = true;
    int poll_ms = 1000;  // longest pause between two squeue calls
    std::string sbatch = "sbatch", squeue = "squeue";
};

// The batch script of one array task, and sbatch's arguments for an
// array of `tasks` tasks.
std::string slurm_script(const std::string& abs_dir, const std::string& program, int chunk);
std::vector<std::string> sbatch_arguments(const SlurmOptions& opt, int tasks,
                                          const std::string& abs_dir);
// Submits the array; the job id goes to job_id and DIR/slurm/job.
std::string submit_slurm(const std::string& dir, const Plan& plan, const std::string& program,
                         const SlurmOptions& opt, std::string& job_id);
bool slurm_job_active(const SlurmOptions& opt, const std::string& job_id);
// Polls squeue until the job has left the queue.
std::string wait_slurm(const SlurmOptions& opt, const std::string& job_id);

}  // namespace torla::ensemble
