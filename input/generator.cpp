// Running the external grid generator: started directly (no command
// interpreter, so no file name is ever parsed by a shell), waited for, and
// its outcome examined.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "input/input.h"
#include "model/interrupt.h"

extern char** environ;

namespace torla {

namespace {

[[noreturn]] void generator_failed(const std::string& what) {
    fatal(kStatusFailure, "   main:  FATAL ERROR:  %s STOP!\n\n", what.c_str());
}

}  // namespace

void run_grid_generator(const ModelState& s) {
    // The prefix is put in front of the program name as it stands; without a
    // directory separator the program is looked up on the PATH.
    const std::string program = s.names.generator_prefix + kGeneratorName;
    std::string grid = kGridFile, tag = kGeneratorTag;
    char* argv[] = {const_cast<char*>(program.c_str()), grid.data(), tag.data(), nullptr};

    // The generator runs in a process group of its own, so that an
    // interrupted run can stop it with everything it started.
    std::fflush(stdout);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = 0;
    int rc = posix_spawnp(&pid, program.c_str(), nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0)
        generator_failed("Could not start grid generator `" + program + "': " + std::strerror(rc) +
                         ".");
    int status = 0;
    bool stopped = false;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            generator_failed("Lost the grid generator `" + program + "': " + std::strerror(errno) +
                             ".");
        // An interrupted run takes its generator with it, so that no orphan
        // writes the temporary grid file under a later run.
        if (interrupt_signal() && !stopped) {
            kill(-pid, SIGTERM);
            stopped = true;
        }
    }
    if (interrupt_signal()) {
        std::remove(kGridFile);
        stop_interrupted();
    }
    if (WIFSIGNALED(status))
        generator_failed("Grid generator `" + program + "' was ended by signal " +
                         std::to_string(WTERMSIG(status)) + ".");
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0)
        generator_failed("Grid generator `" + program + "' failed with exit status " +
                         std::to_string(WEXITSTATUS(status)) + ".");
}

}  // namespace torla
