// The Slurm engine's talk with sbatch, through a stand-in: what it prints
// on either stream, however much, is read whole and never hangs the tool;
// a failure names sbatch's status and words.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ensemble/slurm.h"
#include "test_support.h"

namespace torla::ensemble {
namespace {

// 1 MB on standard error: more than a pipe holds.
const std::string kNoise = "head -c 1048576 /dev/zero | tr '\\000' x >&2\n";

TEST(SlurmSubmit, SbatchOutputOnEitherStreamIsReadWhole) {
    test::TempDir dir;
    Plan plan;
    plan.members.resize(3);
    const struct {
        std::string sbatch;  // the stand-in's body; "" for a program that is not there
        std::string error;   // the start of submit's refusal, "" for none
        std::string end;     // the end of the refusal, or the job id
    } cases[] = {
        {kNoise + "echo '4242;cluster'\n", "", "4242"},
        {"echo 77\n" + kNoise, "", "77"},
        {kNoise + "echo 'sbatch: error: no partition' >&2; exit 1\n", "sbatch failed (status 1): x",
         "xsbatch: error: no partition"},
        {"kill -KILL $$\n", "sbatch failed (status 137)", ""},
        {"echo\n", "sbatch gave no job id", ""},
        {"", "cannot start " + dir.file("missing") + ": No such file or directory", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error + c.end);
        SlurmOptions opt;
        opt.sbatch = dir.file(c.sbatch.empty() ? "missing" : "sbatch");
        if (!c.sbatch.empty()) test::write_text(opt.sbatch, "#!/bin/sh\n" + c.sbatch);
        chmod(opt.sbatch.c_str(), 0755);
        std::string job_id;
        alarm(120);  // a hang ends the test
        const std::string err = submit_slurm(dir.path().string(), plan, "/bin/true", opt, job_id);
        alarm(0);
        if (c.error.empty()) {
            EXPECT_EQ(err + "|" + job_id + "|" + test::read_text(dir.file("slurm/job")),
                      "|" + c.end + "|" + c.end + "\n");
            continue;
        }
        EXPECT_EQ(err.substr(0, c.error.size()), c.error);
        ASSERT_GE(err.size(), c.end.size());
        EXPECT_EQ(err.substr(err.size() - c.end.size()), c.end);
    }
}

}  // namespace
}  // namespace torla::ensemble
