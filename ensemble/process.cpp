// The tool's processes: the private scratch folder of the command-file
// checks (removed on every exit, a SIGKILL included, by a small janitor
// process that waits for the tool's end), the end by a stop signal, and the
// start of a member's program (support/process.h does the starting).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "ensemble/ensemble.h"
#include "support/process.h"

namespace torla::ensemble {

namespace fs = std::filesystem;

namespace {

std::string g_scratch;       // the scratch folder, once made
pid_t g_scratch_owner = -1;  // the process that made it (the one to remove it)

// The janitor: waits until every write end of its pipe is closed (the tool
// and its workers have ended, however), then removes the folder.
void start_janitor(const std::string& folder) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    const pid_t pid = fork();
    if (pid == 0) {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(sig, SIG_IGN);
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != fds[0]) close(fd);
        // Holds no one's terminal or pipe open while it waits.
        const int null = open("/dev/null", O_RDWR);
        for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
        if (null > 2) close(null);
        if (fork() != 0) _exit(0);  // not the tool's child: it never waits for it
        setsid();
        char c;
        while (read(fds[0], &c, 1) != 0) {
        }
        std::error_code ec;
        fs::remove_all(folder, ec);
        _exit(0);
    }
    close(fds[0]);
    if (pid > 0) support::wait_for(pid);
    // The write end stays open, without CLOEXEC in forks (workers keep the
    // janitor waiting), closed at exec (members never hold it).
}

}  // namespace

std::string scratch_folder(std::string& err) {
    if (!g_scratch.empty()) return g_scratch;
    std::error_code ec;
    const char* env = std::getenv("TMPDIR");
    // TMPDIR where it is set; else in memory where there is a tmpfs (the
    // generator input the reader rewrites at every check then costs no
    // journal); else /tmp.
    const bool shm = fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK | X_OK) == 0;
    const std::string base = env && *env ? env : shm ? "/dev/shm" : "/tmp";
    std::string name = base + "/torla-ensemble-XXXXXX";
    if (!mkdtemp(name.data())) {
        err = "cannot create a scratch folder in " + base + ": " + std::strerror(errno);
        return "";
    }
    g_scratch = name;
    g_scratch_owner = getpid();
    start_janitor(g_scratch);
    return g_scratch;
}

void remove_scratch() {
    if (g_scratch.empty() || getpid() != g_scratch_owner) return;
    std::error_code ec;
    fs::remove_all(g_scratch, ec);
    g_scratch.clear();
}

void die_of_stop_signal() {
    const int sig = stop_signal();
    remove_scratch();
    if (sig) support::die_of(sig);
}

pid_t spawn_member_process(int folder_fd, const std::vector<std::string>& args, int out_fd) {
    // Its own process group, so that a stop reaches torla and the generator
    // it starts.
    support::SpawnOptions o;
    o.folder_fd = folder_fd;
    o.stdout_fd = out_fd;
    o.stderr_fd = out_fd;
    o.own_group = true;
    o.dies_with_parent = true;
    o.clear_signal_mask = true;
    return support::spawn(args, o);
}

}  // namespace torla::ensemble
