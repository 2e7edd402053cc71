// The Slurm engine's talk with sbatch, through a stand-in: what
// they print on either stream, however much, is read whole and never hangs
// the tool; a failure names sbatch's status and words.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "ensemble/slurm.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace torla::ensemble;

// A stand-in program: a shell script at path.
void stand_in(const std::string& path, const std::string& body) {
    torla::test::write_text(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// 1 MB on standard error: more than a pipe holds.
const std::string kNoise = "head -c 1048576 /dev/zero | tr '\\000' x >&2\n";

struct Deadline {
    Deadline() { alarm(120); }
    ~Deadline() { alarm(0); }
};

TEST(SlurmSubmit, SbatchOutputOnEitherStreamIsReadWhole) {
    torla::test::TempDir dir;
    Plan plan;
    plan.members.resize(3);
    struct Case {
        const char* what;
        std::string sbatch;  // the stand-in's body; "" for a program that is not there
        std::string error;   // the start of submit's refusal, "" for none
        std::string job;
        std::string ends;  // how the refusal ends
    } cases[] = {
        {"a job id after much on standard error", kNoise + "echo '4242;cluster'\n", "", "4242", ""},
        {"a job id, then much on standard error", "echo 77\n" + kNoise, "", "77", ""},
        {"a refusal after much on standard error",
         kNoise + "echo 'sbatch: error: no partition' >&2; exit 1\n", "sbatch failed (status 1): x",
         "", "xsbatch: error: no partition"},
        {"killed", "kill -KILL $$\n", "sbatch failed (status 137)", "", ""},
        {"no job id", "echo\n", "sbatch gave no job id", "", ""},
        {"not there", "", "cannot start " + dir.file("missing") + ": No such file or directory", "",
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SlurmOptions opt;
        opt.sbatch = dir.file(c.sbatch.empty() ? "missing" : "sbatch");
        if (!c.sbatch.empty()) stand_in(opt.sbatch, c.sbatch);
        std::string job_id;
        Deadline d;
        const std::string err = submit_slurm(dir.path().string(), plan, "/bin/true", opt, job_id);
        EXPECT_EQ(err.substr(0, c.error.size()), c.error);
        if (c.error.empty()) {
            EXPECT_EQ(err, "");
            EXPECT_EQ(job_id, c.job);
            EXPECT_EQ(torla::test::read_text(dir.file("slurm/job")), c.job + "\n");
        }
        ASSERT_GE(err.size(), c.ends.size());
        EXPECT_EQ(err.substr(err.size() - c.ends.size()), c.ends);
    }
}

}  // namespace
